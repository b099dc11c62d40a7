#include <QSignalSpy>
#include <QTest>

#include "tests/api/ApiTestSupport.h"

using namespace ApiTestSupport;

// A desktop without any credential store: nothing is kept, nobody is signed
// in, and the log says why.
class TestTokenManagerNoStore : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { useOwnCredentialService("tokenmanager-nostore"); }

    void signInStillCompletesForThisRun()
    {
        TokenManager *tokens = TokenManager::instance();
        QSignalSpy stored(tokens, &TokenManager::tokenStored);
        tokens->storeCredentials(QStringLiteral("ada@example.com"), QStringLiteral("7|adatoken"));
        QVERIFY(stored.wait(30000));
        QCOMPARE(stored.count(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(LogCapture::instance().anyContains(QStringLiteral("Failed to store token:")), 30000);
        QCOMPARE(tokens->getToken(), QStringLiteral("7|adatoken"));
    }

    void nextRunIsSignedOutWithAReason()
    {
        TokenManager::instance()->dropCacheForTesting();
        LogCapture::instance().clear();
        const auto pair = readStored();
        QCOMPARE(pair.first, QString());
        QCOMPARE(pair.second, QString());
        QVERIFY(LogCapture::instance().anyContains(QStringLiteral("staying signed out")));
        QCOMPARE(TokenManager::instance()->getToken(), QString());
    }
};

int main(int argc, char *argv[])
{
    // No session bus, so no Secret Service either.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/kelvra-no-bus");
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    TestTokenManagerNoStore test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_tokenmanager_nostore.moc"
