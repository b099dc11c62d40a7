#pragma once

#include <QJsonObject>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>

#include <functional>

#include "vpn/VpnProtocol.h"

class ServersModel;
class VpnConnection;

// Repairs a tunnel that was up and died, without the user. The screen stays
// on "Connected" while it retries on the same server a bounded number of
// times: a ping outside the tunnel first tells a dead network (wait, try
// again) from a dead tunnel (reconnect now), and each reconnect asks the
// backend to restore the device's peer on the server and waits out the
// backend's recovery limit. When the repair on one server ends badly it moves
// to another server, at most twice, and returns to the starting server when
// that goes badly too. Then the user is offered to reconnect. Every step is
// reported as a "tunnel_recovery" telemetry event.
//
// The connection controller owns it, hands it the VPN connection's states
// while it runs, and shows what it asks through the hooks.
class TunnelRepair : public QObject
{
    Q_OBJECT
public:
    // What the repair asks of the connection controller.
    struct Hooks
    {
        // Keep the screen on "Connected" (the state seen is Reconnecting).
        std::function<void()> showRepairing;
        // The repair ended without a tunnel: "No connection" when traffic is
        // held (blocked), else "Not protected".
        std::function<void(bool blocked)> showOffer;
        // The repaired tunnel is up: taken as any other Connected.
        std::function<void()> takeConnected;
        // The controller's own connect flow: whether its connect timer runs,
        // and stopping it.
        std::function<bool()> connectFlowRunning;
        std::function<void()> stopConnectFlow;
        // Whether the state the controller last saw is Connected.
        std::function<bool()> shownConnected;
        // Sends the tunnel to the VPN connection.
        std::function<void(VpnProtocol::Protocol protocol, const QJsonObject &config)> connectTunnel;
        std::function<void(int code, const QString &text)> showError;
        // The "tunnel_recovery" events go here (telemetry).
        std::function<void(const QString &name, const QVariantMap &params)> event;
        // Sends the stored protocol reports (not built yet: unset).
        std::function<void()> sendReports;
    };

    // Tries on one server: three for the daemon-driven protocols and after a
    // move, one for OpenVPN, which restarts on its own before it says so.
    static constexpr int kMaxTries = 3;
    static constexpr int kSingleTryLimitMs = 16500;
    static constexpr int kTryLimitMs = 45000;
    static constexpr int kBeforeReconnectMs = 1500;
    static constexpr int kLongestTimerMs = 40000;
    static constexpr int kLongestLimitWaitMs = 60000;
    static constexpr int kLimitWaitsPerRepair = 5;
    static constexpr int kMaxMoves = 2;
    static constexpr int kMaxReconnectsAfterMoves = 5;
    static constexpr int kMoveStateLingersMs = 120000;

    TunnelRepair(QSharedPointer<ServersModel> servers, QSharedPointer<VpnConnection> vpnConnection, Hooks hooks,
                 QObject *parent = nullptr);
    ~TunnelRepair() override;

    void setEventSink(std::function<void(const QString &name, const QVariantMap &params)> sink);
    void setReportSender(std::function<void()> send) { m_hooks.sendReports = std::move(send); }

    bool isRepairing() const { return m_repairing; }
    // The tunnel died: repair it on the current server. With the Cloudflare
    // route (a Stealth tunnel that resolved nothing) the first try is made
    // at once.
    void start(bool cloudflareRoute = false);
    // A new connect ("superseded") or the user's disconnect ("cancelled")
    // ends a running repair.
    void end(const QString &reason);
    // The VPN connection's state while the repair runs.
    void onStateChanged(VpnProtocol::ConnectionState state);
    // The service didn't confirm the firewall hold during the repair.
    void onHoldFailed();

    // The offer to reconnect, shown when a repair ended without a tunnel.
    bool offerShown() const { return m_offerShown; }
    QString offerText() const;
    // True when it was shown.
    bool hideOffer();
    // Only while the offer is shown: a move to another server, from scratch.
    void tryAnotherServer();

    void clearMoveState();
    // 4 s after start and after every Disconnected: with no tunnel, the
    // stored reports go.
    void housekeeping();

#ifdef KELVRA_TESTING
    // Every wait and time limit of the repair runs this many times faster.
    static void setTimeDivisorForTesting(int divisor);
#endif

private:
    bool hasDriver() const;
    int maxTries() const;
    bool repairServerHasCdnRoute() const;
    void event(const QString &outcome);
    // Waits ms (in pieces of at most 40 s), then runs `then` unless the
    // repair ended or started anew meanwhile.
    void waitThen(int ms, const std::function<void()> &then);
    void scheduleNextTry();
    void makeTry();
    void reconnect();
    void recoveryFetch(const QJsonObject &stored);
    void onRecoveryRefused(int status, const QByteArray &retryAfter, const QString &message, bool asked,
                           const QJsonObject &stored);
    void recoverLimitWait(int ms);
    void reconnectFailed(bool timedOut);
    void recovered();
    // The repair on this server ended badly: a move, or the end with the offer.
    void fail(const QString &reason);
    void finish(const QString &reason, bool logEvent);
    bool moveToAnotherServer();
    void showOffer();

    QSharedPointer<ServersModel> m_servers;
    QSharedPointer<VpnConnection> m_vpn;
    Hooks m_hooks;
    QTimer m_limitTimer; // the reconnect's time limit

    bool m_repairing = false;
    bool m_reconnectInFlight = false;
    int m_generation = 0;
    int m_tries = 0;
    VpnProtocol::Protocol m_protocol = VpnProtocol::Optimal;
    QString m_serverId; // the repair's server (config id); may be empty
    int m_limitWaits = 0;
    bool m_noMove = false;

    bool m_moved = false;
    int m_moves = 0;
    int m_reconnectsAfterMoves = 0;
    QStringList m_excluded;
    bool m_startKnown = false;
    QString m_startConfigId;
    VpnProtocol::Protocol m_startProtocol = VpnProtocol::Optimal;
    QString m_moveMessage;

    bool m_offerShown = false;
    bool m_offerBlocked = false;
};
