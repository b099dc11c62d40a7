#include "account/TokenManager.h"

#include <QEventLoop>
#include <QSharedPointer>

#include <qt6keychain/keychain.h>

#include "app/Logger.h"

namespace {

Logger logger(QStringLiteral("TokenManager"));

const char kEmailKey[] = "kelvra_email";

QString &service()
{
    static QString name = QStringLiteral("Kelvra");
    return name;
}

QString emailKey()
{
    return QString::fromLatin1(kEmailKey);
}

// A failed read is an ordinary signed-out state unless the store itself is
// missing or broken; say which, so a user who keeps being signed out can
// find out why.
void logReadError(const QKeychain::Job *job)
{
    switch (job->error()) {
    case QKeychain::EntryNotFound:
        return;
    case QKeychain::NoBackendAvailable:
        logger.error() << "No credential store available, staying signed out:" << job->errorString();
        return;
    default:
        logger.warning() << "Could not read the credential store, staying signed out:" << job->errorString();
        return;
    }
}

} // namespace

TokenManager *TokenManager::instance()
{
    static TokenManager manager;
    return &manager;
}

QString TokenManager::serviceName()
{
    return service();
}

void TokenManager::storeCredentials(const QString &email, const QString &token)
{
    m_token = token;
    m_email = email;

    auto *emailJob = new QKeychain::WritePasswordJob(service());
    emailJob->setKey(emailKey());
    emailJob->setTextData(email);
    connect(emailJob, &QKeychain::Job::finished, this, [](QKeychain::Job *job) {
        if (job->error() != QKeychain::NoError)
            logger.error() << "Failed to store email:" << job->errorString();
        else
            logger.info() << "Email stored successfully";
    });

    auto *tokenJob = new QKeychain::WritePasswordJob(service());
    tokenJob->setKey(email);
    tokenJob->setTextData(token);
    connect(tokenJob, &QKeychain::Job::finished, this, [this](QKeychain::Job *job) {
        if (job->error() != QKeychain::NoError)
            logger.error() << "Failed to store token:" << job->errorString();
        else
            logger.debug() << "Token stored securely in keychain";
        emit tokenStored();
    });

    emailJob->start();
    tokenJob->start();
}

void TokenManager::readCredentials(Callback callback)
{
    auto *emailJob = new QKeychain::ReadPasswordJob(service());
    emailJob->setKey(emailKey());
    connect(emailJob, &QKeychain::Job::finished, this, [this, callback](QKeychain::Job *job) {
        if (job->error() != QKeychain::NoError) {
            logReadError(job);
            callback(QString(), QString());
            return;
        }
        const QString email = static_cast<QKeychain::ReadPasswordJob *>(job)->textData();
        if (email.isEmpty()) {
            callback(QString(), QString());
            return;
        }
        auto *tokenJob = new QKeychain::ReadPasswordJob(service());
        tokenJob->setKey(email);
        connect(tokenJob, &QKeychain::Job::finished, this, [email, callback](QKeychain::Job *job) {
            QString token;
            if (job->error() == QKeychain::NoError)
                token = static_cast<QKeychain::ReadPasswordJob *>(job)->textData();
            else
                logReadError(job);
            callback(email, token);
        });
        tokenJob->start();
    });
    emailJob->start();
}

QString TokenManager::blockingRead(bool wantToken)
{
    QEventLoop loop;
    // The loop may be gone by the time a re-entered caller's read answers;
    // the shared flag keeps the callback from touching it then.
    auto result = QSharedPointer<QString>::create();
    auto done = QSharedPointer<bool>::create(false);
    QEventLoop *loopPointer = &loop;
    readCredentials([this, wantToken, result, done, loopPointer](const QString &email, const QString &token) {
        m_email = email;
        m_token = token;
        *result = wantToken ? token : email;
        *done = true;
        loopPointer->quit();
    });
    if (!*done)
        loop.exec();
    return *result;
}

QString TokenManager::getToken()
{
    if (!m_token.isEmpty())
        return m_token;
    return blockingRead(true);
}

QString TokenManager::getEmail()
{
    if (!m_email.isEmpty())
        return m_email;
    return blockingRead(false);
}

void TokenManager::deleteCredentials(const QString &email)
{
    const QString address = email.isEmpty() ? m_email : email;

    auto *tokenJob = new QKeychain::DeletePasswordJob(service());
    tokenJob->setKey(address);
    connect(tokenJob, &QKeychain::Job::finished, this, [](QKeychain::Job *job) {
        if (job->error() != QKeychain::NoError)
            logger.error() << "Failed to delete token:" << job->errorString();
        else
            logger.debug() << "Deleted token from keychain";
    });

    auto *emailJob = new QKeychain::DeletePasswordJob(service());
    emailJob->setKey(emailKey());
    connect(emailJob, &QKeychain::Job::finished, this, [](QKeychain::Job *job) {
        if (job->error() != QKeychain::NoError)
            logger.warning() << "Failed to delete email:" << job->errorString();
    });

    tokenJob->start();
    emailJob->start();

    m_token.clear();
    m_email.clear();
}

#ifdef KELVRA_TESTING
void TokenManager::setServiceNameForTesting(const QString &name)
{
    service() = name;
}

void TokenManager::dropCacheForTesting()
{
    m_token.clear();
    m_email.clear();
}
#endif
