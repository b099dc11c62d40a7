#pragma once

#include <QJsonObject>
#include <QList>
#include <QLocalSocket>
#include <QObject>

#include <functional>

// A bare JSON-lines client of the daemon socket, as the tests' own eyes:
// nothing of the product's client code, so the stand-in is checked against
// the wire format itself.
class DaemonClient : public QObject
{
    Q_OBJECT
public:
    explicit DaemonClient(QObject *parent = nullptr);

    bool connectTo(const QString &name, int timeoutMs = 5000);
    bool isConnected() const { return m_socket.state() == QLocalSocket::ConnectedState; }
    void send(const QJsonObject &message);
    void sendRaw(const QByteArray &bytes);

    // The next message of `type` (others are skipped) that satisfies `accept`,
    // or an empty object after timeoutMs.
    QJsonObject waitFor(const QString &type, int timeoutMs = 5000,
                        const std::function<bool(const QJsonObject &)> &accept = {});
    // Everything received and not yet taken by waitFor().
    QList<QJsonObject> pending() const { return m_messages; }
    void clear() { m_messages.clear(); }
    bool waitForDisconnected(int timeoutMs = 5000);

private:
    void onReadyRead();

    QLocalSocket m_socket;
    QByteArray m_buffer;
    QList<QJsonObject> m_messages;
};
