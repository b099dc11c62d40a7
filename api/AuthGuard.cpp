#include "api/AuthGuard.h"

#include "account/TokenManager.h"
#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("AuthGuard"));
} // namespace

AuthGuard *AuthGuard::instance()
{
    static AuthGuard *guard = new AuthGuard;
    return guard;
}

void AuthGuard::check401(const QByteArray &sentAuthorization)
{
    const QString token = TokenManager::instance()->getToken();
    if (token.isEmpty() || QByteArray("Bearer ") + token.toUtf8() != sentAuthorization) {
        logger.warning() << "401 on a request with another session's token: not a logout";
        return;
    }
    emit instance()->unauthorized();
}
