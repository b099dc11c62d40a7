#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Where the Kelvra service listens. Shared by the client and by anything that
// plays the service (the stand-in under tools/service), so both ends agree.
//
//   remote objects   URL "local:KelvraIpcInterface"
//                    (QRemoteObjectHost URL; the client's QLocalSocket connects
//                    to the server name after "local:", "KelvraIpcInterface")
//   one process      URL "local:KelvraIpcInterface_<n>", n being the reply of
//                    IpcInterface::createPrivilegedProcess()
//   daemon JSON      Windows: the pipe "\\.\pipe\kelvra"
//                    elsewhere: the local socket "/var/run/kelvra/daemon.socket"
//
// Behind every one of these the client checks the peer before it writes a
// byte (PeerCheck): on Linux the peer must run as root and its executable
// (/proc/<pid>/exe) must be the installed service binary, serviceBinaryName()
// in the client's own folder.
//
// Test builds (KELVRA_TESTING) let each test choose its own names, so tests
// never share the machine-wide ones. Set these environment variables before
// the client objects connect, and hand the same ones to the stand-in:
//
//   KELVRA_TEST_IPC_NAME        replaces "KelvraIpcInterface" (so the URL is
//                               "local:<name>" and the processes
//                               "local:<name>_<n>")
//   KELVRA_TEST_DAEMON_SOCKET   replaces the daemon socket path
//   KELVRA_TEST_SERVICE_BINARY  the absolute path of the executable the peer
//                               check expects behind every socket, instead of
//                               the installed binary next to the client (the
//                               stand-in's program, or the test program itself
//                               when the test hosts the service objects)
namespace ServiceNames {

inline QString testOverride(const char *variable)
{
#ifdef KELVRA_TESTING
    return qEnvironmentVariable(variable);
#else
    Q_UNUSED(variable)
    return QString();
#endif
}

// The name part of the remote-object URL, "KelvraIpcInterface".
inline QString ipcName()
{
    const QString name = testOverride("KELVRA_TEST_IPC_NAME");
    return name.isEmpty() ? QStringLiteral("KelvraIpcInterface") : name;
}

// "local:KelvraIpcInterface": the URL the service's QRemoteObjectHost listens on.
inline QString ipcUrl()
{
    return QStringLiteral("local:") + ipcName();
}

// "local:KelvraIpcInterface_<n>": the URL of the service's server for process n.
inline QString processUrl(int processId)
{
    return QStringLiteral("%1_%2").arg(ipcUrl()).arg(processId);
}

// What a QLocalSocket/QLocalServer takes for a "local:" URL: the part after the scheme.
inline QString localServerName(const QString &url)
{
    return url.startsWith(QLatin1String("local:")) ? url.mid(6) : url;
}

// The daemon's JSON-lines socket.
inline QString daemonSocket()
{
    const QString path = testOverride("KELVRA_TEST_DAEMON_SOCKET");
    if (!path.isEmpty())
        return path;
#ifdef Q_OS_WIN
    return QStringLiteral("\\\\.\\pipe\\kelvra");
#else
    return QStringLiteral("/var/run/kelvra/daemon.socket");
#endif
}

// The installed service's executable, in the client's own folder.
inline QString serviceBinaryName()
{
#ifdef Q_OS_WIN
    return QStringLiteral("KelvraService.exe");
#else
    return QStringLiteral("kelvra-service");
#endif
}

// The "service" the peer check expects in a test build, empty when none is set.
inline QString testServiceBinary()
{
    return testOverride("KELVRA_TEST_SERVICE_BINARY");
}

} // namespace ServiceNames
