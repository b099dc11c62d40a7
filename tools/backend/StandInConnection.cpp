#include "StandInConnection.h"

#include <sys/socket.h>

#include <QSslSocket>

StandInConnection::~StandInConnection() = default;

void StandInConnection::reset(QSslSocket *socket)
{
    if (!socket)
        return;
    // A linger time of zero makes the close send RST instead of FIN.
    const struct linger now{1, 0};
    ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &now, sizeof now);
    socket->abort();
}
