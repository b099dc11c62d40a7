#pragma once

#include <QString>
#include <QUrl>

// Which installer links the client will download and run: https, on the
// maker's download host (a staging build also takes its own web and API
// hosts), the standard port, no user information, and a file of the
// platform's installer type. Everything else is sent to the website instead.
class InstallerLink
{
public:
    // An empty text when the link is acceptable, else the one reason why not.
    static QString check(const QUrl &url, const QString &suffix);

    static QString downloadHost();
    // The hosts a link may name in this build (the download host first).
    static QStringList acceptedHosts();

#ifdef KELVRA_TESTING
    // The stand-in serves its files on a port of its own choosing; links on
    // that port are taken as if they were on 443.
    static void setAcceptedPortForTesting(int port);
#endif
};
