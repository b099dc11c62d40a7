#include "connection/RecoverRetry.h"

#include <QPointer>
#include <QTimer>

#include "app/Logger.h"
#include "servers/ServersModel.h"
#include "vpn/VpnConnection.h"

namespace {
Logger logger(QStringLiteral("RecoverRetry"));

bool peerRestorable(VpnProtocol::Protocol protocol)
{
    return protocol == VpnProtocol::WireGuard || protocol == VpnProtocol::AmneziaWg
        || protocol == VpnProtocol::Stealth || protocol == VpnProtocol::Hysteria2;
}
} // namespace

RecoverRetry::RecoverRetry(QSharedPointer<ServersModel> servers, QSharedPointer<VpnConnection> vpnConnection,
                           Hooks hooks, QObject *parent)
    : QObject(parent), m_servers(std::move(servers)), m_vpn(std::move(vpnConnection)), m_hooks(std::move(hooks))
{
}

void RecoverRetry::reset()
{
    ++m_generation;
    m_done = false;
    m_inFlight = false;
}

bool RecoverRetry::takeError(VpnProtocol::Errors error)
{
    const VpnProtocol::Protocol protocol = m_vpn->protocol();
    const ServersModel::Server *server = m_servers->currentServer();
    if (error != VpnProtocol::ConnectionFailed || m_done || !peerRestorable(protocol) || !server
        || !m_vpn->vpnProtocol())
        return false;

    m_done = true;
    m_inFlight = true;
    const int generation = ++m_generation;
    const QJsonObject stored = m_vpn->configuration();
    logger.warning() << "The connect failed with the stored config: once more with recover=1";
    const QPointer<RecoverRetry> self(this);
    m_servers->getServerConfig(
        server->configId, protocol,
        [self, generation, protocol](const QJsonObject &config) {
            if (!self || self->m_generation != generation)
                return;
            self->m_inFlight = false;
            if (self->m_hooks.connectTimerRunning())
                self->m_hooks.connect(protocol, config);
        },
        true, 0,
        [self, generation, protocol, stored](int status, const QByteArray &, const QString &) {
            if (!self || self->m_generation != generation)
                return;
            self->m_inFlight = false;
            if (!self->m_hooks.connectTimerRunning())
                return;
            // The peer is there after all: the configuration is good.
            if (status == 409)
                self->m_hooks.connect(protocol, stored);
            else
                self->m_hooks.fail();
        },
        true, QString(), false);
    return true;
}

bool RecoverRetry::holdsBack(const std::function<void()> &handleLater)
{
    if (m_forced)
        return false;
    if (m_inFlight)
        return true;
    if (m_done)
        return false;
    const int generation = m_generation;
    QTimer::singleShot(0, this, [this, generation, handleLater] {
        // A retry started in between, or another connect began.
        if (m_generation != generation)
            return;
        m_forced = true;
        handleLater();
        m_forced = false;
    });
    return true;
}
