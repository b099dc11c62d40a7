#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "app/Settings.h"
#include "ipc/IpcClient.h"
#include "StandInProgram.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"
#include "TunnelConfigs.h"
#include "vpn/VpnConnection.h"

Q_DECLARE_METATYPE(VpnProtocol::Protocol)

// The kill switch and the tunnel's state where two rules meet: a kill switch
// turned on mid-connect, a pipe or a link that drops alone, a service that
// restarts under a switch, a disconnect during activation and an activation
// that can't be sent; against the service stand-in program and what it saw.
class TstKillSwitch : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    StandInProgram m_service;
    QSharedPointer<Settings> m_settings;
    QString m_openVpnConfig;

    bool startService(bool openVpn = false)
    {
        QStringList arguments;
        if (openVpn)
            arguments = StandInProgram::openVpnServerArguments(m_dir.path() + QStringLiteral("/client.ovpn"), 20000);
        if (!m_service.start(QStringLiteral("kelvra-service-standin"), arguments))
            return false;
        if (openVpn) {
            QFile file(m_dir.path() + QStringLiteral("/client.ovpn"));
            if (!file.open(QIODevice::ReadOnly))
                return false;
            m_openVpnConfig = QString::fromUtf8(file.readAll());
        }
        return script(150);
    }

    bool script(int connectDelayMs)
    {
        return m_service.ok("script", { { QStringLiteral("script"),
                                          QJsonObject { { QStringLiteral("connectDelayMs"), connectDelayMs },
                                                        { QStringLiteral("statusIntervalMs"), 0 } } } });
    }

    QJsonObject config(VpnProtocol::Protocol protocol, const QString &host = QStringLiteral("203.0.113.10")) const
    {
        if (protocol == VpnProtocol::OpenVpnUdp)
            return QJsonObject { { QStringLiteral("protocol"), QStringLiteral("openvpn") },
                                 { QStringLiteral("openvpn_config_data"), m_openVpnConfig } };
        return TunnelConfigs::daemonDriven(protocol, host);
    }

    QJsonObject protection() { return m_service.control("protection"); }

    // Every change of what the firewall let through since the last clear.
    QStringList unprotectedMoments()
    {
        QStringList moments;
        for (const QJsonValue &entry : protection().value(QLatin1String("timeline")).toArray()) {
            const QJsonObject e = entry.toObject();
            if (!e.contains(QLatin1String("mark")) && !e.value(QLatin1String("protected")).toBool())
                moments << e.value(QLatin1String("cause")).toString();
        }
        return moments;
    }

    int releases() { return lockdownCalls(false); }

    int lockdownCalls(bool on)
    {
        int count = 0;
        for (const QJsonValue &call : m_service.calls(QStringLiteral("ipc"), QStringLiteral("setLockdown"))) {
            if (call.toObject().value(QLatin1String("args")).toArray().at(0).toBool() == on)
                ++count;
        }
        return count;
    }

    void connectUp(VpnConnection &connection, VpnProtocol::Protocol protocol,
                   const QString &host = QStringLiteral("203.0.113.10"))
    {
        connection.connectToVpn(protocol, config(protocol, host));
        QTRY_COMPARE_WITH_TIMEOUT(connection.connectionState(), VpnProtocol::Connected, 60000);
    }

    static bool openVpnPossible()
    {
        return TestEnvironment::inPrivateNetwork() && QFile::exists(QStringLiteral("/dev/net/tun"));
    }

private slots:
    void initTestCase()
    {
        if (!StandInProgram::pointClientHere("kelvra-ks-", m_dir.path()))
            QSKIP("the service stand-in is not built");
        m_settings = QSharedPointer<Settings>::create();
        VpnConnection::Timings timings;
        timings.launchDelayMs = 300;
        timings.holdWaitMs = 8000;
        VpnConnection::setTimingsForTesting(timings);
        IpcClient::setReconnectDelayForTesting(200);
    }

    void init()
    {
        m_settings->setKillSwitch(false);
        m_settings->setDnsLeakProtection(true);
    }

    void cleanup()
    {
        m_service.stop();
    }

    // Turned on while the tunnel came up, with an activation that did not
    // carry it: once up, the service has the kill switch the user sees.
    void killSwitchTurnedOnWhileConnecting()
    {
        QVERIFY(startService());
        QVERIFY(script(800));
        VpnConnection connection(m_settings);
        connection.connectToVpn(VpnProtocol::WireGuard, config(VpnProtocol::WireGuard));
        QTRY_COMPARE(m_service.calls(QStringLiteral("daemon"), QStringLiteral("activate")).size(), 1);
        m_settings->setKillSwitch(true);
        connection.onKillSwitchToggled(true);
        QTRY_COMPARE_WITH_TIMEOUT(connection.connectionState(), VpnProtocol::Connected, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(protection().value(QLatin1String("protected")).toBool(), 5000);
        QVERIFY(protection().value(QLatin1String("lockdown")).toBool());
    }

    // Turned on while the service's link was down: it reaches the service
    // once the link is back.
    void killSwitchTurnedOnWhileTheLinkIsDown()
    {
        QVERIFY(startService());
        VpnConnection connection(m_settings);
        connectUp(connection, VpnProtocol::WireGuard);
        QVERIFY(!protection().value(QLatin1String("protected")).toBool());
        QVERIFY(m_service.ok("dropIpc"));
        m_settings->setKillSwitch(true);
        connection.onKillSwitchToggled(true);
        QTRY_VERIFY_WITH_TIMEOUT(protection().value(QLatin1String("protected")).toBool(), 5000);
    }

    void daemonPipeDropsAlone_data()
    {
        QTest::addColumn<bool>("switched");
        QTest::newRow("after a switch, under the lockdown") << true;
        QTest::newRow("first tunnel") << false;
    }

    // Only the daemon's pipe goes, the service's link stays: with the kill
    // switch on the block stays at the service and is shown, and the service
    // counts as back since its link never left.
    void daemonPipeDropsAlone()
    {
        QFETCH(bool, switched);
        QVERIFY(startService());
        m_settings->setKillSwitch(true);
        VpnConnection connection(m_settings);
        QSignalSpy errors(&connection, &VpnConnection::vpnError);
        QSignalSpy back(&connection, &VpnConnection::serviceBackAfterCrash);
        connectUp(connection, VpnProtocol::WireGuard);
        if (switched)
            connectUp(connection, VpnProtocol::AmneziaWg, QStringLiteral("203.0.113.11"));
        QTRY_VERIFY(protection().value(QLatin1String("protected")).toBool());
        QVERIFY(m_service.ok("clearProtection"));
        QVERIFY(m_service.ok("clearCalls"));

        QVERIFY(m_service.ok("drop"));
        QTRY_COMPARE(errors.size(), 1);
        QCOMPARE(errors.at(0).at(0).value<VpnProtocol::Errors>(), VpnProtocol::ServiceLinkLost);
        QVERIFY(connection.killSwitchBlock());
        QTRY_COMPARE_WITH_TIMEOUT(back.size(), 1, 10000);
        QCOMPARE(releases(), 0);
        QCOMPARE(unprotectedMoments(), QStringList());
        QVERIFY(protection().value(QLatin1String("protected")).toBool());

        // The user's disconnect keeps a crash's block; turning the kill
        // switch off lifts it.
        connection.disconnectFromVpn();
        QTest::qWait(200);
        QCOMPARE(releases(), 0);
        m_settings->setKillSwitch(false);
        connection.onKillSwitchToggled(false);
        QTRY_VERIFY(!protection().value(QLatin1String("protected")).toBool());
    }

    void remoteObjectLinkDropsAlone_data()
    {
        QTest::addColumn<VpnProtocol::Protocol>("protocol");
        QTest::newRow("WireGuard") << VpnProtocol::WireGuard;
        QTest::newRow("OpenVPN") << VpnProtocol::OpenVpnUdp;
    }

    // The remote-object link drops while the daemon's pipe and the tunnel
    // stay: the OpenVPN driver counts it as the service gone; either way the
    // service never lifts its block.
    void remoteObjectLinkDropsAlone()
    {
        QFETCH(VpnProtocol::Protocol, protocol);
        const bool openVpn = protocol == VpnProtocol::OpenVpnUdp;
        if (openVpn && !openVpnPossible())
            QSKIP("runs OpenVPN: only inside the test network namespace, with tun devices");
        QVERIFY(startService(openVpn));
        m_settings->setKillSwitch(true);
        VpnConnection connection(m_settings);
        QSignalSpy errors(&connection, &VpnConnection::vpnError);
        QSignalSpy back(&connection, &VpnConnection::serviceBackAfterCrash);
        connectUp(connection, protocol);
        QSignalSpy restored(IpcClient::Instance(), &IpcClient::linkRestored);
        QTRY_VERIFY_WITH_TIMEOUT(protection().value(QLatin1String("protected")).toBool(), 10000);
        QVERIFY(m_service.ok("clearProtection"));
        QVERIFY(m_service.ok("clearCalls"));

        QVERIFY(m_service.ok("dropIpc"));
        if (openVpn) {
            QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, 10000);
            QCOMPARE(errors.at(0).at(0).value<VpnProtocol::Errors>(), VpnProtocol::ServiceLinkLost);
            QVERIFY(connection.killSwitchBlock());
            QTRY_COMPARE_WITH_TIMEOUT(back.size(), 1, 10000);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(restored.size(), 1, 10000);
            QCOMPARE(connection.connectionState(), VpnProtocol::Connected);
            QCOMPARE(errors.size(), 0);
        }
        QTest::qWait(300);
        QCOMPARE(releases(), 0);
        QCOMPARE(unprotectedMoments(), QStringList());
    }

    // The service crashes while a switch waits for its hold: a crash, with
    // the block kept and shown, and the one reconnect asked for once the
    // service is back; never a release.
    void serviceRestartsWhileSwitchWaitsForHold()
    {
        QVERIFY(startService());
        m_settings->setKillSwitch(true);
        VpnConnection connection(m_settings);
        QSignalSpy errors(&connection, &VpnConnection::vpnError);
        QSignalSpy back(&connection, &VpnConnection::serviceBackAfterCrash);
        QSignalSpy holdFailed(&connection, &VpnConnection::holdFailed);
        connectUp(connection, VpnProtocol::WireGuard);
        QVERIFY(m_service.ok("clearCalls"));
        QVERIFY(m_service.ok("lockdown", { { QStringLiteral("delayMs"), -1 } }));
        QTimer::singleShot(300, this, [this] {
            m_service.ok("restart", { { QStringLiteral("downMs"), 300 } });
            m_service.ok("lockdown", { { QStringLiteral("delayMs"), 0 } });
        });

        QElapsedTimer waited;
        waited.start();
        connection.connectToVpn(VpnProtocol::AmneziaWg, config(VpnProtocol::AmneziaWg));
        QVERIFY2(waited.elapsed() < 6000, qPrintable(QString::number(waited.elapsed())));
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.at(0).at(0).value<VpnProtocol::Errors>(), VpnProtocol::ServiceLinkLost);
        QCOMPARE(holdFailed.size(), 0);
        QVERIFY(connection.killSwitchBlock());
        QCOMPARE(connection.connectionState(), VpnProtocol::Disconnected);
        QTRY_COMPARE_WITH_TIMEOUT(back.size(), 1, 10000);
        QTest::qWait(500);
        QCOMPARE(releases(), 0);
        QVERIFY(protection().value(QLatin1String("lockdown")).toBool());

        // The reconnect the controller makes ends the block.
        connectUp(connection, VpnProtocol::AmneziaWg);
        QVERIFY(!connection.killSwitchBlock());
        QVERIFY(protection().value(QLatin1String("protected")).toBool());
    }

    void disconnectDuringActivation_data()
    {
        QTest::addColumn<bool>("statusUnanswered");
        QTest::newRow("before the service's first status") << true;
        QTest::newRow("at once") << false;
    }

    // Once "activate" went out, a disconnect always tells the service.
    void disconnectDuringActivation()
    {
        QFETCH(bool, statusUnanswered);
        QVERIFY(startService());
        QVERIFY(script(2000));
        if (statusUnanswered)
            QVERIFY(m_service.ok("ignore", { { QStringLiteral("types"), QJsonArray { QStringLiteral("status") } } }));
        VpnConnection connection(m_settings);
        connection.connectToVpn(VpnProtocol::WireGuard, config(VpnProtocol::WireGuard));
        if (statusUnanswered)
            QTRY_COMPARE(m_service.calls(QStringLiteral("daemon"), QStringLiteral("activate")).size(), 1);
        connection.disconnectFromVpn();
        QTRY_VERIFY(!m_service.calls(QStringLiteral("daemon"), QStringLiteral("deactivate")).isEmpty());
        QCOMPARE(m_service.calls(QStringLiteral("daemon"), QStringLiteral("activate")).size(), 1);
        QTRY_COMPARE(m_service.control("state").value(QLatin1String("state")).toObject().value(QLatin1String("tunnel")).toString(),
                     QStringLiteral("Down"));
    }

    // A switch: the state follows the new driver, not the old tunnel.
    void switchStateFollowsTheDriver()
    {
        QVERIFY(startService());
        VpnConnection connection(m_settings);
        connectUp(connection, VpnProtocol::WireGuard);
        connection.connectToVpn(VpnProtocol::AmneziaWg, config(VpnProtocol::AmneziaWg));
        QVERIFY(connection.connectionState() != VpnProtocol::Connected);
        QTRY_COMPARE_WITH_TIMEOUT(connection.connectionState(), VpnProtocol::Connected, 10000);
    }

    void activationLost_data()
    {
        QTest::addColumn<bool>("killSwitch");
        QTest::newRow("kill switch off") << false;
        QTest::newRow("kill switch on") << true;
    }

    // The pipe goes inside the launch delay: the activation can't be written,
    // and the attempt fails where the connect flow sees it. With the kill
    // switch on, the switch's block stays.
    void activationLost()
    {
        QFETCH(bool, killSwitch);
        QVERIFY(startService());
        m_settings->setKillSwitch(killSwitch);
        VpnConnection connection(m_settings);
        QSignalSpy errors(&connection, &VpnConnection::vpnError);
        connectUp(connection, VpnProtocol::WireGuard);
        QVERIFY(m_service.ok("clearProtection"));
        LogCapture log;
        connection.connectToVpn(VpnProtocol::AmneziaWg, config(VpnProtocol::AmneziaWg));
        QVERIFY(m_service.ok("drop"));
        QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, 5000);
        QCOMPARE(errors.at(0).at(0).value<VpnProtocol::Errors>(), VpnProtocol::ConnectionFailed);
        QVERIFY(log.contains(QStringLiteral("The activation couldn't be sent")));
        QCOMPARE(connection.connectionState(), VpnProtocol::Disconnected);
        QVERIFY(!connection.vpnProtocol());
        QCOMPARE(connection.killSwitchBlock(), killSwitch);
        QTest::qWait(300);
        QCOMPARE(protection().value(QLatin1String("protected")).toBool(), killSwitch);
        if (killSwitch)
            QCOMPARE(unprotectedMoments(), QStringList());
    }

    // The pipe goes after "activate" went out but before "connected" came:
    // the attempt fails, and the service is told to drop what it builds.
    void pipeDropsDuringActivation()
    {
        QVERIFY(startService());
        QVERIFY(script(1500));
        VpnConnection connection(m_settings);
        QSignalSpy errors(&connection, &VpnConnection::vpnError);
        LogCapture log;
        connection.connectToVpn(VpnProtocol::WireGuard, config(VpnProtocol::WireGuard));
        QTRY_COMPARE(m_service.calls(QStringLiteral("daemon"), QStringLiteral("activate")).size(), 1);
        QVERIFY(m_service.ok("drop"));
        QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, 5000);
        QCOMPARE(errors.at(0).at(0).value<VpnProtocol::Errors>(), VpnProtocol::ConnectionFailed);
        QVERIFY(log.contains(QStringLiteral("The service's link dropped during the activation")));
        QVERIFY(!connection.vpnProtocol());
        QTRY_COMPARE(m_service.calls(QStringLiteral("daemon"), QStringLiteral("deactivate")).size(), 1);
        QTest::qWait(2000);
        QCOMPARE(m_service.control("state").value(QLatin1String("state")).toObject().value(QLatin1String("tunnel")).toString(),
                 QStringLiteral("Down"));
    }

    // A link that is already gone, before the client has even noticed:
    // "not held" at once, not after the whole wait.
    void holdWithTheLinkDown()
    {
        QVERIFY(startService());
        VpnConnection connection(m_settings);
        connectUp(connection, VpnProtocol::WireGuard);
        QVERIFY(m_service.ok("stop"));
        QElapsedTimer waited;
        waited.start();
        QVERIFY(!connection.holdFirewall());
        QVERIFY2(waited.elapsed() < 4000, qPrintable(QString::number(waited.elapsed())));
        waited.restart();
        QVERIFY(!connection.holdFirewall());
        QVERIFY2(waited.elapsed() < 1000, qPrintable(QString::number(waited.elapsed())));
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    TstKillSwitch test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_killswitch.moc"
