#include "engagement/VpnSessionReporter.h"

#include <QJsonObject>

#include "account/TokenManager.h"
#include "account/UserManager.h"
#include "api/ApiHost.h"
#include "api/NetworkManager.h"
#include "servers/ServersModel.h"
#include "vpn/VpnConnection.h"

namespace {
constexpr int kSessionTimeoutMs = 8000;
// A tunnel change noted this close to the disconnect was noted for it.
constexpr qint64 kNotedWithTheDisconnectMs = 1000;
} // namespace

VpnSessionReporter::VpnSessionReporter(QSharedPointer<VpnConnection> vpnConnection,
                                       QSharedPointer<ServersModel> servers, QObject *parent)
    : QObject(parent), m_vpnConnection(std::move(vpnConnection)), m_servers(std::move(servers)),
      m_request(new NetworkManager(this))
{
    m_heartbeat.setInterval(kHeartbeatMs);
    connect(&m_heartbeat, &QTimer::timeout, this, [this] { send(QStringLiteral("connected")); });
    connect(m_request, &NetworkManager::requestFinished, this, [this](const QByteArray &, int status) {
        onFinished(status);
    });
    if (m_vpnConnection) {
        connect(m_vpnConnection.data(), &VpnConnection::connectionStateChanged, this,
                &VpnSessionReporter::onConnectionStateChanged);
    }
}

QString VpnSessionReporter::vpnType(VpnProtocol::Protocol protocol)
{
    switch (protocol) {
    case VpnProtocol::OpenVpnUdp:
    case VpnProtocol::OpenVpnTcp:
        return QStringLiteral("OpenVPN");
    case VpnProtocol::AmneziaWg:
        return QStringLiteral("AmneziaWG");
    case VpnProtocol::Stealth:
        return QStringLiteral("Reality");
    case VpnProtocol::Hysteria2:
        return QStringLiteral("Hysteria2");
    default:
        return QStringLiteral("WireGuard");
    }
}

void VpnSessionReporter::onConnectionStateChanged(VpnProtocol::ConnectionState state)
{
    m_connected = state == VpnProtocol::Connected;
    if (m_connected) {
        ++m_connects;
        m_retryPending = false;
        m_wasConnected = true;
        send(QStringLiteral("connected"));
        m_heartbeat.start();
        return;
    }
    m_heartbeat.stop();
    if (state != VpnProtocol::Disconnected || !m_wasConnected)
        return;
    m_wasConnected = false;
    const quint64 connects = m_connects;
    const qint64 downAt = ApiHost::nowMs();
    QTimer::singleShot(kSettleMs, this, [this, connects, downAt] {
        if (m_connected || m_connects != connects)
            return;
        // The report must not leave on a connection made through the tunnel.
        // Noting the change again when it was noted as the tunnel went down
        // would only cut the requests in flight now (a sign-in among them).
        if (ApiHost::lastTunnelChangeMs() < downAt - kNotedWithTheDisconnectMs)
            ApiHost::noteTunnelChange();
        send(QStringLiteral("disconnected"));
    });
}

void VpnSessionReporter::send(const QString &state)
{
    if (UserManager::state() != UserManager::SignedIn)
        return;
    QJsonObject body{{QStringLiteral("state"), state}};
    const VpnProtocol::Protocol protocol = m_vpnConnection ? m_vpnConnection->protocol() : VpnProtocol::WireGuard;
    body.insert(QStringLiteral("vpn_type"), vpnType(protocol));
    if (const ServersModel::Server *server = m_servers ? m_servers->currentServer() : nullptr) {
        if (!server->configId.isEmpty())
            body.insert(QStringLiteral("config_id"), server->configId);
    }
    m_request->request(ApiHost::url(QStringLiteral("client/vpn-session")), body, NetworkManager::POST,
                       TokenManager::instance()->getToken(), kSessionTimeoutMs, true);
}

void VpnSessionReporter::onFinished(int statusCode)
{
    // No answer while the tunnel is up: once more, a little later.
    if (statusCode != 0 || !m_connected || m_retryPending)
        return;
    m_retryPending = true;
    QTimer::singleShot(kSettleMs, this, [this] {
        if (m_connected)
            send(QStringLiteral("connected"));
    });
}
