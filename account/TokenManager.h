#pragma once

#include <QObject>
#include <QString>

#include <functional>

// Keeps the signed-in account's session token and e-mail in the platform
// credential store and caches both in memory. Two entries: the e-mail under a
// fixed key, then the token under the e-mail. Process-wide; GUI thread only.
class TokenManager : public QObject
{
    Q_OBJECT
public:
    using Callback = std::function<void(const QString &email, const QString &token)>;

    static TokenManager *instance();

    // Caches the pair at once; the writes finish later (tokenStored()).
    void storeCredentials(const QString &email, const QString &token);
    // Calls back exactly once, asynchronously; either value may be empty.
    void readCredentials(Callback callback);
    // The cached value, or a blocking read of the store (a local event loop:
    // callers must tolerate re-entry while it waits).
    QString getToken();
    QString getEmail();
    // Removes the pair of this address (the cached one when empty) and
    // forgets the cache at once.
    void deleteCredentials(const QString &email = QString());

    static QString serviceName();

    // How an entry's key is named in the store. Some stores keep entries per
    // service; others (the Windows credential manager, as qtkeychain uses it)
    // keep one namespace for every program, so the service must be part of
    // the key or another program's entry could be taken for ours.
    enum class KeyNaming {
        KeyOnly,
        ServicePrefixed,
    };
    static KeyNaming platformKeyNaming();
    static QString storeKey(const QString &service, const QString &key, KeyNaming naming);
#ifdef KELVRA_TESTING
    // Tests share one Secret Service; each uses a service name of its own.
    static void setServiceNameForTesting(const QString &service);
    // Forgets the cache without touching the store, like a new run.
    void dropCacheForTesting();
#endif

signals:
    void tokenStored();

private:
    TokenManager() = default;
    QString blockingRead(bool wantToken);
    void deleteTokenEntry(const QString &address);

    QString m_token;
    QString m_email;
    // Counts sign-ins and sign-outs, so that a read begun before one of them
    // does not bring the old pair back.
    quint64 m_changes = 0;
};
