#include "app/NetAddress.h"

#include <QList>
#include <QPair>

bool NetAddress::isPublicIpv4(const QHostAddress &address)
{
    if (address.isNull() || address.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    static const QList<QPair<QHostAddress, int>> nonPublic{
        QHostAddress::parseSubnet(QStringLiteral("0.0.0.0/8")),
        QHostAddress::parseSubnet(QStringLiteral("10.0.0.0/8")),
        QHostAddress::parseSubnet(QStringLiteral("172.16.0.0/12")),
        QHostAddress::parseSubnet(QStringLiteral("192.168.0.0/16")),
    };
    for (const auto &range : nonPublic) {
        if (address.isInSubnet(range))
            return false;
    }
    return !(address.isLoopback() || address.isLinkLocal() || address.isMulticast() || address.isBroadcast());
}
