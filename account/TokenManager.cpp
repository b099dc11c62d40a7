#include "account/TokenManager.h"

#include <QEventLoop>
#include <QPointer>
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

// The key an entry is filed under in this platform's store.
QString entryKey(const QString &key)
{
    return TokenManager::storeKey(service(), key, TokenManager::platformKeyNaming());
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

TokenManager::KeyNaming TokenManager::platformKeyNaming()
{
#ifdef Q_OS_WIN
    // qtkeychain's credential-manager back end drops the service name.
    return KeyNaming::ServicePrefixed;
#else
    return KeyNaming::KeyOnly;
#endif
}

QString TokenManager::storeKey(const QString &service, const QString &key, KeyNaming naming)
{
    return naming == KeyNaming::ServicePrefixed ? service + QLatin1Char('/') + key : key;
}

void TokenManager::storeCredentials(const QString &email, const QString &token)
{
    ++m_changes;
    m_token = token;
    m_email = email;

    auto *emailJob = new QKeychain::WritePasswordJob(service());
    emailJob->setKey(entryKey(emailKey()));
    emailJob->setTextData(email);
    connect(emailJob, &QKeychain::Job::finished, this, [](QKeychain::Job *job) {
        if (job->error() != QKeychain::NoError)
            logger.error() << "Failed to store email:" << job->errorString();
        else
            logger.info() << "Email stored successfully";
    });

    auto *tokenJob = new QKeychain::WritePasswordJob(service());
    tokenJob->setKey(entryKey(email));
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
    emailJob->setKey(entryKey(emailKey()));
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
        tokenJob->setKey(entryKey(email));
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
    // The loop is gone when a quit ended it early (every loop stops then)
    // and the store answers afterwards.
    QPointer<QEventLoop> waiting(&loop);
    auto result = QSharedPointer<QString>::create();
    auto done = QSharedPointer<bool>::create(false);
    const quint64 changesBefore = m_changes;
    readCredentials([this, wantToken, result, done, waiting, changesBefore](const QString &email, const QString &token) {
        // A sign-in or sign-out while the store was being read is newer
        // than what the store said when the read began.
        if (m_changes == changesBefore) {
            m_email = email;
            m_token = token;
        }
        *result = wantToken ? m_token : m_email;
        *done = true;
        if (waiting)
            waiting->quit();
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
    ++m_changes;
    const QString address = email.isEmpty() ? m_email : email;

    if (address.isEmpty()) {
        // Nothing read the store yet this run: the stored address says whose
        // token to remove. The e-mail entry is deleted only after that read
        // (jobs run in the order they were started).
        const quint64 changesBefore = m_changes;
        auto *readJob = new QKeychain::ReadPasswordJob(service());
        readJob->setKey(entryKey(emailKey()));
        connect(readJob, &QKeychain::Job::finished, this, [this, changesBefore](QKeychain::Job *job) {
            if (job->error() != QKeychain::NoError) {
                logReadError(job);
                return;
            }
            const QString stored = static_cast<QKeychain::ReadPasswordJob *>(job)->textData();
            // A sign-in as the same address since then owns that entry now.
            if (stored.isEmpty() || (m_changes != changesBefore && stored == m_email))
                return;
            deleteTokenEntry(stored);
        });
        readJob->start();
    } else {
        deleteTokenEntry(address);
    }

    auto *emailJob = new QKeychain::DeletePasswordJob(service());
    emailJob->setKey(entryKey(emailKey()));
    connect(emailJob, &QKeychain::Job::finished, this, [](QKeychain::Job *job) {
        if (job->error() != QKeychain::NoError)
            logger.warning() << "Failed to delete email:" << job->errorString();
    });
    emailJob->start();

    m_token.clear();
    m_email.clear();
}

void TokenManager::deleteTokenEntry(const QString &address)
{
    auto *tokenJob = new QKeychain::DeletePasswordJob(service());
    tokenJob->setKey(entryKey(address));
    connect(tokenJob, &QKeychain::Job::finished, this, [](QKeychain::Job *job) {
        if (job->error() != QKeychain::NoError)
            logger.error() << "Failed to delete token:" << job->errorString();
        else
            logger.debug() << "Deleted token from keychain";
    });
    tokenJob->start();
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
