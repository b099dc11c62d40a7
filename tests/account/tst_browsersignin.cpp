#include <QDeadlineTimer>
#include <QDesktopServices>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include "account/ThirdPartyAuthenticationController.h"
#include "account/UserManager.h"
#include "app/AppManager.h"
#include "app/CoreController.h"
#include "app/Settings.h"
#include "support/TestBrowser.h"
#include "tests/api/ApiTestSupport.h"

using namespace ApiTestSupport;


// The whole way back from the browser: this process is the running client
// (its core controller wired to the application object as at start-up), the
// account site is the backend stand-in's, and each link reaches the client as
// it does from a browser: as the argument of a second start of the program.
class TestBrowserSignIn : public QObject
{
    Q_OBJECT
    BackendStandIn m_standIn;
    TestBrowser m_browser;
    CoreController *m_core = nullptr;

    AppManager *app() const { return qobject_cast<AppManager *>(qApp); }
    ThirdPartyAuthenticationController *auth() const { return m_core->thirdPartyAuth(); }

    // A second start of the program with the link, as the desktop makes one.
    bool secondStart(const QString &link)
    {
        QProcess second;
        second.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        second.start(TestEnvironment::binDir() + QStringLiteral("/kelvra"), {link});
        if (!second.waitForStarted(10000))
            return false;
        QDeadlineTimer deadline(30000);
        while (second.state() != QProcess::NotRunning && !deadline.hasExpired())
            QTest::qWait(20);
        return second.state() == QProcess::NotRunning && second.exitCode() == 0;
    }

    // Signs on at the provider's page in the "browser"; the hand-back link.
    QString signOnInBrowser(const QString &method)
    {
        m_browser.clear();
        auth()->start(method);
        return m_browser.opened().size() == 1 ? m_browser.follow(m_browser.lastOpened()) : QString();
    }

    void verifyNothingSecretLogged(const QStringList &secrets)
    {
        const QString log = LogCapture::instance().all();
        for (const QString &secret : secrets)
            QVERIFY2(!log.contains(secret), "a token or code reached the log");
    }

private slots:
    void initTestCase()
    {
        useOwnCredentialService("browsersignin");
        KELVRA_START_STAND_IN(m_standIn);
        // Wired as the client's start-up does.
        m_core = new CoreController(nullptr, nullptr, QSharedPointer<Settings>::create(), this);
        connect(app(), &AppManager::messageReceived, app(), &AppManager::onReceivedMessage);
        connect(app(), &AppManager::authenticated, m_core, &CoreController::authenticated);
        connect(app(), &AppManager::loginLinkReceived, m_core, &CoreController::loginLinkReceived);
        app()->startSingleInstanceServer();
        QVERIFY(app()->isSingleInstanceServerListening());
    }

    void init()
    {
        resetStandIn(m_standIn);
        forgetCredentials(QString());
        UserManager::setState(UserManager::SignedOut);
    }

    void handBackThroughASecondStartSignsIn()
    {
        QSignalSpy signedIn(auth(), &ThirdPartyAuthenticationController::authenticated);
        QSignalSpy confirm(auth(), &ThirdPartyAuthenticationController::confirmSignInRequested);
        const QString link = signOnInBrowser(QStringLiteral("GOOGLE"));
        QVERIFY2(link.startsWith(QLatin1String("kelvra-fiddle://")), qPrintable(link));
        const AppManager::HandBack handBack = AppManager::parseHandBack(link);

        QVERIFY(secondStart(link));
        QTRY_COMPARE(signedIn.size(), 1);
        QCOMPARE(signedIn.first(), (QList<QVariant>{"sso@example.com", "google"}));
        QCOMPARE(UserManager::state(), UserManager::SignedIn);
        QCOMPARE(readStored(), qMakePair(QStringLiteral("sso@example.com"), handBack.payload));

        // The same link again is no longer trusted: it is looked up, and as it
        // is the session in use, it is neither asked about nor ended.
        QVERIFY(secondStart(link));
        QTRY_VERIFY(LogCapture::instance().contains(QStringLiteral("Sign-in link dropped: same account")));
        QVERIFY(LogCapture::instance().contains(QStringLiteral("Sign-in hand-back without this app's state")));
        QCOMPARE(signedIn.size(), 1);
        QCOMPARE(confirm.size(), 0);
        QVERIFY(m_standIn.isTokenValid(handBack.payload));
        verifyNothingSecretLogged({handBack.payload, handBack.state});
    }

    // A hand-back that no longer matches a state (expired, or from a start
    // that was replaced) waits for the person's yes.
    void staleHandBackGoesThroughConfirmation_data()
    {
        QTest::addColumn<bool>("expired");
        QTest::newRow("state expired") << true;
        QTest::newRow("state replaced by a later start") << false;
    }

    void staleHandBackGoesThroughConfirmation()
    {
        QFETCH(bool, expired);
        QSignalSpy signedIn(auth(), &ThirdPartyAuthenticationController::authenticated);
        QSignalSpy confirm(auth(), &ThirdPartyAuthenticationController::confirmSignInRequested);
        const QString link = signOnInBrowser(QStringLiteral("APPLE"));
        if (expired)
            auth()->advanceClockForTesting(ThirdPartyAuthenticationController::kStateLifetimeMs + 1);
        else
            auth()->start(QStringLiteral("APPLE"));

        QVERIFY(secondStart(link));
        QTRY_COMPARE(confirm.size(), 1);
        QCOMPARE(confirm.first().first().toString(), QStringLiteral("sso@example.com"));
        QCOMPARE(signedIn.size(), 0);
        QCOMPARE(readStored(), qMakePair(QString(), QString()));
        auth()->confirmHeldSignIn();
        QCOMPARE(signedIn.first(), (QList<QVariant>{"sso@example.com", "apple"}));
        QCOMPARE(readStored().second, AppManager::parseHandBack(link).payload);
        verifyNothingSecretLogged({AppManager::parseHandBack(link).payload});
    }

    void signInLinkThroughASecondStart()
    {
        QSignalSpy signedIn(auth(), &ThirdPartyAuthenticationController::authenticated);
        QSignalSpy confirm(auth(), &ThirdPartyAuthenticationController::confirmSignInRequested);
        const QString first = m_standIn.issueLinkCode(QStringLiteral("first@example.com"));
        const QString second = m_standIn.issueLinkCode(QStringLiteral("second@example.com"));

        QVERIFY(secondStart(QStringLiteral("kelvra://login?code=") + first));
        QTRY_COMPARE(confirm.size(), 1);
        QVERIFY(secondStart(QStringLiteral("kelvra://login?code=") + second));
        QTRY_COMPARE(confirm.size(), 2);
        QCOMPARE(confirm.last().first().toString(), QStringLiteral("second@example.com"));
        // The first one's session is ended on the server.
        QTRY_COMPARE(m_standIn.requestsTo(QStringLiteral("auth/logout")).size(), 1);
        QTRY_COMPARE(m_standIn.devices(QStringLiteral("first@example.com")).size(), 0);

        auth()->confirmHeldSignIn();
        QCOMPARE(signedIn.first(), (QList<QVariant>{"second@example.com", "link"}));
        const QString token = readStored().second;
        QVERIFY(m_standIn.isTokenValid(token));

        // A link for the account now signed in is dropped without a word and
        // its fresh session ended.
        QSignalSpy failed(auth(), &ThirdPartyAuthenticationController::loginLinkFailed);
        const QString again = m_standIn.issueLinkCode(QStringLiteral("SECOND@example.com"));
        QVERIFY(secondStart(QStringLiteral("kelvra://login?code=") + again));
        QTRY_COMPARE(m_standIn.requestsTo(QStringLiteral("auth/logout")).size(), 2);
        QCOMPARE(confirm.size(), 2);
        QCOMPARE(failed.size(), 0);
        QVERIFY(m_standIn.isTokenValid(token));
        QCOMPARE(m_standIn.devices(QStringLiteral("second@example.com")).size(), 1);
        verifyNothingSecretLogged({first, second, again, token});
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    AppManager app(argc, argv);
    app.setOrganizationName(QStringLiteral("Kelvra.Inc"));
    app.setApplicationName(QStringLiteral("Kelvra"));
    TestBrowserSignIn test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_browsersignin.moc"
