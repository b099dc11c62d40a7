#include <QEventLoop>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <qt6keychain/keychain.h>

#include "tests/api/ApiTestSupport.h"

using namespace ApiTestSupport;

namespace {

// Reaches the credential store directly, behind the token store's back.
QString readEntry(const QString &key)
{
    QKeychain::ReadPasswordJob job(TokenManager::serviceName());
    job.setAutoDelete(false);
    job.setKey(key);
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    job.start();
    loop.exec();
    return job.error() == QKeychain::NoError ? job.textData() : QStringLiteral("<missing>");
}

bool writeEntry(const QString &key, const QString &value)
{
    QKeychain::WritePasswordJob job(TokenManager::serviceName());
    job.setAutoDelete(false);
    job.setKey(key);
    job.setTextData(value);
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    job.start();
    loop.exec();
    return job.error() == QKeychain::NoError;
}

const QString kAda = QStringLiteral("ada@example.com");
const QString kBob = QStringLiteral("bob@example.com");

// The user quits while a blocking read waits for the store; the shutdown
// goes on delivering events (its own bounded waits) after that.
int childQuitDuringRead()
{
    useOwnCredentialService("tokenmanager-quit");
    if (!storeAsEarlierRun(kAda, QStringLiteral("7|adatoken")))
        return 2;
    // The application object is a QCoreApplication: qApp would claim a QApplication.
    QCoreApplication *app = QCoreApplication::instance();
    QTimer::singleShot(0, app, [app] {
        QTimer::singleShot(0, app, &QCoreApplication::quit);
        TokenManager::instance()->getEmail();
    });
    QCoreApplication::exec();
    // Jobs run one after another: once a later read has answered, the cut
    // one has too.
    readStored();
    forgetCredentials(kAda);
    return 0;
}

} // namespace

class TestTokenManager : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { useOwnCredentialService("tokenmanager"); }
    void init()
    {
        forgetCredentials(kAda);
        forgetCredentials(kBob);
    }

    void storedPairIsServedFromTheCacheAtOnce()
    {
        TokenManager *tokens = TokenManager::instance();
        QSignalSpy stored(tokens, &TokenManager::tokenStored);
        tokens->storeCredentials(QStringLiteral("ada@example.com"), QStringLiteral("7|adatoken"));
        // Before any write has finished.
        QCOMPARE(stored.count(), 0);
        QCOMPARE(tokens->getToken(), QStringLiteral("7|adatoken"));
        QCOMPARE(tokens->getEmail(), QStringLiteral("ada@example.com"));
        QVERIFY(stored.wait(20000));
        QCOMPARE(stored.count(), 1);
    }

    void pairSurvivesIntoTheNextRun()
    {
        QVERIFY(storeAsEarlierRun(QStringLiteral("ada@example.com"), QStringLiteral("7|adatoken")));
        QCOMPARE(readEntry(QStringLiteral("kelvra_email")), QStringLiteral("ada@example.com"));
        QCOMPARE(readEntry(QStringLiteral("ada@example.com")), QStringLiteral("7|adatoken"));

        const auto pair = readStored();
        QCOMPARE(pair.first, QStringLiteral("ada@example.com"));
        QCOMPARE(pair.second, QStringLiteral("7|adatoken"));

        // The blocking read fills both caches.
        TokenManager *tokens = TokenManager::instance();
        QCOMPARE(tokens->getToken(), QStringLiteral("7|adatoken"));
        QVERIFY(writeEntry(QStringLiteral("kelvra_email"), QStringLiteral("changed@example.com")));
        QCOMPARE(tokens->getEmail(), QStringLiteral("ada@example.com"));
    }

    void secondAddressKeepsTheFirstAddressEntry()
    {
        QVERIFY(storeAsEarlierRun(QStringLiteral("ada@example.com"), QStringLiteral("7|adatoken")));
        QVERIFY(storeAsEarlierRun(QStringLiteral("bob@example.com"), QStringLiteral("8|bobtoken")));
        const auto pair = readStored();
        QCOMPARE(pair.first, QStringLiteral("bob@example.com"));
        QCOMPARE(pair.second, QStringLiteral("8|bobtoken"));
        QCOMPARE(readEntry(QStringLiteral("ada@example.com")), QStringLiteral("7|adatoken"));
    }

    void emptyResultIsNotCached()
    {
        TokenManager *tokens = TokenManager::instance();
        QCOMPARE(tokens->getToken(), QString());
        QCOMPARE(tokens->getEmail(), QString());
        // Written by someone else meanwhile: the next call reads the store again.
        QVERIFY(writeEntry(QStringLiteral("kelvra_email"), QStringLiteral("ada@example.com")));
        QVERIFY(writeEntry(QStringLiteral("ada@example.com"), QStringLiteral("7|adatoken")));
        QCOMPARE(tokens->getToken(), QStringLiteral("7|adatoken"));
    }

    void missingTokenEntryGivesEmptyToken()
    {
        QVERIFY(writeEntry(QStringLiteral("kelvra_email"), QStringLiteral("ada@example.com")));
        const auto pair = readStored();
        QCOMPARE(pair.first, QStringLiteral("ada@example.com"));
        QCOMPARE(pair.second, QString());
    }

    void deleteForgetsAtOnceAndRemovesBothEntries()
    {
        TokenManager *tokens = TokenManager::instance();
        QVERIFY(storeAsEarlierRun(QStringLiteral("ada@example.com"), QStringLiteral("7|adatoken")));
        QCOMPARE(tokens->getToken(), QStringLiteral("7|adatoken"));
        tokens->deleteCredentials();
        QCOMPARE(tokens->getToken(), QString());
        QCOMPARE(readEntry(QStringLiteral("kelvra_email")), QStringLiteral("<missing>"));
        QCOMPARE(readEntry(QStringLiteral("ada@example.com")), QStringLiteral("<missing>"));
    }

    void tokenNeverReachesTheLog()
    {
        LogCapture::instance().clear();
        QVERIFY(storeAsEarlierRun(QStringLiteral("ada@example.com"), QStringLiteral("7|secretvalue")));
        QCOMPARE(TokenManager::instance()->getToken(), QStringLiteral("7|secretvalue"));
        TokenManager::instance()->deleteCredentials();
        readStored();
        QVERIFY(LogCapture::instance().anyContains(QStringLiteral("Token stored securely in keychain")));
        QVERIFY(!LogCapture::instance().anyContains(QStringLiteral("secretvalue")));
    }

    void changeDuringABlockingReadIsKept_data()
    {
        QTest::addColumn<bool>("signIn");
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("token");
        QTest::newRow("sign-out") << false << QString() << QString();
        QTest::newRow("sign-in as another address") << true << kBob << QStringLiteral("8|bobtoken");
    }

    void changeDuringABlockingReadIsKept()
    {
        QFETCH(bool, signIn);
        QFETCH(QString, email);
        QFETCH(QString, token);
        QVERIFY(storeAsEarlierRun(kAda, QStringLiteral("7|adatoken")));
        TokenManager *tokens = TokenManager::instance();
        // Happens while the read below waits for the store.
        QTimer::singleShot(0, tokens, [tokens, signIn] {
            if (signIn)
                tokens->storeCredentials(kBob, QStringLiteral("8|bobtoken"));
            else
                tokens->deleteCredentials();
        });
        QCOMPARE(tokens->getEmail(), email);
        QCOMPARE(tokens->getEmail(), email);
        QCOMPARE(tokens->getToken(), token);
        forgetCredentials(kBob);
    }

    void quitDuringABlockingReadEndsCleanly()
    {
        QProcess child;
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child-quit-during-read")});
        QVERIFY(child.waitForFinished(60000));
        const QByteArray output = child.readAll();
        QVERIFY2(child.exitStatus() == QProcess::NormalExit, output.constData());
        QCOMPARE(child.exitCode(), 0);
    }

    void deleteWithAnEmptyCacheRemovesTheStoredPair()
    {
        QVERIFY(storeAsEarlierRun(kAda, QStringLiteral("7|adatoken")));
        LogCapture::instance().clear();
        // Signed out from the profile page before anything read the store.
        UserManager::instance()->deleteUserToken();
        QTRY_COMPARE_WITH_TIMEOUT(readEntry(kAda), QStringLiteral("<missing>"), 20000);
        QCOMPARE(readEntry(QStringLiteral("kelvra_email")), QStringLiteral("<missing>"));
        QCOMPARE(LogCapture::instance().count(QStringLiteral("Deleted token from keychain")), 1);
        QCOMPARE(TokenManager::instance()->getToken(), QString());
    }

    void deleteWithNothingStoredDeletesNothing()
    {
        LogCapture::instance().clear();
        TokenManager::instance()->deleteCredentials();
        readStored();
        QVERIFY(!LogCapture::instance().anyContains(QStringLiteral("Deleted token from keychain")));
        QVERIFY(!LogCapture::instance().anyContains(QStringLiteral("Failed to delete token")));
    }

    void storeKeys_data()
    {
        QTest::addColumn<QString>("service");
        QTest::addColumn<QString>("key");
        QTest::addColumn<int>("naming");
        QTest::addColumn<QString>("storedUnder");
        const int keyOnly = int(TokenManager::KeyNaming::KeyOnly);
        const int prefixed = int(TokenManager::KeyNaming::ServicePrefixed);
        // Where the store keeps entries per service, keys stay as they always were.
        QTest::newRow("e-mail entry, per-service store") << "Kelvra" << "kelvra_email" << keyOnly << "kelvra_email";
        QTest::newRow("token entry, per-service store") << "Kelvra" << kAda << keyOnly << kAda;
        // Where it ignores the service, the service names every entry.
        QTest::newRow("e-mail entry, one namespace") << "Kelvra" << "kelvra_email" << prefixed << "Kelvra/kelvra_email";
        QTest::newRow("token entry, one namespace") << "Kelvra" << kAda << prefixed << "Kelvra/ada@example.com";
        QTest::newRow("other service, one namespace") << "Kelvra-test" << kAda << prefixed
                                                      << "Kelvra-test/ada@example.com";
    }

    void storeKeys()
    {
        QFETCH(QString, service);
        QFETCH(QString, key);
        QFETCH(int, naming);
        QFETCH(QString, storedUnder);
        QCOMPARE(TokenManager::storeKey(service, key, TokenManager::KeyNaming(naming)), storedUnder);
    }

    void thisPlatformsKeyNaming()
    {
#ifdef Q_OS_WIN
        // The credential manager files entries under the key alone.
        QCOMPARE(TokenManager::platformKeyNaming(), TokenManager::KeyNaming::ServicePrefixed);
#else
        // The Secret Service keeps entries per service; stored sessions keep loading.
        QCOMPARE(TokenManager::platformKeyNaming(), TokenManager::KeyNaming::KeyOnly);
#endif
    }
};

int main(int argc, char *argv[])
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    app.setOrganizationName(QStringLiteral("Kelvra.Inc"));
    app.setApplicationName(QStringLiteral("Kelvra"));
    if (argc > 1 && qstrcmp(argv[1], "--child-quit-during-read") == 0)
        return childQuitDuringRead();
    TestTokenManager test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_tokenmanager.moc"
