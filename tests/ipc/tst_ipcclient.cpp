#include <QLocalServer>
#include <QSignalSpy>
#include <QtTest>

#include "FakeService.h"
#include "app/Logger.h"
#include "ipc/IpcClient.h"
#include "ipc/ServiceFixtures.h"
#include "ipc/ServiceNames.h"
#include "support/TestEnvironment.h"

class TstIpcClient : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        qputenv("KELVRA_TEST_IPC_NAME", QByteArray("kelvra-tst-ipc-") + QByteArray::number(QCoreApplication::applicationPid()));
    }

    void init() { trustThisProcessAsService(); }

    void serviceRestart()
    {
        FakeIpcService service(ServiceNames::ipcUrl());
        service.startHost();
        LogCapture log;
        IpcClient client;
        QSignalSpy lost(&client, &IpcClient::linkLost);
        QSignalSpy restored(&client, &IpcClient::linkRestored);
        QVERIFY(client.init());
        QVERIFY(client.isConnected());
        QCOMPARE(IpcClient::Instance(), &client);
        QVERIFY(IpcClient::Interface() && IpcClient::Interface()->isReplicaValid());
        QVERIFY(log.contains(QStringLiteral("IpcClient created.")));
        // The first link is no restoration.
        QCOMPARE(lost.size(), 0);
        QCOMPARE(restored.size(), 0);
        QVERIFY(service.logCalls.isEmpty());

        service.stopHost();
        QTRY_COMPARE(lost.size(), 1);
        QVERIFY(log.contains(QStringLiteral("The service link dropped: reconnecting")));
        QVERIFY(!client.isConnected());
        QTRY_VERIFY(!IpcClient::Interface() || !IpcClient::Interface()->isReplicaValid());

        service.startHost();
        QTRY_COMPARE_WITH_TIMEOUT(restored.size(), 1, 15000);
        QVERIFY(log.contains(QStringLiteral("The service link is back: turning its log on again")));
        QTRY_COMPARE(service.logCalls, QList<bool> { true });
        QCOMPARE(lost.size(), 1);
        QVERIFY(IpcClient::Interface()->isReplicaValid());
    }

    // init() again while a retry is pending: the retry must not tear the
    // fresh link down and report it restored a second time.
    void initWhileRetryPending()
    {
        FakeIpcService service(ServiceNames::ipcUrl());
        service.startHost();
        IpcClient client;
        QSignalSpy lost(&client, &IpcClient::linkLost);
        QSignalSpy restored(&client, &IpcClient::linkRestored);
        QVERIFY(client.init());
        service.stopHost();
        QTRY_COMPARE(lost.size(), 1);
        service.startHost();
        QVERIFY(client.init());
        QCOMPARE(restored.size(), 1);
        QTest::qWait(3000);
        QCOMPARE(restored.size(), 1);
        QCOMPARE(lost.size(), 1);
        QVERIFY(client.isConnected());
    }

    void impostorIsRefused()
    {
        trustNoOne();
        QLocalServer impostor;
        QLocalServer::removeServer(ServiceNames::ipcName());
        QVERIFY(impostor.listen(ServiceNames::ipcName()));
        int connections = 0;
        QByteArray received;
        QList<QLocalSocket *> sockets;
        connect(&impostor, &QLocalServer::newConnection, this, [&] {
            while (QLocalSocket *socket = impostor.nextPendingConnection()) {
                ++connections;
                sockets << socket;
                connect(socket, &QLocalSocket::readyRead, this, [&received, socket] { received += socket->readAll(); });
            }
        });

        LogCapture log;
        IpcClient client;
        QSignalSpy lost(&client, &IpcClient::linkLost);
        QVERIFY(!client.init());
        QVERIFY(!client.isConnected());
        QVERIFY(log.contains(QStringLiteral("it isn't the privileged, installed")));
        // It keeps trying, and never says a word to the impostor.
        QTRY_VERIFY_WITH_TIMEOUT(connections >= 2, 15000);
        QCoreApplication::processEvents();
        QVERIFY(received.isEmpty());
        QCOMPARE(lost.size(), 0);
        QVERIFY(!log.contains(QStringLiteral("The service link dropped")));
    }

    void privilegedProcess()
    {
        FakeIpcService service(ServiceNames::ipcUrl());
        service.startHost();
        IpcClient client;
        QVERIFY(client.init());
        LogCapture log;
        QSharedPointer<PrivilegedProcess> process = IpcClient::acquirePrivilegedProcess();
        QVERIFY(process);
        QVERIFY(process->isReplicaValid());
        QSignalSpy started(process.data(), &PrivilegedProcess::started);
        process->setProgram(0);
        process->setArguments({ QStringLiteral("--config"), QStringLiteral("x") });
        process->start();
        QTRY_COMPARE(started.size(), 1);
        FakeProcess *far = service.processes.value(7);
        QVERIFY(far);
        QCOMPARE(far->program, 0);
        QCOMPARE(far->arguments, QStringList({ QStringLiteral("--config"), QStringLiteral("x") }));

        process.reset();
        QTRY_VERIFY(log.contains(QStringLiteral("PrivilegedProcess::~PrivilegedProcess()")));
    }

    void noServiceNoProcess()
    {
        qputenv("KELVRA_TEST_IPC_NAME", "kelvra-tst-ipc-nobody");
        LogCapture log;
        IpcClient client;
        QVERIFY(!client.init());
        QVERIFY(!IpcClient::acquirePrivilegedProcess());
        QVERIFY(log.contains(QStringLiteral("IPC Client - replica is not valid")));
        QCOMPARE(Logger::requestServiceLogs(true), Logger::ServiceCall::NoLink);
        QVERIFY(!Logger::clearServiceLogs());
        QVERIFY(log.contains(QStringLiteral("Logger::clearServiceLogs Failed to init ipcClient")));
        initTestCase();
    }

    void serviceLogCalls()
    {
        FakeIpcService service(ServiceNames::ipcUrl());
        service.startHost();
        QCOMPARE(Logger::requestServiceLogs(true), Logger::ServiceCall::Done);
        QVERIFY(Logger::setServiceLogsEnabled(false));
        QVERIFY(Logger::clearServiceLogs());
        QTRY_COMPARE(service.logCalls, QList<bool>({ true, false }));
        QTRY_COMPARE(service.clearLogCalls, 1);
        delete IpcClient::Instance();
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    TstIpcClient test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_ipcclient.moc"
