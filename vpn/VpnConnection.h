#pragma once

#include <QJsonObject>
#include <QObject>
#include <QSharedPointer>

#include "vpn/VpnProtocol.h"

class IpcClient;
class IpcInterfaceReplica;
class Settings;

// Owns the active tunnel driver and what must outlive a driver: the kill
// switch's block, the firewall hold that keeps traffic in while a tunnel is
// replaced or repaired, the recovery after the service crashed, and the
// clean-up of a tunnel an earlier run left behind.
class VpnConnection : public QObject
{
    Q_OBJECT
public:
    explicit VpnConnection(QSharedPointer<Settings> settings, QObject *parent = nullptr);
    ~VpnConnection() override;

    // The start-up status check, retried while the service does not answer.
    void cleanUpLeftoverTunnel(int attempts);

    bool holdFirewall();
    void releaseFirewall(bool keepForKillSwitch);
    bool isFirewallHeld() const;
    bool hasTunnelOrKillSwitch();
    // The server address that may be probed outside the tunnel, or empty.
    QString directProbeAddress() const;
    // The server address of a connection configuration when it is a public
    // IPv4 address, else empty.
    static QString publicServerAddress(const QJsonObject &config);
    void setRecovering(bool recovering);
    bool dropDeadTunnel();

    VpnProtocol::ConnectionState connectionState() const { return m_state; }
    VpnProtocol::Protocol protocol() const { return m_protocol; }
    QSharedPointer<VpnProtocol> vpnProtocol() const { return m_vpnProtocol; }
    QJsonObject configuration() const { return m_vpnConfiguration; }
    bool killSwitchBlock() const { return m_killSwitchBlock; }
    // A driver exists, or the tunnel's state changed less than 30 s ago: a
    // request failing now may be the tunnel's doing, not the network's.
    bool isBusyWithTunnel() const;

    struct Timings
    {
        int statusTimeoutMs = 3000;
        int statusRetryMs = 2000;
        int deactivateTimeoutMs = 1000;
        int launchDelayMs = 1200;
        int releaseWindowMs = 30000;
        int holdWaitMs = 25000;
    };
#ifdef KELVRA_TESTING
    static void setTimingsForTesting(const Timings &timings);
#endif

signals:
    void vpnError(VpnProtocol::Errors error);
    void connectionStateChanged(VpnProtocol::ConnectionState state);
    void bytesChanged(double download, double upload);
    void tunnelDead();
    void holdFailed();
    void killSwitchBlockChanged(bool blocking);
    void serviceBackAfterCrash();

public slots:
    void endCrashBlock();
    void onServiceLinkRestored();
    void onConnectionStateChanged(VpnProtocol::ConnectionState state);
    void connectToVpn(VpnProtocol::Protocol protocol, QJsonObject config);
    void disconnectFromVpn();
    void onBytesChanged(double download, double upload);
    void onVpnError(VpnProtocol::Errors error);
    void onTunnelStalled();
    void onKillSwitchToggled(bool enabled);
    void appendKillSwitchConfig();
    void setProtocol(VpnProtocol::Protocol protocol);

private:
    static QSharedPointer<IpcInterfaceReplica> service();
    bool killSwitchOn() const;
    void setKillSwitchBlock(bool blocking);
    void detach(const QSharedPointer<VpnProtocol> &driver);
    static void takeDown(const QSharedPointer<VpnProtocol> &driver);
    void launch(const QSharedPointer<VpnProtocol> &driver);
    // Takes the driver down and lets it go, without a word to anyone.
    void dropDriver();
    void deactivateLeftover();

    QSharedPointer<Settings> m_settings;
    IpcClient *m_ipcClient = nullptr;
    QSharedPointer<VpnProtocol> m_vpnProtocol;
    VpnProtocol::Protocol m_protocol = VpnProtocol::Optimal;
    QJsonObject m_vpnConfiguration;
    VpnProtocol::ConnectionState m_state = VpnProtocol::Disconnected;
    bool m_holding = false;
    bool m_crashReconnectPending = false;
    bool m_crashBlock = false;
    bool m_leftoverBlock = false;
    bool m_killSwitchBlock = false;
    bool m_recovering = false;
    bool m_linkRestoredWatched = false;
    qint64 m_releasedAt = -1;
    qint64 m_lastActivityAt = -1;
    quint64 m_connectGeneration = 0;
};
