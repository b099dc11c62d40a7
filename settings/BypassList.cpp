#include "settings/BypassList.h"

#include "app/Logger.h"
#include "app/Settings.h"
#include "vpn/VpnConnection.h"

namespace {
Logger logger(QStringLiteral("BypassList"));
} // namespace

BypassList::BypassList(QSharedPointer<Settings> settings, QSharedPointer<VpnConnection> vpnConnection,
                       QObject *parent)
    : QObject(parent), m_settings(std::move(settings)), m_vpnConnection(std::move(vpnConnection))
{
}

void BypassList::send()
{
    logger.warning() << "Bypass list changed - not applied: the bypass list is not built yet";
}
