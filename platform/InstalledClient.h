#pragma once

#include <QString>

// The installed client as the system records it, for Kelvra Setup: the
// uninstall entry's version and folder on Windows (64-bit registry view);
// on Linux the folder the package installs into, whose "version" file the
// installer writes.
class InstalledClient
{
public:
    struct Record
    {
        QString version;         // empty when nothing is installed
        QString folder;          // native separators; the default when none is recorded
    };
    static Record read();
    // The client's program in an install folder.
    static QString programIn(const QString &folder);
};
