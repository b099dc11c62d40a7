#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include "api/AuthGuard.h"
#include "api/LimitGuard.h"
#include "api/NetworkManager.h"
#include "tests/api/ApiTestSupport.h"

using namespace ApiTestSupport;

namespace {

QJsonArray threeDevices()
{
    QJsonArray devices;
    for (const char *model : {"Pixel 8", "ThinkPad X1", "iPad"}) {
        devices.append(QJsonObject{{QStringLiteral("device_os"), QStringLiteral("android")},
                                   {QStringLiteral("device_model"), QString::fromLatin1(model)},
                                   {QStringLiteral("device_brand"), QStringLiteral("Brand")},
                                   {QStringLiteral("vpn_type"), QStringLiteral("wireguard")},
                                   {QStringLiteral("last_seen"), QStringLiteral("2026-12-01T10:00:00Z")}});
    }
    return devices;
}

} // namespace

class TestSessionGuards : public QObject
{
    Q_OBJECT
    BackendStandIn m_standIn;

private slots:
    void initTestCase()
    {
        useOwnCredentialService("sessionguards");
        KELVRA_START_STAND_IN(m_standIn);
    }

    void init()
    {
        resetStandIn(m_standIn);
    }

    void limitRefusals_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("refusal");
        QTest::addColumn<int>("deviceLimitSignals");
        QTest::addColumn<int>("connectedDevices");

        QTest::newRow("ordinary answer") << QByteArray(R"({"success":true,"data":{"id":5}})") << false << 0 << -1;
        QTest::newRow("code elsewhere, no error object")
            << QByteArray(R"({"success":true,"data":{"port":99999,"note":"99998"}})") << false << 0 << -1;
        QTest::newRow("device limit")
            << QByteArray(R"({"success":false,"error":{"message":"Too many devices","code":99999}})") << true << 1 << -1;
        QTest::newRow("connection limit with devices")
            << QJsonDocument(QJsonObject{{QStringLiteral("success"), false},
                                         {QStringLiteral("error"), QJsonObject{{QStringLiteral("message"),
                                                                                 QStringLiteral("Too many connected")},
                                                                                {QStringLiteral("code"), 99998}}},
                                         {QStringLiteral("data"),
                                          QJsonObject{{QStringLiteral("connected_devices"), threeDevices()}}}})
                   .toJson(QJsonDocument::Compact)
            << true << 0 << 3;
        QTest::newRow("connection limit without devices")
            << QByteArray(R"({"error":{"message":"Too many connected","code":99998}})") << true << 0 << 0;
        QTest::newRow("devices of the wrong type")
            << QByteArray(R"({"error":{"code":99998},"data":{"connected_devices":"many"}})") << true << 0 << 0;
        QTest::newRow("code as text") << QByteArray(R"({"error":{"message":"x","code":"99999"}})") << false << 0 << -1;
        QTest::newRow("not JSON") << QByteArray("<html>error 99999</html>") << false << 0 << -1;
        QTest::newRow("truncated") << QByteArray(R"({"error":{"message":"x","code":9999)") << false << 0 << -1;
        QTest::newRow("error of the wrong type") << QByteArray(R"({"error":[99999]})") << false << 0 << -1;
    }

    void limitRefusals()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, refusal);
        QFETCH(int, deviceLimitSignals);
        QFETCH(int, connectedDevices);
        LimitGuard *guard = LimitGuard::instance();
        QSignalSpy deviceLimit(guard, &LimitGuard::deviceLimitReached);
        QSignalSpy connectionLimit(guard, &LimitGuard::connectionLimitReached);
        QCOMPARE(guard->check(body), refusal);
        QCOMPARE(deviceLimit.count(), deviceLimitSignals);
        QCOMPARE(connectionLimit.count(), connectedDevices < 0 ? 0 : 1);
        if (connectedDevices >= 0)
            QCOMPARE(connectionLimit.at(0).at(1).toList().size(), connectedDevices);
    }

    void connectionLimitStillReachesTheOwner()
    {
        m_standIn.script(QString(), QStringLiteral("client/configuration/"),
                         StandInReply::connectionLimit(threeDevices()));
        NetworkManager request;
        QSignalSpy finished(&request, &NetworkManager::requestFinished);
        QSignalSpy limit(LimitGuard::instance(), &LimitGuard::connectionLimitReached);
        request.request(ApiHost::url(QStringLiteral("client/configuration/de-1")), QJsonObject(), NetworkManager::GET,
                        QStringLiteral("3|abc"), 0, true);
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.at(0).at(1).toInt(), 409);
        QCOMPARE(limit.count(), 1);
        const QVariantList devices = limit.at(0).at(1).toList();
        QCOMPARE(devices.size(), 3);
        QCOMPARE(devices.at(1).toMap().value(QStringLiteral("device_model")).toString(), QStringLiteral("ThinkPad X1"));
    }

    void unauthorizedEndsOnlyTheSessionInUse_data()
    {
        QTest::addColumn<QString>("current");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<bool>("watched");
        QTest::addColumn<bool>("signsOut");
        QTest::newRow("session in use") << QStringLiteral("4|current") << QStringLiteral("4|current") << true << true;
        QTest::newRow("replaced session") << QStringLiteral("5|newer") << QStringLiteral("4|current") << true << false;
        QTest::newRow("signed out") << QString() << QStringLiteral("4|current") << true << false;
        QTest::newRow("prefix of the session") << QStringLiteral("4|current") << QStringLiteral("4|curren") << true
                                               << false;
        QTest::newRow("not watched") << QStringLiteral("4|current") << QStringLiteral("4|current") << false << false;
    }

    void unauthorizedEndsOnlyTheSessionInUse()
    {
        QFETCH(QString, current);
        QFETCH(QString, sent);
        QFETCH(bool, watched);
        QFETCH(bool, signsOut);
        forgetCredentials(QStringLiteral("ada@example.com"));
        if (!current.isEmpty())
            TokenManager::instance()->storeCredentials(QStringLiteral("ada@example.com"), current);

        m_standIn.script(QString(), QStringLiteral("me"), StandInReply::unauthorized());
        NetworkManager request;
        QSignalSpy finished(&request, &NetworkManager::requestFinished);
        QSignalSpy unauthorized(AuthGuard::instance(), &AuthGuard::unauthorized);
        request.request(ApiHost::url(QStringLiteral("me")), QJsonObject(), NetworkManager::GET, sent, 0, watched);
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.at(0).at(1).toInt(), 401);
        QCOMPARE(unauthorized.count(), signsOut ? 1 : 0);
        QCOMPARE(LogCapture::instance().anyContains(QStringLiteral("401 on a request with another session's token: not a logout")),
                 watched && !signsOut);
    }

    void newSignInDuringTheRequestIsKept()
    {
        forgetCredentials(QStringLiteral("ada@example.com"));
        TokenManager::instance()->storeCredentials(QStringLiteral("ada@example.com"), QStringLiteral("4|old"));
        m_standIn.script(QString(), QStringLiteral("me"), StandInReply::unauthorized().delayed(300));
        NetworkManager request;
        QSignalSpy finished(&request, &NetworkManager::requestFinished);
        QSignalSpy unauthorized(AuthGuard::instance(), &AuthGuard::unauthorized);
        request.request(ApiHost::url(QStringLiteral("me")), QJsonObject(), NetworkManager::GET, QStringLiteral("4|old"),
                        0, true);
        TokenManager::instance()->storeCredentials(QStringLiteral("bob@example.com"), QStringLiteral("6|new"));
        QVERIFY(finished.wait(20000));
        QCOMPARE(finished.at(0).at(1).toInt(), 401);
        QCOMPARE(unauthorized.count(), 0);
        QCOMPARE(TokenManager::instance()->getToken(), QStringLiteral("6|new"));
        forgetCredentials(QStringLiteral("bob@example.com"));
    }
};

KELVRA_API_TEST_MAIN(TestSessionGuards, QCoreApplication)
#include "tst_sessionguards.moc"
