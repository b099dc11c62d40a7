#include "StandInHttp2Connection.h"

#include <nghttp2/nghttp2.h>

#include <QSslSocket>
#include <QUrl>

#include <cstring>

namespace {
constexpr quint32 MaxConcurrentStreams = 100;

// Connection-specific headers have no place in HTTP/2 (RFC 9113, 8.2.2).
bool isConnectionSpecific(const QByteArray &lowerName)
{
    return lowerName == "connection" || lowerName == "keep-alive" || lowerName == "proxy-connection"
        || lowerName == "transfer-encoding" || lowerName == "upgrade";
}

nghttp2_nv pair(const QByteArray &name, const QByteArray &value)
{
    // nghttp2 copies names and values when the frame is submitted.
    return {reinterpret_cast<uint8_t *>(const_cast<char *>(name.constData())),
            reinterpret_cast<uint8_t *>(const_cast<char *>(value.constData())), size_t(name.size()),
            size_t(value.size()), NGHTTP2_NV_FLAG_NONE};
}
} // namespace

struct StandInHttp2Connection::Stream
{
    StandInRequest request;
    QByteArray authority;
    qint64 headerBytes = 0;
    bool handedOut = false; // given to the stand-in, waiting for or getting its answer
    bool answered = false;  // answer() took it (a stall too)
    QByteArray body;        // the answer's body as it goes out
    qsizetype offered = 0;  // how much of it may go out by now
    qsizetype sent = 0;
    bool whole = false;     // once offered is sent, the stream ends
    bool deferred = false;  // nghttp2 waits for more to be offered
};

// nghttp2 calls back into the connection with it as user data.
struct StandInHttp2Connection::Callbacks
{
    static StandInHttp2Connection *self(void *userData) { return static_cast<StandInHttp2Connection *>(userData); }

    static int onBeginHeaders(nghttp2_session *, const nghttp2_frame *frame, void *userData)
    {
        StandInHttp2Connection *c = self(userData);
        if (frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST)
            return 0;
        auto *stream = new Stream;
        stream->request.version = "HTTP/2";
        stream->request.stream = frame->hd.stream_id;
        stream->request.address = c->localAddress();
        stream->request.peer = c->m_socket ? c->m_socket->peerAddress().toString() : QString();
        delete c->m_streams.value(frame->hd.stream_id);
        c->m_streams.insert(frame->hd.stream_id, stream);
        return 0;
    }

    static int onHeader(nghttp2_session *session, const nghttp2_frame *frame, const uint8_t *name, size_t nameLength,
                        const uint8_t *value, size_t valueLength, uint8_t, void *userData)
    {
        StandInHttp2Connection *c = self(userData);
        Stream *stream = c->m_streams.value(frame->hd.stream_id);
        if (!stream || frame->hd.type != NGHTTP2_HEADERS || frame->headers.cat != NGHTTP2_HCAT_REQUEST)
            return 0; // trailers are read and forgotten
        const QByteArray n(reinterpret_cast<const char *>(name), qsizetype(nameLength));
        const QByteArray v(reinterpret_cast<const char *>(value), qsizetype(valueLength));
        stream->headerBytes += n.size() + v.size() + 4;
        StandInRequest &request = stream->request;
        if (stream->headerBytes > StandInHttpConnection::MaxHeaderBytes
            || request.headers.size() >= StandInHttpConnection::MaxHeaderCount) {
            c->m_closing = true;
            nghttp2_session_terminate_session(session, NGHTTP2_ENHANCE_YOUR_CALM);
            return 0;
        }
        if (n == ":method")
            request.method = v;
        else if (n == ":path")
            request.target = v;
        else if (n == ":authority")
            stream->authority = v;
        else if (!n.startsWith(':'))
            request.headers.append({n, v});
        return 0;
    }

    static int onDataChunk(nghttp2_session *session, uint8_t, int32_t streamId, const uint8_t *data, size_t length,
                           void *userData)
    {
        StandInHttp2Connection *c = self(userData);
        Stream *stream = c->m_streams.value(streamId);
        if (!stream)
            return 0;
        if (stream->request.body.size() + qint64(length) > StandInHttpConnection::MaxBodyBytes) {
            c->m_closing = true;
            nghttp2_session_terminate_session(session, NGHTTP2_ENHANCE_YOUR_CALM);
            return 0;
        }
        stream->request.body.append(reinterpret_cast<const char *>(data), qsizetype(length));
        return 0;
    }

    static int onFrame(nghttp2_session *session, const nghttp2_frame *frame, void *userData)
    {
        StandInHttp2Connection *c = self(userData);
        Stream *stream = c->m_streams.value(frame->hd.stream_id);
        if (!stream || c->m_closing)
            return 0;
        if (frame->hd.type == NGHTTP2_HEADERS && frame->headers.cat == NGHTTP2_HCAT_REQUEST) {
            // A body announced beyond the limit is not waited for.
            const QByteArray length = stream->request.header("content-length");
            if (!length.isEmpty() && length.toLongLong() > StandInHttpConnection::MaxBodyBytes) {
                c->m_closing = true;
                nghttp2_session_terminate_session(session, NGHTTP2_ENHANCE_YOUR_CALM);
                return 0;
            }
        }
        if ((frame->hd.type == NGHTTP2_HEADERS || frame->hd.type == NGHTTP2_DATA)
            && (frame->hd.flags & NGHTTP2_FLAG_END_STREAM) && !stream->handedOut
            && !c->m_complete.contains(frame->hd.stream_id))
            c->m_complete.append(frame->hd.stream_id);
        return 0;
    }

    static int onStreamClose(nghttp2_session *, int32_t streamId, uint32_t, void *userData)
    {
        StandInHttp2Connection *c = self(userData);
        delete c->m_streams.take(streamId);
        c->m_complete.removeAll(streamId);
        if (c->m_afterStream == streamId && c->m_after != After::Nothing)
            c->m_afterStream = 0; // what it waited for is gone: act now
        return 0;
    }

    static ssize_t readBody(nghttp2_session *, int32_t streamId, uint8_t *buffer, size_t length, uint32_t *flags,
                            nghttp2_data_source *, void *userData)
    {
        StandInHttp2Connection *c = self(userData);
        Stream *stream = c->m_streams.value(streamId);
        if (!stream)
            return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
        const qsizetype count = qMin(qsizetype(length), stream->offered - stream->sent);
        if (count > 0) {
            std::memcpy(buffer, stream->body.constData() + stream->sent, size_t(count));
            stream->sent += count;
        }
        if (stream->whole && stream->sent >= stream->body.size()) {
            *flags |= NGHTTP2_DATA_FLAG_EOF;
            return count;
        }
        if (count == 0) {
            stream->deferred = true;
            return NGHTTP2_ERR_DEFERRED;
        }
        return count;
    }
};

StandInHttp2Connection::StandInHttp2Connection(QSslSocket *socket, int idleTimeoutMs, QObject *parent)
    : StandInConnection(parent)
    , m_socket(socket)
{
    socket->setParent(this);
    nghttp2_session_callbacks *callbacks = nullptr;
    nghttp2_session_callbacks_new(&callbacks);
    nghttp2_session_callbacks_set_on_begin_headers_callback(callbacks, &Callbacks::onBeginHeaders);
    nghttp2_session_callbacks_set_on_header_callback(callbacks, &Callbacks::onHeader);
    nghttp2_session_callbacks_set_on_data_chunk_recv_callback(callbacks, &Callbacks::onDataChunk);
    nghttp2_session_callbacks_set_on_frame_recv_callback(callbacks, &Callbacks::onFrame);
    nghttp2_session_callbacks_set_on_stream_close_callback(callbacks, &Callbacks::onStreamClose);
    nghttp2_session_server_new(&m_session, callbacks, this);
    nghttp2_session_callbacks_del(callbacks);

    const nghttp2_settings_entry settings[] = {
        {NGHTTP2_SETTINGS_MAX_CONCURRENT_STREAMS, MaxConcurrentStreams},
        {NGHTTP2_SETTINGS_MAX_HEADER_LIST_SIZE, quint32(StandInHttpConnection::MaxHeaderBytes)},
    };
    nghttp2_submit_settings(m_session, NGHTTP2_FLAG_NONE, settings, sizeof settings / sizeof settings[0]);

    m_idle.setSingleShot(true);
    m_idle.setInterval(idleTimeoutMs);
    connect(&m_idle, &QTimer::timeout, this, [this] { goAway(NGHTTP2_NO_ERROR); });
    connect(socket, &QSslSocket::readyRead, this, &StandInHttp2Connection::onReadyRead);
    connect(socket, &QSslSocket::disconnected, this, &StandInHttp2Connection::finishClose);
    connect(socket, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        if (m_socket && m_socket->state() != QAbstractSocket::ConnectedState)
            finishClose();
    });
    m_idle.start();
    flush(); // the server's SETTINGS open the connection
    if (socket->bytesAvailable() > 0)
        QTimer::singleShot(0, this, &StandInHttp2Connection::onReadyRead);
}

StandInHttp2Connection::~StandInHttp2Connection()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    nghttp2_session_del(m_session);
    qDeleteAll(m_streams);
}

QString StandInHttp2Connection::localAddress() const
{
    return m_socket ? m_socket->localAddress().toString() : QString();
}

void StandInHttp2Connection::onReadyRead()
{
    if (!m_socket)
        return;
    const QByteArray data = m_socket->readAll();
    if (m_closing || data.isEmpty())
        return;
    const ssize_t read = nghttp2_session_mem_recv(m_session, reinterpret_cast<const uint8_t *>(data.constData()),
                                                  size_t(data.size()));
    if (read < 0) {
        // Not HTTP/2 at all, or a flood: say so and close.
        goAway(NGHTTP2_PROTOCOL_ERROR);
        return;
    }
    handOut();
    flush();
}

void StandInHttp2Connection::handOut()
{
    QPointer<StandInHttp2Connection> alive(this);
    while (!m_complete.isEmpty() && !m_closing) {
        Stream *stream = m_streams.value(m_complete.takeFirst());
        if (!stream)
            continue;
        StandInRequest &request = stream->request;
        request.host = hostOf(stream->authority.isEmpty() ? request.header("host") : stream->authority);
        const qsizetype question = request.target.indexOf('?');
        request.path = QUrl::fromPercentEncoding(question < 0 ? request.target : request.target.left(question));
        if (question >= 0)
            request.query = QUrlQuery(QString::fromLatin1(request.target.mid(question + 1)));
        stream->handedOut = true;
        if (!request.target.startsWith('/') || request.path.contains(QChar(0))
            || request.path.contains(QChar::ReplacementCharacter)) {
            // Refused on its stream, as HTTP/1.1 refuses it on its connection.
            submit(request.stream, StandInReply::error(400, QStringLiteral("Malformed request path.")));
            continue;
        }
        m_idle.stop();
        emit requestReady(this, request);
        if (!alive)
            return;
    }
}

void StandInHttp2Connection::answer(const StandInRequest &request, const StandInReply &reply)
{
    Stream *stream = m_streams.value(request.stream);
    if (m_closing || !stream || !stream->handedOut || stream->answered)
        return;
    if (reply.delayMs > 0 && reply.kind != StandInReply::Kind::Stall) {
        StandInReply now = reply;
        now.delayMs = 0;
        QTimer::singleShot(reply.delayMs, this, [this, request, now] { answer(request, now); });
        return;
    }
    switch (reply.kind) {
    case StandInReply::Kind::Answer:
        if (reply.statusCode == 101) {
            stream->answered = true;
            nghttp2_submit_rst_stream(m_session, NGHTTP2_FLAG_NONE, request.stream, NGHTTP2_HTTP_1_1_REQUIRED);
            flush();
            return;
        }
        submit(request.stream, reply);
        return;
    case StandInReply::Kind::Stall:
        // The stream stays open and silent; the others go on.
        stream->answered = true;
        return;
    case StandInReply::Kind::Drop:
    case StandInReply::Kind::Refuse:
        abort();
        return;
    }
}

void StandInHttp2Connection::submit(qint32 streamId, const StandInReply &reply)
{
    Stream *stream = m_streams.value(streamId);
    if (!stream)
        return;
    stream->answered = true;
    const int status = reply.statusCode;
    const bool noBody = status == 204 || status == 304 || (status >= 100 && status < 200);
    const bool withBody = !noBody && stream->request.method != "HEAD";

    QList<QByteArray> names{":status"};
    QList<QByteArray> values{QByteArray::number(status)};
    bool hasType = false;
    for (const auto &h : reply.headers) {
        const QByteArray name = h.first.toLower();
        if (isConnectionSpecific(name) || name == "content-length")
            continue;
        hasType = hasType || name == "content-type";
        names << name;
        values << h.second;
    }
    names << "server" << "date";
    values << "kelvra-backend-standin" << httpDate();
    if (!noBody) {
        if (!hasType) {
            names << "content-type";
            values << "application/json";
        }
        names << "content-length";
        values << QByteArray::number(reply.body.size());
    }
    QList<nghttp2_nv> headers;
    for (qsizetype i = 0; i < names.size(); ++i)
        headers.append(pair(names.at(i), values.at(i)));

    stream->body = withBody ? reply.body : QByteArray();
    switch (reply.transfer) {
    case StandInReply::Transfer::Whole:
        stream->offered = stream->body.size();
        stream->whole = true;
        break;
    case StandInReply::Transfer::CutBody:
        stream->offered = qMin(qsizetype(reply.cutAfterBytes), stream->body.size());
        m_after = After::Close;
        m_afterStream = streamId;
        break;
    case StandInReply::Transfer::ResetAfterHeaders:
        m_after = After::Reset;
        m_afterStream = streamId;
        break;
    case StandInReply::Transfer::Drip:
        stream->whole = stream->body.isEmpty();
        break;
    }
    nghttp2_data_provider provider;
    provider.source.ptr = nullptr;
    provider.read_callback = &Callbacks::readBody;
    const bool endsWithHead = stream->whole && stream->body.isEmpty();
    nghttp2_submit_response(m_session, streamId, headers.constData(), size_t(headers.size()),
                            endsWithHead ? nullptr : &provider);
    if (reply.transfer == StandInReply::Transfer::Drip && !stream->whole)
        drip(streamId, reply.dripBytes, reply.dripIntervalMs);
    flush();
}

void StandInHttp2Connection::drip(qint32 streamId, int piece, int intervalMs)
{
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [this, timer, streamId, piece] {
        Stream *stream = m_streams.value(streamId);
        if (m_closing || !stream) {
            timer->deleteLater();
            return;
        }
        stream->offered = qMin(stream->offered + piece, stream->body.size());
        if (stream->offered >= stream->body.size()) {
            stream->whole = true;
            timer->deleteLater();
        }
        if (stream->deferred) {
            stream->deferred = false;
            nghttp2_session_resume_data(m_session, streamId);
        }
        flush();
    });
    timer->start(intervalMs);
}

void StandInHttp2Connection::flush()
{
    if (m_flushing || !m_socket || !m_session)
        return;
    m_flushing = true;
    for (;;) {
        const uint8_t *data = nullptr;
        const ssize_t length = nghttp2_session_mem_send(m_session, &data);
        if (length <= 0) {
            m_flushing = false;
            if (length < 0) {
                abort();
                return;
            }
            break;
        }
        m_socket->write(reinterpret_cast<const char *>(data), qint64(length));
    }
    if (m_after != After::Nothing) {
        // A cut or reset answer: once its part has gone, the connection breaks.
        const Stream *stream = m_streams.value(m_afterStream);
        if (!stream || stream->sent >= stream->offered) {
            closeAfterWritten(m_after == After::Reset);
            return;
        }
    }
    if (!nghttp2_session_want_read(m_session) && !nghttp2_session_want_write(m_session)) {
        m_closing = true;
        m_idle.stop();
        m_socket->disconnectFromHost();
        return;
    }
    updateIdle(); // a stream that ended may have been the last one waiting
}

void StandInHttp2Connection::goAway(quint32 errorCode)
{
    if (m_closing && errorCode == NGHTTP2_NO_ERROR)
        return;
    m_closing = true;
    m_idle.stop();
    nghttp2_session_terminate_session(m_session, errorCode);
    flush();
    if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->disconnectFromHost();
}

void StandInHttp2Connection::closeAfterWritten(bool reset)
{
    m_after = After::Nothing;
    m_closing = true;
    m_idle.stop();
    breakAfterWritten(m_socket, reset);
}

void StandInHttp2Connection::updateIdle()
{
    if (m_closing)
        return;
    for (const Stream *stream : std::as_const(m_streams)) {
        if (stream->handedOut) {
            m_idle.stop();
            return;
        }
    }
    m_idle.start();
}

void StandInHttp2Connection::abort()
{
    m_closing = true;
    m_idle.stop();
    if (m_socket)
        m_socket->abort();
    finishClose();
}

void StandInHttp2Connection::finishClose()
{
    m_closing = true;
    m_idle.stop();
    announceClosed();
}
