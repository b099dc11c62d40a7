#pragma once

#include "StandInReply.h"
#include "StandInRequest.h"

#include <QObject>
#include <QString>

class QSslSocket;

// What the stand-in needs of a client connection, whichever HTTP version it
// speaks: requests handed out whole, each answered where it came from (its
// stream, over HTTP/2), and a way to close it from outside when an address
// stops listening or changes its certificate.
class StandInConnection : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~StandInConnection() override;

    // Answers `request` (handed out by requestReady() on this connection)
    // with `reply`: after reply.delayMs, or stalled, or by dropping the
    // connection. Refuse kinds behave like Drop here (the listener is closed
    // elsewhere).
    virtual void answer(const StandInRequest &request, const StandInReply &reply) = 0;
    // Closes the connection now, without an answer.
    virtual void abort() = 0;
    virtual QString localAddress() const = 0;

signals:
    void requestReady(StandInConnection *connection, const StandInRequest &request);
    void closed(StandInConnection *connection);

protected:
    // Closes the socket with a TCP reset (RST) instead of a FIN, as a
    // connection that breaks on the way does.
    static void reset(QSslSocket *socket);
    // Once what was written has gone: closes the socket (FIN), or resets it
    // a moment later and announces the close.
    void breakAfterWritten(QSslSocket *socket, bool reset);
    // Emits closed(), the first time only.
    void announceClosed();
    // A "Host" or ":authority" value without its port, lower-cased; brackets
    // of an IPv6 literal are dropped.
    static QString hostOf(const QByteArray &value);
    // The current time as an HTTP "Date" value.
    static QByteArray httpDate();

private:
    bool m_closedEmitted = false;
};
