#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include "account/LogoutManager.h"
#include "account/UserManager.h"
#include "api/AuthGuard.h"
#include "app/CoreController.h"
#include "app/Settings.h"
#include "servers/ServersModel.h"
#include "tests/api/ApiTestSupport.h"

using namespace ApiTestSupport;

namespace {
const QString kEmail = QStringLiteral("linus@example.com");
} // namespace

// What the core controller does with the session it finds at start-up.
class TestAutoAuthenticate : public QObject
{
    Q_OBJECT
    BackendStandIn m_standIn;
    QScopedPointer<CoreController> m_controller;

    CoreController *controller()
    {
        m_controller.reset(new CoreController(nullptr, nullptr, QSharedPointer<Settings>::create()));
        return m_controller.data();
    }

private slots:
    void initTestCase()
    {
        useOwnCredentialService("autoauthenticate");
        KELVRA_START_STAND_IN(m_standIn);
        m_standIn.setDeviceLimit(0);
    }

    void init()
    {
        m_controller.reset();
        resetStandIn(m_standIn);
        forgetCredentials(kEmail);
        UserManager::setState(UserManager::SignedOut);
    }

    void noStoredSessionChecksForUpdates()
    {
        CoreController *core = controller();
        QSignalSpy autoLogin(core, &CoreController::autoLogin);
        core->autoAuthenticate();
        QTRY_COMPARE_WITH_TIMEOUT(m_standIn.requestsTo(QStringLiteral("app-version-check")).size(), 1, 20000);
        const StandInRequest check = m_standIn.requestsTo(QStringLiteral("app-version-check")).first();
        QCOMPARE(check.json().value(QLatin1String("current_version")).toString(), QStringLiteral(KELVRA_VERSION));
        QCOMPARE(check.json().value(QLatin1String("current_os")).toString(), QStringLiteral("windows"));
        QVERIFY(!check.hasHeader("Authorization"));
        QVERIFY(LogCapture::instance().anyContains(QStringLiteral("Auto authenticate failed - no entries found in keychain")));
        QVERIFY(m_standIn.requestsTo(QStringLiteral("subscription-info")).isEmpty());
        QCOMPARE(autoLogin.count(), 0);
        QCOMPARE(UserManager::state(), UserManager::SignedOut);
    }

    void storedSessionWithoutNetworkIsUsed()
    {
        QVERIFY(storeAsEarlierRun(kEmail, QStringLiteral("3|storedbutunchecked")));
        m_standIn.script(QString(), QString(), StandInReply::refuse());
        CoreController *core = controller();
        QSignalSpy autoLogin(core, &CoreController::autoLogin);
        core->autoAuthenticate();
        QVERIFY(autoLogin.wait(30000));
        QCOMPARE(autoLogin.at(0).at(0).toString(), kEmail);
        QCOMPARE(UserManager::state(), UserManager::SignedIn);
        QCOMPARE(readStored().second, QStringLiteral("3|storedbutunchecked"));
        QVERIFY(LogCapture::instance().anyContains(QStringLiteral("using the saved session")));
    }

    void refusedSessionIsDeleted()
    {
        QVERIFY(storeAsEarlierRun(kEmail, QStringLiteral("3|revokedlongago")));
        CoreController *core = controller();
        QSignalSpy autoLogin(core, &CoreController::autoLogin);
        core->autoAuthenticate();
        QTRY_COMPARE_WITH_TIMEOUT(m_standIn.requestsTo(QStringLiteral("app-version-check")).size(), 1, 20000);
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("subscription-info")).size(), 1);
        QVERIFY(LogCapture::instance().anyContains(QStringLiteral("Auto authenticate failed, token's invalid")));
        const auto stored = readStored();
        QCOMPARE(stored.first, QString());
        QCOMPARE(stored.second, QString());
        QCOMPARE(autoLogin.count(), 0);
        QCOMPARE(UserManager::state(), UserManager::SignedOut);
    }

    void validSessionSignsInSilently()
    {
        const QString token = m_standIn.issueToken(kEmail);
        QVERIFY(storeAsEarlierRun(kEmail, token));
        CoreController *core = controller();
        QSignalSpy autoLogin(core, &CoreController::autoLogin);
        core->autoAuthenticate();
        QVERIFY(autoLogin.wait(20000));
        QCOMPARE(autoLogin.at(0).at(0).toString(), kEmail);
        QCOMPARE(UserManager::state(), UserManager::SignedIn);
        QTRY_COMPARE_WITH_TIMEOUT(m_standIn.requestsTo(QStringLiteral("app-version-check")).size(), 1, 20000);
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("subscription-info")).first().bearerToken(), token);
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("app-version-check")).first().bearerToken(), token);
        for (const QString &line : LogCapture::instance().lines())
            QVERIFY2(!line.contains(token.mid(token.indexOf(QLatin1Char('|')) + 1)), qPrintable(line));
    }

    void expiredSessionSignsOut()
    {
        const QString cacheDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        QVERIFY(QDir().mkpath(cacheDir));
        QFile cache(cacheDir + QStringLiteral("/cdn-configs.json"));
        QVERIFY(cache.open(QIODevice::WriteOnly));
        cache.write("{}");
        cache.close();

        const QString token = m_standIn.issueToken(kEmail);
        QVERIFY(storeAsEarlierRun(kEmail, token));
        UserManager::setState(UserManager::SignedIn);
        CoreController *core = controller();
        QSignalSpy logout(core->logoutManager(), &LogoutManager::logout);
        AuthGuard::check401(QByteArray("Bearer ") + token.toUtf8());
        QCOMPARE(logout.count(), 1);
        QCOMPARE(UserManager::state(), UserManager::SignedOut);
        QVERIFY(!QFile::exists(cache.fileName()));
        QCOMPARE(readStored().second, QString());
    }

    // The home page asks for the list each time it is entered; signing in
    // alone asks for nothing, so a sign-in followed by the home page makes
    // one request.
    void oneSignInAsksForTheListOnce_data()
    {
        QTest::addColumn<bool>("silent");
        QTest::newRow("a sign-in answer") << false;
        QTest::newRow("the saved session at start") << true;
    }

    void oneSignInAsksForTheListOnce()
    {
        QFETCH(bool, silent);
        CoreController *core = controller();
        ServersModel *servers = core->serversModel();
        if (silent) {
            QVERIFY(storeAsEarlierRun(kEmail, m_standIn.issueToken(kEmail)));
            QSignalSpy autoLogin(core, &CoreController::autoLogin);
            core->autoAuthenticate();
            QVERIFY(autoLogin.wait(20000));
        } else {
            QVERIFY(!signInAs(m_standIn, kEmail).isEmpty());
        }
        QCOMPARE(UserManager::state(), UserManager::SignedIn);
        // Anything the sign-in itself would send is sent by now.
        QTRY_VERIFY_WITH_TIMEOUT(!silent || !m_standIn.requestsTo(QStringLiteral("app-version-check")).isEmpty(),
                                 20000);
        QTest::qWait(300);
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("client/servers")).size(), 0);

        QSignalSpy ready(servers, &ServersModel::defaultServerReady);
        servers->reconcileAccount(kEmail);
        servers->fetchServers();
        QVERIFY(ready.wait(20000));
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("client/servers")).size(), 1);
    }

    void profileRefreshedAfterTheTunnelGoesDown()
    {
        const QString token = m_standIn.issueToken(kEmail);
        QVERIFY(storeAsEarlierRun(kEmail, token));
        UserManager::setState(UserManager::SignedIn);
        CoreController *core = controller();
        core->onVpnStateChanged(VpnProtocol::Disconnected);
        QTRY_COMPARE_WITH_TIMEOUT(m_standIn.requestsTo(QStringLiteral("me")).size(), 1, 20000);
    }
};

KELVRA_API_TEST_MAIN(TestAutoAuthenticate, QGuiApplication)
#include "tst_autoauthenticate.moc"
