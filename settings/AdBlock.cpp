#include "settings/AdBlock.h"

#include "app/Logger.h"
#include "app/Settings.h"
#include "vpn/VpnConnection.h"

namespace {
Logger logger(QStringLiteral("AdBlock"));
} // namespace

AdBlock::AdBlock(QSharedPointer<Settings> settings, QSharedPointer<VpnConnection> vpnConnection, QObject *parent)
    : QObject(parent), m_settings(std::move(settings)), m_vpnConnection(std::move(vpnConnection))
{
}

void AdBlock::setEnabled(bool enabled)
{
    logger.warning() << "Ad blocking switched" << (enabled ? "on" : "off")
                     << "- not applied: ad blocking is not built yet";
}
