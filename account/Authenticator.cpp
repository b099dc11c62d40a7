#include "account/Authenticator.h"

#include "account/TokenManager.h"
#include "account/UserManager.h"
#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("Authenticator"));
constexpr int kMaxTokenLength = 4096;
} // namespace

Authenticator::Authenticator(QObject *parent)
    : QObject(parent), m_tokenManager(TokenManager::instance())
{
    connect(m_tokenManager, &TokenManager::tokenStored, this, &Authenticator::tokenReady);
}

bool Authenticator::isUsableToken(const QString &token)
{
    if (token.isEmpty() || token.size() > kMaxTokenLength)
        return false;
    for (const QChar c : token) {
        if (c.unicode() < 0x21 || c.unicode() > 0x7e)
            return false;
    }
    return true;
}

void Authenticator::extractStoreToken(QJsonObject data)
{
    const QJsonObject payload = data.value(QLatin1String("data")).toObject();
    const QString email = payload.value(QLatin1String("user")).toObject().value(QLatin1String("email")).toString();
    const QString token = payload.value(QLatin1String("token")).toString();

    UserManager::instance()->setUserRecord(data);

    if (token.isEmpty()) {
        logger.warning() << "Could not extract token from data";
        return;
    }
    // Stored under an empty address the token could never be found again;
    // one with line breaks or controls would end up inside request headers.
    if (email.trimmed().isEmpty() || !isUsableToken(token)) {
        logger.warning() << "Sign-in answer without a usable token or e-mail: nothing stored";
        return;
    }
    m_tokenManager->storeCredentials(email, token);
}
