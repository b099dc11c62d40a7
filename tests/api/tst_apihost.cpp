#include <QDateTime>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTemporaryDir>
#include <QTest>

#include "api/ApiHost.h"
#include "api/NetworkManager.h"
#include "tests/api/ApiTestSupport.h"

using namespace ApiTestSupport;

namespace {

const QString kPrimary = QStringLiteral("127.0.0.1");
const QString kBackup0 = QStringLiteral("127.0.0.2");
const QString kBackup1 = QStringLiteral("127.0.0.3");

StandInReply answerFrom(const QString &who)
{
    return StandInReply::json(200, QJsonObject{{QStringLiteral("success"), true}, {QStringLiteral("from"), who}});
}

QString answeredBy(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object().value(QLatin1String("from")).toString();
}

// One request through the request layer, waited for until it reports.
struct Outcome
{
    bool finished = false;
    bool failed = false;
    QByteArray body;
    int status = -1;
};

Outcome send(const QString &path, NetworkManager::RequestType type, int timeoutMs = 0, const QString &token = QString())
{
    NetworkManager manager;
    QSignalSpy finished(&manager, &NetworkManager::requestFinished);
    QSignalSpy failed(&manager, &NetworkManager::requestFailed);
    manager.request(ApiHost::url(path), QJsonObject{{QStringLiteral("k"), 1}}, type, token, timeoutMs, false);
    Outcome outcome;
    if (!QTest::qWaitFor([&] { return finished.count() + failed.count() > 0; }, 60000))
        return outcome;
    // Nothing more may follow the one report.
    QTest::qWait(50);
    if (finished.count() + failed.count() != 1)
        return outcome;
    outcome.failed = failed.count() == 1;
    outcome.finished = finished.count() == 1;
    if (outcome.finished) {
        outcome.body = finished.at(0).at(0).toByteArray();
        outcome.status = finished.at(0).at(1).toInt();
    }
    return outcome;
}

// A request made straight on the shared manager, for the retry decision.
QNetworkReply *finishedReply(const QString &url, NetworkManager::RequestType type, QByteArray *body)
{
    QNetworkRequest request{QUrl(url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(3000);
    QNetworkReply *reply = type == NetworkManager::GET ? ApiHost::sharedManager()->get(request)
                                                       : ApiHost::sharedManager()->post(request, QByteArray("{}"));
    QSignalSpy done(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        done.wait(20000);
    *body = reply->readAll();
    return reply;
}

// The wall clock jumps in a child run of one test function under libfaketime:
// the system clock is set forward or back while time itself goes on.
const char kClockFileVariable[] = "KELVRA_TEST_CLOCK_FILE";
const char kFaketime[] = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1";

bool inClockChild()
{
    return qEnvironmentVariableIsSet(kClockFileVariable);
}

// Runs the current test function and row again in a child whose wall clock
// can be moved; false with the child's output when it did not pass.
bool passesWithAMovableWallClock(QString *output)
{
    if (!QFile::exists(QString::fromLatin1(kFaketime))) {
        *output = QStringLiteral("libfaketime is missing (scripts/deps.sh installs it)");
        return false;
    }
    QTemporaryDir dir;
    const QString clockFile = dir.filePath(QStringLiteral("clock"));
    QFile file(clockFile);
    if (!file.open(QIODevice::WriteOnly) || file.write("+0\n") < 0)
        return false;
    file.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(kClockFileVariable), clockFile);
    environment.insert(QStringLiteral("LD_PRELOAD"), QString::fromLatin1(kFaketime));
    environment.insert(QStringLiteral("FAKETIME_TIMESTAMP_FILE"), clockFile);
    environment.insert(QStringLiteral("FAKETIME_NO_CACHE"), QStringLiteral("1"));
    environment.insert(QStringLiteral("FAKETIME_DONT_FAKE_MONOTONIC"), QStringLiteral("1"));
    environment.insert(QStringLiteral("NO_FAKE_STAT"), QStringLiteral("1"));
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("%1:%2").arg(QString::fromLatin1(QTest::currentTestFunction()),
                                             QString::fromLatin1(QTest::currentDataTag()))});
    const bool ended = child.waitForFinished(120000);
    if (!ended)
        child.kill();
    *output = QString::fromLocal8Bit(child.readAll());
    return ended && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
}

// Sets this process's wall clock the given seconds off the real time.
bool setWallClockOffset(int seconds)
{
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    QFile file(qEnvironmentVariable(kClockFileVariable));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.write(QByteArray(seconds < 0 ? "" : "+") + QByteArray::number(seconds) + "\n");
    file.close();
    // The jump must be seen, or the test proves nothing.
    return qAbs(QDateTime::currentSecsSinceEpoch() - before - seconds) < 60;
}

} // namespace

// A row for each version of HTTP the client can speak with the backend.
QTestData &versionRow(const char *name, bool http2)
{
    return QTest::addRow("%s, %s", name, http2 ? "HTTP/2" : "HTTP/1.1") << http2;
}

class TestApiHost : public QObject
{
    Q_OBJECT
    BackendStandIn m_standIn;

    // Pins the version the stand-in offers. The shared manager's kept
    // connections are let go, so the next request negotiates afresh.
    void speak(bool http2)
    {
        m_standIn.setHttp2(http2);
        ApiHost::sharedManager()->clearConnectionCache();
    }

    // Every request the stand-in received came over that version.
    bool allSpoke(bool http2) const
    {
        const QByteArray version = http2 ? QByteArrayLiteral("HTTP/2") : QByteArrayLiteral("HTTP/1.1");
        const QList<StandInRequest> requests = m_standIn.requests();
        return std::all_of(requests.begin(), requests.end(),
                           [&version](const StandInRequest &r) { return r.version == version; });
    }

private slots:
    void initTestCase()
    {
        LogCapture::instance().install();
        KELVRA_START_STAND_IN(m_standIn);
    }

    void init()
    {
        resetStandIn(m_standIn);
        if (!m_standIn.isHttp2())
            speak(true); // what the client negotiates with a real backend
    }

    void buildFlavour()
    {
        QVERIFY(ApiHost::isStagingBuild());
        QCOMPARE(ApiHost::primaryHost(), QStringLiteral("testapi.kelvra.test"));
        QCOMPARE(ApiHost::backupHosts(),
                 QStringList({QStringLiteral("cdn1.testapi.kelvra.test"), QStringLiteral("cdn2.testapi.kelvra.test")}));
        QVERIFY(ApiHost::baseUrl().endsWith(QLatin1String("/api/")));
    }

    void onlyTheStandInIsTrusted()
    {
        ApiHost::sharedManager();
        const QList<QSslCertificate> trusted = QSslConfiguration::defaultConfiguration().caCertificates();
        QCOMPARE(trusted, QSslCertificate::fromData(BackendStandIn::caCertificatePem(), QSsl::Pem));

        // Its certificate does not name "localhost": the check stays on.
        NetworkManager manager;
        QSignalSpy finished(&manager, &NetworkManager::requestFinished);
        manager.request(QStringLiteral("https://localhost:%1/cdn-cgi/trace").arg(m_standIn.port()), QJsonObject(),
                        NetworkManager::GET, QString(), 4000, false);
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.at(0).at(1).toInt(), 0);
        QCOMPARE(finished.at(0).at(0).toByteArray(), QByteArray());
        QVERIFY(m_standIn.requestsTo(QStringLiteral("/cdn-cgi/trace")).isEmpty());
    }

    void primaryFailureMovesTraffic_data()
    {
        QTest::addColumn<bool>("http2");
        QTest::addColumn<NetworkManager::RequestType>("type");
        QTest::addColumn<StandInReply>("primaryReply");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<bool>("resent");
        QTest::addColumn<int>("backupIndexAfter");

        for (const bool http2 : {true, false}) {
            versionRow("GET refused", http2) << NetworkManager::GET << StandInReply::refuse() << 0 << true << 0;
            versionRow("POST refused", http2) << NetworkManager::POST << StandInReply::refuse() << 0 << true << 0;
            versionRow("GET portal page", http2) << NetworkManager::GET << StandInReply::captivePage() << 0 << true << 0;
            versionRow("POST portal page", http2) << NetworkManager::POST << StandInReply::captivePage() << 0 << true << 0;
            versionRow("GET timed out", http2) << NetworkManager::GET << StandInReply::stall() << 1000 << true << 0;
            versionRow("POST timed out", http2) << NetworkManager::POST << StandInReply::stall() << 1000 << false << 0;
            versionRow("GET dropped", http2) << NetworkManager::GET << StandInReply::drop() << 0 << true << 0;
            versionRow("POST dropped", http2) << NetworkManager::POST << StandInReply::drop() << 0 << false << 0;
            // No time-out of their own: the shared bound ends them.
            versionRow("GET unanswered", http2) << NetworkManager::GET << StandInReply::stall() << 0 << true << 0;
            versionRow("POST unanswered", http2) << NetworkManager::POST << StandInReply::stall() << 0 << false << 0;
            versionRow("GET server error", http2) << NetworkManager::GET << StandInReply::serverError(503) << 0 << false << -1;
            versionRow("POST refusal", http2) << NetworkManager::POST << StandInReply::error(422, QStringLiteral("no")) << 0
                                              << false << -1;
        }
    }

    void primaryFailureMovesTraffic()
    {
        QFETCH(bool, http2);
        QFETCH(NetworkManager::RequestType, type);
        QFETCH(StandInReply, primaryReply);
        QFETCH(int, timeoutMs);
        QFETCH(bool, resent);
        QFETCH(int, backupIndexAfter);
        ApiHost::Testing::setDefaultTransferTimeout(1500);
        auto restore = qScopeGuard([] { ApiHost::Testing::setDefaultTransferTimeout(ApiHost::kDefaultTransferTimeoutMs); });
        speak(http2);

        // Every try on the primary meets the failure (Qt itself tries a
        // dropped connection twice).
        m_standIn.script(kPrimary, QStringLiteral("probe/path"), primaryReply, -1);
        m_standIn.script(QString(), QStringLiteral("probe/path"), answerFrom(QStringLiteral("backup")), -1);

        const Outcome outcome = send(QStringLiteral("probe/path"), type, timeoutMs);
        QVERIFY(outcome.finished);
        QCOMPARE(ApiHost::backupIndex(), backupIndexAfter);
        QCOMPARE(LogCapture::instance().count(QStringLiteral("using the backup host for this run")),
                 backupIndexAfter == 0 ? 1 : 0);

        const QList<StandInRequest> requests = m_standIn.requestsTo(QStringLiteral("probe/path"));
        if (resent) {
            QCOMPARE(outcome.status, 200);
            QCOMPARE(answeredBy(outcome.body), QStringLiteral("backup"));
            QCOMPARE(requests.last().address, kBackup0);
            QCOMPARE(requests.last().host, QStringLiteral("cdn1.testapi.kelvra.test"));
        } else {
            // The client does not send it again. Over HTTP/1.1 Qt itself
            // sends a request again, up to three times, when a fresh
            // connection closes before any answer, a POST too; over HTTP/2 it
            // goes once. Either way every try went to the primary alone.
            QVERIFY(!requests.isEmpty());
            if (http2 || type == NetworkManager::GET || primaryReply.kind != StandInReply::Kind::Drop)
                QCOMPARE(requests.size(), 1);
            else
                QVERIFY(requests.size() <= 4);
            for (const StandInRequest &request : requests)
                QCOMPARE(request.address, kPrimary);
            QVERIFY(outcome.status == 0 || outcome.status >= 400);
        }
        if (backupIndexAfter == 0) {
            // The next request goes to the backup host straight away.
            m_standIn.clearRequests();
            QCOMPARE(send(QStringLiteral("probe/path"), NetworkManager::GET).status, 200);
            QCOMPARE(m_standIn.requestsTo(QStringLiteral("probe/path")).size(), 1);
            QCOMPARE(m_standIn.requestsTo(QStringLiteral("probe/path")).first().address, kBackup0);
        }
        QVERIFY(allSpoke(http2));
    }

    void failuresOnTheBackupAdvanceOnce()
    {
        m_standIn.script(kPrimary, QString(), StandInReply::refuse());
        m_standIn.script(QString(), QStringLiteral("one"), answerFrom(QStringLiteral("any")), -1);
        QCOMPARE(send(QStringLiteral("one"), NetworkManager::GET).status, 200);
        QCOMPARE(ApiHost::backupIndex(), 0);

        // Two requests on their way to backup 0 when it goes away.
        m_standIn.script(kBackup0, QString(), StandInReply::refuse());
        m_standIn.script(kBackup1, QStringLiteral("two"), answerFrom(kBackup1), -1);
        NetworkManager first;
        NetworkManager second;
        QSignalSpy firstDone(&first, &NetworkManager::requestFinished);
        QSignalSpy secondDone(&second, &NetworkManager::requestFinished);
        first.request(ApiHost::url(QStringLiteral("two")), QJsonObject(), NetworkManager::GET, QString(), 0, false);
        second.request(ApiHost::url(QStringLiteral("two")), QJsonObject(), NetworkManager::GET, QString(), 0, false);
        QTRY_COMPARE_WITH_TIMEOUT(firstDone.count() + secondDone.count(), 2, 30000);
        QCOMPARE(answeredBy(firstDone.at(0).at(0).toByteArray()), kBackup1);
        QCOMPARE(answeredBy(secondDone.at(0).at(0).toByteArray()), kBackup1);
        QCOMPARE(ApiHost::backupIndex(), 1);
        QCOMPARE(LogCapture::instance().count(QStringLiteral("didn't answer either")), 1);

        // The last backup failing too ends the request and returns to the primary.
        m_standIn.script(kBackup1, QString(), StandInReply::refuse());
        const Outcome outcome = send(QStringLiteral("three"), NetworkManager::GET);
        QVERIFY(outcome.finished);
        QCOMPARE(outcome.status, 0);
        QCOMPARE(ApiHost::backupIndex(), -1);
        QCOMPARE(LogCapture::instance().count(QStringLiteral("no backup host answered")), 1);
    }

    void primaryIsTriedAgainAfterTenMinutes()
    {
        m_standIn.script(kPrimary, QString(), StandInReply::refuse());
        m_standIn.script(QString(), QStringLiteral("ten"), answerFrom(QStringLiteral("any")), -1);
        QCOMPARE(send(QStringLiteral("ten"), NetworkManager::GET).status, 200);
        QCOMPARE(ApiHost::backupIndex(), 0);
        m_standIn.clearScripts();
        m_standIn.script(QString(), QStringLiteral("ten"), answerFrom(QStringLiteral("any")), -1);

        ApiHost::Testing::advanceClock(590000);
        m_standIn.clearRequests();
        QCOMPARE(send(QStringLiteral("ten"), NetworkManager::GET).status, 200);
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("ten")).first().address, kBackup0);
        QVERIFY(!LogCapture::instance().anyContains(QStringLiteral("10 min on the backup host")));

        ApiHost::Testing::advanceClock(10000);
        m_standIn.clearRequests();
        QCOMPARE(send(QStringLiteral("ten"), NetworkManager::GET).status, 200);
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("ten")).first().address, kPrimary);
        QCOMPARE(ApiHost::backupIndex(), -1);
        QCOMPARE(LogCapture::instance().count(QStringLiteral("API: 10 min on the backup host, trying testapi.kelvra.test again")), 1);
    }

    void failuresAfterATunnelChangeAreRetriedPerPath()
    {
        m_standIn.script(QString(), QStringLiteral("tunnel/"), StandInReply::drop(), -1);
        ApiHost::noteTunnelChange();

        QList<int> delays;
        for (int i = 0; i < 6; ++i) {
            QByteArray body;
            QNetworkReply *reply = finishedReply(ApiHost::url(QStringLiteral("tunnel/a")), NetworkManager::GET, &body);
            QCOMPARE(reply->error(), QNetworkReply::RemoteHostClosedError);
            QVERIFY(ApiHost::handleReply(reply, body));
            delays << ApiHost::retryDelayMs();
            reply->deleteLater();
        }
        QCOMPARE(delays, QList<int>({0, 500, 1000, 2000, 4000, 4000}));

        // Another path counts on its own.
        QByteArray body;
        QScopedPointer<QNetworkReply> other(
            finishedReply(ApiHost::url(QStringLiteral("tunnel/b")), NetworkManager::GET, &body));
        QVERIFY(ApiHost::handleReply(other.data(), body));
        QCOMPARE(ApiHost::retryDelayMs(), 0);

        // A POST is dropped, and nothing moves traffic.
        QScopedPointer<QNetworkReply> post(
            finishedReply(ApiHost::url(QStringLiteral("tunnel/a")), NetworkManager::POST, &body));
        QVERIFY(!ApiHost::handleReply(post.data(), body));
        QCOMPARE(ApiHost::backupIndex(), -1);
        QVERIFY(!LogCapture::instance().anyContains(QStringLiteral("using the backup host")));
        QVERIFY(LogCapture::instance().anyContains(QStringLiteral("failed across a tunnel change")));

        // A new tunnel generation counts afresh.
        ApiHost::noteTunnelChange();
        QScopedPointer<QNetworkReply> fresh(
            finishedReply(ApiHost::url(QStringLiteral("tunnel/a")), NetworkManager::GET, &body));
        QVERIFY(ApiHost::handleReply(fresh.data(), body));
        QCOMPARE(ApiHost::retryDelayMs(), 0);

        // Past the window the same failure is the host's.
        ApiHost::Testing::advanceClock(10000);
        QScopedPointer<QNetworkReply> late(
            finishedReply(ApiHost::url(QStringLiteral("tunnel/a")), NetworkManager::GET, &body));
        QVERIFY(ApiHost::handleReply(late.data(), body));
        QCOMPARE(ApiHost::backupIndex(), 0);
    }

    void requestCutByATunnelChange_data()
    {
        QTest::addColumn<NetworkManager::RequestType>("type");
        QTest::newRow("GET") << NetworkManager::GET;
        QTest::newRow("POST") << NetworkManager::POST;
    }

    void requestCutByATunnelChange()
    {
        QFETCH(NetworkManager::RequestType, type);
        m_standIn.script(QString(), QStringLiteral("cut"), StandInReply::stall(), -1);
        QNetworkRequest request{QUrl(ApiHost::url(QStringLiteral("cut")))};
        QScopedPointer<QNetworkReply> reply(type == NetworkManager::GET
                                                ? ApiHost::sharedManager()->get(request)
                                                : ApiHost::sharedManager()->post(request, QByteArray("{}")));
        QTRY_COMPARE_WITH_TIMEOUT(m_standIn.requestsTo(QStringLiteral("cut")).size(), 1, 20000);
        ApiHost::noteTunnelChange();
        reply->abort();
        LogCapture::instance().clear();
        QCOMPARE(ApiHost::handleReply(reply.data(), QByteArray()), type == NetworkManager::GET);
        QCOMPARE(ApiHost::retryDelayMs(), 0);
        QCOMPARE(ApiHost::backupIndex(), -1);
        QVERIFY(LogCapture::instance().lines().isEmpty());
    }

    void requestLayerRetriesAcrossATunnelChange()
    {
        m_standIn.script(kPrimary, QStringLiteral("again"), StandInReply::drop(), 2);
        m_standIn.script(kPrimary, QStringLiteral("again"), answerFrom(kPrimary));
        ApiHost::noteTunnelChange();
        const Outcome outcome = send(QStringLiteral("again"), NetworkManager::GET);
        QCOMPARE(outcome.status, 200);
        QCOMPARE(answeredBy(outcome.body), kPrimary);
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("again")).size(), 3);
        QCOMPARE(ApiHost::backupIndex(), -1);
    }

    void requestInFlightEndsAcrossATunnelChange_data()
    {
        QTest::addColumn<NetworkManager::RequestType>("type");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("tries");
        // A GET is sent again and answered; a POST ends without an answer.
        QTest::newRow("GET") << NetworkManager::GET << 200 << 2;
        QTest::newRow("POST") << NetworkManager::POST << 0 << 1;
    }

    void requestInFlightEndsAcrossATunnelChange()
    {
        QFETCH(NetworkManager::RequestType, type);
        QFETCH(int, status);
        QFETCH(int, tries);
        m_standIn.script(QString(), QStringLiteral("flight"), StandInReply::stall());
        m_standIn.script(QString(), QStringLiteral("flight"), answerFrom(kPrimary), -1);

        // No time-out of its own, like the profile, devices or sign-in requests.
        NetworkManager manager;
        QSignalSpy finished(&manager, &NetworkManager::requestFinished);
        QSignalSpy failed(&manager, &NetworkManager::requestFailed);
        manager.request(ApiHost::url(QStringLiteral("flight")), QJsonObject(), type, QString(), 0, false);
        QTRY_COMPARE_WITH_TIMEOUT(m_standIn.requestsTo(QStringLiteral("flight")).size(), 1, 20000);

        ApiHost::noteTunnelChange();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count() + failed.count(), 1, 20000);
        QCOMPARE(failed.count(), 0);
        QCOMPARE(finished.at(0).at(1).toInt(), status);
        if (status == 200)
            QCOMPARE(answeredBy(finished.at(0).at(0).toByteArray()), kPrimary);
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("flight")).size(), tries);
        QCOMPARE(ApiHost::backupIndex(), -1);
    }

    void periodsFollowElapsedTimeNotTheWallClock_data()
    {
        // "backup": the ten minutes on the backup hosts; "tunnel": the window
        // after a tunnel change in which failures are not the host's.
        QTest::addColumn<QString>("period");
        QTest::addColumn<qint64>("elapsedMs");
        QTest::addColumn<int>("wallClockOffsetS");
        QTest::addColumn<bool>("stillInPeriod");
        QTest::newRow("backup, clock set 11 min ahead") << "backup" << qint64(0) << 660 << true;
        QTest::newRow("backup, 10 min passed, clock set an hour back") << "backup" << qint64(600000) << -3600 << false;
        QTest::newRow("tunnel, clock set an hour ahead") << "tunnel" << qint64(0) << 3600 << true;
        QTest::newRow("tunnel, 10 s passed, clock set 5 s back") << "tunnel" << qint64(10000) << -5 << false;
    }

    void periodsFollowElapsedTimeNotTheWallClock()
    {
        if (TestEnvironment::underAddressSanitizer())
            QSKIP("libfaketime can't be preloaded ahead of AddressSanitizer's runtime");
        if (!inClockChild()) {
            QString output;
            QVERIFY2(passesWithAMovableWallClock(&output), qPrintable(output));
            return;
        }
        QFETCH(QString, period);
        QFETCH(qint64, elapsedMs);
        QFETCH(int, wallClockOffsetS);
        QFETCH(bool, stillInPeriod);
        const bool backup = period == QLatin1String("backup");
        if (backup) {
            m_standIn.script(kPrimary, QString(), StandInReply::refuse());
            m_standIn.script(QString(), QStringLiteral("clock"), answerFrom(QStringLiteral("any")), -1);
            QCOMPARE(send(QStringLiteral("clock"), NetworkManager::GET).status, 200);
            QCOMPARE(ApiHost::backupIndex(), 0);
            m_standIn.clearScripts();
            m_standIn.clearRequests();
        } else {
            m_standIn.script(kPrimary, QStringLiteral("clock"), StandInReply::stall());
            ApiHost::noteTunnelChange();
        }
        m_standIn.script(QString(), QStringLiteral("clock"), answerFrom(QStringLiteral("any")), -1);

        ApiHost::Testing::advanceClock(elapsedMs);
        QVERIFY(setWallClockOffset(wallClockOffsetS));
        QCOMPARE(send(QStringLiteral("clock"), NetworkManager::GET, 1000).status, 200);
        if (backup) {
            QCOMPARE(m_standIn.requestsTo(QStringLiteral("clock")).first().address, stillInPeriod ? kBackup0 : kPrimary);
            QCOMPARE(LogCapture::instance().count(QStringLiteral("10 min on the backup host")), stillInPeriod ? 0 : 1);
        } else {
            // Inside the window the stalled GET is tried on the primary again;
            // outside it, the failure moves traffic to the backups.
            QCOMPARE(LogCapture::instance().anyContains(QStringLiteral("failed across a tunnel change")), stillInPeriod);
            QCOMPARE(ApiHost::backupIndex(), stillInPeriod ? -1 : 0);
        }
    }

    void filterSimulationHosts_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("staging");
        QTest::addColumn<QStringList>("hosts");
        const QString primary = QStringLiteral("testapi.kelvra.test");
        const QString cdn1 = QStringLiteral("cdn1.testapi.kelvra.test");
        const QString cdn2 = QStringLiteral("cdn2.testapi.kelvra.test");
        QTest::newRow("unset") << QString() << true << QStringList();
        QTest::newRow("any value") << QStringLiteral("1") << true << QStringList{primary};
        QTest::newRow("backup") << QStringLiteral("backup") << true << QStringList{primary, cdn1};
        QTest::newRow("all") << QStringLiteral("all") << true << QStringList{primary, cdn1, cdn2};
        QTest::newRow("production build") << QStringLiteral("all") << false << QStringList();
    }

    void filterSimulationHosts()
    {
        QFETCH(QString, value);
        QFETCH(bool, staging);
        QFETCH(QStringList, hosts);
        QCOMPARE(ApiHost::simulatedFilteredHosts(value, staging), hosts);
    }

    void filteredHostsAreSkipped()
    {
        qputenv("KELVRA_SIMULATE_FILTERED", "backup");
        ApiHost::Testing::resetHostState();
        auto unset = qScopeGuard([] {
            qunsetenv("KELVRA_SIMULATE_FILTERED");
            ApiHost::Testing::resetHostState();
        });
        m_standIn.script(QString(), QStringLiteral("filtered"), answerFrom(QStringLiteral("any")), -1);
        const Outcome outcome = send(QStringLiteral("filtered"), NetworkManager::GET);
        QCOMPARE(outcome.status, 200);
        QCOMPARE(ApiHost::backupIndex(), 1);
        const QList<StandInRequest> requests = m_standIn.requestsTo(QStringLiteral("filtered"));
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.first().address, kBackup1);
    }

    void requestsAreStamped()
    {
        m_standIn.script(QString(), QStringLiteral("stamp"), StandInReply::status(302, QByteArray(),
                                                                                  {{"Location", "https://example.com/"}}));
        const Outcome outcome = send(QStringLiteral("stamp"), NetworkManager::POST, 0, QStringLiteral("5|abc"));
        // API redirects are never followed: the owner gets the 302 itself.
        QCOMPARE(outcome.status, 302);
        const StandInRequest request = m_standIn.requestsTo(QStringLiteral("stamp")).first();
        QCOMPARE(request.header("X-App-Version"), QByteArray(KELVRA_VERSION));
        QCOMPARE(request.header("X-Platform"), QByteArray("windows"));
        QCOMPARE(request.header("Accept"), QByteArray("application/json"));
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(request.header("Authorization"), QByteArray("Bearer 5|abc"));
        QCOMPARE(request.body, QByteArray("{\"k\":1}"));

        // Off the API base: no version or platform header.
        NetworkManager probe;
        QSignalSpy finished(&probe, &NetworkManager::requestFinished);
        probe.request(QStringLiteral("https://127.0.0.1:%1/cdn-cgi/trace").arg(m_standIn.port()), QJsonObject(),
                      NetworkManager::GET, QString(), 4000, false);
        QVERIFY(finished.wait(20000));
        const StandInRequest trace = m_standIn.requestsTo(QStringLiteral("/cdn-cgi/trace")).first();
        QVERIFY(!trace.hasHeader("X-App-Version"));
        QVERIFY(!trace.hasHeader("X-Platform"));
        QVERIFY(!trace.hasHeader("Authorization"));
    }

    void oversizedAnswerIsCutOff()
    {
        NetworkManager::setMaxAnswerBytesForTesting(1024 * 1024);
        auto restore = qScopeGuard([] { NetworkManager::setMaxAnswerBytesForTesting(NetworkManager::kMaxAnswerBytes); });
        QByteArray huge = "{\"success\":true,\"data\":\"";
        huge += QByteArray(4 * 1024 * 1024, 'a');
        huge += "\"}";
        m_standIn.script(QString(), QStringLiteral("big"), StandInReply::status(200, huge), -1);
        const Outcome outcome = send(QStringLiteral("big"), NetworkManager::GET);
        QVERIFY(outcome.finished);
        QCOMPARE(outcome.body, QByteArray());
        QCOMPARE(outcome.status, 200);
        QCOMPARE(ApiHost::backupIndex(), -1);
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("big")).size(), 1);
    }

    void certificatesTheClientMustRefuse_data()
    {
        QTest::addColumn<bool>("http2");
        QTest::addColumn<BackendStandIn::TlsFault>("fault");
        for (const bool http2 : {true, false}) {
            versionRow("made for another name", http2) << BackendStandIn::TlsFault::WrongName;
            versionRow("expired", http2) << BackendStandIn::TlsFault::Expired;
            versionRow("unknown authority", http2) << BackendStandIn::TlsFault::UnknownAuthority;
        }
    }

    void certificatesTheClientMustRefuse()
    {
        QFETCH(bool, http2);
        QFETCH(BackendStandIn::TlsFault, fault);
        speak(http2);
        m_standIn.script(QString(), QStringLiteral("tls"), answerFrom(QStringLiteral("backup")), -1);

        // The primary presents it: the request moves to the backup host, and
        // nothing was ever sent over the refused connection.
        m_standIn.setTlsFault(QHostAddress(kPrimary), fault);
        Outcome outcome = send(QStringLiteral("tls"), NetworkManager::POST);
        QCOMPARE(outcome.status, 200);
        QCOMPARE(answeredBy(outcome.body), QStringLiteral("backup"));
        QCOMPARE(ApiHost::backupIndex(), 0);
        QList<StandInRequest> requests = m_standIn.requestsTo(QStringLiteral("tls"));
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.first().address, kBackup0);
        QVERIFY(allSpoke(http2));

        // Every host presents it: the request fails, and no byte of it
        // reached any of them.
        m_standIn.clearRequests();
        ApiHost::Testing::resetHostState();
        for (const QHostAddress &address : BackendStandIn::defaultAddresses())
            m_standIn.setTlsFault(address, fault);
        outcome = send(QStringLiteral("tls"), NetworkManager::GET);
        QVERIFY(outcome.finished);
        QCOMPARE(outcome.status, 0);
        QCOMPARE(outcome.body, QByteArray());
        QVERIFY(m_standIn.requests().isEmpty());
        QCOMPARE(ApiHost::backupIndex(), -1);
    }

    void brokenTransfers_data()
    {
        const QByteArray whole = QJsonDocument(QJsonObject{{QStringLiteral("success"), true},
                                                           {QStringLiteral("data"), QString(4000, QLatin1Char('x'))}})
                                     .toJson(QJsonDocument::Compact);
        QTest::addColumn<bool>("http2");
        QTest::addColumn<StandInReply>("reply");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("complete");
        QTest::addColumn<int>("withinMs");
        QTest::addColumn<bool>("primaryOnly");

        const StandInReply ok = StandInReply::status(200, whole);
        for (const bool http2 : {true, false}) {
            // What came is never taken for the whole answer.
            versionRow("body cut off", http2) << ok.cutAfter(whole.size() / 2) << 0 << 200 << false << 10000 << false;
            versionRow("reset after the head", http2) << ok.resetAfterHeaders() << 0 << 200 << false << 10000 << true;
            // Slower than the time-out between two pieces: the time-out ends it.
            versionRow("drip slower than the time-out", http2) << ok.dripped(64, 1500) << 1000 << 200 << false << 10000 << true;
            // Each piece inside the time-out, but the whole would take half an
            // hour: a trickle is given up too.
            versionRow("drip under the least rate", http2) << ok.dripped(4, 400) << 1000 << 200 << false << 10000 << true;
            // A slow but real transfer is not cut.
            versionRow("slow but steady", http2) << ok.dripped(1100, 500) << 1000 << 200 << true << 10000 << true;
            // The answer's content type is not what decides: its body is.
            versionRow("JSON labelled as a web page", http2)
                << StandInReply::status(200, whole, {{"Content-Type", "text/html; charset=utf-8"}}) << 0 << 200 << true
                << 10000 << true;
        }
    }

    void brokenTransfers()
    {
        QFETCH(bool, http2);
        QFETCH(StandInReply, reply);
        QFETCH(int, timeoutMs);
        QFETCH(int, status);
        QFETCH(bool, complete);
        QFETCH(int, withinMs);
        QFETCH(bool, primaryOnly);
        speak(http2);
        m_standIn.script(QString(), QStringLiteral("transfer"), reply, -1);

        QElapsedTimer clock;
        clock.start();
        const Outcome outcome = send(QStringLiteral("transfer"), NetworkManager::GET, timeoutMs);
        QVERIFY(outcome.finished);
        QVERIFY2(clock.elapsed() < withinMs, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(outcome.status, status);
        QCOMPARE(outcome.body == reply.body, complete);
        if (!complete)
            QVERIFY(QJsonDocument::fromJson(outcome.body).isNull());
        // Traffic ends on the primary. A head with its status is an answer:
        // no other host is tried. A body cut short is a connection that
        // closed, reported as no answer (over HTTP/1.1 after Qt has sent the
        // GET again itself; over HTTP/2 at once), so the backups are tried
        // and traffic comes back. The client's outcome is the same.
        QCOMPARE(ApiHost::backupIndex(), -1);
        if (primaryOnly) {
            const QList<StandInRequest> requests = m_standIn.requestsTo(QStringLiteral("transfer"));
            for (const StandInRequest &request : requests)
                QCOMPARE(request.address, kPrimary);
        }
        QVERIFY(allSpoke(http2));
    }

    void webPageLabelledAsJsonIsNotTheApi_data()
    {
        QTest::addColumn<bool>("http2");
        versionRow("block page on the primary", true);
        versionRow("block page on the primary", false);
    }

    void webPageLabelledAsJsonIsNotTheApi()
    {
        QFETCH(bool, http2);
        speak(http2);
        m_standIn.script(kPrimary, QStringLiteral("label"),
                         StandInReply::status(200, "<html><body>Blocked</body></html>",
                                              {{"Content-Type", "application/json"}}),
                         -1);
        m_standIn.script(QString(), QStringLiteral("label"), answerFrom(QStringLiteral("backup")), -1);
        const Outcome outcome = send(QStringLiteral("label"), NetworkManager::GET);
        QCOMPARE(answeredBy(outcome.body), QStringLiteral("backup"));
        QCOMPARE(ApiHost::backupIndex(), 0);
        QVERIFY(allSpoke(http2));
    }

    void unknownHostFailsTheRequest()
    {
        NetworkManager manager;
        QSignalSpy failed(&manager, &NetworkManager::requestFailed);
        QSignalSpy finished(&manager, &NetworkManager::requestFinished);
        manager.request(QStringLiteral("https://nowhere.invalid/x"), QJsonObject(), NetworkManager::GET, QString(), 0,
                        false);
        QVERIFY(failed.wait(30000));
        QCOMPARE(finished.count(), 0);
        QVERIFY(LogCapture::instance().anyContains(QStringLiteral("Request failed:")));
    }
};

KELVRA_API_TEST_MAIN(TestApiHost, QCoreApplication)
#include "tst_apihost.moc"
