#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QNetworkInterface>
#include <QProcess>
#include <QtTest>

#include <sys/socket.h>
#include <sys/types.h>

#include "support/TestEnvironment.h"
#include "tests/tools/service/DaemonClient.h"
#include "tests/tools/service/DnsProbe.h"
#include "tools/service/StandInControl.h"

namespace {
// The executable of the process at the far end of a connected local socket,
// found the way the client's check of the service finds it.
QString peerExecutable(qintptr descriptor)
{
    struct ucred credentials = {};
    socklen_t length = sizeof credentials;
    if (::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return QString();
    return QFileInfo(QStringLiteral("/proc/%1/exe").arg(credentials.pid)).symLinkTarget();
}
} // namespace

// The stand-in as a program: started, scripted through its control socket,
// restarted, stopped by a signal, and replaced by an impostor.
class TstStandInProgram : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        m_standIn = TestEnvironment::binDir() + QStringLiteral("/kelvra-service-standin");
        m_impostor = TestEnvironment::binDir() + QStringLiteral("/kelvra-service-impostor");
        QVERIFY2(QFileInfo(m_standIn).isExecutable(), qPrintable(m_standIn));
        QVERIFY2(QFileInfo(m_impostor).isExecutable(), qPrintable(m_impostor));
        const QString pid = QString::number(QCoreApplication::applicationPid());
        m_ipcName = QStringLiteral("tst-program-ipc-") + pid;
        m_control = QStringLiteral("tst-program-control-") + pid;
        m_daemonSocket = TestEnvironment::home() + QStringLiteral("/run/program-daemon.socket");
    }

    void cleanup()
    {
        stopProgram();
    }

    void controlDrivesTheProgram()
    {
        QVERIFY(startProgram(m_standIn, {QStringLiteral("--script"), writeScript(R"({"connectDelayMs":0,"statusIntervalMs":100})")}));
        const QJsonObject ping = StandInControl::request(m_control, {{QStringLiteral("cmd"), QStringLiteral("ping")}});
        QCOMPARE(ping.value(QStringLiteral("pid")).toInteger(), m_process->processId());

        DaemonClient client;
        QVERIFY(client.connectTo(m_daemonSocket));
        client.send({{QStringLiteral("type"), QStringLiteral("activate")}, {QStringLiteral("serverPort"), 443}});
        QVERIFY(!client.waitFor(QStringLiteral("connected")).isEmpty());
        QVERIFY(command({{QStringLiteral("cmd"), QStringLiteral("stall")}}));
        QVERIFY(!client.waitFor(QStringLiteral("status"), 5000, [](const QJsonObject &status) {
                    return status.value(QStringLiteral("handshakeAge")).toDouble() > 240;
                }).isEmpty());
        QVERIFY(command({{QStringLiteral("cmd"), QStringLiteral("error")}, {QStringLiteral("code"), 201}}));
        QCOMPARE(client.waitFor(QStringLiteral("error")).value(QStringLiteral("error")).toInt(), 201);

        const QJsonObject calls = StandInControl::request(
            m_control, {{QStringLiteral("cmd"), QStringLiteral("calls")}, {QStringLiteral("channel"), QStringLiteral("daemon")}});
        QCOMPARE(calls.value(QStringLiteral("calls")).toArray().first()[QStringLiteral("message")][QStringLiteral("serverPort")].toInt(), 443);

        const QJsonObject refused = StandInControl::request(
            m_control, {{QStringLiteral("cmd"), QStringLiteral("script")},
                        {QStringLiteral("script"), QJsonObject{{QStringLiteral("events"), QJsonArray{QJsonObject{{QStringLiteral("do"), QStringLiteral("explode")}}}}}}});
        QCOMPARE(refused.value(QStringLiteral("ok")), QJsonValue(false));
        QCOMPARE(StandInControl::request(m_control, {{QStringLiteral("cmd"), QStringLiteral("fly")}}).value(QStringLiteral("ok")),
                 QJsonValue(false));
    }

    // A daemon tunnel killed through the control socket is gone from the
    // service: its client hears so from the status at once.
    void killTunnelEndsTheDaemonTunnel()
    {
        QVERIFY(startProgram(m_standIn, {QStringLiteral("--script"), writeScript(R"({"connectDelayMs":0,"statusIntervalMs":0})")}));
        DaemonClient client;
        QVERIFY(client.connectTo(m_daemonSocket));
        client.send({{QStringLiteral("type"), QStringLiteral("activate")}, {QStringLiteral("serverPort"), 443}});
        QVERIFY(!client.waitFor(QStringLiteral("connected")).isEmpty());
        const QJsonObject killed = StandInControl::request(m_control, {{QStringLiteral("cmd"), QStringLiteral("killTunnel")}});
        QCOMPARE(killed.value(QStringLiteral("killed")).toInt(), 1);
        const QJsonObject status = client.waitFor(QStringLiteral("status"));
        QCOMPARE(status.value(QStringLiteral("connected")), QJsonValue(false));
        // Nothing to kill twice; and this program was started without an OpenVPN server.
        QCOMPARE(StandInControl::request(m_control, {{QStringLiteral("cmd"), QStringLiteral("killTunnel")}})
                     .value(QStringLiteral("killed")).toInt(),
                 0);
        QVERIFY(!command({{QStringLiteral("cmd"), QStringLiteral("openVpnServer")}, {QStringLiteral("answering"), false}}));
    }

    // The server addresses outside the tunnels go off lo and come back,
    // only the ones the program took, and all of them when it ends.
    void outsideAddressesGoAndComeBack()
    {
        if (!TestEnvironment::inPrivateNetwork() || qEnvironmentVariable("KELVRA_IN_NETNS") != QLatin1String("1"))
            QSKIP("needs the test network namespace (scripts/netns.sh)");
        // Tokyo's address: no test serves anything there.
        const QString tokyo = QStringLiteral("203.0.113.23");
        const auto present = [&tokyo] { return QNetworkInterface::allAddresses().contains(QHostAddress(tokyo)); };
        QVERIFY(present());
        QVERIFY(startProgram(m_standIn));
        const auto outside = [this](bool reachable, const QStringList &addresses) {
            return StandInControl::request(m_control, {{QStringLiteral("cmd"), QStringLiteral("outside")},
                                                       {QStringLiteral("reachable"), reachable},
                                                       {QStringLiteral("addresses"), QJsonArray::fromStringList(addresses)}});
        };
        QCOMPARE(outside(false, {tokyo}).value(QStringLiteral("unreachable")).toArray(), QJsonArray{tokyo});
        QVERIFY(!present());
        QVERIFY(outside(true, {tokyo}).value(QStringLiteral("ok")).toBool());
        QVERIFY(present());

        QVERIFY(!outside(false, {QStringLiteral("127.0.0.1")}).value(QStringLiteral("ok")).toBool());
        QVERIFY(!outside(false, {QStringLiteral("192.0.2.1")}).value(QStringLiteral("ok")).toBool()); // not on lo
        QVERIFY(!outside(false, {QStringLiteral("not an address")}).value(QStringLiteral("ok")).toBool());
        QVERIFY(QNetworkInterface::allAddresses().contains(QHostAddress::LocalHost));

        QVERIFY(outside(false, {tokyo}).value(QStringLiteral("ok")).toBool());
        QVERIFY(!present());
        stopProgram();
        QVERIFY(present());
    }

    void startsAsLeftAfterACrash_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QJsonObject>("expected");
        QTest::newRow("block kept, no tunnel")
            << QStringList{QStringLiteral("--kill-switch-block")}
            << QJsonObject{{QStringLiteral("type"), QStringLiteral("status")}, {QStringLiteral("connected"), false},
                           {QStringLiteral("killSwitchBlock"), true}};
        QTest::newRow("tunnel kept")
            << QStringList{QStringLiteral("--tunnel-up")}
            << QJsonObject{{QStringLiteral("type"), QStringLiteral("status")}, {QStringLiteral("killSwitchBlock"), false}};
    }

    // What the client's start-up check finds.
    void startsAsLeftAfterACrash()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QJsonObject, expected);
        QVERIFY(startProgram(m_standIn, arguments));
        DaemonClient client;
        QVERIFY(client.connectTo(m_daemonSocket));
        client.send({{QStringLiteral("type"), QStringLiteral("status")}});
        QJsonObject status = client.waitFor(QStringLiteral("status"));
        for (const QString &key : {QStringLiteral("rxBytes"), QStringLiteral("txBytes"), QStringLiteral("handshakeAge"),
                                   QStringLiteral("probeFailures")})
            QCOMPARE(status.take(key).isDouble(), !expected.contains(QStringLiteral("connected")));
        QCOMPARE(status, expected);
    }

    void restartThroughControl()
    {
        QVERIFY(startProgram(m_standIn));
        DaemonClient client;
        QVERIFY(client.connectTo(m_daemonSocket));
        QVERIFY(command({{QStringLiteral("cmd"), QStringLiteral("restart")}, {QStringLiteral("downMs"), 500}}));
        QVERIFY(client.waitForDisconnected());
        // The control socket stays while the service is away.
        const QJsonObject state = StandInControl::request(m_control, {{QStringLiteral("cmd"), QStringLiteral("state")}});
        QCOMPARE(state.value(QStringLiteral("state"))[QStringLiteral("running")], QJsonValue(false));
        QTRY_VERIFY_WITH_TIMEOUT(client.connectTo(m_daemonSocket, 200), 10000);
        client.send({{QStringLiteral("type"), QStringLiteral("status")}});
        QVERIFY(!client.waitFor(QStringLiteral("status")).isEmpty());
    }

    void networkRulesPerRouteFamily_data()
    {
        QTest::addColumn<QJsonObject>("network");
        QTest::addColumn<QJsonObject>("activate");
        QTest::addColumn<QString>("family");
        QTest::addColumn<bool>("connects");
        QTest::addColumn<bool>("dnsAnswers");
        const QJsonObject wireGuard{{QStringLiteral("type"), QStringLiteral("activate")},
                                    {QStringLiteral("privateKey"), QStringLiteral("k")}};
        QJsonObject amnezia = wireGuard;
        amnezia.insert(QStringLiteral("awg"), QJsonObject{{QStringLiteral("jc"), 4}});
        const auto vless = [](const char *link) {
            return QJsonObject{{QStringLiteral("type"), QStringLiteral("activate")},
                               {QStringLiteral("vless"), QString::fromLatin1(link)}};
        };
        const QJsonObject reality = vless("vless://id@203.0.113.10:443?security=reality&sni=a.test");
        const QJsonObject cdn = vless("vless://id@198.51.100.10:443?type=ws&security=tls&path=%2Fws");
        const QJsonObject hysteria = vless("hysteria2://secret@203.0.113.10:443?sni=a.test");

        QTest::newRow("nothing scripted: wireguard works") << QJsonObject() << wireGuard << "wireguard" << true << true;
        QTest::newRow("amneziawg blocked: never connects, no error")
            << QJsonObject{{QStringLiteral("amneziawg"), QStringLiteral("blocked")}} << amnezia << "amneziawg" << false
            << false;
        QTest::newRow("reality noDns: connects, the resolver stays silent")
            << QJsonObject{{QStringLiteral("reality"), QStringLiteral("noDns")}} << reality << "reality" << true << false;
        QTest::newRow("a ws link is the cdn route: works while reality is blocked")
            << QJsonObject{{QStringLiteral("reality"), QStringLiteral("blocked")}} << cdn << "reality-cdn" << true << true;
        QTest::newRow("hysteria2 blocked")
            << QJsonObject{{QStringLiteral("hysteria2"), QStringLiteral("blocked")},
                           {QStringLiteral("reality"), QStringLiteral("works")}}
            << hysteria << "hysteria2" << false << false;
        QTest::newRow("wireguard noDns, others untouched")
            << QJsonObject{{QStringLiteral("wireguard"), QStringLiteral("noDns")}} << amnezia << "amneziawg" << true
            << true;
    }

    // The network is set through the control socket; the family is read from
    // the activation and recorded with it in the call log.
    void networkRulesPerRouteFamily()
    {
        QFETCH(QJsonObject, network);
        QFETCH(QJsonObject, activate);
        QFETCH(QString, family);
        QFETCH(bool, connects);
        QFETCH(bool, dnsAnswers);
        if (!TestEnvironment::inPrivateNetwork())
            QSKIP("needs the test network namespace (a name server on port 53)");
        const QHostAddress dns = TestEnvironment::ownLoopbackAddress();
        QVERIFY(startProgram(m_standIn, {QStringLiteral("--dns"), dns.toString(), QStringLiteral("--script"),
                                         writeScript(R"({"connectDelayMs":0,"statusIntervalMs":0})")}));
        QCOMPARE(StandInControl::request(m_control, {{QStringLiteral("cmd"), QStringLiteral("state")}})
                     .value(QStringLiteral("state"))[QStringLiteral("dns")].toString(),
                 dns.toString());
        QVERIFY(command({{QStringLiteral("cmd"), QStringLiteral("network")}, {QStringLiteral("network"), network}}));
        // No tunnel yet: nothing to carry the query.
        QVERIFY(!DnsProbe::ask(dns, 1000).replied);

        DaemonClient client;
        QVERIFY(client.connectTo(m_daemonSocket));
        client.send(activate);
        const QJsonObject connected = client.waitFor(QStringLiteral("connected"), connects ? 5000 : 1500);
        QCOMPARE(!connected.isEmpty(), connects);
        for (const QJsonObject &message : client.pending())
            QVERIFY2(message.value(QStringLiteral("type")).toString() != QLatin1String("error"),
                     "a blocked route must not answer with an error");

        const QJsonObject state = StandInControl::request(m_control, {{QStringLiteral("cmd"), QStringLiteral("state")}})
                                      .value(QStringLiteral("state"))
                                      .toObject();
        QCOMPARE(state.value(QStringLiteral("tunnel")).toString(),
                 connects ? QStringLiteral("Up") : QStringLiteral("Activating"));
        QCOMPARE(state.value(QStringLiteral("family")).toString(), family);
        const QJsonArray activations = StandInControl::request(m_control, {{QStringLiteral("cmd"), QStringLiteral("calls")},
                                                                           {QStringLiteral("channel"), QStringLiteral("daemon")},
                                                                           {QStringLiteral("call"), QStringLiteral("activate")}})
                                           .value(QStringLiteral("calls"))
                                           .toArray();
        QCOMPARE(activations.size(), 1);
        QCOMPARE(activations.first()[QStringLiteral("family")].toString(), family);

        const DnsProbe::Reply reply = DnsProbe::ask(dns, dnsAnswers ? 5000 : 1500);
        QCOMPARE(reply.replied, dnsAnswers);
        if (dnsAnswers) {
            QCOMPARE(reply.rcode, 0);
            QCOMPARE(reply.addresses, QList<QHostAddress>{dns});
        }
        const int queries = StandInControl::request(m_control, {{QStringLiteral("cmd"), QStringLiteral("dnsQueries")}})
                                .value(QStringLiteral("count"))
                                .toInt();
        QCOMPARE(queries, 2);
    }

    // The rule is the one in force when the query comes: a tunnel that works
    // loses its DNS when the network turns, and a stalled one carries nothing.
    void dnsFollowsTheNetworkAndTheTunnel()
    {
        if (!TestEnvironment::inPrivateNetwork())
            QSKIP("needs the test network namespace (a name server on port 53)");
        const QHostAddress dns = TestEnvironment::ownLoopbackAddress();
        QVERIFY(startProgram(m_standIn, {QStringLiteral("--dns"), dns.toString(), QStringLiteral("--script"),
                                         writeScript(R"({"connectDelayMs":0,"statusIntervalMs":0})")}));
        DaemonClient client;
        QVERIFY(client.connectTo(m_daemonSocket));
        client.send({{QStringLiteral("type"), QStringLiteral("activate")},
                     {QStringLiteral("vless"), QStringLiteral("vless://id@203.0.113.10:443?security=reality")}});
        QVERIFY(!client.waitFor(QStringLiteral("connected")).isEmpty());
        QVERIFY(DnsProbe::ask(dns, 5000).replied);
        QVERIFY(command({{QStringLiteral("cmd"), QStringLiteral("stall")}}));
        QVERIFY(!DnsProbe::ask(dns, 1000).replied);
        QVERIFY(command({{QStringLiteral("cmd"), QStringLiteral("recover")}}));
        QVERIFY(DnsProbe::ask(dns, 5000).replied);
        QVERIFY(command({{QStringLiteral("cmd"), QStringLiteral("network")},
                         {QStringLiteral("network"), QJsonObject{{QStringLiteral("reality"), QStringLiteral("noDns")}}}}));
        QVERIFY(!DnsProbe::ask(dns, 1000).replied);
    }

    void badNetworkDescriptionsAreRefused_data()
    {
        QTest::addColumn<QJsonValue>("network");
        QTest::newRow("unknown family") << QJsonValue(QJsonObject{{QStringLiteral("openvpn"), QStringLiteral("blocked")}});
        QTest::newRow("unknown rule") << QJsonValue(QJsonObject{{QStringLiteral("reality"), QStringLiteral("slow")}});
        QTest::newRow("rule not a text") << QJsonValue(QJsonObject{{QStringLiteral("reality"), true}});
        QTest::newRow("not an object") << QJsonValue(QStringLiteral("blocked"));
    }

    // Through both the "network" and the "script" command; the script in
    // force stays as it was.
    void badNetworkDescriptionsAreRefused()
    {
        QFETCH(QJsonValue, network);
        QVERIFY(startProgram(m_standIn));
        const QJsonObject answer = StandInControl::request(
            m_control, {{QStringLiteral("cmd"), QStringLiteral("network")}, {QStringLiteral("network"), network}});
        QCOMPARE(answer.value(QStringLiteral("ok")), QJsonValue(false));
        QVERIFY(!answer.value(QStringLiteral("error")).toString().isEmpty());
        const QJsonObject script = StandInControl::request(
            m_control, {{QStringLiteral("cmd"), QStringLiteral("script")},
                        {QStringLiteral("script"), QJsonObject{{QStringLiteral("network"), network}}}});
        QCOMPARE(script.value(QStringLiteral("ok")), QJsonValue(false));
    }

    void terminatesCleanly()
    {
        QVERIFY(startProgram(m_standIn));
        QVERIFY(QFile::exists(m_daemonSocket));
        m_process->terminate();
        QVERIFY(m_process->waitForFinished(10000));
        QCOMPARE(m_process->exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_process->exitCode(), 0);
        QVERIFY(!QFile::exists(m_daemonSocket));
    }

    void impostorIsAnotherExecutable()
    {
        QVERIFY(startProgram(m_standIn));
        DaemonClient client;
        QLocalSocket probe;
        probe.connectToServer(m_daemonSocket);
        QVERIFY(probe.waitForConnected(5000));
        QCOMPARE(peerExecutable(probe.socketDescriptor()), QFileInfo(m_standIn).canonicalFilePath());
        probe.abort();
        stopProgram();

        // Same names, same answers, another program.
        QVERIFY(startProgram(m_impostor));
        probe.connectToServer(m_daemonSocket);
        QVERIFY(probe.waitForConnected(5000));
        QCOMPARE(peerExecutable(probe.socketDescriptor()), QFileInfo(m_impostor).canonicalFilePath());
        QVERIFY(client.connectTo(m_daemonSocket));
        client.send({{QStringLiteral("type"), QStringLiteral("status")}});
        QCOMPARE(client.waitFor(QStringLiteral("status")).value(QStringLiteral("connected")), QJsonValue(false));
        QLocalSocket ipc;
        ipc.connectToServer(m_ipcName);
        QVERIFY(ipc.waitForConnected(5000));
        QCOMPARE(peerExecutable(ipc.socketDescriptor()), QFileInfo(m_impostor).canonicalFilePath());
    }

    void badCommandLines_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("script with an unknown action")
            << QStringList{QStringLiteral("--script"), writeScript(R"({"events":[{"do":"explode"}]})")};
        QTest::newRow("script that is not there") << QStringList{QStringLiteral("--script"), QStringLiteral("/nonexistent.json")};
        QTest::newRow("lockdown delay not a number") << QStringList{QStringLiteral("--lockdown-delay"), QStringLiteral("soon")};
        QTest::newRow("base URL not a URL") << QStringList{QStringLiteral("--api-base-url"), QStringLiteral("::")};
        QTest::newRow("script with an unknown route family")
            << QStringList{QStringLiteral("--script"), writeScript(R"({"network":{"ikev2":"blocked"}})")};
        QTest::newRow("name server not an address") << QStringList{QStringLiteral("--dns"), QStringLiteral("resolver")};
    }

    void badCommandLines()
    {
        QFETCH(QStringList, arguments);
        QProcess process;
        process.start(m_standIn, QStringList{QStringLiteral("--ipc-name"), m_ipcName, QStringLiteral("--daemon-socket"), m_daemonSocket} + arguments);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 2);
        QVERIFY(!process.readAllStandardError().isEmpty());
        QVERIFY(!process.readAllStandardOutput().contains("ready"));
    }

private:
    bool startProgram(const QString &program, const QStringList &extra = QStringList())
    {
        stopProgram();
        m_process.reset(new QProcess);
        m_process->setProcessChannelMode(QProcess::SeparateChannels);
        m_process->start(program, QStringList{QStringLiteral("--ipc-name"), m_ipcName, QStringLiteral("--daemon-socket"),
                                              m_daemonSocket, QStringLiteral("--control"), m_control}
                                      + extra);
        return QTest::qWaitFor([this] { return m_process->state() == QProcess::NotRunning || m_process->peek(64).contains("ready"); },
                               15000)
            && m_process->state() == QProcess::Running;
    }

    void stopProgram()
    {
        if (!m_process)
            return;
        m_process->terminate();
        if (!m_process->waitForFinished(10000))
            m_process->kill();
        m_process.reset();
    }

    bool command(const QJsonObject &command)
    {
        return StandInControl::request(m_control, command).value(QStringLiteral("ok")).toBool();
    }

    QString writeScript(const char *json)
    {
        const QString path = TestEnvironment::home() + QStringLiteral("/script-%1.json").arg(++m_scripts);
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(json);
        return path;
    }

    QString m_standIn;
    QString m_impostor;
    QString m_ipcName;
    QString m_control;
    QString m_daemonSocket;
    int m_scripts = 0;
    std::unique_ptr<QProcess> m_process;
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    TstStandInProgram test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_standinprogram.moc"
