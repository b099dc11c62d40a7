// The speed test against the backend stand-in: both directions measured,
// each phase held to its size and its time, refusals and stalls ending in a
// clear failure, and nothing running unless asked.

#include <QGuiApplication>
#include <QSignalSpy>
#include <QTest>

#include "engagement/SpeedTest.h"
#include "tests/api/ApiTestSupport.h"

using namespace ApiTestSupport;

namespace {
const QString kEmail = QStringLiteral("speed@example.com");
constexpr int kWaitMs = 20000;
constexpr qint64 kDown = 512 * 1024;
constexpr qint64 kUp = 256 * 1024;
} // namespace

class TestSpeedTest : public QObject
{
    Q_OBJECT
    BackendStandIn m_backend;
    QScopedPointer<SpeedTest> m_test;

    void waitUntilOver()
    {
        QTRY_VERIFY_WITH_TIMEOUT(!m_test->running(), kWaitMs);
    }

private slots:
    void initTestCase()
    {
        useOwnCredentialService("speedtest");
        KELVRA_START_STAND_IN(m_backend);
        QVERIFY(!signInAs(m_backend, kEmail).isEmpty());
    }

    void init()
    {
        resetStandIn(m_backend);
        m_test.reset(new SpeedTest);
        m_test->setLimitsForTesting(kDown, kUp, 10000);
    }

    void cleanup() { m_test.reset(); }

    void nothingRunsUntilAsked()
    {
        QTest::qWait(300);
        QCOMPARE(m_test->phase(), QStringLiteral("idle"));
        QVERIFY(m_backend.requestsTo(QStringLiteral("speed-test/")).isEmpty());
    }

    void measuresBothWaysWithinTheSizeBounds()
    {
        const qint64 downloadedBefore = m_backend.engagement().downloadedBytes();
        const qint64 uploadedBefore = m_backend.engagement().uploadedBytes();
        QSignalSpy progress(m_test.data(), &SpeedTest::progressChanged);
        m_test->start();
        QCOMPARE(m_test->phase(), QStringLiteral("download"));
        waitUntilOver();
        QVERIFY2(m_test->phase() == QLatin1String("done"), qPrintable(m_test->errorText()));
        QVERIFY(m_test->downloadMbps() > 0);
        QVERIFY(m_test->uploadMbps() > 0);
        QCOMPARE(m_test->progress(), 1.0);
        QVERIFY(progress.size() >= 3);
        // The client asked for exactly its bound and sent exactly its bound.
        const QList<StandInRequest> downloads = m_backend.requestsTo(QStringLiteral("speed-test/download"));
        QCOMPARE(downloads.size(), 1);
        QCOMPARE(downloads.constFirst().query.queryItemValue(QStringLiteral("bytes")), QString::number(kDown));
        QCOMPARE(m_backend.engagement().downloadedBytes() - downloadedBefore, kDown);
        QCOMPARE(m_backend.engagement().uploadedBytes() - uploadedBefore, kUp);
        QVERIFY(downloads.constFirst().bearerToken().size() > 0);
    }

    void aServerSendingMoreIsCutAtTheBound()
    {
        m_backend.script(QString(), QStringLiteral("speed-test/download"),
                         StandInReply::status(200, QByteArray(4 * 1024 * 1024, 'x'),
                                              {{"Content-Type", "application/octet-stream"}}));
        QStringList phases;
        connect(m_test.data(), &SpeedTest::changed, this, [this, &phases] {
            if (phases.value(phases.size() - 1) != m_test->phase())
                phases << m_test->phase();
        });
        m_test->start();
        waitUntilOver();
        // The download ended at its bound, not at the end of the answer.
        QCOMPARE(phases, (QStringList{"download", "upload", "done"}));
        QVERIFY2(m_test->phase() == QLatin1String("done"), qPrintable(m_test->errorText()));
    }

    void aStalledServerEndsAtTheTimeBound()
    {
        m_test->setLimitsForTesting(kDown, kUp, 800);
        m_backend.script(QString(), QStringLiteral("speed-test/download"), StandInReply::stall());
        QElapsedTimer clock;
        clock.start();
        m_test->start();
        waitUntilOver();
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(clock.elapsed() >= 700);
        QCOMPARE(m_test->phase(), QStringLiteral("failed"));
        QCOMPARE(m_test->errorText(), QStringLiteral("The connection is too slow to measure."));
        QVERIFY(m_backend.requestsTo(QStringLiteral("speed-test/upload")).isEmpty());
    }

    void aSlowServerIsMeasuredOnWhatArrivedInTime()
    {
        // The answer comes after most of the phase's time: what arrives
        // before the bound is measured, the rest is not waited for.
        m_test->setLimitsForTesting(kDown, kUp, 1500);
        m_backend.script(QString(), QStringLiteral("speed-test/upload"),
                         StandInReply::json(200, {{QStringLiteral("success"), true}}).delayed(4000));
        QElapsedTimer clock;
        clock.start();
        m_test->start();
        waitUntilOver();
        QVERIFY2(m_test->phase() == QLatin1String("done"), qPrintable(m_test->errorText()));
        QVERIFY2(clock.elapsed() < 3800, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(m_test->uploadMbps() > 0);
    }

    void refusalsEndInAFailure_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("text");
        QTest::newRow("429") << 429 << "Too many speed tests just now. Try again in a few minutes.";
        QTest::newRow("500") << 500 << "The speed test server didn't answer. Try again later.";
        QTest::newRow("404") << 404 << "The speed test server didn't answer. Try again later.";
    }

    void refusalsEndInAFailure()
    {
        QFETCH(int, status);
        QFETCH(QString, text);
        m_backend.script(QString(), QStringLiteral("speed-test/download"),
                         StandInReply::error(status, QStringLiteral("No.")));
        m_test->start();
        waitUntilOver();
        QCOMPARE(m_test->phase(), QStringLiteral("failed"));
        QCOMPARE(m_test->errorText(), text);
        QCOMPARE(m_test->currentMbps(), 0.0);
    }

    void cancelStopsTheTransfer()
    {
        m_test->setLimitsForTesting(kDown, kUp, 5000);
        m_backend.script(QString(), QStringLiteral("speed-test/download"), StandInReply::stall());
        m_test->start();
        QVERIFY(m_test->running());
        m_test->start(); // a second press while running changes nothing
        QTest::qWait(200);
        m_test->cancel();
        QCOMPARE(m_test->phase(), QStringLiteral("idle"));
        QTest::qWait(300);
        QCOMPARE(m_backend.requestsTo(QStringLiteral("speed-test/download")).size(), 1);
        QVERIFY(m_backend.requestsTo(QStringLiteral("speed-test/upload")).isEmpty());
    }

    void megabitsPerSecond_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<double>("mbps");
        QTest::newRow("1 MB in 1 s") << qint64(1000000) << qint64(1000) << 8.0;
        QTest::newRow("125 kB in 100 ms") << qint64(125000) << qint64(100) << 10.0;
        QTest::newRow("no time") << qint64(5000) << qint64(0) << 0.0;
    }

    void megabitsPerSecond()
    {
        QFETCH(qint64, bytes);
        QFETCH(qint64, ms);
        QFETCH(double, mbps);
        QCOMPARE(SpeedTest::mbps(bytes, ms), mbps);
    }
};

KELVRA_API_TEST_MAIN(TestSpeedTest, QGuiApplication)
#include "tst_speedtest.moc"
