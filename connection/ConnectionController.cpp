#include "connection/ConnectionController.h"

#include <QDateTime>
#include <QJsonObject>

#include "api/ApiHost.h"
#include "app/Logger.h"
#include "app/Settings.h"
#include "connection/CdnRouteRace.h"
#include "connection/NetworkIdentifier.h"
#include "connection/RecoverRetry.h"
#include "connection/SmartConnectMemory.h"
#include "connection/SmartConnectPlan.h"
#include "connection/StealthLink.h"
#include "connection/TunnelDnsCheck.h"
#include "connection/TunnelRepair.h"
#include "servers/ServersModel.h"
#include "vpn/VpnConnection.h"

namespace {
Logger logger(QStringLiteral("ConnectionController"));

constexpr int kConnectTimeoutMs = 45000;
constexpr int kConfigWaitMs = 5000;
constexpr int kDriverTakeDownMs = 1200;
constexpr int kBetweenAttemptsMs = 1500;
constexpr int kHousekeepingMs = 4000;
constexpr int kPendingActionMs = 1500;
constexpr int kPendingActionWithDriverMs = 10000;
constexpr int kRaceAtStartMs = 8000;
constexpr int kRaceAfterFailureMs = 15000;
constexpr int kRestrictedCandidates = 4;

const QString kCdnRoute = QStringLiteral("reality-cdn");

int apiIdNumber(const QString &apiId)
{
    bool ok = false;
    const int number = apiId.toInt(&ok);
    return ok ? number : -1;
}

// The first record, location or server, that matches.
ServersModel::Server *findRecord(const ServersModel &servers, const std::function<bool(const ServersModel::Server &)> &matches)
{
    for (const auto &location : servers.locations()) {
        if (matches(*location))
            return location.get();
        for (const auto &child : location->children) {
            if (matches(*child))
                return child.get();
        }
    }
    return nullptr;
}

ServersModel::Server *findByApiId(const ServersModel &servers, const QString &apiId)
{
    if (apiId.isEmpty())
        return nullptr;
    return findRecord(servers, [&apiId](const ServersModel::Server &server) { return server.apiId == apiId; });
}

QString errorText(int code, bool connectTimerRan, int lastFetchStatus, VpnProtocol::Protocol protocol, bool killSwitch)
{
    switch (code) {
    case 100:
        return QStringLiteral("OpenVPN's tap adapter is missing. Please reinstall the application.");
    case 101:
        return QStringLiteral("OpenVPN's executable's missing. Please reinstall the application");
    case 102:
        return QStringLiteral("All OpenVPN adapters on this system are currently in use. Please try again");
    case 201:
        return killSwitch ? QStringLiteral("Connection lost. Reconnect, or unblock to use the internet without the VPN.")
                          : QStringLiteral("Connection lost — reconnect to continue.");
    case 300:
        return QStringLiteral("Kelvra service is not running. Please reinstall the application");
    case 400:
        if (!connectTimerRan)
            return QStringLiteral("Couldn't reach this server — try another one.");
        if (lastFetchStatus == 503)
            return QStringLiteral("This server isn't available right now. Please pick another server.");
        switch (protocol) {
        case VpnProtocol::OpenVpnUdp:
            return QStringLiteral("Couldn't connect over OpenVPN. Try WireGuard.");
        case VpnProtocol::WireGuard:
            return QStringLiteral("Couldn't connect over WireGuard. Try OpenVPN.");
        case VpnProtocol::AmneziaWg:
            return QStringLiteral("Couldn't connect over AmneziaWG. Try WireGuard or OpenVPN.");
        case VpnProtocol::Stealth:
            return QStringLiteral("Couldn't connect over Stealth. Try AmneziaWG or another server.");
        case VpnProtocol::OpenVpnTcp:
            return QStringLiteral("Couldn't connect over OpenVPN TCP. Try another server or protocol.");
        default:
            return QStringLiteral("Couldn't reach this server — try another one.");
        }
    default:
        return QStringLiteral("Connection failed — please try again.");
    }
}

QString rateLimitMessage(const QByteArray &retryAfter)
{
    bool ok = false;
    const int seconds = QString::fromLatin1(retryAfter).trimmed().toInt(&ok);
    if (ok && seconds >= 1 && seconds <= 300)
        return QStringLiteral("Too many connection attempts. Try again in %1 seconds.").arg(seconds);
    return QStringLiteral("Too many connection attempts. Wait a minute and try again.");
}
} // namespace

ConnectionController::ConnectionController(QSharedPointer<ServersModel> servers, QSharedPointer<Settings> settings,
                                           QSharedPointer<VpnConnection> vpnConnection, QObject *parent)
    : QObject(parent), m_servers(std::move(servers)), m_settings(std::move(settings)), m_vpn(std::move(vpnConnection))
{
    m_connectTimer.setSingleShot(true);
    m_connectTimer.setInterval(kConnectTimeoutMs);
    m_attemptTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this, &ConnectionController::onConnectTimeout);
    connect(&m_attemptTimer, &QTimer::timeout, this, &ConnectionController::onAttemptTimeout);

    TunnelRepair::Hooks repairHooks;
    repairHooks.showRepairing = [this] {
        m_lastState = VpnProtocol::Reconnecting;
        setShown(true, false, QStringLiteral("Connected"));
        emit connectionStateChanged();
        emit bytesChanged(0, 0);
    };
    repairHooks.showOffer = [this](bool blocked) { showOffer(blocked); };
    repairHooks.takeConnected = [this] { handleConnected(); };
    repairHooks.connectFlowRunning = [this] { return m_connectTimer.isActive(); };
    repairHooks.stopConnectFlow = [this] { m_connectTimer.stop(); };
    repairHooks.shownConnected = [this] { return m_lastState == VpnProtocol::Connected; };
    repairHooks.connectTunnel = [this](VpnProtocol::Protocol protocol, const QJsonObject &config) {
        emit connectToVpn(protocol, config);
    };
    repairHooks.showError = [this](int code, const QString &text) { setError(code, text); };
    m_repair = std::make_unique<TunnelRepair>(m_servers, m_vpn, repairHooks);

    RecoverRetry::Hooks retryHooks;
    retryHooks.connectTimerRunning = [this] { return m_connectTimer.isActive(); };
    retryHooks.connect = [this](VpnProtocol::Protocol protocol, const QJsonObject &config) {
        announce(VpnProtocol::Connecting);
        emit connectToVpn(protocol, config);
    };
    retryHooks.fail = [this] { failAfterRetry(); };
    m_retry = std::make_unique<RecoverRetry>(m_servers, m_vpn, retryHooks);

    if (m_vpn) {
        VpnConnection *vpn = m_vpn.data();
        connect(vpn, &VpnConnection::connectionStateChanged, this, &ConnectionController::onConnectionStateChanged);
        connect(vpn, &VpnConnection::bytesChanged, this, &ConnectionController::onBytesChanged);
        connect(vpn, &VpnConnection::killSwitchBlockChanged, this, &ConnectionController::setKillSwitchBlocking);
        connect(vpn, &VpnConnection::vpnError, this, [this](VpnProtocol::Errors error) {
            // A run only ends on a service that isn't there; a failed first
            // connect may get its one retry with recovery.
            if (runActive() && error == VpnProtocol::ServiceNotRunning)
                endRun();
            if (!repairing() && m_connectTimer.isActive() && m_retry->takeError(error))
                return;
            onVpnError(error);
        });
        connect(vpn, &VpnConnection::tunnelDead, this, &ConnectionController::onTunnelDead);
        connect(vpn, &VpnConnection::holdFailed, this, &ConnectionController::onHoldFailed);
        connect(vpn, &VpnConnection::serviceBackAfterCrash, this, &ConnectionController::onServiceBackAfterCrash);
        connect(this, &ConnectionController::connectToVpn, vpn, &VpnConnection::connectToVpn, Qt::QueuedConnection);
        connect(this, &ConnectionController::disconnectFromVpn, vpn, &VpnConnection::disconnectFromVpn,
                Qt::QueuedConnection);
    }
    if (m_servers) {
        connect(m_servers.data(), &ServersModel::connectToVpn, this, &ConnectionController::openConnection);
        connect(m_servers.data(), &ServersModel::serversLoaded, this, &ConnectionController::restrictedChanged);
        connect(m_servers.data(), &ServersModel::newConnectAttempt, this, &ConnectionController::onNewConnectAttempt);
    }
    connect(this, &ConnectionController::connectionStateChanged, this, &ConnectionController::restrictedChanged);
    QTimer::singleShot(kHousekeepingMs, this, [this] { m_repair->housekeeping(); });
}

ConnectionController::~ConnectionController() = default;

void ConnectionController::setTelemetrySink(std::function<void(const QString &, const QVariantMap &)> sink)
{
    m_repair->setEventSink(std::move(sink));
}

void ConnectionController::setReportSender(std::function<void()> send)
{
    m_repair->setReportSender(std::move(send));
}

bool ConnectionController::repairing() const
{
    return m_repair && m_repair->isRepairing();
}

QString ConnectionController::recoveryText() const
{
    return m_repair->offerText();
}

void ConnectionController::setKillSwitchBlocking(bool blocking)
{
    if (m_killSwitchBlocking == blocking)
        return;
    m_killSwitchBlocking = blocking;
    emit connectionStateChanged();
}

void ConnectionController::setRestrictedNote(const QString &note)
{
    if (m_restrictedNote == note)
        return;
    m_restrictedNote = note;
    emit restrictedChanged();
}

bool ConnectionController::restrictedNetwork() const
{
    if (!m_servers
        || !findRecord(*m_servers, [](const ServersModel::Server &server) { return server.usableCdnRoute(); }))
        return false;
    return !m_restrictedNote.isEmpty() || m_servers->restrictedNetworkLikely()
        || !SmartConnectMemory::restrictedServer(NetworkIdentifier::current()).isEmpty();
}

bool ConnectionController::hasDriver() const
{
    return m_vpn && m_vpn->vpnProtocol();
}

void ConnectionController::announce(VpnProtocol::ConnectionState state)
{
    if (m_vpn)
        emit m_vpn->connectionStateChanged(state);
}

void ConnectionController::setError(int code, const QString &text)
{
    m_errorCode = code;
    m_errorText = text;
    emit vpnErrorChanged();
}

void ConnectionController::clearError()
{
    if (m_errorCode == 0 && m_errorText.isEmpty())
        return;
    m_errorCode = 0;
    m_errorText.clear();
    emit vpnErrorChanged();
}

void ConnectionController::setShown(bool connected, bool inProgress, const QString &text)
{
    m_isConnected = connected;
    m_isConnectionInProgress = inProgress;
    m_stateText = text;
}

void ConnectionController::toggleConnection()
{
    if (m_repair->offerShown() || (!m_isConnected && !m_isConnectionInProgress))
        openConnection();
    else
        closeConnection(QStringLiteral("the connect button or a protocol change"));
}

void ConnectionController::tryAnotherServer()
{
    m_repair->tryAnotherServer();
}

void ConnectionController::showOffer(bool blocked)
{
    m_connectTimer.stop();
    if (!hasDriver())
        announce(VpnProtocol::Disconnected);
    setShown(false, false, blocked ? QStringLiteral("No connection") : QStringLiteral("Not protected"));
    emit connectionStateChanged();
}

void ConnectionController::forgetRepairAndRetry(const QString &repairEnd)
{
    m_retry->reset();
    m_repair->end(repairEnd);
    if (m_repair->hideOffer())
        emit connectionStateChanged();
}

void ConnectionController::onNewConnectAttempt()
{
    if (runActive())
        endRun();
    if (m_servers)
        m_servers->bumpConnectAttempt();
    forgetRepairAndRetry(QStringLiteral("superseded"));
    m_connectTimer.start(kConnectTimeoutMs);
    m_connectTimerRunning = true;
    m_lastConnectedRoute.clear();
    clearError();
}

void ConnectionController::reconnectForSetting()
{
    if (!m_isConnected || !m_vpn)
        return;
    onNewConnectAttempt();
    announce(VpnProtocol::Connecting);
    emit connectToVpn(m_vpn->protocol(), m_vpn->configuration());
}

void ConnectionController::failAfterRetry()
{
    if (repairing())
        return;
    const VpnProtocol::Protocol protocol = m_vpn ? m_vpn->protocol() : VpnProtocol::Optimal;
    setError(400, errorText(400, true, m_servers ? m_servers->lastConfigFailureStatus() : 0, protocol,
                            m_settings && m_settings->killSwitch()));
    m_connectTimerRunning = false;
    onConnectionStateChanged(VpnProtocol::Disconnected);
}

void ConnectionController::openConnection()
{
    clearError();
    forgetRepairAndRetry(QStringLiteral("superseded"));
    m_repair->clearMoveState();
    if (runActive())
        endRun();
    setRestrictedNote(QString());

    ServersModel::Server *server = m_servers ? m_servers->currentServer() : nullptr;
    if (!server) {
        logger.error() << "currentServer is invalid pointer";
        return;
    }
    if (m_servers->checkProtocolOffered(server)) {
        announce(VpnProtocol::Disconnected);
        return;
    }

    const VpnProtocol::Protocol protocol = server->effectiveProtocol();
    m_vpn->setProtocol(protocol);
    m_connectTimer.start(kConnectTimeoutMs);
    m_connectTimerRunning = true;
    m_lastConnectedRoute.clear();
    announce(VpnProtocol::Connecting);
    logger.info() << "Connecting with protocol:" << VpnProtocol::displayName(protocol)
                  << "(user pref:" << VpnProtocol::displayName(server->selectedProtocol)
                  << ", recommended:" << VpnProtocol::displayName(server->recommendedProtocol) << ")";

    if (startSmartConnect(QString()))
        return;
    const QPointer<ConnectionController> self(this);
    m_servers->getServerConfig(
        server->configId, protocol,
        [self, protocol](const QJsonObject &config) {
            if (self)
                emit self->connectToVpn(protocol, config);
        },
        true, 0, {}, true);
}

void ConnectionController::onConnectionRequested()
{
    openConnection();
}

bool ConnectionController::startSmartConnect(const QString &putLast)
{
    ServersModel::Server *server = m_servers ? m_servers->currentServer() : nullptr;
    if (!server)
        return false;
    const QString mode = SmartConnectPlan::modeFor(server->selectedProtocol);
    if (mode.isEmpty())
        return false;

    m_networkId = NetworkIdentifier::current();
    const QStringList order = m_servers->protocolOrders().value(mode);
    const QString remembered = SmartConnectMemory::workedRoute(m_networkId);
    logger.debug() << "Smart Connect: server order for" << mode << "=" << order.join(QStringLiteral(", "))
                   << "| remembered =" << remembered << "| cdn =" << server->hasCdnRoute;

    SmartConnectPlan::Input input;
    input.mode = mode;
    input.catalogueOrder = order;
    input.remembered = remembered;
    input.putLast = putLast;
    input.offered = [server](const QString &route) {
        if (route == kCdnRoute)
            return server->hasCdnRoute;
        return server->protocols.contains(SmartConnectPlan::protocolOf(route));
    };
    const QList<SmartAttempt> attempts = SmartConnectPlan::build(input);
    if (attempts.isEmpty())
        return false;

    ++m_generation;
    m_attempts = attempts;
    m_index = 0;
    m_outcomes.clear();
    m_failedRoutes.clear();
    m_runConfigId = server->configId;
    m_runServerName = server->location()->name;
    m_runApiId = apiIdNumber(server->apiId);
    m_vpn->setRecovering(true);
    QStringList routes;
    for (const SmartAttempt &attempt : std::as_const(m_attempts))
        routes << attempt.route;
    logger.info() << "Smart Connect:" << mode << routes.join(QStringLiteral(", "));
    m_routeChecksDone = false;

    if (putLast.isEmpty()
        && (m_servers->restrictedNetworkLikely() || !SmartConnectMemory::restrictedServer(m_networkId).isEmpty())) {
        const QStringList candidates = restrictedCandidates();
        if (!candidates.isEmpty()) {
            m_routeChecksDone = true;
            logger.info() << "Smart Connect: restricted network expected; checking the Cloudflare routes of"
                          << candidates.join(QLatin1Char(','));
            if (!m_vpn->isFirewallHeld() && !hasDriver()) {
                startRouteChecks(candidates, 0, kRaceAtStartMs);
                return true;
            }
            QList<SmartAttempt> front;
            for (const QString &candidate : candidates)
                front << cdnAttemptFor(candidate);
            m_attempts = front + m_attempts;
        }
    }
    runAttempt();
    return true;
}

void ConnectionController::runAttempt()
{
    if (m_index < 0 || m_index >= m_attempts.size())
        return;
    const SmartAttempt attempt = m_attempts.at(m_index);
    const VpnProtocol::Protocol protocol = SmartConnectPlan::protocolOf(attempt.route);
    const QString configId = attempt.configId.isEmpty() ? m_runConfigId : attempt.configId;
    const int sequence = ++m_attemptSequence;
    const int generation = m_generation;
    if (attempt.configId.isEmpty())
        logger.info() << "Smart Connect: trying" << attempt.route;
    else
        logger.info() << "Smart Connect: trying" << attempt.route << "on location" << attempt.apiId;

    m_attemptClock.restart();
    m_dialed = false;
    m_dnsChecked = false;
    m_vpn->setProtocol(protocol);
    m_connectTimer.start(kConnectTimeoutMs);
    m_attemptTimer.start(kConfigWaitMs);

    const QPointer<ConnectionController> self(this);
    m_servers->getServerConfig(
        configId, protocol,
        [self, generation, sequence, protocol, attempt](const QJsonObject &config) {
            if (!self || self->m_generation != generation || self->m_attemptSequence != sequence)
                return;
            self->m_dialed = true;
            self->m_attemptTimer.start(attempt.timeoutMs + (self->hasDriver() ? kDriverTakeDownMs : 0));
            emit self->connectToVpn(protocol, config);
        },
        true, 0,
        [self, generation, sequence, protocol, configId](int status, const QByteArray &retryAfter, const QString &) {
            if (!self || self->m_generation != generation || self->m_attemptSequence != sequence)
                return;
            if (status == 403 || status == 409) {
                // The backend refuses the device or the connection: said the
                // ordinary way, not as a route that failed.
                self->endRun();
                self->m_servers->getServerConfig(
                    configId, protocol,
                    [self, protocol](const QJsonObject &config) {
                        if (self)
                            emit self->connectToVpn(protocol, config);
                    },
                    true, 0, {}, true);
                return;
            }
            if (status == 429) {
                logger.warning() << "Smart Connect: the backend's request limit (HTTP 429): stopping";
                const QString message = rateLimitMessage(retryAfter);
                QTimer::singleShot(0, self, [self, generation, message] {
                    if (self && self->m_generation == generation)
                        self->failRun(message);
                });
                return;
            }
            self->attemptFailed(QStringLiteral("other"));
        },
        false, attempt.route == kCdnRoute ? QStringLiteral("cdn") : QString(), true);
}

QString ConnectionController::failureReasonFor(const QString &route) const
{
    return route == QLatin1String("wireguard") ? QStringLiteral("handshake") : QStringLiteral("timeout");
}

void ConnectionController::onAttemptTimeout()
{
    if (!runActive() || m_lastState == VpnProtocol::Connected)
        return;
    attemptFailed(m_dialed ? failureReasonFor(m_attempts.at(m_index).route) : QStringLiteral("other"));
}

void ConnectionController::onConnectTimeout()
{
    if (runActive()) {
        m_servers->bumpConnectAttempt();
        attemptFailed(failureReasonFor(m_attempts.at(m_index).route));
        return;
    }
    if (repairing() || !m_isConnectionInProgress)
        return;
    logger.warning() << "Connect attempt timed out after" << kConnectTimeoutMs << "ms";
    m_servers->bumpConnectAttempt();
    const bool driver = hasDriver();
    emit disconnectFromVpn();
    onVpnError(VpnProtocol::ConnectionFailed);
    if (!driver)
        announce(VpnProtocol::Disconnected);
}

void ConnectionController::recordOutcome(bool success, const QString &reason)
{
    const SmartAttempt &attempt = m_attempts.at(m_index);
    AttemptOutcome outcome;
    outcome.route = attempt.route;
    outcome.apiId = attempt.apiId >= 0 ? attempt.apiId : m_runApiId;
    outcome.success = success;
    outcome.seconds = double(m_attemptClock.elapsed()) / 1000.0;
    outcome.reason = reason;
    outcome.atMs = QDateTime::currentMSecsSinceEpoch();
    outcome.network = m_networkId;
    m_outcomes.append(outcome);
}

void ConnectionController::attemptFailed(const QString &reason)
{
    if (!runActive())
        return;
    ++m_attemptSequence;
    m_dialed = false;
    m_attemptTimer.stop();
    const QString route = m_attempts.at(m_index).route;
    logger.warning() << "Smart Connect:" << route << "didn't connect:" << reason;
    recordOutcome(false, reason);
    m_failedRoutes << route + QLatin1Char(':') + reason;
    const int generation = m_generation;

    if (m_index == m_attempts.size() - 1 && !m_routeChecksDone) {
        m_routeChecksDone = true;
        QStringList candidates = restrictedCandidates();
        if (m_settings && m_settings->killSwitch()) {
            // The tunnel must not be taken down to probe: the fronts are
            // tried as ordinary attempts instead.
            bool ownCdnListed = false;
            for (const SmartAttempt &attempt : std::as_const(m_attempts))
                ownCdnListed = ownCdnListed || (attempt.route == kCdnRoute && attempt.configId.isEmpty());
            if (ownCdnListed)
                candidates.removeAll(QString::number(m_runApiId));
            for (const QString &candidate : std::as_const(candidates))
                m_attempts << cdnAttemptFor(candidate);
        } else if (!candidates.isEmpty()) {
            logger.info() << "Smart Connect: no direct route works; checking the Cloudflare routes of"
                          << candidates.join(QLatin1Char(','));
            m_lastState = VpnProtocol::Connecting;
            m_vpn->setRecovering(false);
            const int insertAt = m_index + 1;
            emit disconnectFromVpn();
            m_pendingAction = [this, generation, candidates, insertAt] {
                if (m_generation == generation)
                    startRouteChecks(candidates, insertAt, kRaceAfterFailureMs);
            };
            QTimer::singleShot(hasDriver() ? kPendingActionWithDriverMs : kPendingActionMs, this,
                               [this, generation] {
                                   if (m_generation == generation)
                                       runPendingAction();
                               });
            return;
        }
    }

    if (m_index < m_attempts.size() - 1) {
        m_lastState = VpnProtocol::Connecting;
        if (!m_vpn->dropDeadTunnel()) {
            endRun();
            emit disconnectFromVpn();
            return;
        }
        ++m_index;
        QTimer::singleShot(kBetweenAttemptsMs, this, [this, generation] {
            if (m_generation != generation)
                return;
            // The old tunnel is gone: connections made through it are dead.
            ApiHost::noteTunnelChange();
            runAttempt();
        });
        return;
    }
    QTimer::singleShot(0, this, [this, generation] {
        if (m_generation == generation)
            failRun(QString());
    });
}

void ConnectionController::runPendingAction()
{
    if (!m_pendingAction)
        return;
    const std::function<void()> action = std::move(m_pendingAction);
    m_pendingAction = nullptr;
    action();
}

void ConnectionController::failRun(const QString &message)
{
    const QString serverName = m_runServerName;
    endRun();
    const bool driver = hasDriver();
    emit disconnectFromVpn();
    m_connectTimerRunning = false;
    setError(400, message.isEmpty()
                      ? QStringLiteral("Smart Connect couldn't connect to %1 with any protocol. Check your internet "
                                       "connection or try another server.")
                            .arg(serverName)
                      : message);
    if (!driver)
        announce(VpnProtocol::Disconnected);
}

void ConnectionController::endRun()
{
    ++m_generation;
    m_pendingAction = nullptr;
    if (m_race)
        m_race->deleteLater();
    m_race.clear();
    m_index = -1;
    m_dialed = false;
    m_attemptTimer.stop();
    if (m_vpn)
        m_vpn->setRecovering(false);
    if (!m_outcomes.isEmpty() && m_outcomeSink)
        m_outcomeSink(m_outcomes);
    m_outcomes.clear();
}

QStringList ConnectionController::restrictedCandidates() const
{
    QStringList listed = m_servers->restrictedNetworkServers();
    const QString remembered = SmartConnectMemory::restrictedServer(m_networkId);
    if (!remembered.isEmpty())
        listed.prepend(remembered);

    QStringList result;
    const QString own = m_runApiId >= 0 ? QString::number(m_runApiId) : QString();
    const auto usable = [this](const QString &apiId) {
        const ServersModel::Server *server = findByApiId(*m_servers, apiId);
        return server && server->usableCdnRoute();
    };
    if (!own.isEmpty() && usable(own))
        result << own;
    int others = 0;
    for (const QString &id : std::as_const(listed)) {
        if (others >= kRestrictedCandidates - 1)
            break;
        if (id == own || result.contains(id) || !usable(id))
            continue;
        result << id;
        ++others;
    }
    return result;
}

SmartAttempt ConnectionController::cdnAttemptFor(const QString &candidate) const
{
    const ServersModel::Server *server = findByApiId(*m_servers, candidate);
    return SmartAttempt { kCdnRoute, 15000, server ? server->configId : QString(), apiIdNumber(candidate) };
}

void ConnectionController::startRouteChecks(const QStringList &candidates, int insertAt, int deadlineMs)
{
    QList<CdnFront> fronts;
    for (const QString &candidate : candidates) {
        const ServersModel::Server *server = findByApiId(*m_servers, candidate);
        if (server && server->usableCdnRoute())
            fronts << CdnFront { candidate, server->cdnProbeAddress, server->cdnProbeSni, server->cdnProbePath };
    }
    const int generation = m_generation;
    auto *race = new CdnRouteRace(fronts, m_runApiId >= 0 ? QString::number(m_runApiId) : QString(), deadlineMs, this);
    m_race = race;
    connect(race, &CdnRouteRace::decided, this, [this, insertAt, generation](const QString &winner) {
        onRouteDecided(winner, insertAt, generation);
    });
    race->start();
}

void ConnectionController::onRouteDecided(const QString &winner, int insertAt, int generation)
{
    if (m_generation != generation)
        return;
    if (!winner.isEmpty()) {
        if (winner == QString::number(m_runApiId)) {
            // The chosen server's own front got through: its prepared attempt
            // replaces the plain one for it.
            for (int i = int(m_attempts.size()) - 1; i >= insertAt && i >= 0; --i) {
                if (m_attempts.at(i).route == kCdnRoute && m_attempts.at(i).configId.isEmpty())
                    m_attempts.removeAt(i);
            }
        }
        m_attempts.insert(qMin(insertAt, int(m_attempts.size())), cdnAttemptFor(winner));
    }
    if (insertAt < m_attempts.size()) {
        m_index = insertAt;
        m_vpn->setRecovering(true);
        runAttempt();
    } else {
        failRun(QString());
    }
}

void ConnectionController::closeConnection(QString reason)
{
    if (repairing())
        logger.info() << "Disconnect requested by" << reason << "during a repair";
    else
        logger.info() << "Disconnect requested by" << reason;
    if (m_vpn)
        QMetaObject::invokeMethod(m_vpn.data(), &VpnConnection::endCrashBlock, Qt::QueuedConnection);
    if (m_servers)
        m_servers->bumpConnectAttempt();
    m_connectTimer.stop();
    if (runActive())
        endRun();
    m_connectTimerRunning = false;
    setRestrictedNote(QString());
    m_repair->clearMoveState();
    forgetRepairAndRetry(QStringLiteral("cancelled"));
    const bool driver = hasDriver();
    emit disconnectFromVpn();
    if (!driver)
        announce(VpnProtocol::Disconnected);
}

void ConnectionController::closeConnection()
{
    closeConnection(QStringLiteral("app"));
}

void ConnectionController::onVpnError(VpnProtocol::Errors error)
{
    if (error == VpnProtocol::NoError || repairing())
        return;
    const VpnProtocol::Protocol protocol = m_vpn ? m_vpn->protocol() : VpnProtocol::Optimal;
    const QString text = errorText(int(error), m_connectTimerRunning, m_servers ? m_servers->lastConfigFailureStatus() : 0,
                                   protocol, m_settings && m_settings->killSwitch());
    m_connectTimerRunning = false;
    setError(int(error), text);
}

void ConnectionController::onBytesChanged(double download, double upload)
{
    emit bytesChanged(download, upload);
}

void ConnectionController::onProtocolUnavailable(const QString &message)
{
    setError(400, message);
}

void ConnectionController::onConnectionStateChanged(VpnProtocol::ConnectionState state)
{
    if (runActive() && state != VpnProtocol::Connected) {
        if (state == VpnProtocol::Disconnected || state == VpnProtocol::Disconnecting) {
            if (state == VpnProtocol::Disconnected && m_pendingAction) {
                QTimer::singleShot(0, this, &ConnectionController::runPendingAction);
                return;
            }
            if (!m_dialed)
                return;
            if (state == VpnProtocol::Disconnected) {
                attemptFailed(failureReasonFor(m_attempts.at(m_index).route));
                return;
            }
        }
    }
    if (repairing()) {
        m_repair->onStateChanged(state);
        return;
    }
    if (state == VpnProtocol::Connected) {
        handleConnected();
        return;
    }
    // The tunnel of a failed first connect goes down before its error
    // arrives: the retry with recovery may still bring one up.
    if (state == VpnProtocol::Disconnected && m_connectTimer.isActive()
        && m_retry->holdsBack([this] { onConnectionStateChanged(VpnProtocol::Disconnected); }))
        return;
    if (state == m_lastState)
        return;
    m_lastState = state;
    switch (state) {
    case VpnProtocol::Reconnecting:
        if (m_connectedSince.isValid())
            setShown(true, false, QStringLiteral("Connected"));
        else
            setShown(false, true, QStringLiteral("Connecting..."));
        break;
    case VpnProtocol::Disconnecting:
        setShown(false, false, QStringLiteral("Disconnecting..."));
        m_connectTimer.stop();
        break;
    case VpnProtocol::Disconnected:
        setShown(false, false, QStringLiteral("Not Connected"));
        m_connectedSince = QDateTime();
        m_connectTimer.stop();
        QTimer::singleShot(kHousekeepingMs, this, [this] { m_repair->housekeeping(); });
        if (m_pendingAction)
            QTimer::singleShot(0, this, &ConnectionController::runPendingAction);
        break;
    default: // Connecting, Preparing and anything unknown
        setShown(false, true, QStringLiteral("Connecting..."));
        m_connectTimer.start(kConnectTimeoutMs);
        m_dnsChecked = false;
        m_connectTimerRunning = true;
        break;
    }
    logger.debug() << "Connection state changed to:" << m_stateText;
    emit connectionStateChanged();
}

void ConnectionController::handleConnected()
{
    const QJsonObject config = m_vpn ? m_vpn->configuration() : QJsonObject();
    const VpnProtocol::Protocol driverProtocol = m_vpn ? m_vpn->protocol() : VpnProtocol::Optimal;

    // A Stealth tunnel counts once a name resolves through it.
    if (!m_dnsChecked) {
        const ServersModel::Server *server = m_servers ? m_servers->currentServer() : nullptr;
        const bool inRun = runActive() && (driverProtocol == VpnProtocol::Stealth || driverProtocol == VpnProtocol::Hysteria2);
        const bool outside = !runActive() && driverProtocol == VpnProtocol::Stealth && server && server->hasCdnRoute
            && !StealthLink::isWebSocket(config);
        if (inRun || outside) {
            startDnsCheck();
            return;
        }
    }

    if (runActive() && m_dialed) {
        const SmartAttempt attempt = m_attempts.at(m_index);
        QString route = attempt.route;
        if (route == QLatin1String("reality") && StealthLink::isWebSocket(config)) {
            logger.warning() << "Smart Connect: the REALITY try got a Cloudflare (ws) link; counted as reality-cdn";
            route = kCdnRoute;
        }
        const bool evidence = route == QLatin1String("wireguard")
            || m_failedRoutes.contains(QStringLiteral("wireguard:handshake"));
        if (attempt.configId.isEmpty()) {
            if (route != kCdnRoute && !m_networkId.isEmpty())
                SmartConnectMemory::forgetRestricted(m_networkId);
        } else {
            ServersModel::Server *other = m_servers->serverByConfigId(attempt.configId);
            if (other) {
                m_servers->updateCurrentServer(other);
                setRestrictedNote(QStringLiteral("Restricted network detected: connected through %1.")
                                      .arg(other->city.isEmpty() ? other->name : other->city));
            }
            if (evidence && !m_networkId.isEmpty())
                SmartConnectMemory::rememberRestricted(m_networkId, attempt.apiId);
        }
        recordOutcome(true, QString());
        logger.debug() << "Smart Connect: connected via" << route << "in" << m_attemptClock.elapsed() << "ms";
        if (evidence)
            SmartConnectMemory::rememberWorked(m_networkId, route);
        m_lastConnectedRoute = route;
        endRun();
    }

    m_lastState = VpnProtocol::Connected;
    setShown(true, false, QStringLiteral("Connected"));
    m_connectTimer.stop();
    m_connectTimerRunning = false;
    m_repair->hideOffer();
    if (!m_connectedSince.isValid())
        m_connectedSince = QDateTime::currentDateTime();
    clearError();
    logger.debug() << "Connection state changed to:" << m_stateText;
    emit connectionStateChanged();

    const bool tunnelLeakProtection = config.value(QLatin1String("dnsLeakProtection")).toBool(true);
    if (m_settings && tunnelLeakProtection != m_settings->dnsLeakProtection())
        QTimer::singleShot(0, this, &ConnectionController::reconnectForSetting);
}

void ConnectionController::startDnsCheck()
{
    m_dnsChecked = true;
    const int generation = m_generation;
    const bool inRun = runActive();
    auto *check = new TunnelDnsCheck(this);
    connect(check, &TunnelDnsCheck::finished, this, [this, generation, inRun](bool answered) {
        if (m_generation != generation)
            return;
        if (answered) {
            handleConnected();
            return;
        }
        if (inRun) {
            attemptFailed(QStringLiteral("timeout"));
            return;
        }
        logger.warning() << "Stealth: no DNS answer through the tunnel, trying its Cloudflare route";
        m_connectTimerRunning = false;
        m_repair->start(true);
        setShown(false, true, QStringLiteral("Connecting..."));
        emit connectionStateChanged();
    });
    check->start();
}

void ConnectionController::onTunnelDead()
{
    if (repairing() || m_connectTimer.isActive() || runActive())
        return;
    if (!m_lastConnectedRoute.isEmpty()) {
        const QString route = m_lastConnectedRoute;
        m_lastConnectedRoute.clear();
        logger.info() << "Smart Connect: the live" << route << "tunnel dropped; trying the next routes";
        m_lastState = VpnProtocol::Connecting;
        if (startSmartConnect(route))
            return;
        m_lastState = VpnProtocol::Connected;
    }
    m_repair->start();
}

void ConnectionController::onHoldFailed()
{
    if (runActive())
        endRun();
    emit disconnectFromVpn();
    if (repairing()) {
        m_repair->onHoldFailed();
        return;
    }
    m_connectTimerRunning = false;
    setError(400, QStringLiteral("Couldn't switch servers safely. Connect again."));
}

void ConnectionController::onServiceBackAfterCrash()
{
    if (m_connectTimer.isActive() || repairing() || m_isConnected || m_isConnectionInProgress)
        return;
    logger.info() << "Reconnecting after the service crashed (kill switch on)";
    openConnection();
}
