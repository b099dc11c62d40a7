#include "CdnFrontStandIn.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTimer>

#include <functional>

namespace {
QByteArray certificateFile(const char *name)
{
    QFile file(QStringLiteral(KELVRA_CDNFRONT_CERT_DIR "/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("cdn front stand-in: cannot read %s", qPrintable(file.fileName()));
        return QByteArray();
    }
    return file.readAll();
}

QSslConfiguration frontTls()
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setLocalCertificate(QSslCertificate(certificateFile("server.pem"), QSsl::Pem));
    tls.setPrivateKey(QSslKey(certificateFile("server.key"), QSsl::Rsa, QSsl::Pem));
    tls.setPeerVerifyMode(QSslSocket::VerifyNone); // clients bring no certificate
    return tls;
}

// Hands each accepted descriptor over before any TLS starts, so the front
// decides per listener whether the handshake is ever answered.
class FrontServer : public QTcpServer
{
public:
    using QTcpServer::QTcpServer;
    std::function<void(qintptr)> onIncoming;

protected:
    void incomingConnection(qintptr descriptor) override { onIncoming(descriptor); }
};

QByteArray headerValue(const QByteArray &head, const QByteArray &name)
{
    for (const QByteArray &line : head.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name)
            return line.mid(colon + 1).trimmed();
    }
    return QByteArray();
}
} // namespace

CdnFrontStandIn::CdnFrontStandIn(QObject *parent)
    : QObject(parent)
{
}

CdnFrontStandIn::~CdnFrontStandIn()
{
    close();
}

QByteArray CdnFrontStandIn::caCertificatePem()
{
    return certificateFile("ca.pem");
}

CdnFrontStandIn::Rule CdnFrontStandIn::rule(Behaviour behaviour, int delayMs)
{
    if (delayMs < 0)
        delayMs = behaviour == Behaviour::SlowUpgrade ? DefaultSlowDelayMs : 0;
    return Rule{behaviour, delayMs};
}

bool CdnFrontStandIn::listen(const QHostAddress &address, Behaviour behaviour, quint16 port, int delayMs)
{
    close();
    auto *server = new FrontServer(this);
    server->onIncoming = [this](qintptr descriptor) {
        ++m_connectionCount;
        QTcpSocket *socket = m_rule.behaviour == Behaviour::StallTls ? new QTcpSocket(this) : new QSslSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        if (m_sockets.size() >= MaxConnections) {
            socket->abort();
            socket->deleteLater();
            return;
        }
        track(socket);
        emit connectionAccepted();
    };
    server->setMaxPendingConnections(MaxConnections);
    if (!server->listen(address, port)) {
        qWarning("cdn front stand-in: cannot listen on %s port %u: %s", qPrintable(address.toString()),
                 unsigned(port), qPrintable(server->errorString()));
        delete server;
        return false;
    }
    m_server = server;
    m_address = address;
    m_rule = rule(behaviour, delayMs);
    return true;
}

void CdnFrontStandIn::setPathBehaviour(const QString &path, Behaviour behaviour, int delayMs)
{
    if (behaviour == Behaviour::StallTls) {
        qWarning("cdn front stand-in: a TLS stall is per listener, not per path");
        return;
    }
    m_pathRules.insert(path, rule(behaviour, delayMs));
}

void CdnFrontStandIn::close()
{
    delete m_server;
    m_server = nullptr;
    const QList<QTcpSocket *> sockets = m_sockets;
    m_sockets.clear();
    m_buffers.clear();
    for (QTcpSocket *socket : sockets) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
}

quint16 CdnFrontStandIn::port() const
{
    return m_server ? m_server->serverPort() : 0;
}

void CdnFrontStandIn::track(QTcpSocket *socket)
{
    m_sockets.append(socket);
    auto drop = [this, socket] {
        if (!m_sockets.removeOne(socket))
            return;
        m_buffers.remove(socket);
        socket->deleteLater();
    };
    connect(socket, &QTcpSocket::stateChanged, this, [drop](QAbstractSocket::SocketState state) {
        if (state == QAbstractSocket::UnconnectedState)
            drop();
    });
    connect(socket, &QTcpSocket::errorOccurred, this, [socket] { socket->abort(); });
    QTimer::singleShot(IdleTimeoutMs, socket, [socket] { socket->abort(); });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
    if (auto *tls = qobject_cast<QSslSocket *>(socket)) {
        tls->setSslConfiguration(frontTls());
        tls->startServerEncryption();
    }
}

void CdnFrontStandIn::onReadyRead(QTcpSocket *socket)
{
    // A stalled handshake never answers the client's hello; after the request
    // head, whatever comes is ignored.
    if (!qobject_cast<QSslSocket *>(socket) || socket->property("headRead").toBool()) {
        socket->readAll();
        return;
    }
    QByteArray &buffer = m_buffers[socket];
    buffer += socket->read(MaxHeadBytes + 1 - buffer.size());
    const int end = buffer.indexOf("\r\n\r\n");
    if (end < 0) {
        if (buffer.size() > MaxHeadBytes)
            socket->abort();
        return;
    }
    const QByteArray head = buffer.left(end + 4);
    m_buffers.remove(socket);
    socket->setProperty("headRead", true);
    socket->readAll();
    if (m_requests.size() >= MaxRecordedRequests)
        m_requests.removeFirst();
    m_requests.append(head);
    emit requestReceived(head);
    answer(socket, head);
}

void CdnFrontStandIn::answer(QTcpSocket *socket, const QByteArray &head)
{
    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    const QString path = QString::fromLatin1(requestLine.value(1));
    const Rule chosen = m_pathRules.value(path, m_rule);
    const bool upgrade = chosen.behaviour != Behaviour::Forbidden;
    QByteArray reply;
    if (upgrade) {
        const QByteArray accept = QCryptographicHash::hash(headerValue(head, "sec-websocket-key")
                                                               + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11",
                                                           QCryptographicHash::Sha1)
                                      .toBase64();
        reply = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                "Sec-WebSocket-Accept: " + accept + "\r\n\r\n";
    } else {
        reply = "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: 9\r\nConnection: close\r\n\r\n"
                "Forbidden";
    }
    QTimer::singleShot(chosen.delayMs, socket, [this, socket, reply, upgrade, path] {
        if (socket->state() != QAbstractSocket::ConnectedState)
            return;
        socket->write(reply);
        emit answered(path, upgrade ? 101 : 403);
        if (!upgrade)
            socket->disconnectFromHost();
    });
}
