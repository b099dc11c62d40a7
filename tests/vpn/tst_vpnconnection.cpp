#include <QElapsedTimer>
#include <QJsonArray>
#include <QSignalSpy>
#include <QtTest>

#include "FakeService.h"
#include "app/Settings.h"
#include "ipc/IpcClient.h"
#include "ipc/LinkClock.h"
#include "ipc/ServiceFixtures.h"
#include "ipc/ServiceNames.h"
#include "TunnelConfigs.h"
#include "support/TestEnvironment.h"
#include "vpn/VpnConnection.h"

namespace {
QJsonObject typed(const char *type)
{
    return QJsonObject { { QStringLiteral("type"), QLatin1String(type) } };
}

QJsonObject wireguard(const QString &host = QStringLiteral("203.0.113.10"))
{
    return TunnelConfigs::daemonDriven(VpnProtocol::WireGuard, host);
}

QJsonObject openvpn(const QString &text)
{
    return QJsonObject { { QStringLiteral("protocol"), QStringLiteral("openvpn") },
                         { QStringLiteral("openvpn_config_data"), text } };
}
} // namespace

// The connection's hold, kill switch, crash recovery and start-up clean-up,
// against the service's objects and daemon socket played in the test.
class TstVpnConnection : public QObject
{
    Q_OBJECT
private:
    FakeIpcService *m_service = nullptr;
    QSharedPointer<Settings> m_settings;

    // A daemon that answers "status" and records everything in order,
    // together with the hold requests the service gets.
    struct Daemon : FakeDaemon
    {
        QStringList events;
        QElapsedTimer clock;
        QHash<QString, qint64> lastAt;
        QHash<QString, qint64> firstAt;
        Daemon(FakeIpcService *service)
        {
            clock.start();
            answer = [](const QJsonObject &m) {
                return m.value(QLatin1String("type")).toString() == QLatin1String("status") ? typed("status")
                                                                                            : QJsonObject();
            };
            connect(this, &FakeDaemon::messageReceived, this, [this](const QJsonObject &m) {
                const QString type = m.value(QLatin1String("type")).toString();
                events << type;
                lastAt[type] = clock.elapsed();
                if (!firstAt.contains(type))
                    firstAt[type] = clock.elapsed();
            });
            connect(service, &FakeIpcService::lockdownAsked, this, [this](bool on) {
                events << (on ? QStringLiteral("hold") : QStringLiteral("release"));
            });
        }
    };

    // A daemon-driven tunnel, up.
    void connectTunnel(VpnConnection &connection, Daemon &daemon, VpnProtocol::Protocol protocol = VpnProtocol::WireGuard)
    {
        const int activations = daemon.events.count(QStringLiteral("activate"));
        connection.connectToVpn(protocol, wireguard());
        QTRY_COMPARE(daemon.events.count(QStringLiteral("activate")), activations + 1);
        daemon.sendJson(typed("connected"));
        QTRY_COMPARE(connection.connectionState(), VpnProtocol::Connected);
        // Up without the kill switch, the connect lets go of its hold: that
        // release goes before whatever the case does next, or it could land
        // after the case has cleared the event list and read as its own.
        if (!m_settings->killSwitch()) {
            QTRY_VERIFY(daemon.events.lastIndexOf(QStringLiteral("release"))
                        > daemon.events.lastIndexOf(QStringLiteral("activate")));
        }
    }

private slots:
    void initTestCase()
    {
        qputenv("KELVRA_TEST_IPC_NAME", QByteArray("kelvra-tst-conn-") + QByteArray::number(QCoreApplication::applicationPid()));
        trustThisProcessAsService();
        m_service = new FakeIpcService(ServiceNames::ipcUrl());
        m_service->startHost();
        m_settings = QSharedPointer<Settings>::create();
        VpnConnection::Timings timings;
        timings.statusTimeoutMs = 150;
        timings.statusRetryMs = 50;
        timings.deactivateTimeoutMs = 300;
        timings.launchDelayMs = 400;
        timings.holdWaitMs = 5000;
        timings.releaseWindowMs = 30000;
        VpnConnection::setTimingsForTesting(timings);
    }

    void cleanupTestCase()
    {
        delete m_service;
    }

    void init()
    {
        m_settings->setKillSwitch(false);
        m_settings->setAdBlock(false);
        m_settings->setDnsLeakProtection(true);
        m_service->lockdownAnswer = true;
        m_service->lockdownCalls.clear();
        if (!m_service->hosting())
            m_service->startHost();
    }

    void connectSetsTheSwitches()
    {
        Daemon daemon(m_service);
        m_settings->setKillSwitch(true);
        m_settings->setAdBlock(true);
        m_settings->setDnsLeakProtection(false);
        VpnConnection connection(m_settings);
        connectTunnel(connection, daemon);
        QJsonObject activate;
        for (const QJsonObject &m : daemon.received) {
            if (m.value(QLatin1String("type")).toString() == QLatin1String("activate"))
                activate = m;
        }
        QCOMPARE(activate.value(QLatin1String("killswitch")).toBool(), true);
        QCOMPARE(activate.value(QLatin1String("adBlock")).toBool(), true);
        QCOMPARE(activate.value(QLatin1String("dnsLeakProtection")).toBool(), false);
        QCOMPARE(connection.configuration().value(QLatin1String("killswitch")).toBool(), true);
    }

    // A switch while connected: the hold first, the old tunnel down, and the
    // new driver 1200 ms (here: the test's launch delay) after.
    void switchWhileConnected()
    {
        Daemon daemon(m_service);
        VpnConnection connection(m_settings);
        connectTunnel(connection, daemon);
        daemon.events.clear();

        connection.connectToVpn(VpnProtocol::AmneziaWg, wireguard(QStringLiteral("203.0.113.11")));
        QTRY_VERIFY(daemon.events.contains(QStringLiteral("activate")));
        // The hold first, then the old tunnel down (its driver says
        // "deactivate" once more as it goes), the new driver linked, and only
        // then activated.
        const QStringList &e = daemon.events;
        QCOMPARE(e.first(), QStringLiteral("hold"));
        QCOMPARE(e.at(1), QStringLiteral("deactivate"));
        QVERIFY2(e.indexOf(QStringLiteral("status")) < e.indexOf(QStringLiteral("activate")), qPrintable(e.join(',')));
        QCOMPARE(e.count(QStringLiteral("activate")), 1);
        const qint64 gap = daemon.lastAt.value(QStringLiteral("activate")) - daemon.firstAt.value(QStringLiteral("deactivate"));
        QVERIFY2(gap >= 350, qPrintable(QString::number(gap)));
        QVERIFY(connection.isFirewallHeld());

        daemon.sendJson(typed("connected"));
        QTRY_COMPARE(connection.connectionState(), VpnProtocol::Connected);
        // Up again: the hold goes.
        QTRY_COMPARE(daemon.events.last(), QStringLiteral("release"));
        QCOMPARE(connection.protocol(), VpnProtocol::AmneziaWg);
        // A released hold still counts as recent for 30 s.
        QVERIFY(connection.isFirewallHeld());
        LinkClock::advanceForTesting(30001);
        QVERIFY(!connection.isFirewallHeld());
    }

    void holdNeverConfirmed()
    {
        Daemon daemon(m_service);
        VpnConnection connection(m_settings);
        connectTunnel(connection, daemon);
        LogCapture log;
        QSignalSpy failed(&connection, &VpnConnection::holdFailed);
        QSignalSpy states(&connection, &VpnConnection::connectionStateChanged);
        m_service->lockdownAnswer = false;
        daemon.events.clear();

        connection.connectToVpn(VpnProtocol::WireGuard, wireguard(QStringLiteral("203.0.113.11")));
        QCOMPARE(failed.size(), 1);
        QVERIFY(log.contains(QStringLiteral("The service didn't confirm the firewall hold in time")));
        QVERIFY(log.contains(QStringLiteral("The service didn't confirm the firewall hold: the switch stops here")));
        QVERIFY(!states.isEmpty());
        QCOMPARE(states.last().at(0).value<VpnProtocol::ConnectionState>(), VpnProtocol::Disconnected);
        QVERIFY(!connection.vpnProtocol());
        QTRY_VERIFY(daemon.events.contains(QStringLiteral("deactivate")));
        QTest::qWait(600);
        QVERIFY(!daemon.events.contains(QStringLiteral("activate")));
    }

    void killSwitchToggled()
    {
        Daemon daemon(m_service);
        VpnConnection connection(m_settings);
        // No tunnel: switching on asks nothing, switching off lets go.
        IpcClient client;
        QVERIFY(client.init());
        connection.onKillSwitchToggled(true);
        connection.onKillSwitchToggled(false);
        QTRY_COMPARE(daemon.events, QStringList { QStringLiteral("release") });

        connectTunnel(connection, daemon);
        daemon.events.clear();
        connection.onKillSwitchToggled(true);
        QTRY_COMPARE(daemon.events, QStringList { QStringLiteral("hold") });
        connection.onKillSwitchToggled(false);
        QTRY_COMPARE(daemon.events, QStringList({ QStringLiteral("hold"), QStringLiteral("release") }));
    }

    // While a repair runs, a failing driver is dropped under the hold and
    // nothing is reported; an unconfirmed hold keeps the dead tunnel.
    void failureWhileRecovering()
    {
        Daemon daemon(m_service);
        VpnConnection connection(m_settings);
        connectTunnel(connection, daemon);
        LogCapture log;
        QSignalSpy errors(&connection, &VpnConnection::vpnError);
        connection.setRecovering(true);
        daemon.events.clear();
        daemon.sendJson({ { QStringLiteral("type"), QStringLiteral("error") }, { QStringLiteral("error"), 400 } });
        QTRY_VERIFY(log.contains(QStringLiteral("Recovery attempt failed: 400")));
        QVERIFY(!connection.vpnProtocol());
        QCOMPARE(connection.connectionState(), VpnProtocol::Disconnected);
        QCOMPARE(errors.size(), 0);
        QVERIFY(daemon.events.contains(QStringLiteral("hold")));
        QVERIFY(connection.isFirewallHeld());

        connection.setRecovering(false);
        connectTunnel(connection, daemon);
        m_service->lockdownAnswer = false;
        QSignalSpy failed(&connection, &VpnConnection::holdFailed);
        QVERIFY(!connection.dropDeadTunnel());
        QCOMPARE(failed.size(), 1);
        QVERIFY(connection.vpnProtocol());
        m_service->lockdownAnswer = true;
        QVERIFY(connection.dropDeadTunnel());
        QVERIFY(!connection.vpnProtocol());
    }

    void serviceLinkLost_data()
    {
        QTest::addColumn<bool>("killSwitch");
        QTest::newRow("kill switch off") << false;
        QTest::newRow("kill switch on") << true;
    }

    // The daemon's link drops under a live tunnel: reported either way; with
    // the kill switch on, the block stays until the service is back and a
    // reconnect succeeds.
    void serviceLinkLost()
    {
        QFETCH(bool, killSwitch);
        m_settings->setKillSwitch(killSwitch);
        Daemon daemon(m_service);
        VpnConnection connection(m_settings);
        connectTunnel(connection, daemon);
        QSignalSpy errors(&connection, &VpnConnection::vpnError);
        QSignalSpy blocks(&connection, &VpnConnection::killSwitchBlockChanged);
        QSignalSpy back(&connection, &VpnConnection::serviceBackAfterCrash);
        m_service->lockdownCalls.clear();

        // The service crashes: both of its links go.
        m_service->stopHost();
        daemon.dropClient();
        QTRY_COMPARE(errors.size(), 1);
        QCOMPARE(errors.at(0).at(0).value<VpnProtocol::Errors>(), VpnProtocol::ServiceLinkLost);
        QCOMPARE(connection.connectionState(), VpnProtocol::Disconnected);
        QVERIFY(!connection.vpnProtocol());
        if (!killSwitch) {
            QCOMPARE(blocks.size(), 0);
            QVERIFY(!connection.killSwitchBlock());
            return;
        }
        QCOMPARE(blocks.size(), 1);
        QCOMPARE(blocks.at(0).at(0).toBool(), true);
        QVERIFY(connection.killSwitchBlock());
        QVERIFY(connection.isFirewallHeld());

        // The service restarts: once back, one reconnect is asked for, and
        // nothing lifted the block meanwhile.
        m_service->startHost();
        QTRY_COMPARE_WITH_TIMEOUT(back.size(), 1, 15000);
        QVERIFY(!m_service->lockdownCalls.contains(false));
        m_service->stopHost();
        m_service->startHost();
        QTest::qWait(3000);
        QCOMPARE(back.size(), 1);

        // A successful connection ends the block.
        connectTunnel(connection, daemon);
        QCOMPARE(blocks.size(), 2);
        QCOMPARE(blocks.at(1).at(0).toBool(), false);
        QVERIFY(!connection.killSwitchBlock());
    }

    void leftoverTunnel_data()
    {
        QTest::addColumn<QJsonObject>("status");
        QTest::addColumn<bool>("killSwitch");
        QTest::addColumn<QString>("logLine");
        QTest::addColumn<bool>("kept");
        QTest::addColumn<bool>("deactivated");
        QTest::addColumn<bool>("released");
        const QJsonObject up { { QStringLiteral("type"), QStringLiteral("status") }, { QStringLiteral("rxBytes"), 10 } };
        const QJsonObject crash { { QStringLiteral("type"), QStringLiteral("status") },
                                  { QStringLiteral("connected"), false },
                                  { QStringLiteral("killSwitchBlock"), true } };
        const QJsonObject idle { { QStringLiteral("type"), QStringLiteral("status") },
                                 { QStringLiteral("connected"), false },
                                 { QStringLiteral("killSwitchBlock"), false } };
        QTest::newRow("tunnel, kill switch off")
            << up << false << "The service still has a tunnel from an earlier run: taking it down" << false << true << true;
        QTest::newRow("tunnel, kill switch on")
            << up << true << "The service still has a tunnel from an earlier run: kept (kill switch on) until a reconnect"
            << true << false << false;
        QTest::newRow("crash block, kill switch on")
            << crash << true << "The service kept the kill switch's block from a crash: it stays until a reconnect" << true
            << false << false;
        QTest::newRow("crash block, kill switch off") << crash << false << QString() << false << false << true;
        QTest::newRow("nothing left") << idle << true << QString() << false << false << false;
        QTest::newRow("block flag of the wrong type")
            << QJsonObject { { QStringLiteral("type"), QStringLiteral("status") },
                             { QStringLiteral("connected"), false },
                             { QStringLiteral("killSwitchBlock"), QStringLiteral("yes") } }
            << true << QString() << false << false << false;
    }

    void leftoverTunnel()
    {
        QFETCH(QJsonObject, status);
        QFETCH(bool, killSwitch);
        QFETCH(QString, logLine);
        QFETCH(bool, kept);
        QFETCH(bool, deactivated);
        QFETCH(bool, released);
        m_settings->setKillSwitch(killSwitch);
        IpcClient client; // the process-wide link, as the logging start-up makes it
        QVERIFY(client.init());
        Daemon daemon(m_service);
        daemon.answer = [status](const QJsonObject &m) {
            return m.value(QLatin1String("type")).toString() == QLatin1String("status") ? status : QJsonObject();
        };
        LogCapture log;
        VpnConnection connection(m_settings);
        QSignalSpy errors(&connection, &VpnConnection::vpnError);
        QSignalSpy blocks(&connection, &VpnConnection::killSwitchBlockChanged);

        connection.cleanUpLeftoverTunnel(5);
        QTRY_VERIFY(daemon.events.contains(QStringLiteral("status")));
        if (deactivated)
            QTRY_VERIFY(daemon.events.contains(QStringLiteral("deactivate")));
        if (released)
            QTRY_VERIFY(daemon.events.contains(QStringLiteral("release")));
        if (kept)
            QTRY_COMPARE(errors.size(), 1);
        QVERIFY(client.Interface()->setLockdown(true).waitForFinished(5000)); // a round trip
        daemon.events.removeLast();
        QTest::qWait(100);

        if (!logLine.isEmpty())
            QVERIFY2(log.contains(logLine), qPrintable(log.all()));
        QCOMPARE(errors.size(), kept ? 1 : 0);
        if (kept)
            QCOMPARE(errors.at(0).at(0).value<VpnProtocol::Errors>(), VpnProtocol::ServiceLinkLost);
        QCOMPARE(blocks.size(), kept ? 1 : 0);
        QCOMPARE(connection.killSwitchBlock(), kept);
        QCOMPARE(connection.isFirewallHeld(), kept);
        QCOMPARE(daemon.events.contains(QStringLiteral("deactivate")), deactivated);
        QCOMPARE(daemon.events.contains(QStringLiteral("release")), released);
        QCOMPARE(daemon.events.count(QStringLiteral("status")), 1);

        if (kept && status.contains(QStringLiteral("rxBytes"))) {
            // Disconnecting with nothing but the kept tunnel takes it down, then lets go.
            connection.disconnectFromVpn();
            QCOMPARE(blocks.size(), 2);
            QTRY_VERIFY(daemon.events.contains(QStringLiteral("deactivate")));
            QTRY_VERIFY(daemon.events.contains(QStringLiteral("release")));
            QVERIFY(daemon.events.indexOf(QStringLiteral("deactivate")) < daemon.events.indexOf(QStringLiteral("release")));
        }
    }

    void unansweredStatusChecks()
    {
        Daemon daemon(m_service);
        daemon.answer = nullptr;
        LogCapture log;
        VpnConnection connection(m_settings);
        connection.cleanUpLeftoverTunnel(5);
        QTRY_COMPARE(log.count(QStringLiteral("The service didn't answer the start-up status check")), 1);
        QCOMPARE(daemon.events.count(QStringLiteral("status")), 5);
        QTest::qWait(500);
        QCOMPARE(log.count(QStringLiteral("The service didn't answer the start-up status check")), 1);
        QCOMPARE(daemon.connections(), 5);
    }

    void unreachableService()
    {
        const QByteArray name = qgetenv("KELVRA_TEST_IPC_NAME");
        qputenv("KELVRA_TEST_IPC_NAME", "kelvra-tst-conn-nobody");
        Daemon daemon(m_service);
        VpnConnection connection(m_settings);
        QSignalSpy errors(&connection, &VpnConnection::vpnError);
        QSignalSpy states(&connection, &VpnConnection::connectionStateChanged);
        connection.connectToVpn(VpnProtocol::WireGuard, wireguard());
        qputenv("KELVRA_TEST_IPC_NAME", name);
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.at(0).at(0).value<VpnProtocol::Errors>(), VpnProtocol::ServiceNotRunning);
        QCOMPARE(states.last().at(0).value<VpnProtocol::ConnectionState>(), VpnProtocol::Disconnected);
        QVERIFY(!connection.vpnProtocol());
    }

    void noDriverForOptimal()
    {
        Daemon daemon(m_service);
        LogCapture log;
        VpnConnection connection(m_settings);
        QSignalSpy errors(&connection, &VpnConnection::vpnError);
        connection.connectToVpn(VpnProtocol::Optimal, wireguard());
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.at(0).at(0).value<VpnProtocol::Errors>(), VpnProtocol::ServiceNotRunning);
        QVERIFY(log.contains(QStringLiteral("Failed to create VPN protocol")));
    }

    void publicServerAddress_data()
    {
        QTest::addColumn<QJsonObject>("config");
        QTest::addColumn<QString>("address");
        QTest::newRow("wireguard, public") << wireguard(QStringLiteral("203.0.113.10")) << "203.0.113.10";
        QTest::newRow("wireguard, private") << wireguard(QStringLiteral("10.1.2.3")) << QString();
        QTest::newRow("wireguard, 172.16/12") << wireguard(QStringLiteral("172.20.0.1")) << QString();
        QTest::newRow("wireguard, 192.168/16") << wireguard(QStringLiteral("192.168.1.1")) << QString();
        QTest::newRow("wireguard, loopback") << wireguard(QStringLiteral("127.0.0.1")) << QString();
        QTest::newRow("wireguard, link-local") << wireguard(QStringLiteral("169.254.1.1")) << QString();
        QTest::newRow("wireguard, name") << wireguard(QStringLiteral("vpn.example.test")) << QString();
        QTest::newRow("wireguard, IPv6") << wireguard(QStringLiteral("2001:db8::1")) << QString();
        QTest::newRow("openvpn") << openvpn(QStringLiteral("client\nremote-cert-tls server\n  remote 198.51.100.10 1194\n"))
                                 << "198.51.100.10";
        QTest::newRow("openvpn, no remote") << openvpn(QStringLiteral("client\n")) << QString();
        QTest::newRow("nothing") << QJsonObject() << QString();
    }

    void publicServerAddress()
    {
        QFETCH(QJsonObject, config);
        QFETCH(QString, address);
        QCOMPARE(VpnConnection::publicServerAddress(config), address);
    }

    void directProbeOnlyWithoutKillSwitch()
    {
        Daemon daemon(m_service);
        VpnConnection connection(m_settings);
        connectTunnel(connection, daemon);
        QCOMPARE(connection.directProbeAddress(), QStringLiteral("203.0.113.10"));
        m_settings->setKillSwitch(true);
        QCOMPARE(connection.directProbeAddress(), QString());
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    TstVpnConnection test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_vpnconnection.moc"
