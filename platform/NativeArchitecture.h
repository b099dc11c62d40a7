#pragma once

#include <QString>

// The machine's own architecture, not the one this process was built for
// (an x64 build on an ARM64 machine runs emulated): "x86", "ARM", "x64",
// "ARM64", "Unknown", or "Unavailable" when the system can't say.
class NativeArchitecture
{
public:
    static QString name();
    // The name the version check sends: an ARM64 machine gets the x64 build.
    static QString forUpdateCheck();
};
