#include <QFontDatabase>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#include "account/UserManager.h"
#include "app/CoreController.h"
#include "app/Settings.h"
#include "connection/ProtocolsModel.h"
#include "engagement/Telemetry.h"
#include "platform/WifiName.h"
#include "servers/ServersModel.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"
#include "vpn/VpnConnection.h"

namespace {

const QString kOpened = QStringLiteral("Auto-connect: opening the connection");
const QString kTrusted = QStringLiteral("Auto-connect skipped: trusted Wi-Fi");
const QString kReconnectAfterUpdate = QStringLiteral("updater/reconnectAfterUpdate");

// The two answers auto-connect waits for: a default server with its
// configuration, and the user's plan.
void answerServerAndPlan(CoreController &core)
{
    emit core.serversModel()->defaultServerReady();
    emit UserManager::instance()->userCurrentSubscriptionFetched();
}

QStringList eventNames()
{
    QStringList names;
    for (const Telemetry::Event &event : Telemetry::instance()->eventsForTesting())
        names << event.name;
    return names;
}

} // namespace

// What the core controller does on its own account: the objects it publishes,
// the fonts it loads for the pages, auto-connect, the protocol choice, the
// telemetry it feeds and how it reports a failed update check.
class TestCoreController : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        LogCapture::install();
    }

    void loadsTheApplicationFonts()
    {
        LogCapture log;
        auto settings = QSharedPointer<Settings>::create();
        CoreController core(nullptr, nullptr, settings);
        QVERIFY2(!log.contains(QStringLiteral("Failed to load font:")), qPrintable(log.all()));
        QVERIFY(QFontDatabase::families().contains(QStringLiteral("Poppins")));
        const QStringList styles = QFontDatabase::styles(QStringLiteral("Poppins"));
        for (const char *style : {"Light", "Regular", "Medium", "SemiBold", "Bold", "ExtraBold"})
            QVERIFY2(styles.contains(QString::fromLatin1(style)), qPrintable(styles.join(u',')));
    }

    void init()
    {
        WifiName::clearForTesting();
        CoreController::setAutoConnectWaitForTesting(0);
        Settings settings;
        settings.setAutoConnect(false);
        settings.setTrustedNetworks({});
        settings.setPreferredProtocol(0);
        QSettings().remove(kReconnectAfterUpdate);
        LogCapture::instance().clear();
        Telemetry::instance()->clearForTesting();
    }

    void everyNameIsPublished_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("clearedAtShutdown");
        const QStringList cleared = CoreController::contextObjectNames();
        for (const char *name : {"MServers", "MPremium", "MDevices", "MProtocols", "NetMonitor", "Updater",
                                 "ConnectionController", "LimitGuard", "SettingsController", "CodeAuthenticator",
                                 "LogoutManager", "ThirdPartyAuth", "TokenManager", "ClipBoardManager",
                                 "UserManager", "SystemTray", "AdBlock", "InAppMessages", "BypassList",
                                 "DesktopPush", "MTelemetry"}) {
            const QString published = QString::fromLatin1(name);
            QTest::newRow(name) << published << cleared.contains(published);
        }
    }

    void everyNameIsPublished()
    {
        QFETCH(QString, name);
        QFETCH(bool, clearedAtShutdown);
        QVERIFY(CoreController::publishedNames().contains(name));
        QQmlApplicationEngine engine;
        auto settings = QSharedPointer<Settings>::create();
        auto vpn = QSharedPointer<VpnConnection>::create(settings);
        CoreController core(&engine, vpn, settings);
        QObject *object = engine.rootContext()->contextProperty(name).value<QObject *>();
        QVERIFY2(object, qPrintable(name));
        core.clearContextObjects();
        QCOMPARE(engine.rootContext()->contextProperty(name).value<QObject *>() == nullptr, clearedAtShutdown);
    }

    // Auto-connect runs when the last run asked for it to reconnect after an
    // update, or when the setting is on; a trusted Wi-Fi stops only the latter.
    void autoConnect_data()
    {
        QTest::addColumn<bool>("afterUpdate");
        QTest::addColumn<bool>("setting");
        QTest::addColumn<QStringList>("trusted");
        QTest::addColumn<QString>("wifi");
        QTest::addColumn<bool>("opened");
        QTest::addColumn<bool>("skippedAsTrusted");
        const QStringList trusted{QStringLiteral("Office"), QStringLiteral("Home")};
        QTest::newRow("setting off, no update: no watch") << false << false << trusted << "Cafe" << false << false;
        QTest::newRow("setting on, untrusted Wi-Fi") << false << true << trusted << "Cafe" << true << false;
        QTest::newRow("setting on, no Wi-Fi") << false << true << trusted << "" << true << false;
        QTest::newRow("setting on, trusted Wi-Fi: never connects") << false << true << trusted << "Home" << false
                                                                   << true;
        QTest::newRow("trusted names are exact: other case connects") << false << true << trusted << "home" << true
                                                                      << false;
        QTest::newRow("after an update on a trusted Wi-Fi: connects") << true << true << trusted << "Home" << true
                                                                      << false;
        QTest::newRow("after an update with the setting off") << true << false << QStringList() << "" << true
                                                              << false;
    }

    void autoConnect()
    {
        QFETCH(bool, afterUpdate);
        QFETCH(bool, setting);
        QFETCH(QStringList, trusted);
        QFETCH(QString, wifi);
        QFETCH(bool, opened);
        QFETCH(bool, skippedAsTrusted);
        auto settings = QSharedPointer<Settings>::create();
        settings->setAutoConnect(setting);
        settings->setTrustedNetworks(trusted);
        if (afterUpdate)
            QSettings().setValue(kReconnectAfterUpdate, true);
        WifiName::setForTesting(wifi);
        auto vpn = QSharedPointer<VpnConnection>::create(settings);
        CoreController core(nullptr, vpn, settings);
        // The flag is read once: the next start does not reconnect again.
        QVERIFY(!QSettings().contains(kReconnectAfterUpdate));

        // In either order, and more than once: the watch fires at most once.
        emit UserManager::instance()->userCurrentSubscriptionFetched();
        QCOMPARE(LogCapture::instance().count(kOpened), 0);
        emit core.serversModel()->defaultServerReady();
        answerServerAndPlan(core);
        QCoreApplication::processEvents();
        answerServerAndPlan(core);
        QCOMPARE(LogCapture::instance().count(kOpened), opened ? 1 : 0);
        QCOMPARE(LogCapture::instance().count(kTrusted), skippedAsTrusted ? 1 : 0);
    }

    void autoConnectGivesUpWithoutAnAnswer()
    {
        auto settings = QSharedPointer<Settings>::create();
        settings->setAutoConnect(true);
        WifiName::setForTesting(QString());
        CoreController::setAutoConnectWaitForTesting(200);
        auto vpn = QSharedPointer<VpnConnection>::create(settings);
        CoreController core(nullptr, vpn, settings);
        emit core.serversModel()->defaultServerReady();
        QTRY_COMPARE_WITH_TIMEOUT(
            LogCapture::instance().count(QStringLiteral("Auto-connect skipped: no server or plan answer in time")), 1,
            5000);
        answerServerAndPlan(core);
        QCoreApplication::processEvents();
        QCOMPARE(LogCapture::instance().count(kOpened), 0);
    }

    // The page starts on the stored choice; a choice is stored, and the
    // catalogue follows what the current server allows.
    void protocolChoiceFollowsSettingsAndCatalogue()
    {
        auto settings = QSharedPointer<Settings>::create();
        settings->setPreferredProtocol(VpnProtocol::Stealth);
        auto vpn = QSharedPointer<VpnConnection>::create(settings);
        CoreController core(nullptr, vpn, settings);
        ProtocolsModel *protocols = core.protocolsModel();
        QCOMPARE(protocols->selectedProtocol(), int(VpnProtocol::Stealth));
        QCOMPARE(core.serversModel()->currentProtocol(), VpnProtocol::Stealth);

        protocols->updateProtocol(VpnProtocol::OpenVpnTcp);
        QCOMPARE(settings->preferredProtocol(), int(VpnProtocol::OpenVpnTcp));
        QCOMPARE(core.serversModel()->currentProtocol(), VpnProtocol::OpenVpnTcp);
        QVERIFY(eventNames().contains(QStringLiteral("protocol_changed")));
    }

    void tunnelStatesReachTelemetry_data()
    {
        QTest::addColumn<QList<int>>("states");
        QTest::addColumn<QStringList>("events");
        const int connecting = VpnProtocol::Connecting;
        const int connected = VpnProtocol::Connected;
        const int disconnected = VpnProtocol::Disconnected;
        QTest::newRow("a session") << QList<int>{connecting, connected, disconnected}
                                   << QStringList{"vpn_connect", "vpn_connected", "vpn_disconnected"};
        QTest::newRow("a connect that failed") << QList<int>{connecting, disconnected}
                                               << QStringList{"vpn_connect", "vpn_connect_failed"};
        QTest::newRow("a repeated state counts once")
            << QList<int>{connecting, connecting, connected, connected, disconnected, disconnected}
            << QStringList{"vpn_connect", "vpn_connected", "vpn_disconnected"};
    }

    void tunnelStatesReachTelemetry()
    {
        QFETCH(QList<int>, states);
        QFETCH(QStringList, events);
        auto settings = QSharedPointer<Settings>::create();
        auto vpn = QSharedPointer<VpnConnection>::create(settings);
        CoreController core(nullptr, vpn, settings);
        Telemetry::instance()->clearForTesting();
        for (int state : states)
            emit vpn->connectionStateChanged(VpnProtocol::ConnectionState(state));
        QCOMPARE(eventNames(), events);
        QVERIFY(LogCapture::instance().anyContains(QStringLiteral("vpn state: connecting")));
    }

    void vpnErrorsReachTelemetry()
    {
        auto settings = QSharedPointer<Settings>::create();
        auto vpn = QSharedPointer<VpnConnection>::create(settings);
        CoreController core(nullptr, vpn, settings);
        Telemetry::instance()->clearForTesting();
        emit vpn->vpnError(VpnProtocol::NoError);
        emit vpn->vpnError(VpnProtocol::ConnectionFailed);
        const QList<Telemetry::Event> events = Telemetry::instance()->eventsForTesting();
        QCOMPARE(events.size(), 1);
        QCOMPARE(events.first().name, QStringLiteral("app_error"));
        QCOMPARE(events.first().params.value(QStringLiteral("domain")).toString(), QStringLiteral("vpn"));
        QCOMPARE(events.first().params.value(QStringLiteral("code")).toInt(), 400);
        QCOMPARE(events.first().params.value(QStringLiteral("message")).toString(), QStringLiteral("VPN error 400"));
    }

    void failedUpdateCheckIsShownUnlessATunnelIsBusy_data()
    {
        QTest::addColumn<bool>("tunnelActivity");
        QTest::addColumn<int>("shown");
        QTest::newRow("no tunnel: the user is told") << false << 1;
        QTest::newRow("tunnel changed just now: the failure may be the tunnel's") << true << 0;
    }

    void failedUpdateCheckIsShownUnlessATunnelIsBusy()
    {
        QFETCH(bool, tunnelActivity);
        QFETCH(int, shown);
        auto settings = QSharedPointer<Settings>::create();
        auto vpn = QSharedPointer<VpnConnection>::create(settings);
        CoreController core(nullptr, vpn, settings);
        if (tunnelActivity)
            vpn->onConnectionStateChanged(VpnProtocol::Connecting);
        QCOMPARE(vpn->isBusyWithTunnel(), tunnelActivity);

        QSignalSpy errors(&core, &CoreController::errorOccurred);
        core.onErrorOccurred();
        QCOMPARE(errors.count(), shown);
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QGuiApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("Kelvra"));
    app.setOrganizationName(QStringLiteral("Kelvra.Inc"));
    TestCoreController test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_corecontroller.moc"
