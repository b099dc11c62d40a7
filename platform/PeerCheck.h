#pragma once

#include <QString>

class QLocalSocket;

// Whether the process at the far end of a connected local socket is the
// installed Kelvra service: privileged, and running the service executable
// that was installed next to the client. Every pipe to the service is checked
// before anything is written to it.
class PeerCheck
{
public:
    static bool isInstalledService(QLocalSocket *socket);

    // The executable named by a service's configured command line: a quoted
    // path up to its closing quote (empty without one), otherwise everything up
    // to and including the first ".exe" in any case (empty without one).
    static QString executableFromCommandLine(const QString &commandLine);
};
