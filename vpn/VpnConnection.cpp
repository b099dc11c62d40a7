#include "vpn/VpnConnection.h"

#include "app/Settings.h"

VpnConnection::VpnConnection(QSharedPointer<Settings> settings, QObject *parent)
    : QObject(parent), m_settings(std::move(settings))
{
}

void VpnConnection::cleanUpLeftoverTunnel(int attempts)
{
    Q_UNUSED(attempts)
}
