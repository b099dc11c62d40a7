#include "settings/SettingsController.h"

#include <QCoreApplication>

#include "app/Settings.h"
#include "platform/InstalledApps.h"
#include "platform/WifiName.h"
#include "settings/SiteName.h"

namespace {
QString tr(const char *text)
{
    return QCoreApplication::translate("SettingsController", text);
}
} // namespace

SettingsController::SettingsController(QSharedPointer<Settings> settings, QObject *parent)
    : QObject(parent), m_settings(std::move(settings))
{
}

bool SettingsController::isAutoStartEnabled() const
{
    return m_settings->autoStart();
}

void SettingsController::toggleAutoStart(bool enable)
{
    m_settings->setAutoStart(enable);
}

bool SettingsController::isLoggingEnabled() const
{
    return m_settings->logging();
}

void SettingsController::toggleLogging(bool enable)
{
    m_settings->setLogging(enable);
}

bool SettingsController::isStartMinimizedEnabled() const
{
    return m_settings->startMinimized();
}

void SettingsController::toggleStartMinimized(bool enable)
{
    m_settings->setStartMinimized(enable);
}

bool SettingsController::isAutoConnect() const
{
    return m_settings->autoConnect();
}

void SettingsController::toggleAutoConnect(bool enable)
{
    m_settings->setAutoConnect(enable);
}

bool SettingsController::isKillSwitchEnabled() const
{
    return m_settings->killSwitch();
}

void SettingsController::toggleKillSwitch(bool enable)
{
    m_settings->setKillSwitch(enable);
    emit killSwitchToggled(enable);
}

bool SettingsController::isDnsLeakProtectionEnabled() const
{
    return m_settings->dnsLeakProtection();
}

void SettingsController::toggleDnsLeakProtection(bool enable)
{
    m_settings->setDnsLeakProtection(enable);
}

bool SettingsController::isAdBlockEnabled() const
{
    return m_settings->adBlock();
}

void SettingsController::toggleAdBlock(bool enable)
{
    m_settings->setAdBlock(enable);
    emit adBlockToggled(enable);
}

bool SettingsController::isBypassListEnabled() const
{
    return m_settings->bypassList();
}

void SettingsController::toggleBypassList(bool enable)
{
    m_settings->setBypassList(enable);
    emit bypassListChanged();
}

QStringList SettingsController::bypassSites() const
{
    return m_settings->bypassSites();
}

QString SettingsController::addBypassSite(QString typed)
{
    const QString site = SiteName::normalise(typed);
    if (site.isEmpty())
        return tr("Enter a site like bank.com.");
    QStringList sites = m_settings->bypassSites();
    if (sites.contains(site))
        return tr("%1 is already on the list.").arg(site);
    if (sites.size() >= kBypassSiteLimit)
        return tr("The list is full (%1 sites). Remove one first.").arg(kBypassSiteLimit);
    sites.prepend(site);
    m_settings->setBypassSites(sites);
    emit bypassListChanged();
    return {};
}

void SettingsController::removeBypassSite(QString site)
{
    QStringList sites = m_settings->bypassSites();
    if (sites.removeAll(site) == 0)
        return;
    m_settings->setBypassSites(sites);
    emit bypassListChanged();
}

QStringList SettingsController::trustedNetworks() const
{
    return m_settings->trustedNetworks();
}

QString SettingsController::currentWifi() const
{
    return WifiName::read().name;
}

QString SettingsController::addCurrentWifi()
{
    const WifiName::Reading wifi = WifiName::read();
    if (wifi.name.isEmpty()) {
        if (wifi.refused) {
            return tr("Kelvra can't see the Wi-Fi name. Turn on Location in Windows Settings \u203a Privacy & "
                      "security \u203a Location, including \"Let desktop apps access your location\".");
        }
        return tr("You're not on Wi-Fi right now.");
    }
    QStringList networks = m_settings->trustedNetworks();
    if (networks.contains(wifi.name))
        return tr("%1 is already trusted.").arg(wifi.name);
    if (networks.size() >= kTrustedNetworkLimit)
        return tr("The list is full (%1 networks). Remove one first.").arg(kTrustedNetworkLimit);
    networks.prepend(wifi.name);
    m_settings->setTrustedNetworks(networks);
    emit trustedNetworksChanged();
    return {};
}

void SettingsController::removeTrustedNetwork(QString name)
{
    QStringList networks = m_settings->trustedNetworks();
    if (networks.removeAll(name) == 0)
        return;
    m_settings->setTrustedNetworks(networks);
    emit trustedNetworksChanged();
}

bool SettingsController::isSplitTunnelEnabled() const
{
    return m_settings->splitTunnel();
}

void SettingsController::toggleSplitTunnel(bool enable)
{
    m_settings->setSplitTunnel(enable);
    emit bypassListChanged();
}

QVariantList SettingsController::installedApps() const
{
    QVariantList apps;
    const QList<InstalledApps::App> found = InstalledApps::list();
    for (const InstalledApps::App &app : found) {
        apps.append(QVariantMap{{QStringLiteral("name"), app.name},
                                {QStringLiteral("path"), app.path},
                                {QStringLiteral("icon"), app.icon}});
    }
    return apps;
}

QStringList SettingsController::splitTunnelApps() const
{
    return m_settings->splitTunnelApps();
}

void SettingsController::setSplitTunnelApp(QString path, bool skip)
{
    QStringList apps = m_settings->splitTunnelApps();
    if (skip == apps.contains(path))
        return;
    if (skip) {
        if (apps.size() >= kSplitTunnelAppLimit)
            return;
        apps.append(path);
    } else {
        apps.removeAll(path);
    }
    m_settings->setSplitTunnelApps(apps);
    emit bypassListChanged();
}

VpnProtocol::Protocol SettingsController::prefferedProtocol() const
{
    return VpnProtocol::Protocol(m_settings->preferredProtocol());
}

void SettingsController::togglePrefferedProtocol(VpnProtocol::Protocol protocol)
{
    m_settings->setPreferredProtocol(int(protocol));
}
