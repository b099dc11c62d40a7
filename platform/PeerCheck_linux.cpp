#include "platform/PeerCheck.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include "app/Logger.h"
#include "ipc/ServiceNames.h"

namespace {
Logger logger(QStringLiteral("PeerAuth"));

QString expectedServiceBinary()
{
    const QString test = ServiceNames::testServiceBinary();
    if (!test.isEmpty())
        return test;
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + ServiceNames::serviceBinaryName();
}

// The executable a process runs. /proc/<pid>/exe is the kernel's own link to
// it; a binary replaced or deleted after start shows with " (deleted)" and so
// never matches.
QString executableOf(pid_t pid)
{
    return QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget();
}
} // namespace

bool PeerCheck::isInstalledService(QLocalSocket *socket)
{
    if (!socket || socket->state() != QLocalSocket::ConnectedState) {
        logger.warning() << "Not talking to the service: its process couldn't be read";
        return false;
    }
    ucred credentials {};
    socklen_t length = sizeof(credentials);
    const int fd = int(socket->socketDescriptor());
    if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || length != sizeof(credentials)
        || credentials.pid <= 0) {
        logger.warning() << "Not talking to the service: its process couldn't be read";
        return false;
    }

    const QString expected = QFileInfo(expectedServiceBinary()).canonicalFilePath();
    const QString actual = executableOf(credentials.pid);
    const bool privileged = credentials.uid == 0;
    if (!privileged || expected.isEmpty() || actual != expected) {
        logger.warning() << "Not talking to pid" << qint64(credentials.pid)
                         << "- it isn't the privileged, installed KelvraService.exe";
        return false;
    }
    return true;
}
