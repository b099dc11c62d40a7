#include "engagement/SystemTrayManager.h"

#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("SystemTray"));
} // namespace

SystemTrayManager::SystemTrayManager(QObject *parent) : QObject(parent)
{
    logger.info() << "The tray icon is not built yet: no icon is shown";
}

void SystemTrayManager::onTrayActiavated(QSystemTrayIcon::ActivationReason reason)
{
    Q_UNUSED(reason)
}

void SystemTrayManager::onUserLoginChanges(UserManager::State state)
{
    Q_UNUSED(state)
}

void SystemTrayManager::onDefaultServerReady() {}

void SystemTrayManager::onConnectionStateChanged(VpnProtocol::ConnectionState state)
{
    Q_UNUSED(state)
}

void SystemTrayManager::onVpnError(VpnProtocol::Errors error)
{
    Q_UNUSED(error)
}

void SystemTrayManager::disableConnectOptions() {}

void SystemTrayManager::showNotification(QString title, QString message, int msecs)
{
    Q_UNUSED(msecs)
    logger.info() << "Notification not shown (no tray icon yet):" << title << "-" << message;
}
