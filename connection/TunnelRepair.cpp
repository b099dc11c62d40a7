#include "connection/TunnelRepair.h"

#include <QPointer>

#include <memory>

#include "api/ApiHost.h"
#include "app/Logger.h"
#include "connection/StealthLink.h"
#include "servers/Pinger.h"
#include "servers/ServersModel.h"
#include "vpn/VpnConnection.h"

namespace {
Logger logger(QStringLiteral("TunnelRepair"));

// Before each try, by the number of tries already made.
constexpr int kTryDelaysMs[] = {0, 20000, 20000};
constexpr int kDefaultLimitWaitMs = 60000;
constexpr int kShortestLimitWaitMs = 1000;
constexpr qint64 kLongLimitSeconds = 3600;
constexpr int kLongLimitWaitMs = 3600000;

int timeDivisor = 1;

// The repair's waits, as the timers get them.
int scaled(int ms)
{
    return ms <= 0 ? 0 : qMax(1, ms / timeDivisor);
}

// The protocols whose tunnels the daemon drives: the backend can restore
// their peers, and their repair gets three tries.
bool daemonDriven(VpnProtocol::Protocol protocol)
{
    return protocol == VpnProtocol::WireGuard || protocol == VpnProtocol::AmneziaWg
        || protocol == VpnProtocol::Stealth || protocol == VpnProtocol::Hysteria2;
}

// "Retry-After" of the backend's recovery limit, in whole seconds.
int limitWaitMs(const QByteArray &retryAfter)
{
    bool ok = false;
    const qint64 seconds = QString::fromLatin1(retryAfter).trimmed().toLongLong(&ok);
    if (!ok || seconds < 0)
        return kDefaultLimitWaitMs;
    if (seconds < kLongLimitSeconds)
        return int(qMax<qint64>(seconds * 1000, kShortestLimitWaitMs));
    return kLongLimitWaitMs;
}
} // namespace

#ifdef KELVRA_TESTING
void TunnelRepair::setTimeDivisorForTesting(int divisor)
{
    timeDivisor = qMax(1, divisor);
}
#endif

TunnelRepair::TunnelRepair(QSharedPointer<ServersModel> servers, QSharedPointer<VpnConnection> vpnConnection,
                           Hooks hooks, QObject *parent)
    : QObject(parent), m_servers(std::move(servers)), m_vpn(std::move(vpnConnection)), m_hooks(std::move(hooks))
{
    m_limitTimer.setSingleShot(true);
    m_limitTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_limitTimer, &QTimer::timeout, this, [this] { reconnectFailed(true); });
}

TunnelRepair::~TunnelRepair() = default;

void TunnelRepair::setEventSink(std::function<void(const QString &, const QVariantMap &)> sink)
{
    m_hooks.event = std::move(sink);
}

bool TunnelRepair::hasDriver() const
{
    return m_vpn && m_vpn->vpnProtocol();
}

int TunnelRepair::maxTries() const
{
    return daemonDriven(m_protocol) || m_moved ? kMaxTries : 1;
}

bool TunnelRepair::repairServerHasCdnRoute() const
{
    const ServersModel::Server *server = m_serverId.isEmpty() ? nullptr : m_servers->serverByConfigId(m_serverId);
    return server && server->hasCdnRoute;
}

void TunnelRepair::event(const QString &outcome)
{
    if (!m_hooks.event)
        return;
    m_hooks.event(QStringLiteral("tunnel_recovery"), {{QStringLiteral("protocol"), VpnProtocol::apiName(m_protocol)},
                                                      {QStringLiteral("try"), m_tries},
                                                      {QStringLiteral("outcome"), outcome}});
}

QString TunnelRepair::offerText() const
{
    if (!m_offerShown)
        return QString();
    return m_offerBlocked ? QStringLiteral("No connection — click to reconnect") : QStringLiteral("Click to reconnect");
}

bool TunnelRepair::hideOffer()
{
    const bool shown = m_offerShown;
    m_offerShown = false;
    return shown;
}

void TunnelRepair::start(bool cloudflareRoute)
{
    ++m_generation;
    m_repairing = true;
    m_reconnectInFlight = false;
    m_offerShown = false;
    m_tries = 0;
    m_limitWaits = 0;
    m_noMove = false;
    m_protocol = m_vpn->protocol();
    const ServersModel::Server *server = m_servers->currentServer();
    m_serverId = server ? server->configId : QString();

    m_vpn->setRecovering(true);
    m_limitTimer.stop();
    m_hooks.stopConnectFlow();
    logger.warning() << (m_moved ? "Connecting to the new server," : "The tunnel is dead: recovering on the same server,")
                     << VpnProtocol::displayName(m_protocol);
    event(QStringLiteral("started"));
    m_hooks.showRepairing();

    if (cloudflareRoute)
        makeTry();
    else
        scheduleNextTry();
}

void TunnelRepair::waitThen(int ms, const std::function<void()> &then)
{
    const int generation = m_generation;
    const int piece = qMin(ms, kLongestTimerMs);
    const int rest = ms - piece;
    QTimer::singleShot(scaled(piece), Qt::PreciseTimer, this, [this, generation, rest, then] {
        if (m_generation != generation)
            return;
        if (rest > 0)
            waitThen(rest, then);
        else
            then();
    });
}

void TunnelRepair::scheduleNextTry()
{
    if (m_tries >= maxTries()) {
        fail(QStringLiteral("gave_up"));
        return;
    }
    const int generation = m_generation;
    // Traffic stays held while the repair waits.
    if (!hasDriver())
        m_vpn->dropDeadTunnel();
    if (m_generation != generation)
        return; // the wait for the service let something end the repair
    waitThen(kTryDelaysMs[qBound(0, m_tries, 2)], [this] { makeTry(); });
}

void TunnelRepair::makeTry()
{
    ++m_tries;
    logger.info() << "Recovery try" << m_tries << "of" << maxTries();

    // Outside the tunnel the server tells a dead tunnel from a dead network;
    // after a move, and for a Stealth server with a Cloudflare route, the
    // server may not be reachable directly at all.
    QString address;
    if (!m_moved && !(m_protocol == VpnProtocol::Stealth && repairServerHasCdnRoute()))
        address = m_vpn->directProbeAddress();
    if (address.isEmpty() || !Pinger::isPingable(address)) {
        reconnect();
        return;
    }
    const int generation = m_generation;
    auto *pinger = new Pinger(this);
    connect(pinger, &Pinger::result, this, [this, pinger, generation](const QString &, int ms) {
        pinger->deleteLater();
        if (m_generation != generation)
            return;
        if (ms < 0) {
            logger.warning() << "The server doesn't answer outside the tunnel either: waiting for the network";
            event(QStringLiteral("network_down"));
            scheduleNextTry();
            return;
        }
        reconnect();
    });
    pinger->measure({address});
}

void TunnelRepair::reconnect()
{
    const int generation = m_generation;
    m_reconnectInFlight = true;
    m_limitTimer.start(scaled(maxTries() == 1 ? kSingleTryLimitMs : kTryLimitMs));
    event(QStringLiteral("reconnecting"));
    // When the hold is not confirmed the VPN connection says so (holdFailed).
    // While it waits for the service the repair may end, or this reconnect
    // run out of time.
    if (!m_vpn->dropDeadTunnel() || m_generation != generation || !m_reconnectInFlight)
        return;
    QTimer::singleShot(scaled(kBeforeReconnectMs), Qt::PreciseTimer, this, [this, generation] {
        if (m_generation != generation || !m_reconnectInFlight || m_hooks.connectFlowRunning())
            return;
        // The old tunnel is gone: connections made through it are dead.
        ApiHost::noteTunnelChange();
        const QJsonObject stored = m_vpn->configuration();
        if (m_serverId.isEmpty()) {
            m_hooks.connectTunnel(m_protocol, stored);
            return;
        }
        if (m_moved)
            ++m_reconnectsAfterMoves;
        if (m_protocol == VpnProtocol::Stealth && !m_moved && !StealthLink::isWebSocket(stored) && repairServerHasCdnRoute()) {
            logger.info() << "Stealth: trying its Cloudflare route";
            const QPointer<TunnelRepair> self(this);
            m_servers->getServerConfig(
                m_serverId, VpnProtocol::Stealth,
                [self, generation](const QJsonObject &config) {
                    if (self && self->m_generation == generation && !self->m_hooks.connectFlowRunning())
                        self->m_hooks.connectTunnel(VpnProtocol::Stealth, config);
                },
                true, 0,
                [self, generation, stored](int, const QByteArray &, const QString &) {
                    if (self && self->m_generation == generation)
                        self->recoveryFetch(stored);
                },
                false, QStringLiteral("cdn"), false);
            return;
        }
        recoveryFetch(stored);
    });
}

void TunnelRepair::recoveryFetch(const QJsonObject &stored)
{
    const int generation = m_generation;
    const VpnProtocol::Protocol protocol = m_protocol;
    const QPointer<TunnelRepair> self(this);
    // Whether the request asks the backend to restore the peer is the
    // catalogue's to decide (its recovery budget); known once it is sent,
    // and fetches never answer inside the call.
    auto asked = std::make_shared<bool>(false);
    m_servers->getServerConfig(
        m_serverId, protocol,
        [self, generation, protocol, asked](const QJsonObject &config) {
            if (!self)
                return;
            if (*asked)
                self->m_noMove = false;
            if (self->m_generation == generation && !self->m_hooks.connectFlowRunning())
                self->m_hooks.connectTunnel(protocol, config);
        },
        true, 0,
        [self, generation, asked, stored](int status, const QByteArray &retryAfter, const QString &message) {
            if (self && self->m_generation == generation && !self->m_hooks.connectFlowRunning())
                self->onRecoveryRefused(status, retryAfter, message, *asked, stored);
        },
        !m_moved, QString(), false);
    *asked = m_servers->lastFetchAskedRecovery();
}

void TunnelRepair::onRecoveryRefused(int status, const QByteArray &retryAfter, const QString &message, bool asked,
                                     const QJsonObject &stored)
{
    // A request that got no answer at all may have hit a network that is
    // gone; moving would not help then.
    if (asked)
        m_noMove = status == 0;
    if (m_moved) {
        // The server moved to can't be reached: that move doesn't count.
        m_moves = qMax(0, m_moves - 1);
        fail(QStringLiteral("switch_fetch_failed"));
        return;
    }
    if ((status == 503 && message == QLatin1String("Node unavailable"))
        || (status == 500 && message == QLatin1String("Failed to fetch config"))) {
        fail(QStringLiteral("node_unavailable"));
        return;
    }
    if (asked && message == QLatin1String("limit")) {
        m_noMove = true;
        fail(QStringLiteral("limit"));
        return;
    }
    if (status == 429) {
        recoverLimitWait(limitWaitMs(retryAfter));
        return;
    }
    if (status == 409 && asked) {
        fail(QStringLiteral("peer_alive"));
        return;
    }
    // The old configuration is tried.
    m_hooks.connectTunnel(m_protocol, stored);
}

void TunnelRepair::recoverLimitWait(int ms)
{
    m_reconnectInFlight = false;
    m_limitTimer.stop();
    // The backend's limit is no failed try.
    m_tries = qMax(0, m_tries - 1);
    if (ms > kLongestLimitWaitMs || m_limitWaits >= kLimitWaitsPerRepair) {
        fail(QStringLiteral("rate_limited"));
        return;
    }
    ++m_limitWaits;
    logger.warning() << "The backend's recover limit: trying again in" << ms / 1000 << "s";
    event(QStringLiteral("rate_limited_wait"));
    waitThen(ms, [this] { makeTry(); });
}

void TunnelRepair::onStateChanged(VpnProtocol::ConnectionState state)
{
    if (!m_repairing)
        return;
    if (state == VpnProtocol::Disconnected)
        reconnectFailed(false);
    else if (state == VpnProtocol::Connected)
        recovered();
}

void TunnelRepair::reconnectFailed(bool timedOut)
{
    if (!m_reconnectInFlight)
        return;
    if (timedOut) {
        logger.warning() << "Recovery attempt timed out";
        m_servers->bumpConnectAttempt();
    }
    m_reconnectInFlight = false;
    m_limitTimer.stop();
    event(QStringLiteral("attempt_failed"));
    const int generation = m_generation;
    if (m_vpn->dropDeadTunnel() && m_generation == generation)
        scheduleNextTry();
}

void TunnelRepair::recovered()
{
    finish(QStringLiteral("recovered"), true);
    if (m_moved && !m_moveMessage.isEmpty())
        emit m_servers->serverChangedForProtocol(m_moveMessage);
    m_moveMessage.clear();
    if (daemonDriven(m_vpn->protocol())) {
        clearMoveState();
    } else {
        // An OpenVPN tunnel may die again soon after a move: the next
        // repair still counts the moves made.
        const int generation = m_generation;
        QTimer::singleShot(scaled(kMoveStateLingersMs), this, [this, generation] {
            if (m_generation == generation && m_hooks.shownConnected())
                clearMoveState();
        });
    }
    m_hooks.takeConnected();
}

void TunnelRepair::onHoldFailed()
{
    if (m_repairing)
        fail(QStringLiteral("hold_failed"));
}

void TunnelRepair::fail(const QString &reason)
{
    // The step is reported whether or not a move follows.
    event(reason);
    if (reason != QLatin1String("hold_failed") && !m_noMove && !hasDriver() && moveToAnotherServer()) {
        logger.info() << "The repair on that server ended:" << reason << "- moved to another";
        return;
    }
    finish(reason, false);
    if (m_moved && m_startKnown && !hasDriver()) {
        if (ServersModel::Server *start = m_servers->serverByConfigId(m_startConfigId))
            m_servers->updateCurrentServer(start);
        m_vpn->setProtocol(m_startProtocol);
    }
    m_startKnown = false;
    m_startConfigId.clear();
    showOffer();
}

void TunnelRepair::end(const QString &reason)
{
    if (m_repairing)
        finish(reason, true);
}

void TunnelRepair::finish(const QString &reason, bool logEvent)
{
    ++m_generation;
    m_repairing = false;
    m_reconnectInFlight = false;
    m_limitTimer.stop();
    m_vpn->setRecovering(false);
    logger.info() << "Recovery ended:" << reason;
    if (logEvent)
        event(reason);
}

void TunnelRepair::showOffer()
{
    // Asking also lets traffic go when nothing holds it any more.
    m_offerBlocked = m_vpn->hasTunnelOrKillSwitch();
    m_offerShown = true;
    m_hooks.showOffer(m_offerBlocked);
}

bool TunnelRepair::moveToAnotherServer()
{
    if (m_moves >= kMaxMoves || m_reconnectsAfterMoves >= kMaxReconnectsAfterMoves)
        return false;
    const ServersModel::Server *current = m_servers->currentServer();
    if (!m_startKnown) {
        m_startKnown = true;
        m_startConfigId = current ? current->configId : QString();
        m_startProtocol = m_vpn->protocol();
    }
    if (current && !current->ipAddress.isEmpty() && !m_excluded.contains(current->ipAddress))
        m_excluded << current->ipAddress;

    const ServersModel::NextServer next = m_servers->pickNextServer(m_vpn->protocol(), m_excluded);
    if (!next.server)
        return false;
    ++m_moves;
    const VpnProtocol::Protocol protocol = next.server->effectiveProtocol();
    logger.info() << "Moving to another server," << VpnProtocol::displayName(protocol);
    m_moveMessage = next.otherLocation
        ? QStringLiteral("Moved you to %1 for a stable connection.").arg(next.server->name)
        : QString();
    m_vpn->setProtocol(protocol);
    m_moved = true;
    start(true);
    return true;
}

void TunnelRepair::tryAnotherServer()
{
    if (!m_offerShown)
        return;
    m_moves = 0;
    m_reconnectsAfterMoves = 0;
    if (!moveToAnotherServer())
        m_hooks.showError(400, QStringLiteral("No other server offers %1.").arg(VpnProtocol::displayName(m_vpn->protocol())));
}

void TunnelRepair::clearMoveState()
{
    m_moved = false;
    m_excluded.clear();
    m_startKnown = false;
    m_startConfigId.clear();
    m_moves = 0;
    m_reconnectsAfterMoves = 0;
    m_moveMessage.clear();
}

void TunnelRepair::housekeeping()
{
    if (!hasDriver() && m_hooks.sendReports)
        m_hooks.sendReports();
}
