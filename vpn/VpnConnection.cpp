#include "vpn/VpnConnection.h"

#include <QEventLoop>
#include <QHostAddress>
#include <QPointer>
#include <QRegularExpression>
#include <QRemoteObjectPendingCallWatcher>
#include <QTimer>

#include "app/Logger.h"
#include "app/NetAddress.h"
#include "app/Settings.h"
#include "ipc/IpcClient.h"
#include "ipc/LinkClock.h"
#include "ipc/LocalSocketController.h"
#include "vpn/OpenVpnProtocol.h"

namespace {
Logger logger(QStringLiteral("VpnConnection"));

VpnConnection::Timings &timings()
{
    static VpnConnection::Timings value;
    return value;
}

bool isDaemonDriven(VpnProtocol::Protocol protocol)
{
    return protocol == VpnProtocol::WireGuard || protocol == VpnProtocol::AmneziaWg || protocol == VpnProtocol::Stealth
        || protocol == VpnProtocol::Hysteria2;
}

QJsonObject typed(const char *type)
{
    return QJsonObject { { QStringLiteral("type"), QLatin1String(type) } };
}

} // namespace

#ifdef KELVRA_TESTING
void VpnConnection::setTimingsForTesting(const Timings &value)
{
    timings() = value;
}
#endif

VpnConnection::VpnConnection(QSharedPointer<Settings> settings, QObject *parent)
    : QObject(parent), m_settings(std::move(settings))
{
}

VpnConnection::~VpnConnection()
{
    if (m_vpnProtocol)
        detach(m_vpnProtocol);
}

QSharedPointer<IpcInterfaceReplica> VpnConnection::service()
{
    const QSharedPointer<IpcInterfaceReplica> replica = IpcClient::Interface();
    return replica && replica->isReplicaValid() ? replica : QSharedPointer<IpcInterfaceReplica>();
}

bool VpnConnection::killSwitchOn() const
{
    return m_settings && m_settings->killSwitch();
}

bool VpnConnection::killSwitchOwed() const
{
    return m_killSwitchPromised && killSwitchOn();
}

void VpnConnection::setKillSwitchBlock(bool blocking)
{
    if (m_killSwitchBlock == blocking)
        return;
    m_killSwitchBlock = blocking;
    emit killSwitchBlockChanged(blocking);
}

void VpnConnection::publishBlock()
{
    setKillSwitchBlock(m_crashBlock || m_leftoverBlock || m_failureBlock);
}

VpnConnection::Hold VpnConnection::askHold()
{
    const auto replica = service();
    const QPointer<IpcClient> client = IpcClient::Instance();
    // A link already down can't confirm anything: no reason to wait for it.
    if (!replica || !client || !client->isConnected())
        return Hold::NotConfirmed;
    m_holding = true;
    m_releaseUnsent = false;
    QRemoteObjectPendingReply<bool> reply = replica->setLockdown(true);
    bool linkLost = false;
    if (!reply.isFinished()) {
        // The reply never comes from a service that went away: the wait ends
        // with the link, not 25 s later.
        QEventLoop loop;
        QRemoteObjectPendingCallWatcher watcher(reply);
        connect(&watcher, &QRemoteObjectPendingCallWatcher::finished, &loop, &QEventLoop::quit);
        connect(client, &IpcClient::linkLost, &loop, [&loop, &linkLost] {
            linkLost = true;
            loop.quit();
        });
        QTimer::singleShot(timings().holdWaitMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (!linkLost && reply.isFinished() && !reply.error() && reply.returnValue())
        return Hold::Confirmed;
    logger.warning() << "The service didn't confirm the firewall hold in time";
    if (linkLost || !client || !client->isConnected()) {
        logger.warning() << "The service went away while the firewall hold was asked";
        if (killSwitchOn())
            keepBlockAfterCrash();
        return Hold::LinkLost;
    }
    return Hold::NotConfirmed;
}

bool VpnConnection::holdFirewall()
{
    return askHold() == Hold::Confirmed;
}

void VpnConnection::releaseFirewall(bool keepForKillSwitch)
{
    const auto replica = service();
    const bool killSwitch = killSwitchOn();
    // A release the link can't carry now is sent once it is back.
    const auto sendRelease = [this, &replica] {
        if (replica)
            replica->setLockdown(false);
        else
            m_releaseUnsent = true;
    };
    if (!keepForKillSwitch) {
        if (m_crashBlock && killSwitch) {
            m_holding = true;
            return;
        }
        if (killSwitchOwed()) {
            keepFailureBlock();
            return;
        }
        if (!m_holding)
            sendRelease();
    }
    if (m_holding) {
        m_holding = false;
        m_releasedAt = LinkClock::monotonicMs();
        if (!(keepForKillSwitch && killSwitch))
            sendRelease();
    }
}

void VpnConnection::keepFailureBlock()
{
    if (!m_holding) {
        m_holding = true;
        // Normally already in force since the tunnel came up; asked again in
        // case the service lost it.
        if (const auto replica = service())
            replica->setLockdown(true);
    }
    m_failureBlock = true;
    publishBlock();
}

void VpnConnection::keepBlockAfterCrash()
{
    m_holding = true;
    m_crashBlock = true;
    m_releaseUnsent = false;
    publishBlock();
    m_crashReconnectPending = true;
    IpcClient *client = IpcClient::Instance();
    if (!m_linkRestoredWatched && client) {
        connect(client, &IpcClient::linkRestored, this, &VpnConnection::onServiceLinkRestored);
        m_linkRestoredWatched = true;
    }
    // Only the daemon's pipe went: the service itself is there, and no link
    // will come back to say so.
    if (client && client->isConnected()) {
        const QPointer<IpcClient> guard(client);
        QTimer::singleShot(timings().pipeOnlyBackMs, this, [this, guard] {
            if (guard && guard->isConnected() && service())
                onServiceLinkRestored();
        });
    }
}

void VpnConnection::resendFirewallState()
{
    // What was asked of the service while its link was down never reached
    // it: a kill switch turned on meanwhile, or a release for a tunnel that is
    // gone.
    const auto replica = service();
    if (!replica)
        return;
    if (m_holding || killSwitchOwed())
        replica->setLockdown(true);
    else if (m_releaseUnsent && !m_vpnProtocol)
        replica->setLockdown(false);
    m_releaseUnsent = false;
}

bool VpnConnection::isFirewallHeld() const
{
    return m_holding || (m_releasedAt >= 0 && LinkClock::monotonicMs() - m_releasedAt < timings().releaseWindowMs);
}

bool VpnConnection::isBusyWithTunnel() const
{
    return m_vpnProtocol
        || (m_lastActivityAt >= 0 && LinkClock::monotonicMs() - m_lastActivityAt < timings().releaseWindowMs);
}

bool VpnConnection::hasTunnelOrKillSwitch()
{
    if (m_vpnProtocol || killSwitchOn())
        return true;
    releaseFirewall(false);
    return false;
}

void VpnConnection::detach(const QSharedPointer<VpnProtocol> &driver)
{
    if (driver)
        disconnect(driver.data(), nullptr, this, nullptr);
}

void VpnConnection::takeDown(const QSharedPointer<VpnProtocol> &driver)
{
    if (auto *openVpn = qobject_cast<OpenVpnProtocol *>(driver.data()))
        openVpn->forceShutdown();
    else if (driver)
        driver->stop();
}

void VpnConnection::dropDriver()
{
    const QSharedPointer<VpnProtocol> driver = m_vpnProtocol;
    if (!driver)
        return;
    detach(driver);
    takeDown(driver);
    m_vpnProtocol.reset();
    m_state = VpnProtocol::Disconnected;
}

void VpnConnection::connectToVpn(VpnProtocol::Protocol protocol, QJsonObject config)
{
    logger.info() << "Connecting to VPN...";
    const quint64 generation = ++m_connectGeneration;
    m_protocol = protocol;
    m_crashReconnectPending = false;

    if (!m_ipcClient) {
        m_ipcClient = new IpcClient(this);
        connect(m_ipcClient, &IpcClient::linkRestored, this, &VpnConnection::resendFirewallState);
    }
    if (!m_ipcClient->isConnected() && !m_ipcClient->init()) {
        releaseFirewall(false);
        emit vpnError(VpnProtocol::ServiceNotRunning);
        emit connectionStateChanged(VpnProtocol::Disconnected);
        return;
    }

    const QSharedPointer<VpnProtocol> old = m_vpnProtocol;
    if (!old && !m_holding) {
        if (const auto replica = service())
            replica->setLockdown(false);
    }
    detach(old);

    if ((old && (m_state == VpnProtocol::Connected || m_state == VpnProtocol::Reconnecting)) || m_holding) {
        const Hold hold = askHold();
        if (hold != Hold::Confirmed && old && m_vpnProtocol == old && generation == m_connectGeneration) {
            if (hold == Hold::LinkLost) {
                // The service crashed under the switch: the old tunnel's loss
                // is reported as it would have reported it itself.
                onVpnError(VpnProtocol::ServiceLinkLost);
                return;
            }
            logger.warning() << "The service didn't confirm the firewall hold: the switch stops here";
            endTunnel();
            emit holdFailed();
            return;
        }
    }

    // A later connect ran while this one waited for the hold: it wins.
    if (generation != m_connectGeneration || (old && m_vpnProtocol != old))
        return;
    if (old) {
        takeDown(old);
        m_vpnProtocol.reset();
        m_state = VpnProtocol::Disconnected;
    }

    m_vpnConfiguration = config;
    m_vpnConfiguration.insert(QStringLiteral("killswitch"), killSwitchOn());
    m_vpnConfiguration.insert(QStringLiteral("adBlock"), m_settings && m_settings->adBlock());
    m_vpnConfiguration.insert(QStringLiteral("dnsLeakProtection"), !m_settings || m_settings->dnsLeakProtection());

    VpnProtocol *created = VpnProtocol::create(protocol, m_vpnConfiguration);
    if (!created) {
        logger.error() << "Failed to create VPN protocol";
        releaseFirewall(false);
        emit vpnError(VpnProtocol::ServiceNotRunning);
        emit connectionStateChanged(VpnProtocol::Disconnected);
        return;
    }
    const QSharedPointer<VpnProtocol> driver(created, &QObject::deleteLater);
    m_vpnProtocol = driver;
    m_state = created->connectionState();
    connect(created, &VpnProtocol::vpnError, this, &VpnConnection::onVpnError);
    connect(created, &VpnProtocol::connectionStateChanged, this, &VpnConnection::onConnectionStateChanged);
    connect(created, &VpnProtocol::bytesChanged, this, &VpnConnection::onBytesChanged);
    connect(created, &VpnProtocol::tunnelStalled, this, &VpnConnection::onTunnelStalled);

    if (old) {
        const QWeakPointer<VpnProtocol> weak = driver;
        QTimer::singleShot(timings().launchDelayMs, this, [this, weak] {
            const QSharedPointer<VpnProtocol> current = weak.toStrongRef();
            if (current && current == m_vpnProtocol)
                launch(current);
        });
    } else {
        launch(driver);
    }
}

void VpnConnection::launch(const QSharedPointer<VpnProtocol> &driver)
{
    if (isDaemonDriven(m_protocol))
        driver->start();
    else
        driver->prepare();
}

void VpnConnection::disconnectFromVpn()
{
    m_killSwitchPromised = false;
    if (m_failureBlock) {
        m_failureBlock = false;
        publishBlock();
    }
    endTunnel();
}

void VpnConnection::endTunnel()
{
    if (m_vpnProtocol) {
        logger.info() << "Disconnecting from VPN...";
        const QSharedPointer<VpnProtocol> driver = m_vpnProtocol;
        detach(driver);
        driver->stop();
        m_vpnProtocol.reset();
        m_state = VpnProtocol::Disconnected;
        m_lastActivityAt = LinkClock::monotonicMs();
        releaseFirewall(false);
        emit connectionStateChanged(VpnProtocol::Disconnected);
    } else if (m_leftoverBlock) {
        m_leftoverBlock = false;
        publishBlock();
        deactivateLeftover();
    } else {
        releaseFirewall(false);
    }
}

void VpnConnection::deactivateLeftover()
{
    LocalSocketController::request(this, typed("deactivate"), timings().deactivateTimeoutMs, [this](const QJsonObject &) {
        if (!m_vpnProtocol)
            releaseFirewall(false);
    });
}

void VpnConnection::onConnectionStateChanged(VpnProtocol::ConnectionState state)
{
    m_state = state;
    m_lastActivityAt = LinkClock::monotonicMs();
    if (state == VpnProtocol::Disconnected) {
        if (m_recovering)
            holdFirewall();
        else
            releaseFirewall(false); // keeps the block while the kill switch is owed
    } else if (state == VpnProtocol::Reconnecting && qobject_cast<OpenVpnProtocol *>(m_vpnProtocol.data())) {
        holdFirewall();
    } else if (state == VpnProtocol::Connected) {
        m_crashBlock = false;
        m_leftoverBlock = false;
        m_failureBlock = false;
        setKillSwitchBlock(false);
        const bool held = m_holding;
        releaseFirewall(killSwitchOn());
        m_killSwitchPromised = killSwitchOn();
        // The kill switch the user sees is the service's now, whether or not
        // the tunnel's activation carried it (it may have been turned on
        // while the tunnel came up).
        if (killSwitchOn() && !held) {
            if (const auto replica = service())
                replica->setLockdown(true);
        }
    }
    emit connectionStateChanged(state);
}

void VpnConnection::onBytesChanged(double download, double upload)
{
    emit bytesChanged(download, upload);
}

void VpnConnection::onVpnError(VpnProtocol::Errors error)
{
    if (error == VpnProtocol::ServiceLinkLost && killSwitchOn())
        keepBlockAfterCrash();

    if (m_recovering) {
        logger.warning() << "Recovery attempt failed:" << int(error);
        if (!holdFirewall() && m_vpnProtocol) {
            logger.warning() << "The service didn't confirm the firewall hold: the dead tunnel is kept";
            emit holdFailed();
            return;
        }
        dropDriver();
        return;
    }

    emit vpnError(error);
    endTunnel();
}

void VpnConnection::onTunnelStalled()
{
    if (!m_vpnProtocol || m_recovering)
        return;
    m_state = VpnProtocol::Reconnecting;
    if (qobject_cast<OpenVpnProtocol *>(m_vpnProtocol.data()))
        holdFirewall();
    emit connectionStateChanged(VpnProtocol::Reconnecting);
    emit tunnelDead();
}

bool VpnConnection::dropDeadTunnel()
{
    const bool held = holdFirewall();
    if (held || !m_vpnProtocol) {
        dropDriver();
        return true;
    }
    logger.warning() << "The service didn't confirm the firewall hold: the dead tunnel is kept";
    emit holdFailed();
    return false;
}

void VpnConnection::onKillSwitchToggled(bool enabled)
{
    if (!enabled) {
        m_crashBlock = false;
        m_failureBlock = false;
        m_killSwitchPromised = false;
        setKillSwitchBlock(false);
    } else if (m_vpnProtocol && m_state == VpnProtocol::Connected) {
        m_killSwitchPromised = true;
    }
    // Without a link nothing reaches the service, but a release is still
    // owed to it once the link is back.
    if (!enabled && !m_vpnProtocol && !m_recovering) {
        releaseFirewall(false);
        return;
    }
    const auto replica = service();
    if (!replica)
        return;
    if (enabled && (!m_vpnProtocol || m_state != VpnProtocol::Connected))
        return;
    if (!enabled && m_holding)
        return;
    replica->setLockdown(enabled);
}

void VpnConnection::onServiceLinkRestored()
{
    if (!m_crashReconnectPending)
        return;
    m_crashReconnectPending = false;
    logger.info() << "The service is back after a crash: reconnecting once";
    emit serviceBackAfterCrash();
}

void VpnConnection::endCrashBlock()
{
    m_crashReconnectPending = false;
    m_crashBlock = false;
    publishBlock();
}

void VpnConnection::appendKillSwitchConfig()
{
    m_vpnConfiguration.insert(QStringLiteral("killswitch"), killSwitchOn());
}

void VpnConnection::setProtocol(VpnProtocol::Protocol protocol)
{
    m_protocol = protocol;
}

void VpnConnection::setRecovering(bool recovering)
{
    m_recovering = recovering;
}

QString VpnConnection::directProbeAddress() const
{
    if (killSwitchOn() || m_holding)
        return QString();
    return publicServerAddress(m_vpnConfiguration);
}

QString VpnConnection::publicServerAddress(const QJsonObject &config)
{
    QString address;
    if (config.value(QLatin1String("protocol")).toString() == QLatin1String("wireguard")) {
        address = config.value(QLatin1String("wireguard_config_data")).toObject().value(QLatin1String("hostName")).toString();
    } else {
        static const QRegularExpression remote(QStringLiteral("^\\s*remote\\s+(\\S+)"),
                                               QRegularExpression::MultilineOption);
        const QRegularExpressionMatch match = remote.match(config.value(QLatin1String("openvpn_config_data")).toString());
        if (match.hasMatch())
            address = match.captured(1);
    }
    return NetAddress::isPublicIpv4(QHostAddress(address)) ? address : QString();
}

void VpnConnection::cleanUpLeftoverTunnel(int attempts)
{
    LocalSocketController::request(this, typed("status"), timings().statusTimeoutMs, [this, attempts](const QJsonObject &reply) {
        if (m_vpnProtocol)
            return;
        if (reply.isEmpty()) {
            if (attempts <= 1) {
                logger.warning() << "The service didn't answer the start-up status check";
                return;
            }
            QTimer::singleShot(timings().statusRetryMs, this, [this, attempts] { cleanUpLeftoverTunnel(attempts - 1); });
            return;
        }

        const bool killSwitch = killSwitchOn();
        const QJsonValue connected = reply.value(QLatin1String("connected"));
        if (connected.isBool() && !connected.toBool()) {
            if (!reply.value(QLatin1String("killSwitchBlock")).toBool())
                return;
            if (!killSwitch) {
                releaseFirewall(false);
                return;
            }
            logger.warning() << "The service kept the kill switch's block from a crash: it stays until a reconnect";
            m_crashBlock = true;
        } else {
            if (!killSwitch) {
                logger.warning() << "The service still has a tunnel from an earlier run: taking it down";
                deactivateLeftover();
                return;
            }
            logger.warning() << "The service still has a tunnel from an earlier run: kept (kill switch on) until a reconnect";
            m_leftoverBlock = true;
        }
        m_holding = true;
        publishBlock();
        emit vpnError(VpnProtocol::ServiceLinkLost);
    });
}
