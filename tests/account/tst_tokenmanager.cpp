#include <QEventLoop>
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

} // namespace

class TestTokenManager : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { useOwnCredentialService("tokenmanager"); }
    void init()
    {
        forgetCredentials(QStringLiteral("ada@example.com"));
        forgetCredentials(QStringLiteral("bob@example.com"));
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
};

KELVRA_API_TEST_MAIN(TestTokenManager, QCoreApplication)
#include "tst_tokenmanager.moc"
