#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

#include "connection/SmartAttempt.h"
#include "vpn/VpnProtocol.h"

// Smart Connect's routes (a protocol and how it is carried) and the order a
// run tries them in: the catalogue's order for the mode, what last worked on
// this network, what the server offers, and a time limit for each.
namespace SmartConnectPlan {

VpnProtocol::Protocol protocolOf(const QString &route);
// "awg", "openvpn", "xray", or empty.
QString familyOf(const QString &route);
// "optimal" or "stealth": the routes of the mode in their default order.
QStringList knownRoutes(const QString &mode);
// The mode a server's protocol choice asks for; empty when Smart Connect
// does not apply.
QString modeFor(VpnProtocol::Protocol selectedProtocol);

struct Input
{
    QString mode;
    QStringList catalogueOrder;
    QString remembered;                         // the network's worked route, empty for none
    QString putLast;                            // a route to try last (a live tunnel that dropped)
    std::function<bool(const QString &)> offered; // whether the server offers a route
};

QList<SmartAttempt> build(const Input &input);

} // namespace SmartConnectPlan
