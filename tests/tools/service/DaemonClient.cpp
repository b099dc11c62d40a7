#include "tests/tools/service/DaemonClient.h"

#include <QJsonDocument>
#include <QTest>

DaemonClient::DaemonClient(QObject *parent)
    : QObject(parent)
{
    connect(&m_socket, &QLocalSocket::readyRead, this, &DaemonClient::onReadyRead);
}

bool DaemonClient::connectTo(const QString &name, int timeoutMs)
{
    m_socket.abort();
    m_buffer.clear();
    m_messages.clear();
    m_socket.connectToServer(name);
    return QTest::qWaitFor([this] { return isConnected(); }, timeoutMs);
}

void DaemonClient::send(const QJsonObject &message)
{
    sendRaw(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
}

void DaemonClient::sendRaw(const QByteArray &bytes)
{
    m_socket.write(bytes);
    m_socket.flush();
}

void DaemonClient::onReadyRead()
{
    m_buffer += m_socket.readAll();
    qsizetype end;
    while ((end = m_buffer.indexOf('\n')) >= 0) {
        const QJsonDocument document = QJsonDocument::fromJson(m_buffer.left(end));
        m_buffer.remove(0, end + 1);
        // Anything but one object per line is a fault of the stand-in.
        if (!document.isObject())
            qWarning("The daemon sent a line that is not a JSON object");
        m_messages.append(document.object());
    }
}

QJsonObject DaemonClient::waitFor(const QString &type, int timeoutMs,
                                  const std::function<bool(const QJsonObject &)> &accept)
{
    QJsonObject found;
    [[maybe_unused]] const bool arrived = QTest::qWaitFor(
        [&] {
            while (!m_messages.isEmpty()) {
                const QJsonObject message = m_messages.takeFirst();
                if (message.value(QLatin1String("type")).toString() == type && (!accept || accept(message))) {
                    found = message;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

bool DaemonClient::waitForDisconnected(int timeoutMs)
{
    return QTest::qWaitFor([this] { return m_socket.state() == QLocalSocket::UnconnectedState; }, timeoutMs);
}
