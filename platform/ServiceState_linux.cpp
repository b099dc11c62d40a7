#include "platform/ServiceState.h"

#include <QLocalSocket>

#include "ipc/ServiceNames.h"

bool ServiceState::isRunning(const QString &serviceName)
{
    Q_UNUSED(serviceName)
    QLocalSocket socket;
    socket.connectToServer(ServiceNames::daemonSocket());
    const bool up = socket.waitForConnected(400);
    socket.abort();
    return up;
}
