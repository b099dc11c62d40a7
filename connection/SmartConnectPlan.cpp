#include "connection/SmartConnectPlan.h"

namespace SmartConnectPlan {

namespace {
constexpr int kCdnMs = 15000;
constexpr int kFirstOfFamilyMs = 12000;
constexpr int kWireGuardMs = 10000;
constexpr int kOtherMs = 8000;
constexpr int kRealityRetryMs = 6000;
} // namespace

VpnProtocol::Protocol protocolOf(const QString &route)
{
    if (route == QLatin1String("amneziawg"))
        return VpnProtocol::AmneziaWg;
    if (route == QLatin1String("openvpn"))
        return VpnProtocol::OpenVpnUdp;
    if (route == QLatin1String("openvpn-tcp"))
        return VpnProtocol::OpenVpnTcp;
    if (route == QLatin1String("reality") || route == QLatin1String("reality-cdn"))
        return VpnProtocol::Stealth;
    if (route == QLatin1String("hysteria2"))
        return VpnProtocol::Hysteria2;
    return VpnProtocol::WireGuard;
}

QString familyOf(const QString &route)
{
    if (route == QLatin1String("amneziawg"))
        return QStringLiteral("awg");
    if (route == QLatin1String("openvpn") || route == QLatin1String("openvpn-tcp"))
        return QStringLiteral("openvpn");
    if (route == QLatin1String("reality") || route == QLatin1String("reality-cdn") || route == QLatin1String("hysteria2"))
        return QStringLiteral("xray");
    return QString();
}

QStringList knownRoutes(const QString &mode)
{
    if (mode == QLatin1String("optimal"))
        return { QStringLiteral("wireguard"), QStringLiteral("amneziawg"), QStringLiteral("openvpn"),
                 QStringLiteral("openvpn-tcp"), QStringLiteral("reality"), QStringLiteral("hysteria2"),
                 QStringLiteral("reality-cdn") };
    if (mode == QLatin1String("stealth"))
        return { QStringLiteral("reality"), QStringLiteral("hysteria2"), QStringLiteral("reality-cdn") };
    return {};
}

QString modeFor(VpnProtocol::Protocol selectedProtocol)
{
    if (selectedProtocol == VpnProtocol::Optimal)
        return QStringLiteral("optimal");
    if (selectedProtocol == VpnProtocol::Stealth)
        return QStringLiteral("stealth");
    return QString();
}

QList<SmartAttempt> build(const Input &input)
{
    const QStringList known = knownRoutes(input.mode);
    QStringList order;
    for (const QString &route : input.catalogueOrder) {
        if (known.contains(route) && !order.contains(route))
            order << route;
    }
    if (order.isEmpty())
        order = known;

    bool realityMovedForward = false;
    const qsizetype last = input.putLast.isEmpty() ? -1 : order.indexOf(input.putLast);
    if (last >= 0) {
        order = order.mid(last + 1) + order.mid(0, last) + QStringList { input.putLast };
    } else if (!input.remembered.isEmpty() && order.contains(input.remembered)) {
        order.removeAll(input.remembered);
        order.prepend(input.remembered);
        // A network that last needed the Cloudflare route gets one short
        // REALITY try first: the direct route is faster when it works again.
        if (input.remembered == QLatin1String("reality-cdn") && order.contains(QStringLiteral("reality"))) {
            order.removeAll(QStringLiteral("reality"));
            order.prepend(QStringLiteral("reality"));
            realityMovedForward = true;
        }
    }

    QList<SmartAttempt> attempts;
    QStringList familiesSeen;
    for (const QString &route : std::as_const(order)) {
        if (input.offered && !input.offered(route))
            continue;
        const QString family = familyOf(route);
        int timeoutMs;
        if (route == QLatin1String("reality-cdn"))
            timeoutMs = kCdnMs;
        else if ((!family.isEmpty() && !familiesSeen.contains(family))
                 || (attempts.isEmpty() && route != QLatin1String("wireguard")))
            timeoutMs = kFirstOfFamilyMs;
        else if (route == QLatin1String("wireguard"))
            timeoutMs = kWireGuardMs;
        else
            timeoutMs = kOtherMs;
        if (!family.isEmpty() && !familiesSeen.contains(family))
            familiesSeen << family;
        attempts.append(SmartAttempt { route, timeoutMs, QString(), -1 });
    }
    if (realityMovedForward && !attempts.isEmpty() && attempts.first().route == QLatin1String("reality"))
        attempts.first().timeoutMs = kRealityRetryMs;
    return attempts;
}

} // namespace SmartConnectPlan
