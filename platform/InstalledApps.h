#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The applications a person could pick to skip the tunnel. On Linux they are
// the desktop entries ("*.desktop") of the XDG application folders and of
// snap: each entry that shows in a menu and starts a real program (not a
// script, not a flatpak sandbox, whose program is not the one that makes the
// traffic) gives that program's canonical path. Windows has no such files.
class InstalledApps
{
public:
    struct App {
        QString name;
        QString path;
        QString icon; // the entry's Icon value: a theme name or a file path
    };

    static QList<App> list();

#ifdef KELVRA_TESTING
    // Scans these folders instead of the system's (empty list: the system's).
    static void setFoldersForTesting(const QStringList &folders);
#endif
};
