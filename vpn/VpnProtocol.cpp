#include "vpn/VpnProtocol.h"

#include "app/Logger.h"
#include "vpn/OpenVpnProtocol.h"
#include "vpn/WireGuardProtocol.h"

namespace {
Logger logger(QStringLiteral("VpnConnection"));
}

VpnProtocol::VpnProtocol(const QJsonObject &configuration, QObject *parent)
    : QObject(parent), m_configuration(configuration)
{
}

void VpnProtocol::prepare()
{
}

void VpnProtocol::setConnectionState(ConnectionState state)
{
    m_connectionState = state;
    emit connectionStateChanged(state);
}

QString VpnProtocol::displayName(Protocol protocol)
{
    switch (protocol) {
    case OpenVpnUdp:
        return QStringLiteral("OpenVPN UDP");
    case WireGuard:
        return QStringLiteral("WireGuard");
    case AmneziaWg:
        return QStringLiteral("AmneziaWG");
    case Stealth:
    case Hysteria2:
        return QStringLiteral("Stealth");
    case OpenVpnTcp:
        return QStringLiteral("OpenVPN TCP");
    default:
        return QStringLiteral("Optimal");
    }
}

QString VpnProtocol::logName(Protocol protocol)
{
    switch (protocol) {
    case OpenVpnUdp:
        return QStringLiteral("OpenVPN UDP");
    case WireGuard:
        return QStringLiteral("WireGuard UDP");
    case AmneziaWg:
        return QStringLiteral("AmneziaWG UDP");
    case Stealth:
        return QStringLiteral("Stealth TCP");
    case OpenVpnTcp:
        return QStringLiteral("OpenVPN TCP");
    case Hysteria2:
        return QStringLiteral("Hysteria2 UDP");
    default:
        return QStringLiteral("Unknown");
    }
}

QString VpnProtocol::apiName(Protocol protocol)
{
    switch (protocol) {
    case OpenVpnUdp:
        return QStringLiteral("openvpn");
    case AmneziaWg:
        return QStringLiteral("amneziawg");
    case Stealth:
        return QStringLiteral("reality");
    case OpenVpnTcp:
        return QStringLiteral("openvpn-tcp");
    case Hysteria2:
        return QStringLiteral("hysteria2");
    default:
        return QStringLiteral("wireguard");
    }
}

QString VpnProtocol::stateName(ConnectionState state)
{
    return stateName(int(state));
}

QString VpnProtocol::stateName(int state)
{
    switch (state) {
    case Connected:
        return QStringLiteral("connected");
    case Connecting:
        return QStringLiteral("connecting");
    case Reconnecting:
        return QStringLiteral("reconnecting");
    case Disconnecting:
        return QStringLiteral("disconnecting");
    case Disconnected:
        return QStringLiteral("disconnected");
    case Preparing:
        return QStringLiteral("preparing");
    default:
        return QStringLiteral("unknown");
    }
}

VpnProtocol *VpnProtocol::create(Protocol protocol, const QJsonObject &configuration)
{
    logger.info() << "Creating VPN pointer of protocol:" << logName(protocol);
    switch (protocol) {
    case OpenVpnUdp:
    case OpenVpnTcp:
        return new OpenVpnProtocol(configuration);
    case WireGuard:
    case AmneziaWg:
    case Stealth:
    case Hysteria2:
        return new WireGuardProtocol(configuration);
    default:
        return nullptr;
    }
}
