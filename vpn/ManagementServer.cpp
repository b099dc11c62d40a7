#include "vpn/ManagementServer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("ManagementServer"));
}

ManagementServer::ManagementServer(QObject *parent) : QObject(parent) { }

ManagementServer::~ManagementServer() = default;

bool ManagementServer::start(const QString &host, quint16 port)
{
    stop();
    delete m_server;
    m_server = new QTcpServer(this);
    m_server->setMaxPendingConnections(1);
    connect(m_server, &QTcpServer::acceptError, this, &ManagementServer::onAcceptError);
    connect(m_server, &QTcpServer::newConnection, this, &ManagementServer::onNewConnection);
    if (!m_server->listen(QHostAddress(host), port)) {
        logger.error() << QStringLiteral("Can't start TCP server, error: %1,%2")
                              .arg(int(m_server->serverError()))
                              .arg(m_server->errorString());
        return false;
    }
    emit serverStarted();
    return true;
}

void ManagementServer::stop()
{
    if (m_server)
        m_server->close();
}

bool ManagementServer::isOpen() const
{
    return m_socket && m_socket->isOpen();
}

void ManagementServer::onAcceptError(QAbstractSocket::SocketError socketError)
{
    logger.error() << "Accept error:" << int(socketError);
}

void ManagementServer::onNewConnection()
{
    logger.info() << "New incoming connect";
    QTcpSocket *socket = m_server ? m_server->nextPendingConnection() : nullptr;
    if (!socket)
        return;
    m_socket = socket;
    m_skipping = false;
    m_server->close();
    connect(socket, &QTcpSocket::disconnected, this, &ManagementServer::onSocketDisconnected);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, this, &ManagementServer::onReadyRead);
    connect(socket, &QTcpSocket::errorOccurred, this, &ManagementServer::onSocketError);
    if (socket->bytesAvailable() > 0)
        emit readyRead();
}

void ManagementServer::onReadyRead()
{
    emit readyRead();
}

void ManagementServer::onSocketDisconnected()
{
    logger.info() << "Management client disconnected";
}

void ManagementServer::onSocketError(QAbstractSocket::SocketError socketError)
{
    logger.warning() << "Socket error:" << int(socketError);
}

bool ManagementServer::canReadLine() const
{
    if (!isOpen())
        return false;
    // A line that never ends is handed out in pieces rather than kept whole.
    return m_socket->canReadLine() || m_socket->bytesAvailable() >= kMaxLineBytes;
}

QString ManagementServer::readLine()
{
    if (!isOpen()) {
        logger.warning() << "Socket isn't opened";
        return QString();
    }
    const QByteArray chunk = m_socket->readLine(kMaxLineBytes + 1);
    const bool complete = chunk.endsWith('\n');
    if (m_skipping || !complete) {
        // Part of a line too long to be anything OpenVPN says: dropped whole.
        if (!m_skipping)
            logger.warning() << "Management line too long: dropped";
        m_skipping = !complete;
        return QString();
    }
    return QString::fromUtf8(chunk);
}

qint64 ManagementServer::writeCommand(const QString &command)
{
    if (!isOpen())
        return 0;
    const qint64 written = m_socket->write(command.toUtf8() + '\n');
    m_socket->flush();
    return written < 0 ? 0 : written;
}
