#include <QJsonDocument>
#include <QScopeGuard>
#include <QJsonObject>
#include <QSignalSpy>
#include <QSysInfo>
#include <QTest>

#include "account/CodeAuthenticator.h"
#include "account/UserManager.h"
#include "platform/DeviceInfo.h"
#include "tests/api/ApiTestSupport.h"

using namespace ApiTestSupport;

namespace {

const QString kEmail = QStringLiteral("ada@example.com");
const QString kFallback = QStringLiteral("Something went wrong. Please try again.");

QByteArray loginAnswer(const QJsonValue &token, const QJsonValue &user = QJsonObject{{QStringLiteral("email"), kEmail}})
{
    return QJsonDocument(QJsonObject{{QStringLiteral("success"), true},
                                     {QStringLiteral("message"), QStringLiteral("Successfully logged in")},
                                     {QStringLiteral("data"), QJsonObject{{QStringLiteral("token"), token},
                                                                          {QStringLiteral("user"), user}}}})
        .toJson(QJsonDocument::Compact);
}

} // namespace

class TestCodeAuthenticator : public QObject
{
    Q_OBJECT
    BackendStandIn m_standIn;

private slots:
    void initTestCase()
    {
        useOwnCredentialService("codeauthenticator");
        KELVRA_START_STAND_IN(m_standIn);
    }

    void init()
    {
        resetStandIn(m_standIn);
        forgetCredentials(kEmail);
        UserManager::setState(UserManager::SignedOut);
    }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("codeSent");
        // Null: no failure expected.
        QTest::addColumn<QString>("failure");
        QTest::addColumn<bool>("succeeded");
        QTest::addColumn<QString>("storedToken");

        QTest::newRow("code mailed") << QByteArray(R"({"success":true,"message":"An email sent to ada@example.com"})")
                                     << true << QString() << false << QString();
        QTest::newRow("signed in") << loginAnswer(QStringLiteral("9|goodtoken")) << false << QString() << true
                                   << QStringLiteral("9|goodtoken");
        QTest::newRow("both phrases count as a code request")
            << QByteArray(R"({"success":true,"message":"An email sent","note":"Successfully logged in","data":{"token":"9|x","user":{"email":"ada@example.com"}}})")
            << true << QString() << false << QString();
        QTest::newRow("success without either phrase") << QByteArray(R"({"success":true,"message":"OK"})") << false
                                                       << QString() << false << QString();
        QTest::newRow("server message") << QByteArray(R"({"success":false,"error":{"message":"Wrong code","code":422}})")
                                        << false << QStringLiteral("Wrong code") << false << QString();
        QTest::newRow("empty error message, errors message")
            << QByteArray(R"({"success":false,"error":{"message":""},"errors":{"message":"Code expired"}})") << false
            << QStringLiteral("Code expired") << false << QString();
        QTest::newRow("top-level message") << QByteArray(R"({"success":false,"message":"Slow down"})") << false
                                           << QStringLiteral("Slow down") << false << QString();
        QTest::newRow("no message anywhere") << QByteArray(R"({"success":false})") << false << kFallback << false
                                             << QString();
        QTest::newRow("signed in without a token") << loginAnswer(QString()) << false << QString() << true << QString();

        // Hostile or broken answers.
        QTest::newRow("not JSON") << QByteArray("<html><body>502 Bad Gateway</body></html>") << false << kFallback
                                  << false << QString();
        QTest::newRow("empty") << QByteArray() << false << kFallback << false << QString();
        QTest::newRow("truncated")
            << loginAnswer(QStringLiteral("9|goodtoken")).left(60) << false << kFallback << false << QString();
        QTest::newRow("deeply nested") << QByteArray(100000, '[') << false << kFallback << false << QString();
        QTest::newRow("huge garbage") << QByteArray(8 * 1024 * 1024, 'x') << false << kFallback << false << QString();
        QTest::newRow("huge token") << loginAnswer(QString(8 * 1024 * 1024, QLatin1Char('a'))) << false << QString()
                                    << true << QString();
        QTest::newRow("success as text")
            << QByteArray(R"({"success":"true","data":{"token":"9|x","user":{"email":"ada@example.com"}}})") << false
            << kFallback << false << QString();
        QTest::newRow("messages of the wrong type")
            << QByteArray(R"({"success":false,"error":{"message":42},"errors":"bad","message":{"a":1}})") << false
            << kFallback << false << QString();
        QTest::newRow("answer is an array") << QByteArray(R"([{"success":true}])") << false << kFallback << false
                                            << QString();
        QTest::newRow("token as a number") << loginAnswer(12345) << false << QString() << true << QString();
        QTest::newRow("data as an array")
            << QByteArray(R"({"success":true,"message":"Successfully logged in","data":["9|x"]})") << false << QString()
            << true << QString();
        QTest::newRow("user of the wrong type") << loginAnswer(QStringLiteral("9|goodtoken"), QStringLiteral("ada"))
                                                << false << QString() << true << QString();
        QTest::newRow("token with a line break")
            << loginAnswer(QStringLiteral("9|abc\r\nX-Injected: 1")) << false << QString() << true << QString();
    }

    void answers()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, codeSent);
        QFETCH(QString, failure);
        QFETCH(bool, succeeded);
        QFETCH(QString, storedToken);

        CodeAuthenticator authenticator;
        QSignalSpy sent(&authenticator, &CodeAuthenticator::codeSent);
        QSignalSpy failed(&authenticator, &Authenticator::authenticationFailed);
        QSignalSpy success(&authenticator, &Authenticator::authenticationSucceeded);
        QSignalSpy ready(&authenticator, &Authenticator::tokenReady);

        authenticator.handleResponse(body);

        QCOMPARE(sent.count(), codeSent ? 1 : 0);
        QCOMPARE(failed.count(), failure.isNull() ? 0 : 1);
        if (!failure.isNull())
            QCOMPARE(failed.at(0).at(0).toString(), failure);
        QCOMPARE(success.count(), succeeded ? 1 : 0);
        QCOMPARE(UserManager::state(), succeeded ? UserManager::SignedIn : UserManager::SignedOut);

        if (!storedToken.isEmpty()) {
            QVERIFY(ready.wait(20000));
            TokenManager::instance()->dropCacheForTesting();
            const auto stored = readStored();
            QCOMPARE(stored.first, kEmail);
            QCOMPARE(stored.second, storedToken);
        } else {
            QCOMPARE(TokenManager::instance()->getToken(), QString());
            QCOMPARE(ready.count(), 0);
        }
        if (succeeded && storedToken.isEmpty())
            QVERIFY(LogCapture::instance().anyContains(QStringLiteral("Could not extract token from data"))
                    || LogCapture::instance().anyContains(QStringLiteral("nothing stored")));
    }

    void signInByCodeEndToEnd()
    {
        CodeAuthenticator authenticator;
        QSignalSpy sent(&authenticator, &CodeAuthenticator::codeSent);
        QSignalSpy success(&authenticator, &Authenticator::authenticationSucceeded);
        QSignalSpy ready(&authenticator, &Authenticator::tokenReady);

        authenticator.getCode(kEmail);
        QVERIFY(sent.wait(20000));
        const QString code = m_standIn.lastCodeFor(kEmail);
        QVERIFY(!code.isEmpty());

        authenticator.authenticate(QJsonObject{{QStringLiteral("email"), kEmail},
                                               {QStringLiteral("code"), code},
                                               {QStringLiteral("device_model"), QStringLiteral("Spoofed")}});
        QVERIFY(ready.wait(20000));
        QCOMPARE(success.count(), 1);
        QCOMPARE(UserManager::state(), UserManager::SignedIn);
        const QString token = success.at(0)
                                  .at(0)
                                  .toJsonObject()
                                  .value(QLatin1String("data"))
                                  .toObject()
                                  .value(QLatin1String("token"))
                                  .toString();
        QVERIFY(m_standIn.isTokenValid(token));

        // What the backend heard about this device.
        const QJsonObject sentBody = m_standIn.requestsTo(QStringLiteral("auth/code-login")).last().json();
        QCOMPARE(sentBody.value(QLatin1String("device_os")).toString(), QSysInfo::productType());
        QCOMPARE(sentBody.value(QLatin1String("device_os_version")).toString(), QSysInfo::productVersion());
        QCOMPARE(sentBody.value(QLatin1String("device_brand")).toString(), DeviceInfo::manufacturer());
        QCOMPARE(sentBody.value(QLatin1String("device_model")).toString(), DeviceInfo::model());
        QVERIFY(!m_standIn.requestsTo(QStringLiteral("auth/code-login")).last().hasHeader("Authorization"));

        // The token went into the credential store and comes back from it.
        TokenManager::instance()->dropCacheForTesting();
        const auto stored = readStored();
        QCOMPARE(stored.first, kEmail);
        QCOMPARE(stored.second, token);

        const QString tokenSecret = token.mid(token.indexOf(QLatin1Char('|')) + 1);
        QVERIFY(!LogCapture::instance().lines().isEmpty());
        for (const QString &line : LogCapture::instance().lines())
            QVERIFY2(!line.contains(tokenSecret), qPrintable(line));
    }

    void wrongCodeShowsTheServerMessage()
    {
        CodeAuthenticator authenticator;
        QSignalSpy sent(&authenticator, &CodeAuthenticator::codeSent);
        QSignalSpy failed(&authenticator, &Authenticator::authenticationFailed);
        authenticator.getCode(kEmail);
        QVERIFY(sent.wait(20000));
        authenticator.authenticate(
            QJsonObject{{QStringLiteral("email"), kEmail}, {QStringLiteral("code"), QStringLiteral("000000x")}});
        QVERIFY(failed.wait(20000));
        QCOMPARE(failed.at(0).at(0).toString(),
                 QStringLiteral("That code isn't valid or has expired. Request a new one."));
        QCOMPARE(TokenManager::instance()->getToken(), QString());
    }

    void gatewayPageEverywhereEndsInTheFallbackText()
    {
        m_standIn.script(QString(), QStringLiteral("auth/code-login"),
                         StandInReply::status(502, "<html><body>Bad Gateway</body></html>", {{"Content-Type", "text/html"}}),
                         -1);
        CodeAuthenticator authenticator;
        QSignalSpy failed(&authenticator, &Authenticator::authenticationFailed);
        authenticator.authenticate(
            QJsonObject{{QStringLiteral("email"), kEmail}, {QStringLiteral("code"), QStringLiteral("123456")}});
        QVERIFY(failed.wait(30000));
        QCOMPARE(failed.at(0).at(0).toString(), kFallback);
        QCOMPARE(TokenManager::instance()->getToken(), QString());
    }

    void unansweredSignInEndsInTheFallbackText_data()
    {
        QTest::addColumn<bool>("login");
        QTest::newRow("code request") << false;
        QTest::newRow("code login") << true;
    }

    void unansweredSignInEndsInTheFallbackText()
    {
        QFETCH(bool, login);
        // The shared bound on requests without a time-out of their own, made short.
        ApiHost::Testing::setDefaultTransferTimeout(1500);
        auto restore = qScopeGuard([] { ApiHost::Testing::setDefaultTransferTimeout(ApiHost::kDefaultTransferTimeoutMs); });
        // A network that takes requests and never answers, on every host.
        m_standIn.script(QString(), QString(), StandInReply::stall(), -1);

        CodeAuthenticator authenticator;
        QSignalSpy failed(&authenticator, &Authenticator::authenticationFailed);
        QSignalSpy sent(&authenticator, &CodeAuthenticator::codeSent);
        if (login)
            authenticator.authenticate(
                QJsonObject{{QStringLiteral("email"), kEmail}, {QStringLiteral("code"), QStringLiteral("123456")}});
        else
            authenticator.getCode(kEmail);
        QVERIFY(failed.wait(30000));
        QCOMPARE(failed.count(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), kFallback);
        QCOMPARE(sent.count(), 0);
        QCOMPARE(UserManager::state(), UserManager::SignedOut);
    }
};

KELVRA_API_TEST_MAIN(TestCodeAuthenticator, QCoreApplication)
#include "tst_codeauthenticator.moc"
