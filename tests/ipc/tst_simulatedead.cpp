#include <QSignalSpy>
#include <QtTest>

#include "ipc/LinkClock.h"
#include "ipc/LocalSocketController.h"
#include "ipc/ServiceFixtures.h"
#include "support/TestEnvironment.h"

// The staging aid KELVRA_SIMULATE_DEAD: the first tunnel of the process looks
// dead for a minute once its grace period is over, whatever the service says;
// later tunnels are judged as they are.
class TstSimulateDead : public QObject
{
    Q_OBJECT
private:
    int m_sync = 0;

    void sync(FakeDaemon &daemon, LogCapture &log)
    {
        const QString type = QStringLiteral("sync-%1").arg(++m_sync);
        daemon.sendJson({ { QStringLiteral("type"), type } });
        QTRY_VERIFY(log.contains(type));
    }

    // A healthy status every 8 s of the test clock, `count` times.
    void healthy(FakeDaemon &daemon, LogCapture &log, int count)
    {
        for (int i = 0; i < count; ++i) {
            LinkClock::advanceForTesting(8000);
            daemon.sendJson({ { QStringLiteral("type"), QStringLiteral("status") },
                              { QStringLiteral("rxBytes"), 100 + i },
                              { QStringLiteral("txBytes"), 100 + i },
                              { QStringLiteral("handshakeAge"), 3 },
                              { QStringLiteral("probeFailures"), 0 } });
            sync(daemon, log);
        }
    }

private slots:
    void init() { trustThisProcessAsService(); }

    void firstTunnelOnly()
    {
#ifndef KELVRA_STAGING
        QSKIP("a staging aid only");
#endif
        for (int tunnel = 0; tunnel < 2; ++tunnel) {
            FakeDaemon daemon;
            daemon.answer = [](const QJsonObject &) { return QJsonObject(); };
            LogCapture log;
            LocalSocketController controller;
            QSignalSpy stalled(&controller, &LocalSocketController::tunnelStalled);
            QSignalSpy alive(&controller, &LocalSocketController::tunnelAlive);
            controller.initialize();
            QTRY_COMPARE(daemon.received.size(), 1);
            daemon.sendJson({ { QStringLiteral("type"), QStringLiteral("connected") } });
            sync(daemon, log);
            QCOMPARE(log.contains(QStringLiteral("KELVRA_SIMULATE_DEAD: this tunnel will look dead (staging test)")),
                     tunnel == 0);

            // The grace period runs from the first status: past it at the fourth.
            healthy(daemon, log, 3);
            QCOMPARE(stalled.size(), 0);
            healthy(daemon, log, 1);
            QCOMPARE(stalled.size(), tunnel == 0 ? 1 : 0);
            healthy(daemon, log, 7); // within the simulated minute
            QCOMPARE(alive.size(), 0);
            healthy(daemon, log, 1); // the minute is over: judged as it is
            QCOMPARE(alive.size(), tunnel == 0 ? 1 : 0);
        }
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    qputenv("KELVRA_SIMULATE_DEAD", "1");
    QCoreApplication app(argc, argv);
    TstSimulateDead test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_simulatedead.moc"
