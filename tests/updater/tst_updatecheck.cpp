#include <QSignalSpy>
#include <QTest>

#include "../api/ApiTestSupport.h"
#include "app/CoreController.h"
#include "app/Settings.h"
#include "updater/UpdateCheckAnswer.h"
#include "updater/Updater.h"

// The version check: what the backend's answer means to the client (a table
// of answers, straight into the controller's answer handling), and the
// request it sends to the stand-in.
class TestUpdateCheck : public QObject
{
    Q_OBJECT

    BackendStandIn m_backend;

private slots:
    void initTestCase()
    {
        ApiTestSupport::useOwnCredentialService("updatecheck");
        QVERIFY(ApiTestSupport::startStandIn(m_backend));
    }

    void init() { ApiTestSupport::resetStandIn(m_backend); }

    void answers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("outcome"); // "update", "none", "retry"
        QTest::addColumn<QString>("logLine");

        QTest::newRow("flag true") << 200 << QByteArray("{\"update_available\":true,\"installer_url\":\"https://x/a.exe\",\"sha256\":\"ab\","
                                              "\"download_url\":\"https://d\",\"update_type\":\"mandatory\","
                                              "\"latest_version\":\"3.8.0\"}")
                                   << "update" << "Update offered: 3.8.0 mandatory in-app";
        QTest::newRow("flag false, any message") << 200 << QByteArray(R"({"update_available":false,"message":"?"})")
                                                 << "none" << "";
        QTest::newRow("no flag, 'Update available.'") << 200 << QByteArray(R"({"message":"Update available."})")
                                                      << "update" << "no installer link";
        QTest::newRow("no flag, 'No updates available.'") << 200 << QByteArray(R"({"message":"No updates available."})")
                                                          << "none" << "";
        QTest::newRow("no flag, another message") << 200 << QByteArray(R"({"message":"Soon!"})") << "none"
                                                  << "Update check: unrecognised response payload, message: Soon!";
        QTest::newRow("message in other case") << 200 << QByteArray(R"({"message":"update available."})") << "none"
                                               << "unrecognised response payload";
        QTest::newRow("flag as a string") << 200 << QByteArray(R"({"update_available":"true"})") << "none"
                                          << "unrecognised response payload";
        QTest::newRow("404") << 404 << QByteArray("{}") << "none"
                             << "Update check: no version information available (404)";
        QTest::newRow("422 with body") << 422 << QByteArray("bad request") << "none"
                                       << "Update check rejected by server: status 422 body: bad request";
        QTest::newRow("403, body cut at 200 characters")
            << 403 << QByteArray(200, 'a') + QByteArray(100, 'b') << "none"
            << QStringLiteral("Update check rejected by server: status 403 body: ") + QString(200, u'a');
        QTest::newRow("500") << 500 << QByteArray("{}") << "retry" << "Update check failed: status 500";
        QTest::newRow("no HTTP answer") << 0 << QByteArray() << "retry" << "Update check failed: status 0";
        QTest::newRow("not JSON") << 200 << QByteArray("<html>captive</html>") << "retry" << "parse:";
        QTest::newRow("JSON array") << 200 << QByteArray("[1,2]") << "none" << "unrecognised response payload";
        QTest::newRow("fields of the wrong type")
            << 200 << QByteArray(R"({"update_available":true,"installer_url":5,"sha256":[],"setup_size":-3})")
            << "update" << "no installer link";
    }
    void answers()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, outcome);
        QFETCH(QString, logLine);
        auto settings = QSharedPointer<Settings>::create();
        CoreController core(nullptr, nullptr, settings);
        QSignalSpy available(&core, &CoreController::updateAvailable);
        QSignalSpy none(&core, &CoreController::noUpdateAvailable);
        QSignalSpy retry(&core, &CoreController::errorOccurred);
        QSignalSpy state(&core, &CoreController::updateStateChanged);
        LogCapture log;
        core.parseResponse(body, status);
        QCOMPARE(available.size(), outcome == QLatin1String("update") ? 1 : 0);
        QCOMPARE(none.size(), outcome == QLatin1String("none") ? 1 : 0);
        QCOMPARE(retry.size(), outcome == QLatin1String("retry") ? 1 : 0);
        QCOMPARE(core.isUpdateAvailable(), outcome == QLatin1String("update"));
        QCOMPARE(state.size(), outcome == QLatin1String("update") ? 1 : 0);
        if (!logLine.isEmpty())
            QVERIFY2(log.contains(logLine), qPrintable(log.all()));
        else
            QVERIFY2(!log.contains(QStringLiteral("unrecognised")), qPrintable(log.all()));
        QVERIFY(!log.contains(QString(200, u'a') + QLatin1Char('b'))); // the rest of a long body stays out
    }

    void offeredUpdateCarriesItsLinks()
    {
        auto settings = QSharedPointer<Settings>::create();
        CoreController core(nullptr, nullptr, settings);
        QSignalSpy available(&core, &CoreController::updateAvailable);
        core.parseResponse("{\"update_available\":true,\"download_url\":\"https://d\",\"update_type\":\"mandatory\","
                           "\"installer_url\":\"https://i/a.exe\",\"sha256\":\"AB\","
                           "\"setup_url\":\"https://s/Kelvra Setup.exe\",\"setup_sha256\":\"CD\",\"setup_size\":1234}",
                           200);
        QCOMPARE(available.size(), 1);
        QCOMPARE(available.first(), (QVariantList{QStringLiteral("https://d"), QStringLiteral("mandatory"),
                                                  QStringLiteral("https://i/a.exe"), QStringLiteral("AB")}));
        QCOMPARE(core.updater()->setupUrl(), QStringLiteral("https://s/Kelvra Setup.exe"));

        // A later answer without an update clears the state.
        QSignalSpy state(&core, &CoreController::updateStateChanged);
        core.parseResponse(R"({"update_available":false})", 200);
        QCOMPARE(state.size(), 1);
        QVERIFY(!core.isUpdateAvailable());
    }

    void failedCheckIsRetriedAndAnswerStopsTheRetry()
    {
        auto settings = QSharedPointer<Settings>::create();
        CoreController core(nullptr, nullptr, settings);
        m_backend.updates().setRawAnswer(503, "{}");
        QSignalSpy retry(&core, &CoreController::errorOccurred);
        core.checkUpdates();
        QTRY_COMPARE(retry.size(), 1);
        m_backend.updates().offer(QStringLiteral("Kelvra-3.7.9-setup.exe"), "bytes");
        QSignalSpy available(&core, &CoreController::updateAvailable);
        core.checkUpdates();
        QTRY_COMPARE(available.size(), 1);
        QCOMPARE(available.first().at(2).toString(), m_backend.updates().linkFor(QStringLiteral("Kelvra-3.7.9-setup.exe")));
        QCOMPARE(available.first().at(3).toString(),
                 QString::fromLatin1(QCryptographicHash::hash("bytes", QCryptographicHash::Sha256).toHex()));

        const QList<StandInRequest> sent = m_backend.requestsTo(QStringLiteral("app-version-check"));
        QVERIFY(!sent.isEmpty());
        const QJsonObject body = sent.last().json();
        QCOMPARE(sent.last().method, QByteArray("POST"));
        QCOMPARE(body.value(QLatin1String("current_version")).toString(), QStringLiteral(KELVRA_VERSION));
        QCOMPARE(body.value(QLatin1String("type")).toString(), QStringLiteral("desktop"));
        QCOMPARE(body.value(QLatin1String("current_os")).toString(), QStringLiteral("windows"));
        QVERIFY(!body.value(QLatin1String("machine_arch")).toString().isEmpty());
        QVERIFY(sent.last().bearerToken().isEmpty()); // not signed in
    }

    // The answer reader takes any bytes: what the fuzz target feeds it.
    void anyBytesAreReadWithoutHarm_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("deep nesting") << QByteArray(100000, '[');
        QTest::newRow("NUL bytes") << QByteArray("{\"message\":\"a\0b\"}", 17);
        QTest::newRow("huge size") << QByteArray(R"({"update_available":true,"setup_size":1e300})");
        QTest::newRow("invalid UTF-8") << QByteArray("{\"message\":\"\xff\xfe\"}");
    }
    void anyBytesAreReadWithoutHarm()
    {
        QFETCH(QByteArray, bytes);
        const UpdateCheckAnswer answer = UpdateCheckAnswer::parse(bytes, 200);
        QVERIFY(answer.setupSize >= 0);
    }
};

QTEST_MAIN(TestUpdateCheck)
#include "tst_updatecheck.moc"
