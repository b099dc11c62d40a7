#pragma once

#include <QJsonObject>
#include <QString>

#include "vpn/VpnProtocol.h"

// Turns the configuration text the API answers (WireGuard-style INI text, an
// OpenVPN configuration, or a vless:// / hysteria2:// link) into the connection
// configuration JSON that the VPN connection and the drivers read.
class ConnectionConfig
{
public:
    // The key under which the per-protocol object lives: "<protocol>_config_data".
    static QString dataKey(const QString &protocolValue);

    static QJsonObject build(VpnProtocol::Protocol protocol, const QString &text);

    // The parts of build(), for the link and INI forms.
    static QJsonObject fromLink(VpnProtocol::Protocol protocol, const QString &text);
    static QJsonObject fromIni(VpnProtocol::Protocol protocol, const QString &text);
};
