#include <QNetworkInterface>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

#include "FakeService.h"
#include "app/Settings.h"
#include "ipc/IpcClient.h"
#include "ipc/LinkClock.h"
#include "ipc/ServiceFixtures.h"
#include "ipc/ServiceNames.h"
#include "support/TestEnvironment.h"
#include "vpn/OpenVpnProtocol.h"
#include "vpn/TapController.h"

Q_DECLARE_METATYPE(QList<int>)

namespace {
const QString kConnected = QStringLiteral(">STATE:1700000000,CONNECTED,SUCCESS,10.8.0.2,203.0.113.10,1194,,");
const QString kReconnecting = QStringLiteral(">STATE:1700000001,RECONNECTING,ping-restart,,,,,");
const QString kConfig = QStringLiteral("client\nremote-cert-tls server\nremote 203.0.113.10 1194 udp\n"
                                       "# not-for-any-log-3f9a\ndev null\n");
} // namespace

// The OpenVPN driver against the service's objects played in the test, with
// the test itself as OpenVPN's management client, and once with the real
// OpenVPN program.
class TstOpenVpnProtocol : public QObject
{
    Q_OBJECT
private:
    FakeIpcService *m_service = nullptr;
    IpcClient *m_client = nullptr;
    int m_sync = 0;

    // The driver started, and the test connected as OpenVPN.
    struct Run
    {
        explicit Run(const QString &config = kConfig)
            : driver(QJsonObject { { QStringLiteral("openvpn_config_data"), config } })
        {
        }
        OpenVpnProtocol driver;
        QTcpSocket openvpn;
        QByteArray commands;
    };

    void startRun(Run &run)
    {
        QSignalSpy states(&run.driver, &VpnProtocol::connectionStateChanged);
        run.driver.prepare();
        QCOMPARE(run.driver.connectionState(), VpnProtocol::Connecting);
        connect(&run.openvpn, &QTcpSocket::readyRead, this, [&run] { run.commands += run.openvpn.readAll(); });
        run.openvpn.connectToHost(QStringLiteral("127.0.0.1"), quint16(run.driver.managementPort()));
        QVERIFY(run.openvpn.waitForConnected(10000));
        say(run, QStringLiteral(">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info"));
        QTRY_COMPARE(run.commands, QByteArray("state on all\nlog on all\nbytecount 1\n"));
    }

    static void say(Run &run, const QString &line)
    {
        run.openvpn.write(line.toUtf8() + "\r\n");
        run.openvpn.flush();
    }

    // Waits until the driver has read all that was said: it logs every line.
    void sync(Run &run, LogCapture &log)
    {
        const QString marker = QStringLiteral("sync-marker-%1").arg(++m_sync);
        say(run, marker);
        QTRY_VERIFY(log.contains(marker));
    }

private slots:
    void initTestCase()
    {
        qputenv("KELVRA_TEST_IPC_NAME", QByteArray("kelvra-tst-ovpn-") + QByteArray::number(QCoreApplication::applicationPid()));
        trustThisProcessAsService();
        m_service = new FakeIpcService(ServiceNames::ipcUrl());
        m_service->startHost();
        m_client = new IpcClient;
        QVERIFY(m_client->init());
    }

    void cleanupTestCase()
    {
        delete m_client;
        delete m_service;
    }

    void init()
    {
        Settings settings;
        settings.setKillSwitch(false);
        settings.setDnsLeakProtection(true);
        m_service->killSwitchCalls.clear();
        m_service->peerTrafficCalls.clear();
        m_service->openVpn.clear();
        TapController::setExecutableForTesting(QString());
    }

    void startArguments()
    {
        Run run;
        startRun(run);
        FakeProcess *process = m_service->processes.last();
        QCOMPARE(process->program, 0);
        QCOMPARE(process->arguments,
                 QStringList({ QStringLiteral("--config"), run.driver.configPath(), QStringLiteral("--management"),
                               QStringLiteral("127.0.0.1"), QString::number(run.driver.managementPort()),
                               QStringLiteral("--management-client") }));
        QVERIFY(run.driver.managementPort() >= 15001 && run.driver.managementPort() <= 65000);
        // "remote" itself, not "remote-cert-tls".
        QCOMPARE(run.driver.driverConfiguration().value(QLatin1String("hostName")).toString(),
                 QStringLiteral("203.0.113.10"));
        QFile written(run.driver.configPath());
        QVERIFY(written.open(QIODevice::ReadOnly));
        QVERIFY(written.readAll().endsWith("\nverb 3\n"));
    }

    void leakGuardSwitchOff()
    {
        Settings().setDnsLeakProtection(false);
        Run run;
        startRun(run);
        QCOMPARE(m_service->processes.last()->arguments.last(), QStringLiteral("--kelvra-no-leak-guard"));
    }

    void managementLines_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("state");
        QTest::addColumn<QList<int>>("errors");
        QTest::addColumn<int>("stalls");
        QTest::addColumn<QString>("logLine");

        QTest::newRow("connected") << QStringList { kConnected } << int(VpnProtocol::Connected) << QList<int>() << 0
                                   << "OpenVPN connected successfully";
        QTest::newRow("reconnecting before success")
            << QStringList { kReconnecting } << int(VpnProtocol::Disconnected) << QList<int> { 400 } << 0
            << "OpenVPN reconnect loop, giving up:";
        QTest::newRow("reconnecting after success")
            << QStringList { kConnected, kReconnecting, kReconnecting } << int(VpnProtocol::Reconnecting) << QList<int>()
            << 1 << "OpenVPN restarted without getting through:";
        QTest::newRow("a new run of restarts after a success")
            << QStringList { kConnected, kReconnecting, kConnected, kReconnecting } << int(VpnProtocol::Reconnecting)
            << QList<int>() << 2 << "OpenVPN restarted without getting through:";
        // Replayed by "state on all": what happened before the commands arrived.
        QTest::newRow("connected before the commands")
            << QStringList { QStringLiteral("1700000000,CONNECTING,,,,,,"),
                             QStringLiteral("1700000000,CONNECTED,SUCCESS,10.8.0.2,203.0.113.10,1194,,"),
                             QStringLiteral("END") }
            << int(VpnProtocol::Connected) << QList<int>() << 0 << "OpenVPN connected successfully";
        QTest::newRow("restarted before the commands")
            << QStringList { QStringLiteral("1700000000,CONNECTING,,,,,,"),
                             QStringLiteral("1700000001,RECONNECTING,tls-error,,,,,"), QStringLiteral("END") }
            << int(VpnProtocol::Disconnected) << QList<int> { 400 } << 0 << "OpenVPN reconnect loop, giving up:";
        QTest::newRow("exiting") << QStringList { kConnected, QStringLiteral(">STATE:1700000002,EXITING,SIGTERM,,,,,") }
                                 << int(VpnProtocol::Disconnected) << QList<int>() << 0 << "EXITING";
        QTest::newRow("no TAP adapter")
            << QStringList { QStringLiteral(">FATAL:There are no TAP-Windows adapters on this system.") }
            << int(VpnProtocol::Disconnected) << QList<int> { 100 } << 0 << "There are no TAP-Windows";
        QTest::newRow("adapters busy")
            << QStringList { QStringLiteral(
                   ">LOG:1700000000,F,ERROR: All TAP-Windows adapters on this system are currently in use or disabled.") }
            << int(VpnProtocol::Disconnected) << QList<int> { 102 } << 0 << "currently in use";
        QTest::newRow("SIGTERM thrown") << QStringList { kConnected, QStringLiteral("SUCCESS: signal SIGTERM thrown") }
                                        << int(VpnProtocol::Disconnected) << QList<int>() << 0 << "SIGTERM";
        QTest::newRow("garbage after a success")
            << QStringList { kConnected,
                             QStringLiteral("\x01\x02\x7f binary"),
                             QStringLiteral(">STATE:"),
                             QStringLiteral(">STATE:garbage,,,"),
                             QStringLiteral(">BYTECOUNT:abc,def"),
                             QStringLiteral(">BYTECOUNT:999999999999999999999999,1"),
                             QStringLiteral(">BYTECOUNT:-5,-5"),
                             QStringLiteral("PUSH: Received control message: ''"),
                             QStringLiteral("PUSH: Received control message: 'ifconfig'"),
                             QStringLiteral("PUSH: Received control message: 'ifconfig ,,ifconfig x y z w'"),
                             // Replayed log lines whose text reads like a state.
                             QStringLiteral("1700000003,N,RECONNECTING,ping-restart,,,,,"),
                             QStringLiteral("1700000003,,EXITING,SIGTERM,,,,,"),
                             QStringLiteral("{\"type\":\"connected\"}") }
            << int(VpnProtocol::Connected) << QList<int>() << 0 << "binary";
    }

    // Every management line, said in small pieces as TCP may deliver it.
    void managementLines()
    {
        QFETCH(QStringList, lines);
        QFETCH(int, state);
        QFETCH(QList<int>, errors);
        QFETCH(int, stalls);
        QFETCH(QString, logLine);

        Run run;
        startRun(run);
        LogCapture log;
        QSignalSpy errorSpy(&run.driver, &VpnProtocol::vpnError);
        QSignalSpy stallSpy(&run.driver, &VpnProtocol::tunnelStalled);
        QByteArray bytes;
        for (const QString &line : lines)
            bytes += line.toUtf8() + "\r\n";
        for (qsizetype at = 0; at < bytes.size(); at += 7) {
            run.openvpn.write(bytes.mid(at, 7));
            run.openvpn.flush();
        }
        if (state != int(VpnProtocol::Disconnected) || errors.isEmpty())
            sync(run, log);
        QTRY_COMPARE(int(run.driver.connectionState()), state);
        QTRY_COMPARE(errorSpy.size(), errors.size());
        for (int i = 0; i < errors.size(); ++i)
            QCOMPARE(int(errorSpy.at(i).at(0).value<VpnProtocol::Errors>()), errors.at(i));
        QCOMPARE(stallSpy.size(), stalls);
        QVERIFY2(log.contains(logLine), qPrintable(log.all()));
        QVERIFY(!log.contains(QStringLiteral("not-for-any-log-3f9a")));
    }

    void overlongLineIsDropped()
    {
        Run run;
        startRun(run);
        LogCapture log;
        say(run, kConnected);
        sync(run, log);
        // A line of megabytes that would read as a restart if it were cut up.
        QByteArray flood;
        while (flood.size() < 2 * 1024 * 1024)
            flood += kReconnecting.toUtf8();
        run.openvpn.write(flood + "\r\n");
        sync(run, log);
        QCOMPARE(run.driver.connectionState(), VpnProtocol::Connected);
        QVERIFY(log.contains(QStringLiteral("Management line too long: dropped")));
    }

    void byteCounts()
    {
        Run run;
        startRun(run);
        LogCapture log;
        QSignalSpy rates(&run.driver, &VpnProtocol::bytesChanged);
        say(run, kConnected);
        say(run, QStringLiteral(">BYTECOUNT:1000,2000"));
        sync(run, log);
        // Eight seconds, so that the real time the lines take hardly counts:
        // 5 MiB/s received, 1 MiB/s sent.
        LinkClock::advanceForTesting(8000);
        say(run, QStringLiteral(">BYTECOUNT:%1,%2").arg(1000 + 40 * 1048576).arg(2000 + 8 * 1048576));
        QTRY_COMPARE(rates.size(), 1);
        const double received = rates.at(0).at(0).toDouble();
        const double sent = rates.at(0).at(1).toDouble();
        QVERIFY2(received >= 49.0 && received <= 50.0, qPrintable(QString::number(received)));
        QVERIFY2(sent >= 9.7 && sent <= 10.0, qPrintable(QString::number(sent)));

        // Twelve seconds later: only a new baseline.
        LinkClock::advanceForTesting(12000);
        say(run, QStringLiteral(">BYTECOUNT:%1,%2").arg(9000 + 5 * 1048576).arg(9000 + 1048576));
        sync(run, log);
        QCOMPARE(rates.size(), 1);
        // Counters that went back give 0.
        LinkClock::advanceForTesting(1000);
        say(run, QStringLiteral(">BYTECOUNT:10,10"));
        QTRY_COMPARE(rates.size(), 2);
        QCOMPARE(rates.at(1).at(0).toDouble(), 0.0);
        QCOMPARE(rates.at(1).at(1).toDouble(), 0.0);
    }

    void pushedAddresses_data()
    {
        QTest::addColumn<bool>("killSwitch");
        QTest::addColumn<bool>("leakProtection");
        QTest::addColumn<QString>("pushed");
        QTest::addColumn<QJsonObject>("guard"); // the kill-switch call's object; "none" when no call
        const QString three = QStringLiteral("route-gateway 10.8.0.1,ifconfig 127.0.0.1 10.8.0.1,peer-id 0");
        const QJsonObject none { { QStringLiteral("none"), true } };
        QTest::newRow("kill switch") << true << true << three << QJsonObject();
        QTest::newRow("leak guard") << false << true << three
                                    << QJsonObject { { QStringLiteral("ipv6Guard"), true }, { QStringLiteral("dnsGuard"), true } };
        QTest::newRow("leak guard with IPv6 pushed")
            << false << true << QStringLiteral("ifconfig-ipv6 fd00::2/64 fd00::1,") + three
            << QJsonObject { { QStringLiteral("ipv6Guard"), false }, { QStringLiteral("dnsGuard"), true } };
        QTest::newRow("both off") << false << false << three << none;
        QTest::newRow("four fields") << true << true << QStringLiteral("ifconfig 127.0.0.1 10.8.0.1 extra") << none;
        QTest::newRow("address on no adapter") << true << true << QStringLiteral("ifconfig 192.0.2.77 192.0.2.1") << none;
        // As in OpenVPN, a later "ifconfig" overrides an earlier one; however
        // many a line carries, the adapter is looked for once.
        QTest::newRow("the last of many ifconfig")
            << true << true << QStringLiteral("ifconfig 192.0.2.77 192.0.2.1,").repeated(30) + three << QJsonObject();
    }

    void pushedAddresses()
    {
        QFETCH(bool, killSwitch);
        QFETCH(bool, leakProtection);
        QFETCH(QString, pushed);
        QFETCH(QJsonObject, guard);
        Settings settings;
        settings.setKillSwitch(killSwitch);
        settings.setDnsLeakProtection(leakProtection);
        Run run;
        startRun(run);
        LogCapture log;
        say(run, kConnected);
        QElapsedTimer handling;
        handling.start();
        say(run, QStringLiteral("PUSH: Received control message: 'PUSH_REPLY,%1'").arg(pushed));
        sync(run, log);
        // The line is read on the window's thread: it must not hold it for long.
        QVERIFY2(handling.elapsed() < 3000, qPrintable(QString::number(handling.elapsed())));
        // A round trip to the service: its earlier calls have arrived.
        QVERIFY(IpcClient::Interface()->setLockdown(false).waitForFinished(5000));

        const int lo = QNetworkInterface::interfaceFromName(QStringLiteral("lo")).index();
        if (guard.contains(QStringLiteral("none"))) {
            QVERIFY(m_service->killSwitchCalls.isEmpty());
            QVERIFY(m_service->peerTrafficCalls.isEmpty());
            return;
        }
        QCOMPARE(m_service->killSwitchCalls.size(), 1);
        QCOMPARE(m_service->killSwitchCalls.first().first, lo);
        QCOMPARE(m_service->killSwitchCalls.first().second, guard);
        QCOMPARE(run.driver.localAddress(), QStringLiteral("127.0.0.1"));
        QCOMPARE(run.driver.gateway(), QStringLiteral("10.8.0.1"));
        if (!killSwitch) {
            QVERIFY(m_service->peerTrafficCalls.isEmpty());
            // The guard this driver set goes with the tunnel.
            const int before = m_service->disableKillSwitchCalls;
            run.driver.forceShutdown();
            QTRY_VERIFY(m_service->disableKillSwitchCalls > before);
            return;
        }
        QCOMPARE(m_service->peerTrafficCalls.size(), 1);
        const QJsonObject peer = m_service->peerTrafficCalls.first();
        QCOMPARE(peer.value(QLatin1String("vpnAdapterIndex")).toInt(), lo);
        QCOMPARE(peer.value(QLatin1String("vpnGateway")).toString(), QStringLiteral("10.8.0.1"));
        QCOMPARE(peer.value(QLatin1String("vpnServer")).toString(), QStringLiteral("203.0.113.10"));
    }

    // OpenVPN on a fast link is through before the driver's commands reach
    // it: the replayed history still brings the tunnel up, guard included.
    void tunnelUpBeforeTheCommands()
    {
        Run run;
        startRun(run);
        LogCapture log;
        for (const char *line : { "SUCCESS: real-time state notification set to ON",
                                  "1700000000,CONNECTING,,,,,,",
                                  "1700000000,ASSIGN_IP,,127.0.0.1,,,,",
                                  "1700000000,CONNECTED,SUCCESS,127.0.0.1,203.0.113.10,1194,,",
                                  "END",
                                  "SUCCESS: real-time log notification set to ON",
                                  "1700000000,I,PUSH: Received control message: 'PUSH_REPLY,route-gateway 10.8.0.1,"
                                  "ifconfig 127.0.0.1 10.8.0.1,peer-id 0'",
                                  "1700000000,I,Initialization Sequence Completed",
                                  "END" })
            say(run, QString::fromLatin1(line));
        sync(run, log);
        QCOMPARE(run.driver.connectionState(), VpnProtocol::Connected);
        QVERIFY(IpcClient::Interface()->setLockdown(false).waitForFinished(5000));
        QCOMPARE(m_service->killSwitchCalls.size(), 1);
        QCOMPARE(run.driver.localAddress(), QStringLiteral("127.0.0.1"));
        QVERIFY(!QFile::exists(run.driver.configPath()));
    }

    void stopWhenDisconnectedChangesNothing()
    {
        OpenVpnProtocol driver(QJsonObject {});
        QSignalSpy states(&driver, &VpnProtocol::connectionStateChanged);
        driver.stop();
        QCOMPARE(states.size(), 0);
        QCOMPARE(driver.connectionState(), VpnProtocol::Disconnected);
    }

    void missingExecutable()
    {
        TapController::setExecutableForTesting(QStringLiteral("/nonexistent/openvpn"));
        LogCapture log;
        OpenVpnProtocol driver(QJsonObject { { QStringLiteral("openvpn_config_data"), kConfig } });
        QSignalSpy errors(&driver, &VpnProtocol::vpnError);
        driver.prepare();
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.at(0).at(0).value<VpnProtocol::Errors>(), VpnProtocol::OpenVpnExecutableMissing);
        QVERIFY(log.contains(QStringLiteral("TapController: openvpn.exe NOT found")));
        QCOMPARE(driver.connectionState(), VpnProtocol::Disconnected);
    }

    void serviceGoneWhileConnected()
    {
        Run run;
        startRun(run);
        QSignalSpy errors(&run.driver, &VpnProtocol::vpnError);
        say(run, kConnected);
        QTRY_COMPARE(run.driver.connectionState(), VpnProtocol::Connected);
        emit m_client->linkLost();
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.at(0).at(0).value<VpnProtocol::Errors>(), VpnProtocol::ServiceLinkLost);
        QCOMPARE(run.driver.connectionState(), VpnProtocol::Disconnected);
        emit m_client->linkLost(); // disarmed: once only
        QCOMPARE(errors.size(), 1);
    }

    // The real OpenVPN, run through the service's process object, becomes
    // the management client and takes the driver's commands.
    void realOpenVpn()
    {
        if (!TestEnvironment::inPrivateNetwork())
            QSKIP("runs OpenVPN: only inside the test network namespace");
        if (!QFile::exists(QStringLiteral("/usr/sbin/openvpn")))
            QSKIP("no OpenVPN here");
        m_service->openVpn = QStringLiteral("/usr/sbin/openvpn");
        LogCapture log;
        // Nothing but loopback: no TLS, no tunnel device.
        OpenVpnProtocol driver(QJsonObject {
            { QStringLiteral("openvpn_config_data"),
              QStringLiteral("dev null\nremote 127.0.0.1 1194\nproto udp\nnobind\n# not-for-any-log-3f9a\n") } });
        QSignalSpy states(&driver, &VpnProtocol::connectionStateChanged);
        driver.prepare();
        QVERIFY(log.contains(QStringLiteral("TapController: openvpn.exe found, version:")));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("New incoming connect")), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("SUCCESS: real-time state notification set to ON")), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("SUCCESS: real-time log notification set to ON")), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("SUCCESS: bytecount interval changed")), 20000);

        driver.stop();
        QCOMPARE(driver.connectionState(), VpnProtocol::Disconnected);
        FakeProcess *process = m_service->processes.last();
        QVERIFY(process->calls.contains(QStringLiteral("start")));
        QVERIFY(!log.contains(QStringLiteral("not-for-any-log-3f9a")));
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    TstOpenVpnProtocol test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_openvpnprotocol.moc"
