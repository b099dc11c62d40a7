#include "tools/service/StandInDaemon.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QPointer>

#include "tools/service/StandInApiFetcher.h"
#include "tools/service/StandInNetwork.h"
#include "tools/service/StandInTunnel.h"

namespace {
Q_LOGGING_CATEGORY(lcDaemon, "standin.daemon")

int countStrings(const QJsonValue &value)
{
    int count = 0;
    for (const QJsonValue &item : value.toArray())
        count += item.isString() ? 1 : 0;
    return count;
}
} // namespace

StandInDaemon::StandInDaemon(StandInTunnel *tunnel, StandInApiFetcher *fetcher, QObject *parent)
    : QObject(parent)
    , m_tunnel(tunnel)
    , m_fetcher(fetcher)
{
    m_server.setSocketOptions(QLocalServer::WorldAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, &StandInDaemon::onNewConnection);
    connect(m_tunnel, &StandInTunnel::message, this, &StandInDaemon::broadcast);
}

StandInDaemon::~StandInDaemon()
{
    close();
}

bool StandInDaemon::listen(const QString &name)
{
    close();
    if (QDir::isAbsolutePath(name))
        QDir().mkpath(QFileInfo(name).absolutePath());
    QLocalServer::removeServer(name);
    if (!m_server.listen(name)) {
        qCWarning(lcDaemon) << "Can't listen at" << name << m_server.errorString();
        return false;
    }
    qCInfo(lcDaemon) << "Listening at" << m_server.fullServerName();
    return true;
}

void StandInDaemon::close()
{
    if (m_server.isListening()) {
        const QString name = m_server.fullServerName();
        m_server.close();
        QLocalServer::removeServer(name);
    }
    dropClients();
}

void StandInDaemon::dropClients()
{
    const QList<QLocalSocket *> sockets = m_buffers.keys();
    m_buffers.clear();
    for (QLocalSocket *socket : sockets) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    if (!sockets.isEmpty())
        emit clientCountChanged(0);
}

void StandInDaemon::broadcast(const QJsonObject &message)
{
    for (auto it = m_buffers.cbegin(); it != m_buffers.cend(); ++it)
        send(it.key(), message);
}

void StandInDaemon::send(QLocalSocket *socket, const QJsonObject &message)
{
    if (socket->state() != QLocalSocket::ConnectedState)
        return;
    socket->write(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
    socket->flush();
}

void StandInDaemon::onNewConnection()
{
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        m_buffers.insert(socket, QByteArray());
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] {
            if (m_buffers.remove(socket)) {
                socket->deleteLater();
                emit clientCountChanged(clientCount());
            }
        });
        emit clientCountChanged(clientCount());
    }
}

void StandInDaemon::onReadyRead(QLocalSocket *socket)
{
    QPointer<QLocalSocket> guard(socket);
    // What the buffer held before this read has no line end: only new bytes
    // are searched, so a long line costs its length once, not once per read.
    qsizetype scanned = m_buffers.value(socket).size();
    while (guard && m_buffers.contains(socket)) {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        const qsizetype end = buffer.indexOf('\n', scanned);
        scanned = 0;
        if (end < 0) {
            if (buffer.size() > MaxLineBytes) {
                qCWarning(lcDaemon) << "A client sent" << buffer.size() << "bytes without a line end: closing it";
                m_buffers.remove(socket);
                socket->abort();
                socket->deleteLater();
                emit clientCountChanged(clientCount());
            }
            return;
        }
        const QByteArray line = buffer.left(end).trimmed();
        buffer.remove(0, end + 1);
        if (end > MaxLineBytes)
            qCWarning(lcDaemon) << "Dropped a line of" << end << "bytes";
        else if (!line.isEmpty())
            handleLine(socket, line);
    }
}

void StandInDaemon::handleLine(QLocalSocket *socket, const QByteArray &line)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (!document.isObject()) {
        qCWarning(lcDaemon) << "Dropped a line that is no JSON object:" << error.errorString();
        return;
    }
    const QJsonObject message = document.object();
    if (!message.value(QLatin1String("type")).isString()) {
        qCWarning(lcDaemon) << "Dropped a message without a type";
        return;
    }
    emit messageReceived(message);
    handleMessage(socket, message);
}

void StandInDaemon::handleMessage(QLocalSocket *socket, const QJsonObject &message)
{
    const QString type = message.value(QLatin1String("type")).toString();
    // Message contents stay out of the log: activations carry private keys,
    // apiFetch the session token.
    qCInfo(lcDaemon) << "Received" << type;
    if (m_ignoredTypes.contains(type)) {
        qCInfo(lcDaemon) << "Leaving" << type << "unanswered, as scripted";
        return;
    }
    if (type == QLatin1String("status")) {
        send(socket, m_tunnel->status());
    } else if (type == QLatin1String("activate")) {
        m_tunnel->activate(StandInNetwork::familyOf(message));
    } else if (type == QLatin1String("deactivate")) {
        const bool wasUp = m_tunnel->state() != StandInTunnel::State::Down;
        m_tunnel->deactivate();
        send(socket, QJsonObject{{QStringLiteral("type"), QStringLiteral("deactivate")}});
        if (wasUp)
            broadcast(QJsonObject{{QStringLiteral("type"), QStringLiteral("disconnected")}});
    } else if (type == QLatin1String("apiFetch")) {
        QPointer<QLocalSocket> guard(socket);
        m_fetcher->fetch(message, [this, guard](const QJsonObject &reply) {
            if (guard && m_buffers.contains(guard.data()))
                send(guard.data(), reply);
        });
    } else if (type == QLatin1String("adBlock")) {
        const bool enabled = message.value(QLatin1String("enabled")).toBool(false);
        QJsonObject reply{{QStringLiteral("type"), type},
                          {QStringLiteral("enabled"), enabled},
                          {QStringLiteral("count"), enabled ? countStrings(message.value(QLatin1String("domains"))) : 0}};
        if (m_featuresUnavailable)
            reply.insert(QStringLiteral("error"), QStringLiteral("unavailable"));
        send(socket, reply);
    } else if (type == QLatin1String("bypass")) {
        QJsonObject reply{{QStringLiteral("type"), type},
                          {QStringLiteral("count"), countStrings(message.value(QLatin1String("sites")))}};
        if (m_featuresUnavailable)
            reply.insert(QStringLiteral("error"), QStringLiteral("unavailable"));
        send(socket, reply);
    } else {
        qCWarning(lcDaemon) << "Unknown message type" << type << "- not answered";
    }
}
