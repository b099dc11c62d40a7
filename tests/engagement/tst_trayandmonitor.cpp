#include <QAction>
#include <QApplication>
#include <QCryptographicHash>
#include <QSignalSpy>
#include <QTest>

#include "account/UserManager.h"
#include "engagement/NetMonitor.h"
#include "engagement/SystemTrayManager.h"
#include "engagement/Telemetry.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"

namespace {

NetworkIdentifier::Interface interface(const QString &name, const char *address, bool up = true)
{
    NetworkIdentifier::Interface entry;
    entry.name = name;
    entry.humanReadableName = name;
    entry.upAndRunning = up;
    QNetworkAddressEntry ip;
    ip.setIp(QHostAddress(QString::fromLatin1(address)));
    ip.setPrefixLength(24);
    entry.addresses = {ip};
    return entry;
}

} // namespace

// The tray's state table and menu, the network monitor's looks, and the
// events telemetry forms.
class TestTrayAndMonitor : public QObject
{
    Q_OBJECT
    QList<NetworkIdentifier::Interface> m_interfaces;

    void setOnline(bool online)
    {
        m_interfaces = {interface(QStringLiteral("lo"), "127.0.0.1")};
        m_interfaces[0].loopback = true;
        if (online)
            m_interfaces.append(interface(QStringLiteral("eth0"), "192.168.5.7"));
    }

private slots:
    void initTestCase()
    {
        LogCapture::install();
        NetworkIdentifier::setInterfacesForTesting(&m_interfaces);
    }

    void init()
    {
        UserManager::setState(UserManager::SignedOut);
        Telemetry::instance()->clearForTesting();
    }

    void trayStateTable_data()
    {
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<int>("state");
        QTest::addColumn<bool>("connectEnabled");
        QTest::addColumn<bool>("disconnectEnabled");
        QTest::addColumn<bool>("connectedIcon");
        using S = VpnProtocol::ConnectionState;
        for (bool in : {true, false}) {
            const char *who = in ? "signed in" : "signed out";
            QTest::addRow("%s, connected", who) << in << int(S::Connected) << false << in << true;
            QTest::addRow("%s, connecting", who) << in << int(S::Connecting) << false << in << true;
            QTest::addRow("%s, reconnecting", who) << in << int(S::Reconnecting) << false << in << true;
            QTest::addRow("%s, preparing", who) << in << int(S::Preparing) << false << in << true;
            QTest::addRow("%s, disconnected", who) << in << int(S::Disconnected) << in << false << false;
        }
    }

    void trayStateTable()
    {
        QFETCH(bool, signedIn);
        QFETCH(int, state);
        QFETCH(bool, connectEnabled);
        QFETCH(bool, disconnectEnabled);
        QFETCH(bool, connectedIcon);
        UserManager::setState(signedIn ? UserManager::SignedIn : UserManager::SignedOut);
        SystemTrayManager tray;
        tray.onConnectionStateChanged(VpnProtocol::ConnectionState(state));
        QCOMPARE(tray.connectAction()->isEnabled(), connectEnabled);
        QCOMPARE(tray.disconnectAction()->isEnabled(), disconnectEnabled);
        if (connectedIcon)
            QCOMPARE(tray.iconName(), QStringLiteral("connected.svg"));
        else
            QVERIFY(tray.iconName().startsWith(QLatin1String("disc_")));
        QVERIFY(QFile::exists(QStringLiteral(":/ui/icons/tray/") + tray.iconName()));
    }

    void trayMenuStartsAndFollowsTheAccount()
    {
        SystemTrayManager signedOut;
        QVERIFY(!signedOut.connectAction()->isEnabled());
        QVERIFY(!signedOut.disconnectAction()->isEnabled());
        QCOMPARE(signedOut.showAction()->text(), QStringLiteral("Show Kelvra"));
        QCOMPARE(signedOut.quitAction()->text(), QStringLiteral("Quit Kelvra"));
        QCOMPARE(signedOut.websiteAction()->text(), QStringLiteral("Visit Kelvra Website"));

        UserManager::setState(UserManager::SignedIn);
        SystemTrayManager tray;
        QVERIFY(tray.connectAction()->isEnabled());
        tray.onConnectionStateChanged(VpnProtocol::Connected);
        tray.onUserLoginChanges(UserManager::SignedOut);
        QVERIFY(!tray.connectAction()->isEnabled());
        QVERIFY(!tray.disconnectAction()->isEnabled());

        // A default server makes a down tunnel connectable; not a running one.
        tray.onConnectionStateChanged(VpnProtocol::Disconnected);
        tray.disableConnectOptions();
        tray.onDefaultServerReady();
        QVERIFY(tray.connectAction()->isEnabled());
        tray.onConnectionStateChanged(VpnProtocol::Connecting);
        tray.onDefaultServerReady();
        QVERIFY(!tray.connectAction()->isEnabled());
    }

    void trayMenuAndIconAsk()
    {
        SystemTrayManager tray;
        QSignalSpy show(&tray, &SystemTrayManager::showRequested);
        QSignalSpy connectSpy(&tray, &SystemTrayManager::connectRequested);
        QSignalSpy disconnectSpy(&tray, &SystemTrayManager::disconnectRequested);
        tray.showAction()->trigger();
        tray.onTrayActiavated(QSystemTrayIcon::Trigger);
        tray.onTrayActiavated(QSystemTrayIcon::DoubleClick);
        tray.onTrayActiavated(QSystemTrayIcon::Context);
        QCOMPARE(show.size(), 3);
        UserManager::setState(UserManager::SignedIn);
        tray.onConnectionStateChanged(VpnProtocol::Disconnected);
        tray.connectAction()->trigger();
        QCOMPARE(connectSpy.size(), 1);
        tray.onConnectionStateChanged(VpnProtocol::Connected);
        tray.disconnectAction()->trigger();
        QCOMPARE(disconnectSpy.size(), 1);
        // A disabled entry asks nothing.
        tray.connectAction()->trigger();
        QCOMPARE(connectSpy.size(), 1);
    }

    // Two looks in a row must agree before `online` changes.
    void monitorNeedsTwoLooks_data()
    {
        QTest::addColumn<QList<bool>>("looks");
        QTest::addColumn<QList<bool>>("reported");
        QTest::newRow("one dropped poll never flips") << QList<bool>{false, true, false, true} << QList<bool>{};
        QTest::newRow("two in a row flip") << QList<bool>{false, false} << QList<bool>{false};
        QTest::newRow("and back") << QList<bool>{false, false, true, false, true, true}
                                  << QList<bool>{false, true};
    }

    void monitorNeedsTwoLooks()
    {
        QFETCH(QList<bool>, looks);
        QFETCH(QList<bool>, reported);
        setOnline(true);
        NetMonitor monitor;
        QVERIFY(monitor.online());
        QSignalSpy changed(&monitor, &NetMonitor::onlineChanged);
        for (bool look : looks) {
            setOnline(look);
            monitor.check();
        }
        QList<bool> seen;
        for (const QList<QVariant> &signal : std::as_const(changed))
            seen << signal.first().toBool();
        QCOMPARE(seen, reported);
        QCOMPARE(monitor.online(), reported.isEmpty() ? true : reported.last());
    }

    void monitorBelievesNothingWhileATunnelIsBusy()
    {
        setOnline(true);
        NetMonitor monitor;
        bool busy = true;
        monitor.setSuppress([&busy] { return busy; });
        QSignalSpy changed(&monitor, &NetMonitor::onlineChanged);
        setOnline(false);
        for (int i = 0; i < 5; ++i)
            monitor.check();
        QCOMPARE(changed.size(), 0);
        QVERIFY(monitor.online());
        busy = false;
        monitor.check();
        QCOMPARE(changed.size(), 0);
        monitor.check();
        QCOMPARE(changed.size(), 1);
        QVERIFY(!monitor.online());
    }

    void whatCountsAsANetwork_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("up");
        QTest::addColumn<bool>("online");
        QTest::newRow("ethernet") << "eth0" << "192.168.1.4" << true << true;
        QTest::newRow("down") << "eth0" << "192.168.1.4" << false << false;
        QTest::newRow("IPv4 link-local") << "eth0" << "169.254.3.3" << true << false;
        QTest::newRow("IPv6 global") << "eth0" << "2001:db8::5" << true << true;
        QTest::newRow("IPv6 unique-local") << "eth0" << "fd12:3456::1" << true << false;
        QTest::newRow("IPv6 link-local") << "eth0" << "fe80::1" << true << false;
        QTest::newRow("a Wi-Fi adapter named tap is taken for a VPN") << "tapWifi" << "192.168.1.4" << true << false;
        for (const char *tunnel : {"tun0", "utun3", "wg0", "awg1", "kelvra", "ipsec0", "ppp0", "Wintun", "TAP"})
            QTest::newRow(tunnel) << tunnel << "10.8.0.2" << true << false;
    }

    void whatCountsAsANetwork()
    {
        QFETCH(QString, name);
        QFETCH(QString, address);
        QFETCH(bool, up);
        QFETCH(bool, online);
        NetworkIdentifier::Interface entry = interface(name, address.toLatin1().constData(), up);
        QCOMPARE(NetMonitor::isOnline({entry}), online);
        // A tunnel's friendly name gives it away too.
        entry.name = QStringLiteral("{4D36E972-E325}");
        entry.humanReadableName = name;
        QCOMPARE(NetMonitor::isOnline({entry}), online);
    }

    void telemetryEvents()
    {
        Telemetry *telemetry = Telemetry::instance();
        telemetry->logEvent(QStringLiteral("app_error"), {{QStringLiteral("domain"), QStringLiteral("vpn")},
                                                          {QStringLiteral("code"), 201},
                                                          {QStringLiteral("message"), QString(300, QLatin1Char('x'))}});
        telemetry->traceBegin(QStringLiteral("connect"));
        QTest::qWait(50);
        telemetry->traceEnd(QStringLiteral("connect"));
        telemetry->traceEnd(QStringLiteral("connect")); // no longer running
        telemetry->traceBegin(QStringLiteral("dropped"));
        telemetry->traceCancel(QStringLiteral("dropped"));
        telemetry->traceEnd(QStringLiteral("dropped"));
        telemetry->screenView(QStringLiteral("Home"));

        const QList<Telemetry::Event> events = telemetry->eventsForTesting();
        QCOMPARE(events.size(), 2);
        QCOMPARE(events.at(0).params.value(QStringLiteral("message")).toString().size(), 96);
        QCOMPARE(events.at(0).params.value(QStringLiteral("code")).toInt(), 201);
        QCOMPARE(events.at(1).name, QStringLiteral("perf_trace"));
        QCOMPARE(events.at(1).params.value(QStringLiteral("trace_name")).toString(), QStringLiteral("connect"));
        QVERIFY(events.at(1).params.value(QStringLiteral("duration_ms")).toLongLong() >= 40);
        QCOMPARE(telemetry->breadcrumbsForTesting(), QStringList{QStringLiteral("screen: Home")});
        QVERIFY(!telemetry->active());
    }

    void telemetryUserIdIsADigestOfTheAddress()
    {
        Telemetry *telemetry = Telemetry::instance();
        telemetry->setUserEmail(QStringLiteral("  Ada@Example.com "));
        const QString expected = QString::fromLatin1(
            QCryptographicHash::hash("kelvra.telemetry.v1:ada@example.com", QCryptographicHash::Sha256).toHex().left(32));
        QCOMPARE(telemetry->userId(), expected);
        QVERIFY(!telemetry->userId().contains(QLatin1String("ada")));
        telemetry->clearUser();
        QVERIFY(telemetry->userId().isEmpty());
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QApplication app(argc, argv);
    TestTrayAndMonitor test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_trayandmonitor.moc"
