#include <QDateTime>
#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QTest>
#include <QUrlQuery>

#include "account/AccountSite.h"
#include "account/ThirdPartyAuthenticationController.h"
#include "account/UserManager.h"
#include "app/AppManager.h"
#include "support/TestBrowser.h"
#include "tests/api/ApiTestSupport.h"

using namespace ApiTestSupport;

namespace {

const QString kExpired = QStringLiteral("This sign-in link has expired. Please try again.");
const QString kInvalid = QStringLiteral("This sign-in link isn't valid. Please try again.");
const QString kGeneric = QStringLiteral("This sign-in link didn't work. Please try again from your account page.");

} // namespace

// Signing in through the browser and by sign-in link, against the backend
// stand-in and its account site; the person's answers are the slots the
// dialog calls.
class TestThirdPartyAuth : public QObject
{
    Q_OBJECT
    BackendStandIn m_standIn;
    TestBrowser m_browser;
    QStringList m_secrets;

    // What the whole flow must never write to a log.
    void keepSecret(const QString &secret) { m_secrets << secret; }

    // The account the stand-in made for a sign-in link, and the link's code.
    QString linkFor(const QString &email)
    {
        const QString code = m_standIn.issueLinkCode(email);
        keepSecret(code);
        return code;
    }

    // Waits until the stand-in has seen `count` revocations.
    QStringList revokedTokens(int count)
    {
        QStringList tokens;
        QDeadlineTimer deadline(10000);
        while (m_standIn.requestsTo(QStringLiteral("auth/logout")).size() < count && !deadline.hasExpired())
            QTest::qWait(20);
        for (const StandInRequest &request : m_standIn.requestsTo(QStringLiteral("auth/logout")))
            tokens << request.bearerToken();
        return tokens;
    }

    // Starts single sign-on and plays the browser through the provider's
    // page; returns the hand-back link the site sent the browser to.
    AppManager::HandBack signOnInBrowser(ThirdPartyAuthenticationController &auth, const QString &method)
    {
        m_browser.clear();
        auth.start(method);
        if (m_browser.opened().size() != 1)
            return {};
        int status = 0;
        const QString link = TestBrowser::follow(m_browser.opened().constLast(), &status);
        if (status != 302 || !link.startsWith(QLatin1String("kelvra-fiddle://")))
            return {};
        const AppManager::HandBack handBack = AppManager::parseHandBack(link);
        keepSecret(handBack.payload);
        keepSecret(handBack.state);
        return handBack;
    }

private slots:
    void initTestCase()
    {
        useOwnCredentialService("thirdpartyauth");
        KELVRA_START_STAND_IN(m_standIn);
    }

    void init()
    {
        resetStandIn(m_standIn);
        m_standIn.sso().clear();
        m_standIn.sso().setBrowserAccount(QStringLiteral("sso@example.com"));
        forgetCredentials(QString());
        UserManager::setState(UserManager::SignedOut);
        m_browser.clear();
    }

    void cleanup()
    {
        const QString log = LogCapture::instance().all();
        for (const QString &secret : std::as_const(m_secrets))
            QVERIFY2(secret.isEmpty() || !log.contains(secret), "a token, code or state reached the log");
        m_secrets.clear();
    }

    void startOpensTheProviderPage_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("reported");
        QTest::newRow("Google") << "GOOGLE" << "/desktop-app/google/login" << "google";
        QTest::newRow("Apple") << "APPLE" << "/desktop-app/apple/login" << "apple";
        // The provider test is exact; the method reported is still lower-cased.
        QTest::newRow("google in lower case opens Apple") << "google" << "/desktop-app/apple/login" << "google";
    }

    void startOpensTheProviderPage()
    {
        QFETCH(QString, method);
        QFETCH(QString, path);
        QFETCH(QString, reported);
        ThirdPartyAuthenticationController auth;
        QSignalSpy signedIn(&auth, &ThirdPartyAuthenticationController::authenticated);
        auth.start(method);
        QCOMPARE(m_browser.opened().size(), 1);
        const QUrl url = m_browser.opened().constFirst();
        QCOMPARE(url.adjusted(QUrl::RemovePath | QUrl::RemoveQuery).toString(), AccountSite::host());
        QCOMPARE(url.path(), path);

        const QUrlQuery query(url);
        QStringList keys;
        for (const auto &item : query.queryItems())
            keys << item.first;
        QCOMPARE(keys, (QStringList{"platform", "device_os", "device_os_version", "device_brand", "device_model",
                                    "state"}));
        QCOMPARE(query.queryItemValue(QStringLiteral("platform")), QStringLiteral("windows"));
        const QString state = query.queryItemValue(QStringLiteral("state"));
        QCOMPARE(state, auth.pendingStateForTesting());
        QVERIFY2(QRegularExpression(QStringLiteral("^[A-Za-z0-9_-]{43}$")).match(state).hasMatch(), qPrintable(state));

        // A second start replaces the state.
        auth.start(method);
        QVERIFY(auth.pendingStateForTesting() != state);

        // The site hands back; the method travels with the sign-in.
        int status = 0;
        const AppManager::HandBack handBack =
            AppManager::parseHandBack(TestBrowser::follow(m_browser.opened().constLast(), &status));
        QCOMPARE(status, 302);
        keepSecret(handBack.payload);
        auth.onAuthenticated(handBack.payload, handBack.state);
        QTRY_COMPARE(signedIn.size(), 1);
        QCOMPARE(signedIn.first().at(1).toString(), reported);
    }

    // The state a hand-back carries decides whether it is trusted at once or
    // goes through the look-up and the person's confirmation.
    void handBack_data()
    {
        QTest::addColumn<qint64>("elapsedMs");
        QTest::addColumn<QString>("stateGiven"); // "right", "none", "earlier start"
        QTest::addColumn<bool>("direct");
        QTest::newRow("right state") << qint64(0) << "right" << true;
        QTest::newRow("right state at exactly ten minutes")
            << ThirdPartyAuthenticationController::kStateLifetimeMs << "right" << true;
        QTest::newRow("right state ten minutes and 1 ms late")
            << ThirdPartyAuthenticationController::kStateLifetimeMs + 1 << "right" << false;
        QTest::newRow("no state") << qint64(0) << "none" << false;
        QTest::newRow("the state of a start that was replaced") << qint64(0) << "earlier start" << false;
    }

    void handBack()
    {
        QFETCH(qint64, elapsedMs);
        QFETCH(QString, stateGiven);
        QFETCH(bool, direct);
        ThirdPartyAuthenticationController auth;
        QSignalSpy signedIn(&auth, &ThirdPartyAuthenticationController::authenticated);
        QSignalSpy confirm(&auth, &ThirdPartyAuthenticationController::confirmSignInRequested);
        auth.setNowForTesting(QDateTime::currentMSecsSinceEpoch());

        AppManager::HandBack handBack = signOnInBrowser(auth, QStringLiteral("GOOGLE"));
        QVERIFY(!handBack.payload.isEmpty());
        if (stateGiven == QLatin1String("none"))
            handBack.state.clear();
        if (stateGiven == QLatin1String("earlier start")) {
            auth.start(QStringLiteral("GOOGLE"));
            keepSecret(auth.pendingStateForTesting());
        }
        auth.advanceClockForTesting(elapsedMs);
        auth.onAuthenticated(handBack.payload, handBack.state);

        if (direct) {
            QTRY_COMPARE(signedIn.size(), 1);
            QCOMPARE(signedIn.first(), (QList<QVariant>{"sso@example.com", "google"}));
            QCOMPARE(readStored(), qMakePair(QStringLiteral("sso@example.com"), handBack.payload));
            QCOMPARE(UserManager::state(), UserManager::SignedIn);
            QVERIFY(!LogCapture::instance().contains(QStringLiteral("without this app's state")));
        } else {
            QTRY_COMPARE(confirm.size(), 1);
            QCOMPARE(confirm.first().first().toString(), QStringLiteral("sso@example.com"));
            QCOMPARE(signedIn.size(), 0);
            QCOMPARE(UserManager::state(), UserManager::SignedOut);
            QVERIFY(LogCapture::instance().contains(QStringLiteral("Sign-in hand-back without this app's state")));
            auth.confirmHeldSignIn();
            QCOMPARE(signedIn.size(), 1);
            QCOMPARE(signedIn.first(), (QList<QVariant>{"sso@example.com", "google"}));
        }
        // A state is good once.
        if (stateGiven == QLatin1String("right"))
            QVERIFY(auth.pendingStateForTesting().isEmpty());
    }

    // Opening the same hand-back again: no longer trusted directly, and as it
    // carries the session now in use, that session is neither asked about nor
    // ended.
    void sameHandBackTwiceKeepsTheSession()
    {
        ThirdPartyAuthenticationController auth;
        QSignalSpy signedIn(&auth, &ThirdPartyAuthenticationController::authenticated);
        QSignalSpy confirm(&auth, &ThirdPartyAuthenticationController::confirmSignInRequested);
        QSignalSpy confirmSwitch(&auth, &ThirdPartyAuthenticationController::confirmSwitchRequested);
        QSignalSpy failed(&auth, &ThirdPartyAuthenticationController::loginLinkFailed);
        const AppManager::HandBack handBack = signOnInBrowser(auth, QStringLiteral("APPLE"));
        auth.onAuthenticated(handBack.payload, handBack.state);
        QTRY_COMPARE(signedIn.size(), 1);

        auth.onAuthenticated(handBack.payload, handBack.state);
        QTRY_VERIFY(LogCapture::instance().contains(QStringLiteral("Sign-in link dropped: same account")));
        QTest::qWait(300);
        QCOMPARE(signedIn.size() + confirm.size() + confirmSwitch.size() + failed.size(), 1);
        QVERIFY(m_standIn.requestsTo(QStringLiteral("auth/logout")).isEmpty());
        QVERIFY(m_standIn.isTokenValid(handBack.payload));
    }

    void aCheckThatFailsEndsSilently()
    {
        ThirdPartyAuthenticationController auth;
        QSignalSpy signedIn(&auth, &ThirdPartyAuthenticationController::authenticated);
        QSignalSpy failed(&auth, &ThirdPartyAuthenticationController::loginLinkFailed);
        const AppManager::HandBack handBack = signOnInBrowser(auth, QStringLiteral("GOOGLE"));
        m_standIn.revokeToken(handBack.payload);
        auth.onAuthenticated(handBack.payload, handBack.state);
        QTRY_COMPARE(m_standIn.requestsTo(QStringLiteral("me")).size(), 1);
        QTest::qWait(300);
        QCOMPARE(signedIn.size() + failed.size(), 0);
        QCOMPARE(UserManager::state(), UserManager::SignedOut);
    }

    // Stored under no address the session could never be found again: it is
    // ended instead, and nobody is signed in.
    void aCheckAnsweredWithoutAnAddressSignsNobodyIn()
    {
        ThirdPartyAuthenticationController auth;
        QSignalSpy signedIn(&auth, &ThirdPartyAuthenticationController::authenticated);
        const AppManager::HandBack handBack = signOnInBrowser(auth, QStringLiteral("GOOGLE"));
        m_standIn.script(QString(), QStringLiteral("me"),
                         StandInReply::json(200, {{QStringLiteral("success"), true},
                                                  {QStringLiteral("data"), QJsonObject{{QStringLiteral("email"), " "}}}}));
        auth.onAuthenticated(handBack.payload, handBack.state);
        QCOMPARE(revokedTokens(1), QStringList{handBack.payload});
        QTRY_VERIFY(!m_standIn.isTokenValid(handBack.payload));
        QCOMPARE(signedIn.size(), 0);
        QCOMPARE(UserManager::state(), UserManager::SignedOut);
        QCOMPARE(readStored(), qMakePair(QString(), QString()));
    }

    void linkSignsInAfterConfirmation()
    {
        ThirdPartyAuthenticationController auth;
        QSignalSpy confirm(&auth, &ThirdPartyAuthenticationController::confirmSignInRequested);
        QSignalSpy signedIn(&auth, &ThirdPartyAuthenticationController::authenticated);
        auth.onLoginLink(linkFor(QStringLiteral("link@example.com")));
        QTRY_COMPARE(confirm.size(), 1);
        QCOMPARE(confirm.first().first().toString(), QStringLiteral("link@example.com"));
        // Nothing is stored before the person says yes.
        QCOMPARE(readStored(), qMakePair(QString(), QString()));
        auth.confirmHeldSignIn();
        QCOMPARE(signedIn.size(), 1);
        QCOMPARE(signedIn.first(), (QList<QVariant>{"link@example.com", "link"}));
        const auto stored = readStored();
        QCOMPARE(stored.first, QStringLiteral("link@example.com"));
        QVERIFY(m_standIn.isTokenValid(stored.second));
        keepSecret(stored.second);
        // The hold is gone: a second yes does nothing.
        auth.confirmHeldSignIn();
        QCOMPARE(signedIn.size(), 1);
    }

    void linkForTheSignedInAccountIsDroppedAndRevoked()
    {
        linkFor(QStringLiteral("Same@Example.com")); // the account exists with this spelling
        const QString session = signInAs(m_standIn, QStringLiteral("same@example.com"));
        keepSecret(session);
        ThirdPartyAuthenticationController auth;
        QSignalSpy confirm(&auth, &ThirdPartyAuthenticationController::confirmSignInRequested);
        QSignalSpy confirmSwitch(&auth, &ThirdPartyAuthenticationController::confirmSwitchRequested);
        QSignalSpy failed(&auth, &ThirdPartyAuthenticationController::loginLinkFailed);
        auth.onLoginLink(linkFor(QStringLiteral("same@example.com")));

        const QStringList revoked = revokedTokens(1);
        QCOMPARE(revoked.size(), 1);
        QVERIFY(revoked.first() != session);
        keepSecret(revoked.first());
        QTRY_VERIFY(!m_standIn.isTokenValid(revoked.first()));
        QVERIFY(m_standIn.isTokenValid(session));
        QVERIFY(LogCapture::instance().contains(QStringLiteral("Sign-in link dropped: same account")));
        QCOMPARE(confirm.size() + confirmSwitch.size() + failed.size(), 0);
    }

    void secondLinkReplacesTheFirst()
    {
        ThirdPartyAuthenticationController auth;
        QSignalSpy confirm(&auth, &ThirdPartyAuthenticationController::confirmSignInRequested);
        QSignalSpy signedIn(&auth, &ThirdPartyAuthenticationController::authenticated);
        auth.onLoginLink(linkFor(QStringLiteral("first@example.com")));
        QTRY_COMPARE(confirm.size(), 1);
        auth.onLoginLink(linkFor(QStringLiteral("second@example.com")));
        QTRY_COMPARE(confirm.size(), 2);
        QCOMPARE(confirm.last().first().toString(), QStringLiteral("second@example.com"));
        QCOMPARE(auth.heldEmailForTesting(), QStringLiteral("second@example.com"));

        // The first account's session was ended on the server.
        const QStringList revoked = revokedTokens(1);
        keepSecret(revoked.first());
        QTRY_VERIFY(!m_standIn.isTokenValid(revoked.first()));
        QCOMPARE(m_standIn.devices(QStringLiteral("first@example.com")).size(), 0);

        auth.confirmHeldSignIn();
        QCOMPARE(signedIn.first(), (QList<QVariant>{"second@example.com", "link"}));
        keepSecret(readStored().second);
    }

    void cancellingRevokesTheHeldToken()
    {
        ThirdPartyAuthenticationController auth;
        QSignalSpy confirm(&auth, &ThirdPartyAuthenticationController::confirmSignInRequested);
        QSignalSpy signedIn(&auth, &ThirdPartyAuthenticationController::authenticated);
        auth.onLoginLink(linkFor(QStringLiteral("cancel@example.com")));
        QTRY_COMPARE(confirm.size(), 1);
        auth.cancelHeldSignIn();
        QVERIFY(!auth.isHoldingForTesting());
        const QStringList revoked = revokedTokens(1);
        keepSecret(revoked.first());
        QTRY_COMPARE(m_standIn.devices(QStringLiteral("cancel@example.com")).size(), 0);
        auth.confirmHeldSignIn();
        auth.cancelHeldSignIn();
        QCOMPARE(signedIn.size(), 0);
        QCOMPARE(revokedTokens(1).size(), 1);
        QCOMPARE(readStored(), qMakePair(QString(), QString()));
    }

    void linkToAnotherAccountAsksToSwitch()
    {
        const QString session = signInAs(m_standIn, QStringLiteral("current@example.com"));
        keepSecret(session);
        ThirdPartyAuthenticationController auth;
        QSignalSpy confirmSwitch(&auth, &ThirdPartyAuthenticationController::confirmSwitchRequested);
        auth.onLoginLink(linkFor(QStringLiteral("other@example.com")));
        QTRY_COMPARE(confirmSwitch.size(), 1);
        QCOMPARE(confirmSwitch.first(), (QList<QVariant>{"other@example.com", "current@example.com"}));
        auth.cancelHeldSignIn();
        revokedTokens(1);
        QVERIFY(m_standIn.isTokenValid(session));
    }

    void linkRefusals_data()
    {
        QTest::addColumn<QByteArray>("answer"); // empty: the stand-in's own answer
        QTest::addColumn<QString>("message");
        QTest::newRow("expired") << QByteArray(R"({"success":false,"error":{"message":"Expired.","code":20042}})")
                                 << kExpired;
        for (int code : {20039, 20040, 20041}) {
            QTest::newRow(qPrintable(QStringLiteral("invalid %1").arg(code)))
                << QStringLiteral(R"({"success":false,"error":{"message":"Bad.","code":%1}})").arg(code).toUtf8()
                << kInvalid;
        }
        QTest::newRow("server's own message")
            << QByteArray(R"({"success":false,"error":{"message":"Account suspended.","code":40301}})")
            << "Account suspended.";
        QTest::newRow("no code, no message") << QByteArray(R"({"success":false})") << kGeneric;
        QTest::newRow("success without a token")
            << QByteArray(R"({"success":true,"data":{"token":"","user":{"email":"a@example.com"}}})") << kGeneric;
        QTest::newRow("token that can't go into a header")
            << QByteArray(R"({"success":true,"data":{"token":"1|a\r\nX: y","user":{"email":"a@example.com"}}})")
            << kGeneric;
        QTest::newRow("not JSON") << QByteArray("<html>oops</html>") << kGeneric;
        QTest::newRow("link without an account") << QByteArray(R"({"success":true,"data":{"token":"7|abc"}})")
                                                 << kInvalid;
    }

    void linkRefusals()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, message);
        // Every host answers so: a page that is no JSON sends the request on
        // to the backup hosts first.
        m_standIn.script(QString(), QStringLiteral("auth/sso-login-with-token"), StandInReply::status(422, answer), -1);
        ThirdPartyAuthenticationController auth;
        QSignalSpy failed(&auth, &ThirdPartyAuthenticationController::loginLinkFailed);
        QSignalSpy confirm(&auth, &ThirdPartyAuthenticationController::confirmSignInRequested);
        auth.onLoginLink(QStringLiteral("somecode"));
        QTRY_COMPARE(failed.size(), 1);
        QCOMPARE(failed.first().first().toString(), message);
        QCOMPARE(confirm.size(), 0);
        QVERIFY(!auth.isHoldingForTesting());
    }

    void usedLinkIsRefusedByTheServer()
    {
        ThirdPartyAuthenticationController auth;
        QSignalSpy failed(&auth, &ThirdPartyAuthenticationController::loginLinkFailed);
        QSignalSpy confirm(&auth, &ThirdPartyAuthenticationController::confirmSignInRequested);
        const QString code = linkFor(QStringLiteral("twice@example.com"));
        auth.onLoginLink(code);
        QTRY_COMPARE(confirm.size(), 1);
        auth.onLoginLink(code);
        QTRY_COMPARE(failed.size(), 1);
        QCOMPARE(failed.first().first().toString(), kInvalid);
        QVERIFY(LogCapture::instance().contains(QStringLiteral("Login link result: 422 20041")));
        auth.cancelHeldSignIn();
    }

    void dashboardPages_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("page");
        QTest::newRow("a page on the site") << "/account/billing?tab=1" << "/account/billing?tab=1";
        QTest::newRow("another host") << "//evil.example/x" << "/";
        QTest::newRow("a scheme") << "https://evil.example/" << "/";
        QTest::newRow("a colon") << "/a:b" << "/";
        QTest::newRow("a backslash") << "/\\evil.example" << "/";
        QTest::newRow("no leading slash") << "account" << "/";
        QTest::newRow("empty") << "" << "/";
    }

    void dashboardPages()
    {
        QFETCH(QString, path);
        QFETCH(QString, page);
        QCOMPARE(UserManager::dashboardPage(path), page);

        // Signed in, the site is entered with a one-time code.
        keepSecret(signInAs(m_standIn, QStringLiteral("dash@example.com")));
        UserManager::instance()->openDashboard(path);
        QTRY_COMPARE(m_browser.opened().size(), 1);
        const QUrl url = m_browser.opened().first();
        QCOMPARE(url.path(), QStringLiteral("/login-sso"));
        const QString code = QUrlQuery(url).queryItemValue(QStringLiteral("token"));
        keepSecret(code);
        QCOMPARE(QUrlQuery(url).queryItemValue(QStringLiteral("redirect"), QUrl::FullyDecoded), page);
        int status = 0;
        QCOMPARE(TestBrowser::follow(url, &status), page);
        QCOMPARE(status, 302);
        QCOMPARE(m_standIn.sso().dashboardVisits().constLast().email, QStringLiteral("dash@example.com"));
    }

    void dashboardWithoutACodeOpensSignedOut()
    {
        keepSecret(signInAs(m_standIn, QStringLiteral("dash@example.com")));
        m_standIn.script(QString(), QStringLiteral("auth/sso-generate-login"), StandInReply::serverError(500));
        UserManager::instance()->openDashboard(QStringLiteral("/account"));
        QTRY_COMPARE(m_browser.opened().size(), 1);
        QCOMPARE(m_browser.opened().first().toString(), AccountSite::host() + QStringLiteral("/account"));
        QVERIFY(LogCapture::instance().contains(
            QStringLiteral("No sign-in code for the dashboard, opening it signed out")));
    }
};

KELVRA_API_TEST_MAIN(TestThirdPartyAuth, QGuiApplication)

#include "tst_thirdpartyauth.moc"
