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
//
// What the kill switch promises: from the moment a tunnel has been connected
// with the kill switch on, until the user disconnects or turns the kill switch
// off, the service has its lockdown on, or a tunnel up with its kill switch on,
// at every moment. Switches, repairs, failures and crashes of the service all
// happen inside that promise: nothing here lifts the lockdown while it holds.
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
    // The user's disconnect (disconnectFromVpn()) ends what the kill switch
    // owes; a failure, a switch or a repair does not.

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
        // How long the service link must stay up after only the daemon's
        // pipe dropped before the service counts as back.
        int pipeOnlyBackMs = 2000;
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
    enum class Hold { Confirmed, NotConfirmed, LinkLost };

    static QSharedPointer<IpcInterfaceReplica> service();
    bool killSwitchOn() const;
    // The kill switch's promise holds: traffic must stay blocked whatever
    // happens to the tunnel.
    bool killSwitchOwed() const;
    void setKillSwitchBlock(bool blocking);
    void publishBlock();
    Hold askHold();
    // The service went away with the kill switch on: its block is kept and
    // shown, and a reconnect is asked for once it is back.
    void keepBlockAfterCrash();
    // A tunnel the kill switch guards was lost: the block stays.
    void keepFailureBlock();
    // What a disconnect does, without ending the kill switch's promise.
    void endTunnel();
    void resendFirewallState();
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
    bool m_failureBlock = false; // block kept after a guarded tunnel failed
    bool m_killSwitchBlock = false;
    // A tunnel was connected with the kill switch on, and neither the user's
    // disconnect nor the kill switch's going off came since.
    bool m_killSwitchPromised = false;
    bool m_recovering = false;
    bool m_linkRestoredWatched = false;
    bool m_releaseUnsent = false; // a release found the link down
    qint64 m_releasedAt = -1;
    qint64 m_lastActivityAt = -1;
    quint64 m_connectGeneration = 0;
};
