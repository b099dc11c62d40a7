#pragma once

#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include "vpn/VpnProtocol.h"

class Settings;

// The settings pages' object. It answers their questions from the settings
// store, carries out their toggles there and checks what the user types; the
// features that act on a change (the kill switch in the VPN connection, ad
// blocking, the bypass list) listen to its signals, wired by the core
// controller. It keeps nothing of its own beyond the store.
class SettingsController : public QObject
{
    Q_OBJECT
public:
    static constexpr int kBypassSiteLimit = 100;
    static constexpr int kTrustedNetworkLimit = 50;
    static constexpr int kSplitTunnelAppLimit = 50;

    explicit SettingsController(QSharedPointer<Settings> settings, QObject *parent = nullptr);

signals:
    void killSwitchToggled(bool enabled);
    void adBlockToggled(bool enabled);
    void bypassListChanged();
    void trustedNetworksChanged();

public:
    Q_INVOKABLE bool isAutoStartEnabled() const;
    Q_INVOKABLE void toggleAutoStart(bool enable);
    Q_INVOKABLE bool isLoggingEnabled() const;
    Q_INVOKABLE void toggleLogging(bool enable);
    Q_INVOKABLE bool isStartMinimizedEnabled() const;
    Q_INVOKABLE void toggleStartMinimized(bool enable);
    Q_INVOKABLE bool isAutoConnect() const;
    Q_INVOKABLE void toggleAutoConnect(bool enable);
    Q_INVOKABLE bool isKillSwitchEnabled() const;
    Q_INVOKABLE void toggleKillSwitch(bool enable);
    Q_INVOKABLE bool isDnsLeakProtectionEnabled() const;
    Q_INVOKABLE void toggleDnsLeakProtection(bool enable);
    Q_INVOKABLE bool isAdBlockEnabled() const;
    Q_INVOKABLE void toggleAdBlock(bool enable);
    Q_INVOKABLE bool isBypassListEnabled() const;
    Q_INVOKABLE void toggleBypassList(bool enable);
    Q_INVOKABLE QStringList bypassSites() const;
    // "" when added, else the message to show.
    Q_INVOKABLE QString addBypassSite(QString typed);
    Q_INVOKABLE void removeBypassSite(QString site);
    Q_INVOKABLE int bypassSiteLimit() const { return kBypassSiteLimit; }
    Q_INVOKABLE QStringList trustedNetworks() const;
    Q_INVOKABLE QString currentWifi() const;
    // "" when added, else the message to show.
    Q_INVOKABLE QString addCurrentWifi();
    Q_INVOKABLE void removeTrustedNetwork(QString name);
    // Windows shows its own prompt when the name is first read; nothing to ask here.
    Q_INVOKABLE void requestWifiNameAccess() {}
    Q_INVOKABLE bool isSplitTunnelEnabled() const;
    Q_INVOKABLE void toggleSplitTunnel(bool enable);
    // Maps with "name", "path" and "icon".
    Q_INVOKABLE QVariantList installedApps() const;
    Q_INVOKABLE QStringList splitTunnelApps() const;
    Q_INVOKABLE void setSplitTunnelApp(QString path, bool skip);
    Q_INVOKABLE VpnProtocol::Protocol prefferedProtocol() const;
    Q_INVOKABLE void togglePrefferedProtocol(VpnProtocol::Protocol protocol);

private:
    QSharedPointer<Settings> m_settings;
};
