#pragma once

// Shared by the API and account tests: the in-process backend stand-in with
// the client pointed at it, a private credential-store service, and a capture
// of every log line.

#include <QCoreApplication>
#include <QEventLoop>
#include <QPointer>
#include <QSharedPointer>
#include <QTimer>
#include <QMutex>
#include <QMutexLocker>
#include <QSignalSpy>
#include <QStringList>
#include <QTest>

#include "account/TokenManager.h"
#include "account/UserManager.h"
#include "api/ApiHost.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"
#include "tools/backend/BackendStandIn.h"

namespace ApiTestSupport {

using ::LogCapture;

// Starts the stand-in on its three loopback addresses and a free port and
// points the client's API there. False (with a warning) when it cannot listen.
inline bool startStandIn(BackendStandIn &standIn)
{
    if (!standIn.listen(BackendStandIn::defaultAddresses()))
        return false;
    ApiHost::Testing::setApiPort(standIn.port());
    ApiHost::Testing::resetHostState();
    return true;
}

// A clean slate between test functions: traffic back on the primary host, no
// scripts, no recorded requests, no captured log lines.
inline void resetStandIn(BackendStandIn &standIn)
{
    ApiHost::Testing::resetHostState();
    standIn.clearScripts();
    standIn.clearRequests();
    LogCapture::instance().clear();
}

// Each test program keeps its credentials under a service name of its own:
// all tests share one Secret Service.
inline void useOwnCredentialService(const char *testName)
{
    LogCapture::instance().install();
    TokenManager::setServiceNameForTesting(QStringLiteral("Kelvra-test-%1-%2")
                                               .arg(QString::fromLatin1(testName))
                                               .arg(QCoreApplication::applicationPid()));
}

// Stores a pair and waits until both writes are done, as at the end of an
// earlier run; the cache is then dropped so the next read goes to the store.
inline bool storeAsEarlierRun(const QString &email, const QString &token)
{
    TokenManager *tokens = TokenManager::instance();
    QSignalSpy stored(tokens, &TokenManager::tokenStored);
    tokens->storeCredentials(email, token);
    if (!stored.wait(20000))
        return false;
    tokens->dropCacheForTesting();
    return true;
}

// Signs in as a sign-in answer does: a fresh session from the stand-in is
// stored and the user marked signed in. Empty when the store did not finish.
inline QString signInAs(BackendStandIn &standIn, const QString &email)
{
    const QString token = standIn.issueToken(email);
    QSignalSpy stored(TokenManager::instance(), &TokenManager::tokenStored);
    TokenManager::instance()->storeCredentials(email, token);
    if (!stored.wait(20000))
        return {};
    UserManager::setState(UserManager::SignedIn);
    return token;
}

// Reads the stored pair the way a new run would, through the store.
inline QPair<QString, QString> readStored()
{
    auto result = QSharedPointer<QPair<QString, QString>>::create();
    QEventLoop loop;
    QPointer<QEventLoop> guard(&loop);
    TokenManager::instance()->readCredentials([result, guard](const QString &email, const QString &token) {
        *result = {email, token};
        if (guard)
            guard->quit();
    });
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    return *result;
}

// Clears the stored pair of this test's service and the cache, and waits
// until the store has done it.
inline void forgetCredentials(const QString &email)
{
    TokenManager::instance()->deleteCredentials(email);
    readStored();
}

} // namespace ApiTestSupport

// In initTestCase(): the stand-in's host names exist only in the test network.
#define KELVRA_START_STAND_IN(standIn)                                                                                 \
    do {                                                                                                               \
        if (!TestEnvironment::inPrivateNetwork())                                                                      \
            QSKIP("needs the private test network (scripts/netns.sh)");                                                \
        QVERIFY(ApiTestSupport::startStandIn(standIn));                                                                \
    } while (false)

// A main() that gives the test its own home before the application exists.
#define KELVRA_API_TEST_MAIN(TestClass, AppClass)                                                                      \
    int main(int argc, char *argv[])                                                                                   \
    {                                                                                                                  \
        TestEnvironment::isolate();                                                                                    \
        AppClass app(argc, argv);                                                                                      \
        app.setOrganizationName(QStringLiteral("Kelvra.Inc"));                                                         \
        app.setApplicationName(QStringLiteral("Kelvra"));                                                              \
        TestClass test;                                                                                                \
        return QTest::qExec(&test, argc, argv);                                                                        \
    }
