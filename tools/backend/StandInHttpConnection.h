#pragma once

#include "StandInConnection.h"

#include <QByteArray>
#include <QPointer>
#include <QTimer>

class QSslSocket;

// One client connection of the stand-in that speaks HTTP/1.1 (the client
// offered no HTTP/2, or the stand-in was told not to): reads requests one at
// a time from an encrypted socket and writes the answers. A request is handed
// out by requestReady(); the next one is not read until it was answered, so
// answers keep the order of the requests. Anything malformed or too large
// gets a 4xx answer and the connection is closed; an idle connection is
// closed after a while.
class StandInHttpConnection : public StandInConnection
{
    Q_OBJECT
public:
    static constexpr int MaxHeaderBytes = 32 * 1024;
    static constexpr int MaxHeaderCount = 100;
    static constexpr qint64 MaxBodyBytes = 4 * 1024 * 1024;
    static constexpr int DefaultIdleTimeoutMs = 60 * 1000;

    // Takes ownership of the socket, which has finished its TLS handshake.
    explicit StandInHttpConnection(QSslSocket *socket, int idleTimeoutMs = DefaultIdleTimeoutMs,
                                   QObject *parent = nullptr);
    ~StandInHttpConnection() override;

    // A 101 answer switches protocols (switchProtocols()); any other is
    // respond()ed.
    void answer(const StandInRequest &request, const StandInReply &reply) override;
    // Answers the request handed out last (after reply.delayMs), or stalls or
    // drops it. Refuse kinds behave like Drop here (the listener is closed
    // elsewhere).
    void respond(const StandInReply &reply);
    // After a "101 Switching Protocols" answer: the connection stays open and
    // whatever the client sends next is read and ignored.
    void switchProtocols(const StandInReply &reply);
    void abort() override;
    QString localAddress() const override;

private:
    enum class Stage { Head, Body, Waiting, Stalled, Upgraded, Closing };

    void onReadyRead();
    void parse();
    bool parseHead(const QByteArray &head);
    void refuseRequest(int status, const QByteArray &reason);
    void write(const StandInReply &reply, bool close);
    // After a whole answer: read the next request, or close when asked to.
    void afterAnswer(bool closeAsked);
    // Once what was written has gone: close (FIN) or reset (RST).
    void closeAfterWritten(bool reset);
    void drip(const QByteArray &bytes, int piece, int intervalMs, bool closeAfter);
    void finishClose();

    QPointer<QSslSocket> m_socket;
    QByteArray m_buffer;
    StandInRequest m_request;
    qint64 m_bodyLength = 0;
    bool m_keepAlive = true;
    Stage m_stage = Stage::Head;
    QTimer m_idle;
};
