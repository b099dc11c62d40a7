#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include "account/ConnectedDevicesModel.h"
#include "account/LogoutManager.h"
#include "account/UserManager.h"
#include "tests/api/ApiTestSupport.h"

using namespace ApiTestSupport;

namespace {
const QString kEmail = QStringLiteral("grace@example.com");

QVariant roleOf(const ConnectedDevicesModel &model, int row, const char *role)
{
    return model.data(model.index(row), model.roleNames().key(role));
}

// Fills the model from a device list the stand-in answers with.
bool fetchListed(BackendStandIn &standIn, ConnectedDevicesModel &model, const QJsonArray &list)
{
    standIn.script(QString(), QStringLiteral("connected-device"),
                   StandInReply::json(200, QJsonObject{{QStringLiteral("success"), true},
                                                       {QStringLiteral("data"), QJsonArray() << list}}));
    QSignalSpy changed(&model, &ConnectedDevicesModel::countChanged);
    model.fetchDevices();
    return changed.wait(20000);
}
} // namespace

// Signing out, the device list and the profile of a signed-in account.
class TestAccountSession : public QObject
{
    Q_OBJECT
    BackendStandIn m_standIn;
    QString m_token;

    void signIn()
    {
        m_token = m_standIn.issueToken(kEmail);
        QVERIFY(!m_token.isEmpty());
        QVERIFY(storeAsEarlierRun(kEmail, m_token));
        UserManager::setState(UserManager::SignedIn);
    }

private slots:
    void initTestCase()
    {
        useOwnCredentialService("accountsession");
        KELVRA_START_STAND_IN(m_standIn);
        // Every test signs in as one more device.
        m_standIn.setDeviceLimit(0);
        UserManager::setProbeUrlForTesting(QStringLiteral("https://127.0.0.1:%1/cdn-cgi/trace").arg(m_standIn.port()));
        UserManager::setProbeRetryDelayForTesting(200);
    }

    void init()
    {
        resetStandIn(m_standIn);
        forgetCredentials(kEmail);
        signIn();
    }

    void signingOutTwiceSendsOneRequest()
    {
        LogoutManager logout;
        QSignalSpy done(&logout, &LogoutManager::logout);
        logout.authenticate(QJsonObject());
        logout.authenticate(QJsonObject());
        QCOMPARE(UserManager::state(), UserManager::SignedOut);
        QVERIFY(done.wait(20000));
        QCOMPARE(done.count(), 1);
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("auth/logout")).size(), 1);
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("auth/logout")).first().bearerToken(), m_token);
        QVERIFY(!m_standIn.isTokenValid(m_token));
        const auto stored = readStored();
        QCOMPARE(stored.first, QString());
        QCOMPARE(stored.second, QString());

        // Signed out already: no request, the page still hears about it.
        logout.authenticate(QJsonObject());
        QCOMPARE(done.count(), 2);
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("auth/logout")).size(), 1);
    }

    void forcedSignOutDuringASignOutDoesNothingMore()
    {
        m_standIn.script(QString(), QStringLiteral("auth/logout"),
                         StandInReply::json(200, QJsonObject{{QStringLiteral("success"), true}}).delayed(400));
        LogoutManager logout;
        QSignalSpy done(&logout, &LogoutManager::logout);
        logout.authenticate(QJsonObject());
        logout.forceLogout();
        QCOMPARE(done.count(), 0);
        QVERIFY(done.wait(20000));
        QCOMPARE(done.count(), 1);
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("auth/logout")).size(), 1);
    }

    void signOutWithoutAnAnswerStillSignsOut()
    {
        m_standIn.script(QString(), QString(), StandInReply::refuse());
        LogoutManager logout;
        QSignalSpy done(&logout, &LogoutManager::logout);
        logout.authenticate(QJsonObject());
        QVERIFY(done.wait(30000));
        QCOMPARE(UserManager::state(), UserManager::SignedOut);
        QCOMPARE(readStored().second, QString());
    }

    void forcedSignOutSendsNothing()
    {
        LogoutManager logout;
        QSignalSpy done(&logout, &LogoutManager::logout);
        logout.forceLogout();
        QCOMPARE(done.count(), 1);
        QCOMPARE(UserManager::state(), UserManager::SignedOut);
        QCOMPARE(readStored().second, QString());
        // Nobody signed in any more: nothing to do.
        logout.forceLogout();
        QCOMPARE(done.count(), 1);
        QVERIFY(m_standIn.requestsTo(QStringLiteral("auth/logout")).isEmpty());
    }

    void devicesListThisOneFirst()
    {
        m_standIn.addDevice(kEmail);
        m_standIn.addDevice(kEmail, QJsonObject(), true);
        ConnectedDevicesModel model;
        QSignalSpy changed(&model, &ConnectedDevicesModel::countChanged);
        model.fetchDevices();
        QVERIFY(changed.wait(20000));
        QVERIFY(model.count() >= 3);
        QCOMPARE(model.count(), m_standIn.devices(kEmail).size());
        QVERIFY(roleOf(model, 0, "device_is_current").toBool());
        for (int row = 1; row < model.count(); ++row)
            QVERIFY(!roleOf(model, row, "device_is_current").toBool());

        // Removing another device.
        const QString other = roleOf(model, 1, "device_Uuid").toString();
        const int before = model.count();
        model.removeDevice(other);
        QVERIFY(changed.wait(20000));
        QCOMPARE(model.count(), before - 1);
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("remove-device")).last().header("x-device-id"), other.toUtf8());
        QCOMPARE(m_standIn.devices(kEmail).size(), before - 1);

        model.removeDevice(QStringLiteral("no-such-device"));
        QVERIFY(LogCapture::instance().anyContains(QStringLiteral("Couldn't get device")));
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("remove-device")).size(), 1);
    }

    void currentDeviceFoundByTokenId()
    {
        const qint64 id = ConnectedDevicesModel::tokenId(m_token);
        QVERIFY(id > 0);
        const QJsonArray list{
            QJsonObject{{QStringLiteral("device_uuid"), QStringLiteral("a")}, {QStringLiteral("access_token_id"), id + 1}},
            QStringLiteral("not a device"),
            QJsonObject{{QStringLiteral("device_uuid"), QStringLiteral("b")}, {QStringLiteral("access_token_id"), id},
                        {QStringLiteral("counts_toward_limit"), false}},
            QJsonObject{{QStringLiteral("device_uuid"), QStringLiteral("a")}, {QStringLiteral("access_token_id"), id + 1}},
            QJsonObject{{QStringLiteral("device_uuid"), QStringLiteral("c")}, {QStringLiteral("device_os"), 7}},
        };
        ConnectedDevicesModel model;
        QVERIFY(fetchListed(m_standIn, model, list));
        QCOMPARE(model.count(), 3);
        QCOMPARE(roleOf(model, 0, "device_Uuid").toString(), QStringLiteral("b"));
        QVERIFY(roleOf(model, 0, "device_is_current").toBool());
        QCOMPARE(model.countedCount(), 2);
    }

    void duplicateAndMissingDeviceIds_data()
    {
        QTest::addColumn<QJsonArray>("list");
        // Each row as "id:os", this device first when there is one.
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<int>("currentRows");
        auto device = [](const QString &id, const QString &os, bool current) {
            QJsonObject entry{{QStringLiteral("device_os"), os}, {QStringLiteral("is_current"), current}};
            if (!id.isNull())
                entry.insert(QStringLiteral("device_uuid"), id);
            return entry;
        };
        QTest::newRow("this device listed again")
            << QJsonArray{device("a", "Windows", false), device("b", "Android", false), device("a", "Windows", true)}
            << QStringList{"a:Windows", "b:Android"} << 1;
        QTest::newRow("this device listed first, again later")
            << QJsonArray{device("a", "Windows", true), device("b", "Android", false), device("a", "Windows", false)}
            << QStringList{"a:Windows", "b:Android"} << 1;
        QTest::newRow("devices without an id")
            << QJsonArray{device(QString(), "Android", false), device(QString(), "iOS", false),
                          device("", "macOS", false)}
            << QStringList{":Android", ":iOS", ":macOS"} << 0;
        QTest::newRow("this device without an id")
            << QJsonArray{device(QString(), "Android", false), device(QString(), "Windows", true)}
            << QStringList{":Windows", ":Android"} << 1;
    }

    void duplicateAndMissingDeviceIds()
    {
        QFETCH(QJsonArray, list);
        QFETCH(QStringList, rows);
        QFETCH(int, currentRows);
        ConnectedDevicesModel model;
        QVERIFY(fetchListed(m_standIn, model, list));
        QStringList shown;
        int current = 0;
        for (int row = 0; row < model.count(); ++row) {
            shown << roleOf(model, row, "device_Uuid").toString() + QLatin1Char(':')
                         + roleOf(model, row, "device_os").toString();
            current += roleOf(model, row, "device_is_current").toBool() ? 1 : 0;
        }
        QCOMPARE(shown, rows);
        QCOMPARE(current, currentRows);
        if (currentRows > 0)
            QVERIFY(roleOf(model, 0, "device_is_current").toBool());
    }

    void refusedDeviceListKeepsTheModel()
    {
        m_standIn.script(QString(), QStringLiteral("connected-device"), StandInReply::error(500, QStringLiteral("Down for maintenance")));
        ConnectedDevicesModel model;
        model.fetchDevices();
        QTRY_VERIFY_WITH_TIMEOUT(LogCapture::instance().anyContains(QStringLiteral("Couldn't fetch connected devices")),
                                 20000);
        QCOMPARE(model.count(), 0);
    }

    void subscriptionFillsTheProfile()
    {
        UserManager *user = UserManager::instance();
        QSignalSpy fetched(user, &UserManager::userCurrentSubscriptionFetched);
        user->fetchUserCurrentSubscription();
        QVERIFY(fetched.wait(20000));
        QCOMPARE(user->subscriptionName(), QStringLiteral("Premium"));
        QCOMPARE(user->subscriptionType(), QStringLiteral("yearly"));
        QVERIFY(user->subscriptionId().startsWith(QLatin1String("sub_")));
        QVERIFY(user->getLeftDate() > 300 && user->getLeftDate() < 330);

        UserManager::setState(UserManager::SignedOut);
        QCOMPARE(user->subscriptionName(), QString());
        QCOMPARE(user->getLeftDate(), 0);
    }

    void publicIpFromTheProbe_data()
    {
        QTest::addColumn<QString>("reported");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("probes");
        QTest::newRow("IPv4") << QStringLiteral("198.51.100.7") << QStringLiteral("198.51.100.7") << 1;
        QTest::newRow("IPv6") << QStringLiteral("2001:db8::1") << QString() << 2;
        QTest::newRow("junk") << QStringLiteral("198.51.100.7; rm -rf") << QString() << 2;
        QTest::newRow("surrounding spaces") << QStringLiteral("  198.51.100.7 ") << QStringLiteral("198.51.100.7") << 1;
        // Forms an address parser may take but no probe writes: none may
        // show as some other address.
        QTest::newRow("leading zero") << QStringLiteral("010.1.1.1") << QString() << 2;
        QTest::newRow("leading zero, last part") << QStringLiteral("198.51.100.07") << QString() << 2;
        QTest::newRow("hexadecimal part") << QStringLiteral("0xc6.51.100.7") << QString() << 2;
        QTest::newRow("three parts") << QStringLiteral("198.51.25607") << QString() << 2;
        QTest::newRow("one number") << QStringLiteral("3325256711") << QString() << 2;
        QTest::newRow("part above 255") << QStringLiteral("198.51.100.256") << QString() << 2;
        QTest::newRow("trailing dot") << QStringLiteral("198.51.100.7.") << QString() << 2;
        QTest::newRow("sign") << QStringLiteral("198.51.+100.7") << QString() << 2;
        QTest::newRow("other digits") << QStringLiteral("198.51.100.\u0667") << QString() << 2;
    }

    void publicIpFromTheProbe()
    {
        QFETCH(QString, reported);
        QFETCH(QString, shown);
        QFETCH(int, probes);
        UserManager *user = UserManager::instance();
        UserManager::setState(UserManager::SignedOut);
        m_standIn.setProbeIp(reported);
        user->refreshPublicIp(0);
        QTRY_COMPARE_WITH_TIMEOUT(m_standIn.requestsTo(QStringLiteral("/cdn-cgi/trace")).size(), probes, 20000);
        QTRY_COMPARE_WITH_TIMEOUT(user->publicIp(), shown, 20000);
        // Never more than the one retry.
        QTest::qWait(600);
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("/cdn-cgi/trace")).size(), probes);
    }
};

KELVRA_API_TEST_MAIN(TestAccountSession, QCoreApplication)
#include "tst_accountsession.moc"
