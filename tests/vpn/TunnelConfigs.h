#pragma once

#include <QJsonArray>
#include <QJsonObject>

#include "vpn/VpnProtocol.h"

// Connection configurations for the daemon-driven protocols, as the server
// catalogue builds them, for a server on a namespace-only address.
namespace TunnelConfigs {

// Must never show in a log.
inline QString privateKey()
{
    return QStringLiteral("cHJpdmF0ZS1rZXktbmV2ZXItbG9nZ2Vk");
}

inline QJsonObject daemonDriven(VpnProtocol::Protocol protocol, const QString &host = QStringLiteral("203.0.113.10"))
{
    QJsonObject data { { QStringLiteral("client_ip"), QStringLiteral("10.8.0.2/32") },
                       { QStringLiteral("hostName"), host },
                       { QStringLiteral("port"), 51820 },
                       { QStringLiteral("dns"), QStringLiteral("10.8.0.1") },
                       { QStringLiteral("allowed_ips"), QJsonArray { QStringLiteral("0.0.0.0/0"), QStringLiteral("::/0") } } };
    if (protocol == VpnProtocol::Stealth) {
        data.insert(QStringLiteral("vless"), QStringLiteral("vless://id@%1:443?security=reality").arg(host));
    } else if (protocol == VpnProtocol::Hysteria2) {
        data.insert(QStringLiteral("vless"), QStringLiteral("hysteria2://secret@%1:443/").arg(host));
    } else {
        data.insert(QStringLiteral("client_private_key"), privateKey());
        data.insert(QStringLiteral("server_pub_key"), QStringLiteral("cHVibGlj"));
    }
    if (protocol == VpnProtocol::AmneziaWg)
        data.insert(QStringLiteral("awg"), QJsonObject { { QStringLiteral("Jc"), 4 } });
    return QJsonObject { { QStringLiteral("protocol"), QStringLiteral("wireguard") },
                         { QStringLiteral("wireguard_config_data"), data } };
}

} // namespace TunnelConfigs
