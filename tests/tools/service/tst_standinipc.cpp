#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QRemoteObjectNode>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QtTest>

#include "rep_ipc_interface_replica.h"
#include "rep_ipc_process_interface_replica.h"
#include "support/TestEnvironment.h"
#include "tests/tools/service/DaemonClient.h"
#include "tools/service/ServiceStandIn.h"
#include "tools/service/StandInOpenVpnServer.h"

// The stand-in's remote objects, reached through replicas generated from the
// client's own interface definitions: the lockdown's scripted answers, and
// privileged processes running the real OpenVPN.
class TstStandInIpc : public QObject
{
    Q_OBJECT
private:
    struct OpenVpnRun {
        StandInOpenVpnServer server;
        QTemporaryDir dir;
        QTcpServer management;
        IpcProcessInterfaceReplica *process = nullptr;
        QTcpSocket *link = nullptr;
    };

    // A real OpenVPN server on loopback and a client started through the
    // remote object, up and followed over its management link.
    void bringUpOpenVpn(OpenVpnRun &run, int subnet)
    {
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress::LocalHost, 0));
        const quint16 port = probe.localPort();
        probe.close();
        QVERIFY2(run.server.start(QHostAddress::LocalHost, port, subnet, quint8(QCoreApplication::applicationPid() % 250)),
                 qPrintable(run.server.error()));
        QFile config(run.dir.filePath(QStringLiteral("client.conf")));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(run.server.clientConfig().toUtf8());
        config.close();
        QVERIFY(run.management.listen(QHostAddress::LocalHost));

        run.process = acquireProcess();
        QVERIFY(run.process);
        run.process->setProgram(0);
        run.process->setArguments({QStringLiteral("--config"), config.fileName(), QStringLiteral("--management"),
                                   QStringLiteral("127.0.0.1"), QString::number(run.management.serverPort()),
                                   QStringLiteral("--management-client"), QStringLiteral("--kelvra-no-leak-guard")});
        run.process->start();
        QTRY_VERIFY_WITH_TIMEOUT(run.management.hasPendingConnections(), 30000);
        run.link = run.management.nextPendingConnection();
        run.link->write("state on all\n");
        QByteArray lines;
        QTRY_VERIFY2_WITH_TIMEOUT((lines += run.link->readAll()).contains("CONNECTED,SUCCESS"),
                                  qPrintable(QString::fromUtf8(lines + run.server.log())), 30000);
    }

private slots:
    void init()
    {
        ServiceStandIn::Options options;
        options.ipcUrl = QStringLiteral("local:tst-ipc-%1").arg(QCoreApplication::applicationPid());
        options.daemonSocket = TestEnvironment::home() + QStringLiteral("/run/ipc-daemon.socket");
        m_service.reset(new ServiceStandIn(options));
        QVERIFY(m_service->start());
        m_node.reset(new QRemoteObjectNode);
        QVERIFY(m_node->connectToNode(QUrl(options.ipcUrl)));
        m_replica.reset(m_node->acquire<IpcInterfaceReplica>());
        QVERIFY(m_replica->waitForSource(5000));
    }

    void cleanup()
    {
        m_processReplica.reset();
        m_processNode.reset();
        m_replica.reset();
        m_node.reset();
        m_service.reset();
    }

    void setLockdownAnswersAfterTheDelay_data()
    {
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<bool>("reply");
        QTest::newRow("at once") << 0 << true;
        QTest::newRow("after 800 ms") << 800 << true;
        QTest::newRow("refused after 300 ms") << 300 << false;
    }

    void setLockdownAnswersAfterTheDelay()
    {
        QFETCH(int, delayMs);
        QFETCH(bool, reply);
        m_service->setLockdownDelay(delayMs);
        m_service->setLockdownReply(reply);
        QElapsedTimer elapsed;
        elapsed.start();
        QRemoteObjectPendingReply<bool> pending = m_replica->setLockdown(true);
        QVERIFY(pending.waitForFinished(15000));
        QVERIFY(elapsed.elapsed() >= delayMs);
        QCOMPARE(pending.returnValue(), reply);
        const QJsonObject expected{{QStringLiteral("channel"), QStringLiteral("ipc")},
                                   {QStringLiteral("call"), QStringLiteral("setLockdown")},
                                   {QStringLiteral("args"), QJsonArray{true}}};
        QCOMPARE(m_service->calls(QStringLiteral("ipc"), QStringLiteral("setLockdown")), QJsonArray{expected});
        QTRY_COMPARE(m_service->lockdown(), reply);
    }

    void unansweredLockdownHoldsLaterCallsUntilReleased()
    {
        m_service->setLockdownDelay(-1);
        QRemoteObjectPendingReply<bool> pending = m_replica->setLockdown(true);
        QTRY_COMPARE(m_service->calls(QStringLiteral("ipc"), QStringLiteral("setLockdown")).size(), 1);
        QVERIFY(!pending.waitForFinished(1000));

        // A busy service: what the client sends next waits its turn.
        const QJsonObject guard{{QStringLiteral("dnsGuard"), true}};
        QRemoteObjectPendingReply<bool> killSwitch = m_replica->enableKillSwitch(3, guard);
        QVERIFY(!killSwitch.waitForFinished(300));
        QVERIFY(!m_service->lockdown());

        m_service->releaseLockdownWaits();
        QVERIFY(pending.waitForFinished(5000));
        QVERIFY(pending.returnValue());
        QVERIFY(killSwitch.waitForFinished(5000));
        QVERIFY(killSwitch.returnValue());
        QCOMPARE(m_service->calls(QStringLiteral("ipc"), QStringLiteral("enableKillSwitch")).first()[QStringLiteral("args")],
                 QJsonValue(QJsonArray{3, guard}));
        QTRY_VERIFY(m_service->lockdown());
    }

    void stopEndsAnUnansweredLockdown()
    {
        m_service->setLockdownDelay(-1);
        QRemoteObjectPendingReply<bool> pending = m_replica->setLockdown(true);
        QTRY_COMPARE(m_service->calls(QStringLiteral("ipc"), QStringLiteral("setLockdown")).size(), 1);
        QElapsedTimer elapsed;
        elapsed.start();
        m_service->stop();
        QVERIFY(elapsed.elapsed() < 5000);
        QVERIFY(!m_service->isRunning());
        QTRY_COMPARE(m_replica->state(), QRemoteObjectReplica::Suspect);
    }

    void lockdownSurvivesARestart()
    {
        QRemoteObjectPendingReply<bool> pending = m_replica->setLockdown(true);
        QVERIFY(pending.waitForFinished(5000));
        QTRY_VERIFY(m_service->lockdown());
        QSignalSpy restarted(m_service.get(), &ServiceStandIn::restarted);
        m_service->restart(100);
        QVERIFY(restarted.wait(5000));
        DaemonClient client;
        QVERIFY(client.connectTo(m_service->options().daemonSocket));
        client.send(QJsonObject{{QStringLiteral("type"), QStringLiteral("status")}});
        const QJsonObject status = client.waitFor(QStringLiteral("status"));
        QCOMPARE(status.value(QStringLiteral("connected")), QJsonValue(false));
        QCOMPARE(status.value(QStringLiteral("killSwitchBlock")), QJsonValue(true));
    }

    void privilegedProcessRunsOpenVpn()
    {
        if (!QFile::exists(m_service->options().openVpnPath))
            QSKIP("OpenVPN is not installed");
        IpcProcessInterfaceReplica *process = acquireProcess();
        QVERIFY(process);
        QSignalSpy started(process, &IpcProcessInterfaceReplica::started);
        QSignalSpy finished(process, &IpcProcessInterfaceReplica::finished);
        process->setProgram(0);
        // The service's own switch must not reach OpenVPN, which would refuse it.
        process->setArguments({QStringLiteral("--kelvra-no-leak-guard"), QStringLiteral("--version")});
        process->start();
        QVERIFY(finished.wait(15000) || finished.size() == 1);
        QCOMPARE(started.size(), 1);
        QCOMPARE(finished.first().at(0).toInt(), 0);
        QCOMPARE(finished.first().at(1).value<QProcess::ExitStatus>(), QProcess::NormalExit);
        QRemoteObjectPendingReply<QByteArray> output = process->readAllStandardOutput();
        QVERIFY(output.waitForFinished(5000));
        QVERIFY2(output.returnValue().startsWith("OpenVPN 2."), output.returnValue().constData());

        const QJsonArray calls = m_service->calls(QStringLiteral("process"));
        QStringList names;
        for (const QJsonValue &call : calls)
            names.append(call[QStringLiteral("call")].toString());
        QCOMPARE(names, (QStringList{QStringLiteral("setProgram"), QStringLiteral("setArguments"), QStringLiteral("start")}));
        QCOMPARE(calls.at(1)[QStringLiteral("args")].toArray().first().toArray().first().toString(),
                 QStringLiteral("--kelvra-no-leak-guard"));
    }

    // The whole way a client's OpenVPN goes: a real tunnel to a real server
    // on loopback, followed over the management interface, then ended.
    void openVpnTunnelComesUp()
    {
        if (!TestEnvironment::inPrivateNetwork() || !StandInOpenVpnServer::tunAvailable())
            QSKIP("needs the test namespace and /dev/net/tun");
        OpenVpnRun run;
        bringUpOpenVpn(run, 8);
        if (QTest::currentTestFailed())
            return;
        QSignalSpy finished(run.process, &IpcProcessInterfaceReplica::finished);
        run.link->write("signal SIGTERM\n");
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 15000);
    }

    // A live OpenVPN tunnel killed: the client's OpenVPN restarts as after
    // its keepalive ran out and, with its server not answering, gets nowhere;
    // once the server answers again it connects anew.
    void killedOpenVpnTunnelComesBackWithItsServer()
    {
        if (!TestEnvironment::inPrivateNetwork() || !StandInOpenVpnServer::tunAvailable())
            QSKIP("needs the test namespace and /dev/net/tun");
        QCOMPARE(m_service->killTunnel(), 0); // nothing runs yet
        OpenVpnRun run;
        bringUpOpenVpn(run, 9);
        if (QTest::currentTestFailed())
            return;

        QVERIFY(run.server.setAnswering(false));
        QVERIFY(!run.server.isAnswering());
        QByteArray lines;
        QCOMPARE(m_service->killTunnel(), 1);
        QTRY_VERIFY_WITH_TIMEOUT((lines += run.link->readAll()).contains(",RECONNECTING,"), 10000);
        QTest::qWait(1500);
        lines += run.link->readAll();
        QVERIFY2(!lines.contains("CONNECTED,SUCCESS"), lines.constData());

        QVERIFY(run.server.setAnswering(true));
        QTRY_VERIFY2_WITH_TIMEOUT((lines += run.link->readAll()).contains("CONNECTED,SUCCESS"),
                                  qPrintable(QString::fromUtf8(lines + run.server.log())), 30000);
        run.link->write("signal SIGTERM\n");
    }

    void commandLines_data()
    {
        QTest::addColumn<int>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<bool>("runs");
        const QStringList withConfig{QStringLiteral("--config"), QStringLiteral("client.conf"), QStringLiteral("--version")};
        QTest::newRow("remote on loopback") << 0 << withConfig << QByteArray("remote 127.0.0.1 1194 udp\n") << true;
        QTest::newRow("remote off the machine")
            << 0 << QStringList{QStringLiteral("--remote"), QStringLiteral("192.0.2.1"), QStringLiteral("1194"), QStringLiteral("--version")}
            << QByteArray() << false;
        QTest::newRow("remote by name")
            << 0 << QStringList{QStringLiteral("--remote"), QStringLiteral("vpn.example"), QStringLiteral("--version")}
            << QByteArray() << false;
        QTest::newRow("management off the machine")
            << 0 << QStringList{QStringLiteral("--management"), QStringLiteral("192.0.2.9"), QStringLiteral("7505"), QStringLiteral("--management-client"), QStringLiteral("--version")}
            << QByteArray() << false;
        QTest::newRow("remote off the machine in the config")
            << 0 << withConfig << QByteArray("client\n# remote 127.0.0.1\n  remote 192.0.2.7 1194 udp\n") << false;
        QTest::newRow("proxy off the machine in the config")
            << 0 << withConfig << QByteArray("remote 127.0.0.1\nhttp-proxy 192.0.2.8 3128\n") << false;
        QTest::newRow("nested config") << 0 << withConfig << QByteArray("config /etc/hidden.conf\n") << false;
        QTest::newRow("missing config")
            << 0 << QStringList{QStringLiteral("--config"), QStringLiteral("absent.conf")} << QByteArray() << false;
        QTest::newRow("unknown program") << 7 << QStringList{QStringLiteral("--version")} << QByteArray() << false;
    }

    void commandLines()
    {
        QFETCH(int, program);
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, config);
        QFETCH(bool, runs);
        if (!QFile::exists(m_service->options().openVpnPath))
            QSKIP("OpenVPN is not installed");
        QTemporaryDir dir;
        if (!config.isEmpty()) {
            QFile file(dir.filePath(QStringLiteral("client.conf")));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(config);
        }
        IpcProcessInterfaceReplica *process = acquireProcess();
        QVERIFY(process);
        QSignalSpy started(process, &IpcProcessInterfaceReplica::started);
        QSignalSpy finished(process, &IpcProcessInterfaceReplica::finished);
        QSignalSpy errors(process, &IpcProcessInterfaceReplica::errorOccurred);
        process->setWorkingDirectory(dir.path());
        process->setProgram(program);
        process->setArguments(arguments);
        process->start();
        if (runs) {
            QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 15000);
            QCOMPARE(errors.size(), 0);
            QCOMPARE(m_service->calls(QStringLiteral("process"), QStringLiteral("refused")).size(), 0);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, 5000);
            QCOMPARE(errors.first().first().value<QProcess::ProcessError>(), QProcess::FailedToStart);
            QCOMPARE(m_service->calls(QStringLiteral("process"), QStringLiteral("refused")).size(), 1);
            QTest::qWait(200);
            QCOMPARE(started.size(), 0);
        }
    }

private:
    IpcProcessInterfaceReplica *acquireProcess()
    {
        QRemoteObjectPendingReply<int> number = m_replica->createPrivilegedProcess();
        if (!number.waitForFinished(5000) || number.returnValue() < 1)
            return nullptr;
        m_processNode.reset(new QRemoteObjectNode);
        if (!m_processNode->connectToNode(
                QUrl(QStringLiteral("%1_%2").arg(m_service->options().ipcUrl).arg(number.returnValue()))))
            return nullptr;
        m_processReplica.reset(m_processNode->acquire<IpcProcessInterfaceReplica>());
        return m_processReplica->waitForSource(5000) ? m_processReplica.get() : nullptr;
    }

    std::unique_ptr<ServiceStandIn> m_service;
    std::unique_ptr<QRemoteObjectNode> m_node;
    std::unique_ptr<IpcInterfaceReplica> m_replica;
    std::unique_ptr<QRemoteObjectNode> m_processNode;
    std::unique_ptr<IpcProcessInterfaceReplica> m_processReplica;
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    TstStandInIpc test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_standinipc.moc"
