#include "StandInConnection.h"

#include <sys/socket.h>

#include <QDateTime>
#include <QLocale>
#include <QPointer>
#include <QSslSocket>
#include <QTimer>

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

void StandInConnection::breakAfterWritten(QSslSocket *socket, bool reset)
{
    if (!socket) {
        announceClosed();
        return;
    }
    if (!reset) {
        socket->disconnectFromHost(); // what was written goes first, then FIN
        return;
    }
    socket->flush();
    // A reset can throw away what the client has not read yet: give it a
    // moment with the head first, as a connection that breaks later would.
    QTimer::singleShot(200, this, [this, socket = QPointer<QSslSocket>(socket)] {
        StandInConnection::reset(socket);
        announceClosed();
    });
}

void StandInConnection::announceClosed()
{
    if (m_closedEmitted)
        return;
    m_closedEmitted = true;
    emit closed(this);
}

QString StandInConnection::hostOf(const QByteArray &value)
{
    QByteArray host = value.trimmed();
    if (host.startsWith('[')) {
        const int end = host.indexOf(']');
        host = end > 0 ? host.mid(1, end - 1) : QByteArray();
    } else {
        const int colon = host.lastIndexOf(':');
        if (colon >= 0)
            host.truncate(colon);
    }
    return QString::fromLatin1(host).toLower();
}

QByteArray StandInConnection::httpDate()
{
    return QLocale::c()
        .toString(QDateTime::currentDateTimeUtc(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
        .toLatin1();
}
