// The settings pages' controller: what a typed site becomes, the limits and
// messages of the three lists, and which changes the features hear of.

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>

#include "app/Settings.h"
#include "platform/WifiName.h"
#include "settings/SettingsController.h"
#include "settings/SiteName.h"
#include "support/TestEnvironment.h"

class TestSettingsController : public QObject
{
    Q_OBJECT
    QSharedPointer<Settings> m_settings;
    QScopedPointer<SettingsController> m_controller;

private slots:
    void init()
    {
        m_settings = QSharedPointer<Settings>::create();
        m_settings->setBypassSites({});
        m_settings->setTrustedNetworks({});
        m_settings->setSplitTunnelApps({});
        m_controller.reset(new SettingsController(m_settings));
        WifiName::clearForTesting();
    }

    void cleanupTestCase() { WifiName::clearForTesting(); }

    void typedSiteBecomesItsHost_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("site");
        QTest::newRow("a plain name") << "bank.com" << "bank.com";
        QTest::newRow("scheme, upper-case www. and a path") << "  HTTPS://WWW.Bank.COM/login?x=1 " << "bank.com";
        QTest::newRow("a leading wildcard label") << "*.bank.com" << "bank.com";
        QTest::newRow("a trailing dot") << "bank.com." << "bank.com";
        QTest::newRow("a wildcard, www. and a trailing dot") << "*.www.bank.com." << "bank.com";
        QTest::newRow("a port and user") << "ftp://me@shop.example.org:2121/" << "shop.example.org";
        QTest::newRow("www. only as a prefix") << "mywww.example.org" << "mywww.example.org";
        QTest::newRow("a dotted IPv4 address") << "192.0.2.7" << "192.0.2.7";
        QTest::newRow("an IPv4 address with a scheme") << "http://192.0.2.7:8080/x" << "192.0.2.7";
        QTest::newRow("a single label") << "localhost" << "";
        QTest::newRow("an IPv6 literal") << "[2001:db8::1]" << "";
        QTest::newRow("an IPv6 URL") << "http://[2001:db8::1]/" << "";
        QTest::newRow("empty") << "   " << "";
        QTest::newRow("a label ending in a hyphen") << "bad-.example.com" << "";
        QTest::newRow("an underscore") << "my_host.example.com" << "";
        QTest::newRow("a label of 64 characters") << QString(64, QLatin1Char('a')) + ".com" << "";
        QTest::newRow("a label of 63 characters") << QString(63, QLatin1Char('a')) + ".com"
                                                  << QString(63, QLatin1Char('a')) + ".com";
        QTest::newRow("longer than 253 characters") << QStringList(5, QString(60, QLatin1Char('a'))).join('.') << "";
        QTest::newRow("only a wildcard") << "*." << "";
        QTest::newRow("spaces inside") << "bank .com" << "";
    }

    void typedSiteBecomesItsHost()
    {
        QFETCH(QString, typed);
        QFETCH(QString, site);
        QCOMPARE(SiteName::normalise(typed), site);

        QSignalSpy changed(m_controller.data(), &SettingsController::bypassListChanged);
        const QString message = m_controller->addBypassSite(typed);
        if (site.isEmpty()) {
            QCOMPARE(message, QStringLiteral("Enter a site like bank.com."));
            QVERIFY(m_controller->bypassSites().isEmpty());
            QCOMPARE(changed.size(), 0);
        } else {
            QCOMPARE(message, QString());
            QCOMPARE(m_controller->bypassSites(), QStringList{site});
            QCOMPARE(changed.size(), 1);
        }
    }

    void bypassSitesNewestFirstWithoutDuplicates()
    {
        QCOMPARE(m_controller->addBypassSite(QStringLiteral("bank.com")), QString());
        QCOMPARE(m_controller->addBypassSite(QStringLiteral("shop.example.org")), QString());
        QCOMPARE(m_controller->bypassSites(), (QStringList{"shop.example.org", "bank.com"}));
        QSignalSpy changed(m_controller.data(), &SettingsController::bypassListChanged);
        QCOMPARE(m_controller->addBypassSite(QStringLiteral("https://www.BANK.com/")),
                 QStringLiteral("bank.com is already on the list."));
        QCOMPARE(changed.size(), 0);
        QCOMPARE(m_controller->bypassSites().size(), 2);
    }

    void listsStopAtTheirLimits_data()
    {
        QTest::addColumn<QString>("list");
        QTest::addColumn<int>("limit");
        QTest::addColumn<QString>("fullMessage");
        QTest::newRow("bypass sites") << "sites" << 100 << "The list is full (100 sites). Remove one first.";
        QTest::newRow("trusted networks") << "networks" << 50 << "The list is full (50 networks). Remove one first.";
    }

    void listsStopAtTheirLimits()
    {
        QFETCH(QString, list);
        QFETCH(int, limit);
        QFETCH(QString, fullMessage);
        const bool sites = list == QLatin1String("sites");
        auto add = [&](int i) {
            if (sites)
                return m_controller->addBypassSite(QStringLiteral("site%1.example.com").arg(i));
            WifiName::setForTesting(QStringLiteral("Network %1").arg(i));
            return m_controller->addCurrentWifi();
        };
        for (int i = 0; i < limit; ++i)
            QCOMPARE(add(i), QString());
        QSignalSpy sitesChanged(m_controller.data(), &SettingsController::bypassListChanged);
        QSignalSpy networksChanged(m_controller.data(), &SettingsController::trustedNetworksChanged);
        QCOMPARE(add(limit), fullMessage);
        QCOMPARE(sites ? m_controller->bypassSites().size() : m_controller->trustedNetworks().size(), limit);
        QCOMPARE(sitesChanged.size() + networksChanged.size(), 0);
        QCOMPARE(m_controller->bypassSiteLimit(), 100);
    }

    void currentWifiMessages_data()
    {
        QTest::addColumn<int>("reading"); // 0 a name, 1 not on Wi-Fi, 2 refused
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("stored");
        QTest::newRow("a name is added") << 0 << "" << QStringList{"Home"};
        QTest::newRow("not on Wi-Fi") << 1 << "You're not on Wi-Fi right now." << QStringList();
        QTest::newRow("the name withheld")
            << 2
            << QString::fromUtf8("Kelvra can't see the Wi-Fi name. Turn on Location in Windows Settings \u203a "
                                 "Privacy & security \u203a Location, including \"Let desktop apps access your "
                                 "location\".")
            << QStringList();
    }

    void currentWifiMessages()
    {
        QFETCH(int, reading);
        QFETCH(QString, message);
        QFETCH(QStringList, stored);
        if (reading == 0)
            WifiName::setForTesting(QStringLiteral("Home"));
        else if (reading == 1)
            WifiName::setForTesting(QString());
        else
            WifiName::setRefusedForTesting();
        QSignalSpy changed(m_controller.data(), &SettingsController::trustedNetworksChanged);
        QCOMPARE(m_controller->addCurrentWifi(), message);
        QCOMPARE(m_controller->trustedNetworks(), stored);
        QCOMPARE(changed.size(), stored.size());
        QCOMPARE(m_controller->currentWifi(), reading == 0 ? QStringLiteral("Home") : QString());
    }

    void trustedNamesCompareExactly()
    {
        WifiName::setForTesting(QStringLiteral("Home"));
        QCOMPARE(m_controller->addCurrentWifi(), QString());
        QCOMPARE(m_controller->addCurrentWifi(), QStringLiteral("Home is already trusted."));
        WifiName::setForTesting(QStringLiteral("home"));
        QCOMPARE(m_controller->addCurrentWifi(), QString());
        QCOMPARE(m_controller->trustedNetworks(), (QStringList{"home", "Home"}));
    }

    void removingSomethingNotStoredEmitsNothing()
    {
        QCOMPARE(m_controller->addBypassSite(QStringLiteral("bank.com")), QString());
        WifiName::setForTesting(QStringLiteral("Home"));
        QCOMPARE(m_controller->addCurrentWifi(), QString());
        QSignalSpy sites(m_controller.data(), &SettingsController::bypassListChanged);
        QSignalSpy networks(m_controller.data(), &SettingsController::trustedNetworksChanged);
        m_controller->removeBypassSite(QStringLiteral("Bank.com"));
        m_controller->removeTrustedNetwork(QStringLiteral("home"));
        QCOMPARE(sites.size() + networks.size(), 0);
        m_controller->removeBypassSite(QStringLiteral("bank.com"));
        m_controller->removeTrustedNetwork(QStringLiteral("Home"));
        QCOMPARE(sites.size(), 1);
        QCOMPARE(networks.size(), 1);
        QVERIFY(m_controller->bypassSites().isEmpty());
        QVERIFY(m_controller->trustedNetworks().isEmpty());
    }

    void splitTunnelAppsChangeOnlyWhenTheyDiffer()
    {
        QSignalSpy changed(m_controller.data(), &SettingsController::bypassListChanged);
        m_controller->setSplitTunnelApp(QStringLiteral("/usr/bin/a"), false);
        QCOMPARE(changed.size(), 0);
        m_controller->setSplitTunnelApp(QStringLiteral("/usr/bin/a"), true);
        m_controller->setSplitTunnelApp(QStringLiteral("/usr/bin/a"), true);
        QCOMPARE(changed.size(), 1);
        for (int i = 1; i < 60; ++i)
            m_controller->setSplitTunnelApp(QStringLiteral("/usr/bin/app%1").arg(i), true);
        QCOMPARE(m_controller->splitTunnelApps().size(), 50);
        QCOMPARE(changed.size(), 50);
        QCOMPARE(m_controller->splitTunnelApps().first(), QStringLiteral("/usr/bin/a"));
        m_controller->setSplitTunnelApp(QStringLiteral("/usr/bin/a"), false);
        QCOMPARE(changed.size(), 51);
        QVERIFY(!m_controller->splitTunnelApps().contains(QStringLiteral("/usr/bin/a")));
    }

    void togglesStoreAndAnnounce()
    {
        QSignalSpy killSwitch(m_controller.data(), &SettingsController::killSwitchToggled);
        QSignalSpy adBlock(m_controller.data(), &SettingsController::adBlockToggled);
        QSignalSpy bypass(m_controller.data(), &SettingsController::bypassListChanged);
        for (const bool on : {true, false}) {
            m_controller->toggleKillSwitch(on);
            m_controller->toggleAdBlock(on);
            m_controller->toggleBypassList(on);
            m_controller->toggleSplitTunnel(on);
            m_controller->toggleAutoConnect(on);
            m_controller->toggleStartMinimized(on);
            m_controller->toggleDnsLeakProtection(on);
            QCOMPARE(m_controller->isKillSwitchEnabled(), on);
            QCOMPARE(m_controller->isAdBlockEnabled(), on);
            QCOMPARE(m_controller->isBypassListEnabled(), on);
            QCOMPARE(m_controller->isSplitTunnelEnabled(), on);
            QCOMPARE(m_controller->isAutoConnect(), on);
            QCOMPARE(m_controller->isStartMinimizedEnabled(), on);
            QCOMPARE(m_controller->isDnsLeakProtectionEnabled(), on);
            QCOMPARE(Settings().killSwitch(), on);
            QCOMPARE(killSwitch.last().first().toBool(), on);
            QCOMPARE(adBlock.last().first().toBool(), on);
        }
        QCOMPARE(killSwitch.size(), 2);
        QCOMPARE(adBlock.size(), 2);
        QCOMPARE(bypass.size(), 4); // the switch and split tunnelling, twice each
        m_controller->togglePrefferedProtocol(VpnProtocol::Stealth);
        QCOMPARE(m_controller->prefferedProtocol(), VpnProtocol::Stealth);
        QCOMPARE(m_settings->preferredProtocol(), int(VpnProtocol::Stealth));
    }
};

int main(int argc, char *argv[])
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    app.setOrganizationName(QStringLiteral("Kelvra.Inc"));
    app.setApplicationName(QStringLiteral("Kelvra"));
    TestSettingsController test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_settingscontroller.moc"
