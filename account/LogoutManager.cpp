#include "account/LogoutManager.h"

#include "account/TokenManager.h"
#include "account/UserManager.h"
#include "api/ApiHost.h"
#include "api/NetworkManager.h"
#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("LogoutManager"));
constexpr int kLogoutTimeoutMs = 5000;
constexpr int kLoggedBodyBytes = 200;
} // namespace

LogoutManager::LogoutManager(QObject *parent)
    : Authenticator(parent), m_request(new NetworkManager(this))
{
    connect(m_request, &NetworkManager::requestFinished, this, [this](const QByteArray &response, int status) {
        if (status < 200 || status > 299)
            logger.debug() << "logout API returned" << status << response.left(kLoggedBodyBytes);
        finish();
    });
    connect(m_request, &NetworkManager::requestFailed, this, &LogoutManager::finish);
}

void LogoutManager::authenticate(QJsonObject credentials)
{
    if (m_busy)
        return;
    m_busy = true;
    const QString token = m_tokenManager->getToken();
    UserManager::setState(UserManager::SignedOut);
    m_tokenManager->deleteCredentials();
    if (token.isEmpty()) {
        finish();
        return;
    }
    m_request->request(ApiHost::url(QStringLiteral("auth/logout")), credentials, NetworkManager::POST, token,
                       kLogoutTimeoutMs, true);
}

void LogoutManager::handleResponse(QByteArray response)
{
    // The sign-out answer carries nothing the client needs.
    Q_UNUSED(response)
}

void LogoutManager::forceLogout()
{
    if (m_busy)
        return;
    // Reading the store waits in an event loop: a sign-out may begin meanwhile.
    if (m_tokenManager->getToken().isEmpty() || m_busy)
        return;
    UserManager::setState(UserManager::SignedOut);
    m_tokenManager->deleteCredentials();
    emit logout();
}

void LogoutManager::finish()
{
    m_busy = false;
    emit logout();
}
