#pragma once

#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QTimer>

#include "vpn/VpnProtocol.h"

class NetworkManager;
class ServersModel;
class VpnConnection;

// Tells the backend about each tunnel's life: connected (again every four
// minutes while it lasts), and disconnected once the tunnel has stayed down
// for three seconds, so a reconnect in between reads as one session. Only
// while a user is signed in.
class VpnSessionReporter : public QObject
{
    Q_OBJECT
public:
    VpnSessionReporter(QSharedPointer<VpnConnection> vpnConnection, QSharedPointer<ServersModel> servers,
                       QObject *parent = nullptr);

    // What the backend calls the protocol.
    static QString vpnType(VpnProtocol::Protocol protocol);

    static constexpr int kHeartbeatMs = 240000;
    static constexpr int kSettleMs = 3000;
#ifdef KELVRA_TESTING
    void setHeartbeatIntervalForTesting(int ms) { m_heartbeat.setInterval(ms); }
#endif

public slots:
    void onConnectionStateChanged(VpnProtocol::ConnectionState state);

private:
    void send(const QString &state);
    void onFinished(int statusCode);

    QSharedPointer<VpnConnection> m_vpnConnection;
    QSharedPointer<ServersModel> m_servers;
    NetworkManager *m_request;
    QTimer m_heartbeat;
    bool m_connected = false;
    bool m_wasConnected = false;
    bool m_retryPending = false;
    // Counts the tunnel's comings up, so a late "disconnected" knows whether
    // the tunnel came back meanwhile.
    quint64 m_connects = 0;
};
