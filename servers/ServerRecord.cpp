#include "servers/ServerRecord.h"

#include <QHostAddress>

bool ServerRecord::offers(VpnProtocol::Protocol protocol) const
{
    if (protocols.contains(protocol))
        return true;
    return protocol == VpnProtocol::Stealth && (hasCdnRoute || protocols.contains(VpnProtocol::Hysteria2));
}

VpnProtocol::Protocol ServerRecord::effectiveProtocol() const
{
    return selectedProtocol == VpnProtocol::Optimal ? recommendedProtocol : selectedProtocol;
}

bool ServerRecord::usableCdnRoute() const
{
    QHostAddress address;
    return hasCdnRoute && address.setAddress(cdnProbeAddress) && !cdnProbeSni.isEmpty()
           && cdnProbePath.startsWith(QLatin1Char('/'));
}

QVariantList ServerRecord::supportedProtos() const
{
    QVariantList list;
    list.reserve(protocols.size() + 1);
    for (VpnProtocol::Protocol protocol : protocols)
        list << int(protocol);
    if (!protocols.contains(VpnProtocol::Stealth) && (hasCdnRoute || protocols.contains(VpnProtocol::Hysteria2)))
        list << int(VpnProtocol::Stealth);
    return list;
}
