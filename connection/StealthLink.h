#pragma once

#include <QJsonObject>
#include <QLatin1String>

// What a Stealth configuration's link says about its route.
namespace StealthLink {

// A link carried over WebSocket goes through a Cloudflare front, whatever
// route was asked for.
inline bool isWebSocket(const QJsonObject &config)
{
    return config.value(QLatin1String("wireguard_config_data"))
        .toObject()
        .value(QLatin1String("vless"))
        .toString()
        .contains(QLatin1String("type=ws"));
}

} // namespace StealthLink
