#include "account/ThirdPartyAuthenticationController.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonDocument>
#include <QPointer>
#include <QRandomGenerator>
#include <QUrl>

#include "account/AccountSite.h"
#include "account/CodeAuthenticator.h"
#include "account/TokenManager.h"
#include "account/UserManager.h"
#include "api/ApiHost.h"
#include "api/NetworkManager.h"
#include "app/Logger.h"
#include "platform/UrlScheme.h"

namespace {

Logger logger(QStringLiteral("ThirdPartyAuth"));

constexpr int kRevokeTimeoutMs = 5000;
constexpr int kStateBytes = 32;

const char kGooglePath[] = "desktop-app/google/login?platform=windows";
const char kApplePath[] = "desktop-app/apple/login?platform=windows";

QJsonObject answerObject(const QByteArray &response)
{
    return QJsonDocument::fromJson(response).object();
}

QString offlineText()
{
    return QCoreApplication::translate("ThirdPartyAuth", "You're offline. Check your connection and try again.");
}

QString invalidLinkText()
{
    return QCoreApplication::translate("ThirdPartyAuth", "This sign-in link isn't valid. Please try again.");
}

// 32 bytes of the system's cryptographic randomness, Base64url without
// padding: 43 characters nobody can guess.
QString newState()
{
    quint32 words[kStateBytes / 4];
    QRandomGenerator::system()->fillRange(words);
    const QByteArray bytes(reinterpret_cast<const char *>(words), kStateBytes);
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QString signOnUrl(const char *path, const QString &state)
{
    QString url = AccountSite::host() + QLatin1Char('/') + QLatin1String(path);
    const QJsonObject device = CodeAuthenticator::deviceFields();
    for (const char *field : {"device_os", "device_os_version", "device_brand", "device_model"}) {
        const QString value = device.value(QLatin1String(field)).toString();
        url += QStringLiteral("&%1=%2").arg(QLatin1String(field), QString::fromLatin1(QUrl::toPercentEncoding(value)));
    }
    return url + QStringLiteral("&state=") + state;
}

} // namespace

ThirdPartyAuthenticationController::ThirdPartyAuthenticationController(QObject *parent)
    : Authenticator(parent), m_meRequest(new NetworkManager(this)), m_linkRequest(new NetworkManager(this))
{
    connect(m_meRequest, &NetworkManager::requestFinished, this,
            [this](const QByteArray &response, int) { handleResponse(response); });
    // A check that never gets an answer ends silently: the sign-in page stays.
    connect(m_linkRequest, &NetworkManager::requestFinished, this, &ThirdPartyAuthenticationController::onLinkAnswer);
    connect(m_linkRequest, &NetworkManager::requestFailed, this, [this] { emit loginLinkFailed(offlineText()); });
    registerUrlScheme(QStringLiteral("kelvra"));
}

void ThirdPartyAuthenticationController::registerUrlScheme(const QString &scheme)
{
    if (!UrlScheme::registerScheme(scheme, QCoreApplication::applicationFilePath()))
        logger.warning() << "Could not register the" << scheme << "link scheme";
}

qint64 ThirdPartyAuthenticationController::now() const
{
    return (m_frozenNowMs > 0 ? m_frozenNowMs : QDateTime::currentMSecsSinceEpoch()) + m_clockOffsetMs;
}

QString ThirdPartyAuthenticationController::methodOrSso() const
{
    return m_ssoMethod.isEmpty() ? QStringLiteral("sso") : m_ssoMethod;
}

void ThirdPartyAuthenticationController::start(QString method)
{
    m_ssoMethod = method.toLower();
    m_pendingState = newState();
    m_stateExpiry = now() + kStateLifetimeMs;
    registerUrlScheme(QStringLiteral("kelvra-fiddle"));

    const QString google = signOnUrl(kGooglePath, m_pendingState);
    const QString apple = signOnUrl(kApplePath, m_pendingState);
    // The provider test is exact: only "GOOGLE" opens Google's page.
    UserManager::instance()->reDirect(method == QLatin1String("GOOGLE") ? google : apple);
}

void ThirdPartyAuthenticationController::onAuthenticated(QString token, QString state)
{
    if (!state.isEmpty() && state == m_pendingState) {
        // Each state is good for one hand-back, whatever happens next.
        m_pendingState.clear();
        if (now() <= m_stateExpiry) {
            m_ssoToken = token;
            authenticate({});
            return;
        }
    }
    logger.info() << "Sign-in hand-back without this app's state";
    lookUpAccount(token);
}

void ThirdPartyAuthenticationController::authenticate(QJsonObject credentials)
{
    Q_UNUSED(credentials)
    m_meRequest->request(ApiHost::url(QStringLiteral("me")), QJsonObject(), NetworkManager::GET, m_ssoToken, 0, false);
}

void ThirdPartyAuthenticationController::handleResponse(QByteArray response)
{
    const QJsonObject answer = answerObject(response);
    if (!answer.value(QLatin1String("success")).toBool())
        return;
    const QString email = answer.value(QLatin1String("data")).toObject().value(QLatin1String("email")).toString();
    if (email.trimmed().isEmpty()) {
        // Stored under no address the session could never be found again.
        logger.warning() << "Single sign-on answer without an e-mail: not signed in";
        revoke(m_ssoToken);
        return;
    }
    UserManager::setState(UserManager::SignedIn);
    m_tokenManager->storeCredentials(email, m_ssoToken);
    emit authenticated(email, methodOrSso());
}

void ThirdPartyAuthenticationController::onLoginLink(QString code)
{
    logger.info() << "Login link redeem sent";
    m_linkRequest->request(ApiHost::url(QStringLiteral("auth/sso-login-with-token")),
                           QJsonObject{{QStringLiteral("access_token"), code}}, NetworkManager::POST, QString(), 0,
                           true);
}

void ThirdPartyAuthenticationController::onLinkAnswer(const QByteArray &response, int statusCode)
{
    const QJsonObject answer = answerObject(response);
    const QJsonObject data = answer.value(QLatin1String("data")).toObject();
    const QString token = data.value(QLatin1String("token")).toString();
    const QString email = data.value(QLatin1String("user")).toObject().value(QLatin1String("email")).toString();
    // A token that could not travel in a request header is no token.
    if (answer.value(QLatin1String("success")).toBool() && isUsableToken(token)) {
        decideHold(token, email, answer, QStringLiteral("link"));
        return;
    }

    const QJsonObject error = answer.value(QLatin1String("error")).toObject();
    const int errorCode = error.value(QLatin1String("code")).toInt(0);
    logger.info() << "Login link result:" << statusCode << errorCode;
    QString message = error.value(QLatin1String("message")).toString();
    if (errorCode == 20042)
        message = tr("This sign-in link has expired. Please try again.");
    else if (errorCode >= 20039 && errorCode <= 20041)
        message = invalidLinkText();
    if (message.isEmpty())
        message = tr("This sign-in link didn't work. Please try again from your account page.");
    emit loginLinkFailed(message);
}

void ThirdPartyAuthenticationController::lookUpAccount(const QString &token)
{
    if (!m_lookupToken.isEmpty())
        revoke(m_lookupToken);
    m_lookupToken = token;

    auto *request = new NetworkManager(this);
    connect(request, &NetworkManager::requestFinished, this, [this, request, token](const QByteArray &response, int) {
        request->deleteLater();
        if (m_lookupToken != token)
            return;
        m_lookupToken.clear();
        const QJsonObject answer = answerObject(response);
        const QString email = answer.value(QLatin1String("success")).toBool()
            ? answer.value(QLatin1String("data")).toObject().value(QLatin1String("email")).toString()
            : QString();
        decideHold(token, email, answer, methodOrSso());
    });
    connect(request, &NetworkManager::requestFailed, this, [this, request, token] {
        request->deleteLater();
        if (m_lookupToken != token)
            return;
        m_lookupToken.clear();
        emit loginLinkFailed(offlineText());
    });
    request->request(ApiHost::url(QStringLiteral("me")), QJsonObject(), NetworkManager::GET, token, 0, false);
}

void ThirdPartyAuthenticationController::decideHold(const QString &token, const QString &linkEmail,
                                                    const QJsonObject &user, const QString &method)
{
    const bool signedIn = UserManager::state() == UserManager::SignedIn;
    const QString currentEmail = signedIn ? m_tokenManager->getEmail() : QString();

    if (linkEmail.trimmed().isEmpty()) {
        revoke(token);
        logger.info() << "Sign-in link dropped:" << "no account";
        emit loginLinkFailed(invalidLinkText());
        return;
    }
    if (signedIn && linkEmail.compare(currentEmail, Qt::CaseInsensitive) == 0) {
        // The person already uses that account: nothing to ask. A hand-back
        // opened again carries the very session in use, which stays.
        if (token != m_tokenManager->getToken())
            revoke(token);
        logger.info() << "Sign-in link dropped:" << "same account";
        return;
    }

    if (!m_heldToken.isEmpty())
        revoke(m_heldToken);
    m_heldToken = token;
    m_heldEmail = linkEmail;
    m_heldMethod = method;
    m_heldUser = user;
    logger.info() << "Sign-in link waits for the user's answer";
    if (signedIn)
        emit confirmSwitchRequested(linkEmail, currentEmail);
    else
        emit confirmSignInRequested(linkEmail);
}

void ThirdPartyAuthenticationController::confirmHeldSignIn()
{
    if (m_heldToken.isEmpty())
        return;
    logger.info() << "Sign-in link confirmed";
    const QString token = m_heldToken;
    const QString email = m_heldEmail;
    const QString method = m_heldMethod;
    const QJsonObject user = m_heldUser;
    clearHold();
    UserManager::setState(UserManager::SignedIn);
    UserManager::instance()->setUserRecord(user);
    m_tokenManager->storeCredentials(email, token);
    emit authenticated(email, method);
}

void ThirdPartyAuthenticationController::cancelHeldSignIn()
{
    if (m_heldToken.isEmpty())
        return;
    logger.info() << "Sign-in link cancelled";
    revoke(m_heldToken);
    clearHold();
}

void ThirdPartyAuthenticationController::clearHold()
{
    m_heldToken.clear();
    m_heldEmail.clear();
    m_heldMethod.clear();
    m_heldUser = QJsonObject();
}

void ThirdPartyAuthenticationController::revoke(const QString &token)
{
    if (token.isEmpty())
        return;
    auto *request = new NetworkManager;
    connect(request, &NetworkManager::requestFinished, request, &QObject::deleteLater);
    connect(request, &NetworkManager::requestFailed, request, &QObject::deleteLater);
    request->request(ApiHost::url(QStringLiteral("auth/logout")), QJsonObject(), NetworkManager::POST, token,
                     kRevokeTimeoutMs, false);
}
