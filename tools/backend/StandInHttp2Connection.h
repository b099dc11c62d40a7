#pragma once

#include "StandInConnection.h"
#include "StandInHttpConnection.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QTimer>

struct nghttp2_session;

// One client connection of the stand-in that negotiated HTTP/2 ("h2" by
// ALPN), as Qt's network access offers it on every HTTPS request and a real
// backend accepts. Requests come as concurrent streams: each is handed out as
// soon as it is whole and answered on its own stream, so a stream the stand-in
// stalls, delays or drips holds back none of the others. Framing, header
// compression and flow control are nghttp2's; this class maps the stand-in's
// answers and transfer faults onto streams and the connection under them.
// A client that breaks the protocol or sends more than the HTTP/1.1 limits
// allow gets a GOAWAY and the connection is closed; an idle one is closed too.
class StandInHttp2Connection : public StandInConnection
{
    Q_OBJECT
public:
    // Takes ownership of the socket, which has finished its TLS handshake
    // with "h2" negotiated.
    explicit StandInHttp2Connection(QSslSocket *socket,
                                    int idleTimeoutMs = StandInHttpConnection::DefaultIdleTimeoutMs,
                                    QObject *parent = nullptr);
    ~StandInHttp2Connection() override;

    // Answers on the request's stream. There is no protocol switch in
    // HTTP/2: a 101 answer resets the stream with HTTP_1_1_REQUIRED, which
    // tells the client to ask again over HTTP/1.1.
    void answer(const StandInRequest &request, const StandInReply &reply) override;
    void abort() override;
    QString localAddress() const override;

private:
    struct Stream;
    struct Callbacks;
    enum class After { Nothing, Close, Reset };

    void onReadyRead();
    void handOut();
    void submit(qint32 streamId, const StandInReply &reply);
    void drip(qint32 streamId, int piece, int intervalMs);
    // Sends what nghttp2 has queued; closes the connection when the session
    // is over or a cut or reset answer has gone out.
    void flush();
    // A GOAWAY with `errorCode`, then the connection closes.
    void goAway(quint32 errorCode);
    void closeAfterWritten(bool reset);
    void updateIdle();
    void finishClose();

    QPointer<QSslSocket> m_socket;
    nghttp2_session *m_session = nullptr;
    QHash<qint32, Stream *> m_streams;
    QList<qint32> m_complete; // whole requests not yet handed out
    QTimer m_idle;
    After m_after = After::Nothing;
    qint32 m_afterStream = 0;
    bool m_flushing = false;
    bool m_closing = false;
};
