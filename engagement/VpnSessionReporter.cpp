#include "engagement/VpnSessionReporter.h"

#include "app/Logger.h"
#include "servers/ServersModel.h"
#include "vpn/VpnConnection.h"

namespace {
Logger logger(QStringLiteral("VpnSessionReporter"));
} // namespace

VpnSessionReporter::VpnSessionReporter(QSharedPointer<VpnConnection> vpnConnection,
                                       QSharedPointer<ServersModel> servers, QObject *parent)
    : QObject(parent), m_vpnConnection(std::move(vpnConnection)), m_servers(std::move(servers))
{
    logger.debug() << "Session reports are not built yet: nothing is sent";
}
