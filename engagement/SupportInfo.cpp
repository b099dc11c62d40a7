#include "engagement/SupportInfo.h"

#include <QClipboard>
#include <QDateTime>
#include <QGuiApplication>
#include <QLocale>
#include <QStringList>
#include <QSysInfo>

#include "account/UserManager.h"
#include "api/ApiHost.h"
#include "app/Logger.h"
#include "app/Settings.h"
#include "servers/ServersModel.h"
#include "vpn/VpnConnection.h"

namespace {
Logger logger(QStringLiteral("SupportInfo"));

QString onOff(bool value)
{
    return value ? QStringLiteral("on") : QStringLiteral("off");
}
} // namespace

SupportInfo::SupportInfo(QSharedPointer<Settings> settings, QSharedPointer<VpnConnection> vpnConnection,
                         QSharedPointer<ServersModel> servers, QObject *parent)
    : QObject(parent), m_settings(std::move(settings)), m_vpnConnection(std::move(vpnConnection)),
      m_servers(std::move(servers))
{
}

QString SupportInfo::diagnostics() const
{
    QStringList lines;
    lines << QStringLiteral("Kelvra %1 (%2 build)")
                 .arg(QStringLiteral(KELVRA_VERSION),
                      ApiHost::isStagingBuild() ? QStringLiteral("staging") : QStringLiteral("production"));
    lines << QStringLiteral("System: %1, kernel %2 %3, %4")
                 .arg(QSysInfo::prettyProductName(), QSysInfo::kernelType(), QSysInfo::kernelVersion(),
                      QSysInfo::currentCpuArchitecture());
    lines << QStringLiteral("Qt %1, language %2").arg(QString::fromLatin1(qVersion()), QLocale().name());
    lines << QStringLiteral("Signed in: %1")
                 .arg(UserManager::state() == UserManager::SignedIn ? QStringLiteral("yes") : QStringLiteral("no"));
    if (m_vpnConnection) {
        lines << QStringLiteral("Tunnel: %1, protocol %2")
                     .arg(VpnProtocol::stateName(m_vpnConnection->connectionState()),
                          VpnProtocol::displayName(m_vpnConnection->protocol()));
    }
    if (m_servers && m_servers->currentServer())
        lines << QStringLiteral("Location: %1").arg(m_servers->currentServer()->name);
    lines << QStringLiteral("API host: %1")
                 .arg(ApiHost::backupIndex() < 0 ? QStringLiteral("primary")
                                                 : QStringLiteral("backup %1").arg(ApiHost::backupIndex() + 1));
    if (m_settings) {
        lines << QStringLiteral("Preferred protocol: %1")
                     .arg(VpnProtocol::displayName(VpnProtocol::Protocol(m_settings->preferredProtocol())));
        lines << QStringLiteral("Kill switch %1, DNS leak protection %2, auto-connect %3")
                     .arg(onOff(m_settings->killSwitch()), onOff(m_settings->dnsLeakProtection()),
                          onOff(m_settings->autoConnect()));
        // How many, never which: the names are the person's own.
        lines << QStringLiteral("Ad blocking %1, bypass list %2 (%3 sites), split tunnelling %4 (%5 apps), "
                                "trusted networks: %6")
                     .arg(onOff(m_settings->adBlock()), onOff(m_settings->bypassList()))
                     .arg(m_settings->bypassSites().size())
                     .arg(onOff(m_settings->splitTunnel()))
                     .arg(m_settings->splitTunnelApps().size())
                     .arg(m_settings->trustedNetworks().size());
        lines << QStringLiteral("Logging %1").arg(onOff(m_settings->logging()));
    }
    lines << QStringLiteral("Time: %1").arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
    return lines.join(QLatin1Char('\n'));
}

bool SupportInfo::copyDiagnostics() const
{
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (!clipboard)
        return false;
    clipboard->setText(diagnostics());
    logger.info() << "Diagnostics summary copied";
    return true;
}

QString SupportInfo::supportUrl() const
{
    return QStringLiteral("https://kelvra.com/support");
}

void SupportInfo::contactSupport() const
{
    UserManager::instance()->reDirect(supportUrl());
}
