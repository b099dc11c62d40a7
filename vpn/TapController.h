#pragma once

#include <QString>

// Checks that the OpenVPN executable the service will run is present and
// starts. On Windows it ships beside the client; elsewhere it is the system's.
class TapController
{
public:
    static QString executablePath();
    static bool checkAndSetup();

#ifdef KELVRA_TESTING
    // Another executable in place of OpenVPN's; empty restores the real one.
    static void setExecutableForTesting(const QString &path);
#endif
};
