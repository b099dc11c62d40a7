#include "StandInHttpConnection.h"

#include <QSharedPointer>
#include <QSslSocket>
#include <QUrl>

namespace {
QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 100: return "Continue";
    case 101: return "Switching Protocols";
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 413: return "Content Too Large";
    case 422: return "Unprocessable Content";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    case 505: return "HTTP Version Not Supported";
    default: return "Status";
    }
}

bool isToken(const QByteArray &text)
{
    if (text.isEmpty())
        return false;
    for (char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
        if (!ok)
            return false;
    }
    return true;
}

bool isDigits(const QByteArray &text)
{
    if (text.isEmpty() || text.size() > 18)
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

bool headerHasToken(const QByteArray &value, const QByteArray &token)
{
    for (const QByteArray &part : value.split(',')) {
        if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}
} // namespace

StandInHttpConnection::StandInHttpConnection(QSslSocket *socket, int idleTimeoutMs, QObject *parent)
    : StandInConnection(parent)
    , m_socket(socket)
{
    socket->setParent(this);
    m_idle.setSingleShot(true);
    m_idle.setInterval(idleTimeoutMs);
    connect(&m_idle, &QTimer::timeout, this, &StandInHttpConnection::abort);
    connect(socket, &QSslSocket::readyRead, this, &StandInHttpConnection::onReadyRead);
    connect(socket, &QSslSocket::disconnected, this, &StandInHttpConnection::finishClose);
    connect(socket, &QSslSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        if (m_socket && m_socket->state() != QAbstractSocket::ConnectedState)
            finishClose();
    });
    m_idle.start();
    if (socket->bytesAvailable() > 0)
        QTimer::singleShot(0, this, &StandInHttpConnection::onReadyRead);
}

StandInHttpConnection::~StandInHttpConnection()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
}

QString StandInHttpConnection::localAddress() const
{
    return m_socket ? m_socket->localAddress().toString() : QString();
}

void StandInHttpConnection::onReadyRead()
{
    if (!m_socket)
        return;
    const QByteArray data = m_socket->readAll();
    switch (m_stage) {
    case Stage::Stalled:
    case Stage::Upgraded:
    case Stage::Closing:
        // Nothing more will be answered on this connection: read and forget.
        return;
    default:
        break;
    }
    m_buffer.append(data);
    if (m_stage == Stage::Waiting) {
        // A pipelined request waits for the answer to the one before it, but
        // not without bound.
        if (m_buffer.size() > MaxHeaderBytes + MaxBodyBytes)
            abort();
        return;
    }
    m_idle.start();
    parse();
}

void StandInHttpConnection::parse()
{
    if (m_stage == Stage::Head) {
        // Stray line breaks between requests are allowed and skipped.
        int skip = 0;
        while (skip < m_buffer.size() && (m_buffer.at(skip) == '\r' || m_buffer.at(skip) == '\n'))
            ++skip;
        if (skip)
            m_buffer.remove(0, skip);
        const int end = m_buffer.indexOf("\r\n\r\n");
        if (end < 0) {
            if (m_buffer.size() > MaxHeaderBytes)
                refuseRequest(431, "The request head is too large.");
            return;
        }
        if (end > MaxHeaderBytes) {
            refuseRequest(431, "The request head is too large.");
            return;
        }
        const QByteArray head = m_buffer.left(end);
        m_buffer.remove(0, end + 4);
        if (!parseHead(head))
            return;
        m_stage = Stage::Body;
    }
    if (m_stage == Stage::Body) {
        if (m_buffer.size() < m_bodyLength)
            return;
        m_request.body = m_buffer.left(m_bodyLength);
        m_buffer.remove(0, m_bodyLength);
        m_stage = Stage::Waiting;
        m_idle.stop();
        emit requestReady(this, m_request);
    }
}

bool StandInHttpConnection::parseHead(const QByteArray &head)
{
    m_request = StandInRequest();
    m_request.version = "HTTP/1.1";
    m_request.address = localAddress();
    m_request.peer = m_socket ? m_socket->peerAddress().toString() : QString();
    m_bodyLength = 0;

    const QList<QByteArray> lines = head.split('\n');
    const QByteArray requestLine = lines.first().endsWith('\r') ? lines.first().chopped(1) : lines.first();
    const QList<QByteArray> parts = requestLine.split(' ');
    if (parts.size() != 3 || !isToken(parts.at(0)) || parts.at(1).isEmpty()) {
        refuseRequest(400, "Malformed request line.");
        return false;
    }
    const QByteArray version = parts.at(2);
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        refuseRequest(version.startsWith("HTTP/") ? 505 : 400, "Only HTTP/1.1 is spoken here.");
        return false;
    }
    m_request.version = version;
    m_request.method = parts.at(0);
    QByteArray target = parts.at(1);
    if (target.startsWith("https://") || target.startsWith("http://")) {
        // Absolute form: keep only the path and query.
        const int slash = target.indexOf('/', target.indexOf("//") + 2);
        target = slash < 0 ? QByteArray("/") : target.mid(slash);
    }
    if (!target.startsWith('/')) {
        refuseRequest(400, "Malformed request target.");
        return false;
    }
    m_request.target = target;
    const int question = target.indexOf('?');
    const QByteArray rawPath = question < 0 ? target : target.left(question);
    m_request.path = QUrl::fromPercentEncoding(rawPath);
    if (m_request.path.contains(QChar(0)) || m_request.path.contains(QChar::ReplacementCharacter)) {
        refuseRequest(400, "Malformed request path.");
        return false;
    }
    if (question >= 0)
        m_request.query = QUrlQuery(QString::fromLatin1(target.mid(question + 1)));

    for (int i = 1; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        if (line.endsWith('\r'))
            line.chop(1);
        const int colon = line.indexOf(':');
        // Folded continuation lines and names with spaces are refused: they
        // are how requests get smuggled past a parser.
        if (colon <= 0 || !isToken(line.left(colon))) {
            refuseRequest(400, "Malformed header line.");
            return false;
        }
        if (m_request.headers.size() >= MaxHeaderCount) {
            refuseRequest(431, "Too many header fields.");
            return false;
        }
        m_request.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }

    const bool http11 = version == "HTTP/1.1";
    if (http11 && !m_request.hasHeader("Host")) {
        refuseRequest(400, "The Host header is missing.");
        return false;
    }
    m_request.host = hostOf(m_request.header("Host"));
    const QByteArray connection = m_request.header("Connection");
    m_keepAlive = http11 ? !headerHasToken(connection, "close") : headerHasToken(connection, "keep-alive");

    if (m_request.hasHeader("Transfer-Encoding")) {
        refuseRequest(501, "Chunked request bodies are not accepted; send Content-Length.");
        return false;
    }
    QByteArray length;
    for (const auto &h : std::as_const(m_request.headers)) {
        if (h.first.compare("Content-Length", Qt::CaseInsensitive) != 0)
            continue;
        if (!isDigits(h.second) || (!length.isNull() && length != h.second)) {
            refuseRequest(400, "Malformed Content-Length.");
            return false;
        }
        length = h.second;
    }
    m_bodyLength = length.isNull() ? 0 : length.toLongLong();
    if (m_bodyLength > MaxBodyBytes) {
        refuseRequest(413, "The request body is too large.");
        return false;
    }
    if (headerHasToken(m_request.header("Expect"), "100-continue") && m_socket)
        m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
    return true;
}

void StandInHttpConnection::refuseRequest(int status, const QByteArray &reason)
{
    StandInReply reply = StandInReply::error(status, QString::fromLatin1(reason));
    m_request.method = "GET";
    m_stage = Stage::Waiting;
    write(reply, true);
}

void StandInHttpConnection::answer(const StandInRequest &, const StandInReply &reply)
{
    if (reply.kind == StandInReply::Kind::Answer && reply.statusCode == 101)
        switchProtocols(reply);
    else
        respond(reply);
}

void StandInHttpConnection::respond(const StandInReply &reply)
{
    if (m_stage != Stage::Waiting)
        return;
    if (reply.delayMs > 0 && reply.kind != StandInReply::Kind::Stall) {
        StandInReply now = reply;
        now.delayMs = 0;
        QTimer::singleShot(reply.delayMs, this, [this, now] { respond(now); });
        return;
    }
    switch (reply.kind) {
    case StandInReply::Kind::Answer:
        write(reply, !m_keepAlive);
        break;
    case StandInReply::Kind::Stall:
        m_stage = Stage::Stalled;
        m_buffer.clear();
        break;
    case StandInReply::Kind::Drop:
    case StandInReply::Kind::Refuse:
        abort();
        break;
    }
}

void StandInHttpConnection::switchProtocols(const StandInReply &reply)
{
    if (m_stage != Stage::Waiting)
        return;
    write(reply, false);
    m_stage = Stage::Upgraded;
    m_buffer.clear();
    m_idle.stop();
}

void StandInHttpConnection::write(const StandInReply &reply, bool close)
{
    if (!m_socket) {
        finishClose();
        return;
    }
    const int status = reply.statusCode;
    const bool noBody = status == 101 || status == 204 || status == 304 || (status >= 100 && status < 200);
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    bool hasType = false;
    bool closeAsked = close;
    for (const auto &h : reply.headers) {
        if (h.first.compare("Content-Type", Qt::CaseInsensitive) == 0)
            hasType = true;
        if (h.first.compare("Connection", Qt::CaseInsensitive) == 0 && status != 101) {
            if (headerHasToken(h.second, "close"))
                closeAsked = true;
            continue;
        }
        if (h.first.compare("Content-Length", Qt::CaseInsensitive) == 0)
            continue;
        out += h.first + ": " + h.second + "\r\n";
    }
    out += "Server: kelvra-backend-standin\r\n";
    out += "Date: " + httpDate() + "\r\n";
    if (!noBody) {
        if (!hasType)
            out += "Content-Type: application/json\r\n";
        out += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    }
    if (status != 101)
        out += closeAsked ? "Connection: close\r\n" : "Connection: keep-alive\r\n";
    out += "\r\n";
    const bool withBody = !noBody && m_request.method != "HEAD";
    switch (reply.transfer) {
    case StandInReply::Transfer::Whole:
        break;
    case StandInReply::Transfer::CutBody:
        m_socket->write(out + (withBody ? reply.body.left(reply.cutAfterBytes) : QByteArray()));
        closeAfterWritten(false);
        return;
    case StandInReply::Transfer::ResetAfterHeaders:
        m_socket->write(out);
        closeAfterWritten(true);
        return;
    case StandInReply::Transfer::Drip:
        m_socket->write(out);
        drip(withBody ? reply.body : QByteArray(), reply.dripBytes, reply.dripIntervalMs, closeAsked);
        return;
    }
    if (withBody)
        out += reply.body;
    m_socket->write(out);
    afterAnswer(closeAsked);
}

void StandInHttpConnection::afterAnswer(bool closeAsked)
{
    if (closeAsked) {
        m_stage = Stage::Closing;
        m_buffer.clear();
        m_socket->disconnectFromHost();
        return;
    }
    m_stage = Stage::Head;
    m_idle.start();
    if (!m_buffer.isEmpty())
        QTimer::singleShot(0, this, [this] {
            if (m_stage == Stage::Head)
                parse();
        });
}

void StandInHttpConnection::closeAfterWritten(bool reset)
{
    m_stage = Stage::Closing;
    m_buffer.clear();
    m_idle.stop();
    breakAfterWritten(m_socket, reset);
}

void StandInHttpConnection::drip(const QByteArray &bytes, int piece, int intervalMs, bool closeAfter)
{
    m_stage = Stage::Stalled; // nothing more is read meanwhile
    m_idle.stop();
    auto *timer = new QTimer(this);
    auto offset = QSharedPointer<qsizetype>::create(0);
    connect(timer, &QTimer::timeout, this, [this, timer, offset, bytes, piece, closeAfter] {
        if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState) {
            timer->deleteLater();
            finishClose();
            return;
        }
        m_socket->write(bytes.mid(*offset, piece));
        *offset += piece;
        if (*offset >= bytes.size()) {
            timer->deleteLater();
            m_stage = Stage::Waiting;
            afterAnswer(closeAfter);
        }
    });
    timer->start(intervalMs);
}

void StandInHttpConnection::abort()
{
    m_stage = Stage::Closing;
    m_idle.stop();
    if (m_socket)
        m_socket->abort();
    finishClose();
}

void StandInHttpConnection::finishClose()
{
    m_stage = Stage::Closing;
    m_idle.stop();
    announceClosed();
}
