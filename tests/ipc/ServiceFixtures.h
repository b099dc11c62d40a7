#pragma once

// Small stand-ins for the service's two ends, written into the tests so the
// client's parsers and state machines can be driven line by line: a daemon
// socket that records what it is sent and says what the test tells it (the log
// capture lives in tests/support). It runs in the test process, so the peer check is pointed at
// the test program itself.

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMutex>
#include <QPointer>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

#include "support/LogCapture.h"

// A JSON-lines daemon on a socket of the test's own.
class FakeDaemon : public QObject
{
    Q_OBJECT
public:
    explicit FakeDaemon(QObject *parent = nullptr) : QObject(parent)
    {
        m_path = m_dir.path() + QStringLiteral("/daemon.socket");
        connect(&m_server, &QLocalServer::newConnection, this, &FakeDaemon::accept);
        m_server.listen(m_path);
        qputenv("KELVRA_TEST_DAEMON_SOCKET", m_path.toUtf8());
    }

    QString path() const { return m_path; }
    bool listening() const { return m_server.isListening(); }
    QLocalSocket *client() const { return m_client; }
    int connections() const { return m_connections; }
    // Messages received, parsed; raw bytes count too.
    QList<QJsonObject> received;
    QByteArray raw;
    // When set, called with every message; its return (if not empty) is sent back.
    std::function<QJsonObject(const QJsonObject &)> answer;

    void send(const QByteArray &bytes)
    {
        if (m_client) {
            m_client->write(bytes);
            m_client->flush();
        }
    }
    void sendJson(const QJsonObject &message) { send(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n'); }
    void dropClient()
    {
        if (m_client)
            m_client->disconnectFromServer();
    }
    QStringList types() const
    {
        QStringList list;
        for (const QJsonObject &m : received)
            list << m.value(QLatin1String("type")).toString();
        return list;
    }

signals:
    void messageReceived(const QJsonObject &message);

private:
    void accept()
    {
        while (QLocalSocket *socket = m_server.nextPendingConnection()) {
            ++m_connections;
            m_client = socket;
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { read(socket); });
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        }
    }
    void read(QLocalSocket *socket)
    {
        const QByteArray bytes = socket->readAll();
        raw += bytes;
        m_pending += bytes;
        qsizetype end;
        while ((end = m_pending.indexOf('\n')) >= 0) {
            const QJsonObject message = QJsonDocument::fromJson(m_pending.left(end)).object();
            m_pending.remove(0, end + 1);
            received.append(message);
            emit messageReceived(message);
            if (answer) {
                const QJsonObject reply = answer(message);
                if (!reply.isEmpty()) {
                    socket->write(QJsonDocument(reply).toJson(QJsonDocument::Compact) + '\n');
                    socket->flush();
                }
            }
        }
    }

    QTemporaryDir m_dir;
    QString m_path;
    QLocalServer m_server;
    QPointer<QLocalSocket> m_client;
    QByteArray m_pending;
    int m_connections = 0;
};

// Points the peer check at this test program: the fakes above run in it.
inline void trustThisProcessAsService()
{
    qputenv("KELVRA_TEST_SERVICE_BINARY", QCoreApplication::applicationFilePath().toUtf8());
}

inline void trustNoOne()
{
    qputenv("KELVRA_TEST_SERVICE_BINARY", "/nonexistent/kelvra-service");
}
