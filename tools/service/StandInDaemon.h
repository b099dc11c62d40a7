#pragma once

#include <QHash>
#include <QJsonObject>
#include <QLocalServer>
#include <QObject>
#include <QSet>
#include <QStringList>

class QLocalSocket;
class StandInApiFetcher;
class StandInTunnel;

// The service's JSON-lines daemon: one compact JSON object and "\n" per
// message, in both directions, on a local socket. Answers "status",
// "deactivate", "apiFetch", "adBlock" and "bypass" to the asking connection;
// "activate" is answered by the tunnel's "connected" (or "error"), which,
// like every pushed "status", goes to every connection.
//
// Malformed input is logged and dropped, never fatal: a line that is not a
// JSON object or has no string "type" is skipped, and a connection that
// sends more than MaxLineBytes without a line feed is closed.
class StandInDaemon : public QObject
{
    Q_OBJECT
public:
    // An "adBlock" message carries the whole blocklist: up to 300 000 names
    // of up to 253 characters.
    static constexpr qint64 MaxLineBytes = 96 * 1024 * 1024;

    StandInDaemon(StandInTunnel *tunnel, StandInApiFetcher *fetcher, QObject *parent = nullptr);
    ~StandInDaemon() override;

    // Listens at `name`: an absolute path (its folder is created) or a bare
    // local-socket name. A stale socket left at that name is removed first.
    bool listen(const QString &name);
    void close();
    bool isListening() const { return m_server.isListening(); }
    QString serverName() const { return m_server.fullServerName(); }

    int clientCount() const { return int(m_buffers.size()); }
    void dropClients();
    void broadcast(const QJsonObject &message);

    // Types left unanswered, as an older service would: the client's one-shot
    // request then runs into its time-out.
    void setIgnoredTypes(const QStringList &types) { m_ignoredTypes = QSet<QString>(types.begin(), types.end()); }
    // "adBlock" and "bypass" answer "error": "unavailable".
    void setFeaturesUnavailable(bool unavailable) { m_featuresUnavailable = unavailable; }

signals:
    // Every well-formed message, as received (for the stand-in's call log).
    void messageReceived(const QJsonObject &message);
    void clientCountChanged(int count);

private:
    void onNewConnection();
    void onReadyRead(QLocalSocket *socket);
    void handleLine(QLocalSocket *socket, const QByteArray &line);
    void handleMessage(QLocalSocket *socket, const QJsonObject &message);
    static void send(QLocalSocket *socket, const QJsonObject &message);

    QLocalServer m_server;
    StandInTunnel *m_tunnel;
    StandInApiFetcher *m_fetcher;
    QHash<QLocalSocket *, QByteArray> m_buffers;
    QSet<QString> m_ignoredTypes;
    bool m_featuresUnavailable = false;
};
