#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "app/Settings.h"
#include "ipc/IpcClient.h"
#include "ipc/LocalSocketController.h"
#include "ipc/ServiceNames.h"
#include "StandInProgram.h"
#include "TunnelConfigs.h"
#include "support/TestEnvironment.h"
#include "vpn/OpenVpnProtocol.h"
#include "vpn/VpnConnection.h"
#include "vpn/WireGuardProtocol.h"

Q_DECLARE_METATYPE(VpnProtocol::Protocol)

namespace {
// Every log line of the process.
QStringList &logLines()
{
    static QStringList lines;
    return lines;
}

void capture(QtMsgType, const QMessageLogContext &, const QString &message)
{
    logLines() << message;
}

bool logged(const QString &text)
{
    for (const QString &line : logLines()) {
        if (line.contains(text))
            return true;
    }
    return false;
}

QJsonObject command(const char *name, const QJsonObject &extra = {})
{
    QJsonObject c = extra;
    c.insert(QStringLiteral("cmd"), QLatin1String(name));
    return c;
}

QJsonObject wireguardConfig(VpnProtocol::Protocol protocol)
{
    return TunnelConfigs::daemonDriven(protocol);
}
} // namespace

// The client against the service stand-in run as its own program: the
// remote-object link and its restarts, the impostor, OpenVPN run by the
// service, and daemon-driven tunnels.
class TstServiceE2e : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    StandInProgram m_service;
    bool m_openVpnServer = false; // the stand-in runs an OpenVPN server
    QSharedPointer<Settings> m_settings;

    bool startService(const QString &program, const QStringList &arguments = {})
    {
        return m_service.start(program, arguments);
    }

    QJsonObject control(const QJsonObject &c)
    {
        return m_service.control(qPrintable(c.value(QLatin1String("cmd")).toString()), c);
    }

    QJsonArray calls(const QString &channel, const QString &call) { return m_service.calls(channel, call); }

private slots:
    void initTestCase()
    {
        if (!StandInProgram::pointClientHere("kelvra-e2e-", m_dir.path()))
            QSKIP("the service stand-in is not built");
        m_settings = QSharedPointer<Settings>::create();
        qInstallMessageHandler(capture);
        VpnConnection::Timings timings;
        timings.launchDelayMs = 300;
        timings.holdWaitMs = 1500;
        VpnConnection::setTimingsForTesting(timings);
    }

    void init()
    {
        logLines().clear();
        m_settings->setKillSwitch(false);
        m_settings->setDnsLeakProtection(true);
    }

    void cleanup()
    {
        // What the client logged, to see why a test failed.
        if (QTest::currentTestFailed()) {
            for (const QString &line : logLines().mid(qMax(0, logLines().size() - 60)))
                fprintf(stderr, "  log: %s\n", qPrintable(line.left(300)));
            // The other end's side of it.
            if (m_openVpnServer) {
                const QString serverLog = control(command("openVpnServerLog")).value(QLatin1String("log")).toString();
                for (const QString &line : serverLog.split(QLatin1Char('\n')))
                    fprintf(stderr, "  OpenVPN server: %s\n", qPrintable(line.left(300)));
            }
        }
        m_openVpnServer = false;
        m_service.stop();
    }

    void serviceRestart()
    {
        QVERIFY(startService(QStringLiteral("kelvra-service-standin")));
        IpcClient client;
        QSignalSpy lost(&client, &IpcClient::linkLost);
        QSignalSpy restored(&client, &IpcClient::linkRestored);
        QVERIFY(client.init());
        QCOMPARE(lost.size() + restored.size(), 0);
        QVERIFY(calls(QStringLiteral("ipc"), QStringLiteral("setLogsEnabled")).isEmpty());

        QVERIFY(control(command("restart", { { QStringLiteral("downMs"), 500 } })).value(QLatin1String("ok")).toBool());
        QTRY_COMPARE_WITH_TIMEOUT(lost.size(), 1, 15000);
        QVERIFY(logged(QStringLiteral("The service link dropped: reconnecting")));
        QTRY_COMPARE_WITH_TIMEOUT(restored.size(), 1, 15000);
        QVERIFY(logged(QStringLiteral("The service link is back: turning its log on again")));
        QTRY_COMPARE(calls(QStringLiteral("ipc"), QStringLiteral("setLogsEnabled")).size(), 1);
        QCOMPARE(calls(QStringLiteral("ipc"), QStringLiteral("setLogsEnabled")).at(0).toObject().value(QLatin1String("args")),
                 QJsonValue(QJsonArray { true }));
    }

    void impostorIsRefused()
    {
        QVERIFY(startService(QStringLiteral("kelvra-service-impostor")));
        IpcClient client;
        QSignalSpy lost(&client, &IpcClient::linkLost);
        QVERIFY(!client.init());
        QVERIFY(logged(QStringLiteral("it isn't the privileged, installed")));

        LocalSocketController controller;
        QSignalSpy errors(&controller, &LocalSocketController::daemonErrorOccurred);
        controller.initialize();
        QTRY_COMPARE(errors.size(), 1);
        QCOMPARE(errors.at(0).at(0).value<VpnProtocol::Errors>(), VpnProtocol::ServiceNotRunning);

        bool answered = false;
        QJsonObject reply { { QStringLiteral("x"), 1 } };
        LocalSocketController::request(this, QJsonObject { { QStringLiteral("type"), QStringLiteral("status") } }, 3000,
                                       [&](const QJsonObject &r) {
                                           answered = true;
                                           reply = r;
                                       });
        QTRY_VERIFY(answered);
        QVERIFY(reply.isEmpty());
        // Let the client retry once more; the impostor still heard nothing.
        QTest::qWait(2500);
        QCOMPARE(control(command("calls")).value(QLatin1String("calls")).toArray(), QJsonArray());
        QCOMPARE(lost.size(), 0);
    }

    // The real OpenVPN, run by the service's privileged process, connects
    // back to the driver's management server and takes its commands.
    void openVpnThroughTheService()
    {
        if (!TestEnvironment::inPrivateNetwork())
            QSKIP("runs OpenVPN: only inside the test network namespace");
        QVERIFY(startService(QStringLiteral("kelvra-service-standin")));
        IpcClient client;
        QVERIFY(client.init());
        OpenVpnProtocol driver(QJsonObject {
            { QStringLiteral("openvpn_config_data"),
              QStringLiteral("dev null\nremote 127.0.0.1 1194\nproto udp\nnobind\n# config-text-7c1e\n") } });
        driver.prepare();
        QCOMPARE(driver.connectionState(), VpnProtocol::Connecting);
        QTRY_VERIFY_WITH_TIMEOUT(logged(QStringLiteral("New incoming connect")), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(logged(QStringLiteral("SUCCESS: real-time state notification set to ON")), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(logged(QStringLiteral("SUCCESS: real-time log notification set to ON")), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(logged(QStringLiteral("SUCCESS: bytecount interval changed")), 20000);
        const QJsonArray program = calls(QStringLiteral("process"), QStringLiteral("setProgram"));
        QCOMPARE(program.size(), 1);
        QCOMPARE(program.at(0).toObject().value(QLatin1String("args")), QJsonValue(QJsonArray { 0 }));

        driver.stop();
        QCOMPARE(driver.connectionState(), VpnProtocol::Disconnected);
        QVERIFY(!logged(QStringLiteral("config-text-7c1e")));
    }

    // A real OpenVPN tunnel: the service runs OpenVPN with the driver's
    // configuration against a real OpenVPN server on a namespace address.
    void openVpnTunnelUp()
    {
        if (!TestEnvironment::inPrivateNetwork())
            QSKIP("runs OpenVPN: only inside the test network namespace");
        if (!QFile::exists(QStringLiteral("/dev/net/tun")))
            QSKIP("no tun devices here");
        const QString clientConfig = m_dir.path() + QStringLiteral("/client.ovpn");
        QVERIFY(startService(QStringLiteral("kelvra-service-standin"),
                             StandInProgram::openVpnServerArguments(clientConfig, 20000)));
        m_openVpnServer = true;
        QFile file(clientConfig);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString config = QString::fromUtf8(file.readAll());
        QVERIFY(config.contains(QStringLiteral("remote 203.0.113.12")));

        IpcClient client;
        QVERIFY(client.init());
        OpenVpnProtocol driver(QJsonObject { { QStringLiteral("openvpn_config_data"), config } });
        QSignalSpy errors(&driver, &VpnProtocol::vpnError);
        driver.prepare();
        QTRY_VERIFY_WITH_TIMEOUT(driver.connectionState() == VpnProtocol::Connected || !errors.isEmpty(), 60000);
        QVERIFY(errors.isEmpty());
        QVERIFY(logged(QStringLiteral("OpenVPN connected successfully")));
        // The file with the keys is gone once the tunnel is up.
        QVERIFY(!QFile::exists(driver.configPath()));
        // Leak protection on, kill switch off: the guard on the tunnel's adapter.
        QTRY_COMPARE_WITH_TIMEOUT(calls(QStringLiteral("ipc"), QStringLiteral("enableKillSwitch")).size(), 1, 10000);
        QVERIFY(!driver.localAddress().isEmpty());
        QVERIFY(!logged(QStringLiteral("BEGIN PRIVATE KEY")));

        driver.stop();
        QCOMPARE(driver.connectionState(), VpnProtocol::Disconnected);
    }

    void daemonTunnel_data()
    {
        QTest::addColumn<VpnProtocol::Protocol>("protocol");
        QTest::addColumn<bool>("stall"); // takes the 20 s grace period: once is enough
        QTest::newRow("WireGuard, stalled") << VpnProtocol::WireGuard << true;
        QTest::newRow("AmneziaWG") << VpnProtocol::AmneziaWg << false;
        QTest::newRow("Stealth") << VpnProtocol::Stealth << false;
        QTest::newRow("Hysteria2") << VpnProtocol::Hysteria2 << false;
    }

    void daemonTunnel()
    {
        QFETCH(VpnProtocol::Protocol, protocol);
        QFETCH(bool, stall);
        QVERIFY(startService(QStringLiteral("kelvra-service-standin")));
        QJsonObject script { { QStringLiteral("connectDelayMs"), 100 }, { QStringLiteral("statusIntervalMs"), 300 } };
        if (stall) {
            script.insert(QStringLiteral("events"),
                          QJsonArray { QJsonObject { { QStringLiteral("at"), 1500 }, { QStringLiteral("do"), QStringLiteral("stall") } } });
        }
        QVERIFY(control(command("script", { { QStringLiteral("script"), script } })).value(QLatin1String("ok")).toBool());
        VpnConnection connection(m_settings);
        QSignalSpy rates(&connection, &VpnConnection::bytesChanged);
        QSignalSpy dead(&connection, &VpnConnection::tunnelDead);
        connection.connectToVpn(protocol, wireguardConfig(protocol));
        QTRY_COMPARE_WITH_TIMEOUT(connection.connectionState(), VpnProtocol::Connected, 15000);
        const QJsonArray activations = calls(QStringLiteral("daemon"), QStringLiteral("activate"));
        QCOMPARE(activations.size(), 1);
        QCOMPARE(activations.at(0).toObject().value(QLatin1String("message")).toObject(),
                 LocalSocketController::activateMessage(connection.configuration()));
        QTRY_VERIFY_WITH_TIMEOUT(!rates.isEmpty(), 15000);
        QVERIFY(rates.last().at(0).toDouble() > 0);
        if (stall) {
            // Judged dead once its grace period is over: 20 s without progress.
            QTRY_COMPARE_WITH_TIMEOUT(dead.size(), 1, 40000);
            QCOMPARE(connection.connectionState(), VpnProtocol::Reconnecting);
        }

        connection.disconnectFromVpn();
        QTRY_COMPARE(calls(QStringLiteral("daemon"), QStringLiteral("deactivate")).size() > 0, true);
        QVERIFY(!logged(TunnelConfigs::privateKey()));
    }

    void daemonErrorDuringBringUp()
    {
        QVERIFY(startService(QStringLiteral("kelvra-service-standin")));
        QVERIFY(control(command("script", { { QStringLiteral("script"),
                                              QJsonObject { { QStringLiteral("activateError"), 400 } } } }))
                    .value(QLatin1String("ok"))
                    .toBool());
        WireGuardProtocol driver(wireguardConfig(VpnProtocol::WireGuard));
        QStringList order;
        connect(&driver, &VpnProtocol::connectionStateChanged, this,
                [&order](VpnProtocol::ConnectionState s) { order << QStringLiteral("state %1").arg(int(s)); });
        connect(&driver, &VpnProtocol::vpnError, this,
                [&order](VpnProtocol::Errors e) { order << QStringLiteral("error %1").arg(int(e)); });
        QTRY_COMPARE(driver.controller()->linkState(), LocalSocketController::Ready);
        driver.start();
        QTRY_COMPARE_WITH_TIMEOUT(order, QStringList({ QStringLiteral("state 4"), QStringLiteral("error 400") }), 15000);
        QTRY_COMPARE(calls(QStringLiteral("daemon"), QStringLiteral("deactivate")).size(), 1);
        disconnect(&driver, nullptr, this, nullptr);
    }

    // A switch the service never confirms the hold for ends with holdFailed().
    void holdNeverConfirmed()
    {
        QVERIFY(startService(QStringLiteral("kelvra-service-standin"), { QStringLiteral("--lockdown-delay"), QStringLiteral("-1") }));
        VpnConnection connection(m_settings);
        QSignalSpy failed(&connection, &VpnConnection::holdFailed);
        connection.connectToVpn(VpnProtocol::WireGuard, wireguardConfig(VpnProtocol::WireGuard));
        QTRY_COMPARE_WITH_TIMEOUT(connection.connectionState(), VpnProtocol::Connected, 15000);
        connection.connectToVpn(VpnProtocol::AmneziaWg, wireguardConfig(VpnProtocol::AmneziaWg));
        QCOMPARE(failed.size(), 1);
        QVERIFY(logged(QStringLiteral("The service didn't confirm the firewall hold: the switch stops here")));
        QCOMPARE(connection.connectionState(), VpnProtocol::Disconnected);
        QVERIFY(!connection.vpnProtocol());
        control(command("lockdown", { { QStringLiteral("release"), true } }));
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    TstServiceE2e test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_service_e2e.moc"
