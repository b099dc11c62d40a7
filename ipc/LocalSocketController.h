#pragma once

#include <QJsonObject>
#include <QLocalSocket>
#include <QObject>
#include <QUrl>

#include <functional>

#include "ipc/LineBuffer.h"
#include "vpn/VpnProtocol.h"

// The Kelvra service's JSON-lines link (one compact JSON object and "\n" per
// message; the socket name is in ipc/ServiceNames.h). A daemon-driven driver
// owns one to bring its tunnel up and to follow it; the static request() and
// apiFetch() make one-shot exchanges on a connection of their own. Nothing is
// written before the far end proved to be the installed service.
class LocalSocketController : public QObject
{
    Q_OBJECT
public:
    enum LinkState { Idle = 0, AwaitingStatus = 1, Ready = 2 };

    explicit LocalSocketController(QObject *parent = nullptr);
    ~LocalSocketController() override;

    void initialize();
    void activate(const QJsonObject &config);
    void deactivate();
    void sendJson(const QJsonObject &message);

    LinkState linkState() const { return m_linkState; }
    bool isTunnelUp() const { return m_tunnelUp; }

    // The "activate" message for a connection configuration.
    static QJsonObject activateMessage(const QJsonObject &config);
    // The "apiFetch" message for a URL and session token.
    static QJsonObject apiFetchMessage(const QUrl &url, const QString &token);

    using Reply = std::function<void(const QJsonObject &reply)>;
    // Sends one message on a connection of its own and calls back exactly once
    // (never once `parent` is being destroyed): with the first reply of the same "type",
    // or with an empty object on any failure or after `timeoutMs`.
    static void request(QObject *parent, const QJsonObject &message, int timeoutMs, Reply callback);

    using FetchReply = std::function<void(int status, const QByteArray &body, const QByteArray &retryAfter)>;
    // An API request the service makes on the client's behalf (while the
    // firewall holds everything else back).
    static void apiFetch(QObject *parent, const QUrl &url, const QString &token, FetchReply callback);

    // The longest line read from the service; longer ones are dropped.
    static constexpr qsizetype kMaxLineBytes = 1 << 20;
    // One-shot replies carry whole API bodies.
    static constexpr qsizetype kMaxReplyBytes = 32 << 20;

#ifdef KELVRA_TESTING
    // Reads bytes as if the service had sent them on the link.
    void receiveForTesting(const QByteArray &bytes) { consume(bytes); }
#endif

signals:
    void connected();
    void disconnected();
    void daemonErrorOccurred(VpnProtocol::Errors error);
    void bytesChanged(double download, double upload);
    void tunnelStalled();
    void tunnelAlive();

private slots:
    void readData();
    void errorOccurred(QLocalSocket::LocalSocketError error);

private:
    void onSocketConnected();
    void onSocketDisconnected();
    void writeActivation(const QJsonObject &message);
    // Fails an activation still waiting for the pipe; false when none waited.
    bool failPendingActivation();
    bool verifyServer();
    void consume(const QByteArray &bytes);
    void handleLine(const QByteArray &line);
    void handleConnected();
    void handleStatus(const QJsonObject &message);
    void handleError(const QJsonObject &message);

    QLocalSocket *m_socket = nullptr;
    LineBuffer m_buffer { kMaxLineBytes };
    LinkState m_linkState = Idle;
    bool m_verified = false;
    bool m_refused = false;
    bool m_tunnelUp = false;
    bool m_activated = false; // an activation was written on this connection
    QJsonObject m_pendingActivation;
    bool m_stalled = false;
    bool m_simulateDead = false;

    int m_lastError = -1;
    qint64 m_lastErrorAt = -1;

    qint64 m_lastSampleMs = 0;
    quint64 m_lastRx = 0;
    quint64 m_lastTx = 0;

    qint64 m_lastStatusAt = -1;
    qint64 m_progressAt = -1;
    qint64 m_deadSinceAt = -1;
    qint64 m_lastSeenRx = -1;
};
