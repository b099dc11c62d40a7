#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QString>
#include <QTimer>

#include <QVariantMap>

#include <functional>
#include <memory>

#include "connection/AttemptOutcome.h"
#include "connection/SmartAttempt.h"
#include "vpn/VpnProtocol.h"

class CdnRouteRace;
class RecoverRetry;
class ServersModel;
class Settings;
class TunnelRepair;
class VpnConnection;

// Turns the user's intent (connect, disconnect, reconnect) into work for the
// VPN connection and shows QML the result: a state text, an error text, the
// time connected, notes about restricted networks. With "Optimal" or "Stealth"
// it walks Smart Connect's routes, each with its own time limit, remembers per
// network what worked, and on networks that block VPN protocols races the
// servers' Cloudflare fronts for a way out. Repairing a tunnel that died, and
// moving it to another server, is TunnelRepair's; the one retry after a first
// connect failed is RecoverRetry's. Both belong to the controller, which
// shows what they do.
class ConnectionController : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isConnected READ isConnected NOTIFY connectionStateChanged)
    Q_PROPERTY(bool isConnectionInProgress READ isConnectionInProgress NOTIFY connectionStateChanged)
    Q_PROPERTY(QString connectionStateText READ connectionStateText NOTIFY connectionStateChanged)
    Q_PROPERTY(int vpnError READ vpnError NOTIFY vpnErrorChanged)
    Q_PROPERTY(QString vpnErrorText READ vpnErrorText NOTIFY vpnErrorChanged)
    Q_PROPERTY(QDateTime connectedSince READ connectedSince NOTIFY connectionStateChanged)
    Q_PROPERTY(QString recoveryText READ recoveryText NOTIFY connectionStateChanged)
    Q_PROPERTY(bool killSwitchBlocking READ killSwitchBlocking WRITE setKillSwitchBlocking NOTIFY connectionStateChanged)
    Q_PROPERTY(QString restrictedNote READ restrictedNote WRITE setRestrictedNote NOTIFY restrictedChanged)
    Q_PROPERTY(bool restrictedNetwork READ restrictedNetwork NOTIFY restrictedChanged)
public:
    ConnectionController(QSharedPointer<ServersModel> servers, QSharedPointer<Settings> settings,
                         QSharedPointer<VpnConnection> vpnConnection, QObject *parent = nullptr);
    ~ConnectionController() override;

    bool isConnected() const { return m_isConnected; }
    bool isConnectionInProgress() const { return m_isConnectionInProgress; }
    QString connectionStateText() const { return m_stateText; }
    int vpnError() const { return m_errorCode; }
    QString vpnErrorText() const { return m_errorText; }
    QDateTime connectedSince() const { return m_connectedSince; }
    QString recoveryText() const;
    bool killSwitchBlocking() const { return m_killSwitchBlocking; }
    void setKillSwitchBlocking(bool blocking);
    QString restrictedNote() const { return m_restrictedNote; }
    void setRestrictedNote(const QString &note);
    bool restrictedNetwork() const;

    Q_INVOKABLE void toggleConnection();
    Q_INVOKABLE void tryAnotherServer();
    Q_INVOKABLE void reconnectForSetting();
    Q_INVOKABLE void clearError();

    // Where a finished run's outcomes go (the protocol reports).
    void setOutcomeSink(std::function<void(const QList<AttemptOutcome> &)> sink) { m_outcomeSink = std::move(sink); }
    // Where the repair's "tunnel_recovery" events go (telemetry).
    void setTelemetrySink(std::function<void(const QString &name, const QVariantMap &params)> sink);
    // What sends the stored protocol reports once no tunnel runs.
    void setReportSender(std::function<void()> send);

#ifdef KELVRA_TESTING
    QList<SmartAttempt> attemptsForTesting() const { return m_attempts; }
    int currentIndexForTesting() const { return m_index; }
#endif

signals:
    void showNotification(QString title, QString description, QString buttonText);
    void connectionStateChanged();
    void restrictedChanged();
    void bannerNote(QString text);
    void bytesChanged(double download, double upload);
    void connectToVpn(VpnProtocol::Protocol protocol, QJsonObject config);
    void disconnectFromVpn();
    void prepareConfig(QString config);
    void vpnErrorChanged();

public slots:
    void openConnection();
    void closeConnection(QString reason);
    void closeConnection();
    void onConnectionRequested();
    void onVpnError(VpnProtocol::Errors error);
    void onConnectionStateChanged(VpnProtocol::ConnectionState state);
    void onBytesChanged(double download, double upload);

    // The catalogue's protocolUnavailable(message): error 400 with its text.
    void onProtocolUnavailable(const QString &message);

private:
    void setError(int code, const QString &text);
    // The VPN connection's own state signal, for a state shown without a driver.
    void announce(VpnProtocol::ConnectionState state);
    bool repairing() const;
    bool runActive() const { return m_index >= 0; }
    bool hasDriver() const;
    void setShown(bool connected, bool inProgress, const QString &text);

    bool startSmartConnect(const QString &putLast);
    void runAttempt();
    void attemptFailed(const QString &reason);
    QString failureReasonFor(const QString &route) const;
    void failRun(const QString &message);
    void endRun();
    void recordOutcome(bool success, const QString &reason);
    void onAttemptTimeout();
    void onConnectTimeout();
    void runPendingAction();

    QStringList restrictedCandidates() const;
    SmartAttempt cdnAttemptFor(const QString &candidate) const;
    void startRouteChecks(const QStringList &candidates, int insertAt, int deadlineMs);
    void onRouteDecided(const QString &winner, int insertAt, int generation);

    void handleConnected();
    void startDnsCheck();
    void onTunnelDead();
    void onHoldFailed();
    void onServiceBackAfterCrash();
    // The catalogue starts a connect of its own (a server switch).
    void onNewConnectAttempt();
    // A connect flow starts anew: what the last one left behind goes.
    void forgetRepairAndRetry(const QString &repairEnd);
    void showOffer(bool blocked);
    // The retry with recovery failed too.
    void failAfterRetry();

    QSharedPointer<ServersModel> m_servers;
    QSharedPointer<Settings> m_settings;
    QSharedPointer<VpnConnection> m_vpn;

    int m_generation = 0;
    int m_attemptSequence = 0;
    QList<SmartAttempt> m_attempts;
    int m_index = -1;
    bool m_dialed = false;
    QString m_runConfigId;
    QString m_runServerName;
    int m_runApiId = -1;
    QString m_networkId;
    bool m_routeChecksDone = false;
    bool m_dnsChecked = false;
    std::function<void()> m_pendingAction;
    QPointer<CdnRouteRace> m_race;
    QElapsedTimer m_attemptClock;
    QTimer m_attemptTimer;
    QTimer m_connectTimer;

    VpnProtocol::ConnectionState m_lastState = VpnProtocol::Disconnected;
    QString m_stateText = QStringLiteral("Not Connected");
    bool m_isConnected = false;
    bool m_isConnectionInProgress = false;
    bool m_connectTimerRunning = false;
    int m_errorCode = 0;
    QString m_errorText;
    QDateTime m_connectedSince;
    QString m_restrictedNote;
    QString m_lastConnectedRoute;
    bool m_killSwitchBlocking = false;
    QList<AttemptOutcome> m_outcomes;
    QStringList m_failedRoutes; // routes of this run that failed, with their reason: "route:reason"
    std::function<void(const QList<AttemptOutcome> &)> m_outcomeSink;

    // Last, so that they go first: their callbacks reach into the above.
    std::unique_ptr<RecoverRetry> m_retry;
    std::unique_ptr<TunnelRepair> m_repair;
};
