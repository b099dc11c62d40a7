#include "account/ThirdPartyAuthenticationController.h"

#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("ThirdPartyAuth"));

void notBuilt(const char *what)
{
    logger.warning() << what << "ignored: browser and link sign-in are not built yet";
}
} // namespace

ThirdPartyAuthenticationController::ThirdPartyAuthenticationController(QObject *parent) : Authenticator(parent) {}

void ThirdPartyAuthenticationController::authenticate(QJsonObject credentials)
{
    Q_UNUSED(credentials)
    notBuilt("Sign-in check");
}

void ThirdPartyAuthenticationController::handleResponse(QByteArray response)
{
    Q_UNUSED(response)
    notBuilt("Sign-in answer");
}

void ThirdPartyAuthenticationController::onAuthenticated(QString token, QString state)
{
    Q_UNUSED(token)
    Q_UNUSED(state)
    notBuilt("Single-sign-on hand-back");
}

void ThirdPartyAuthenticationController::onLoginLink(QString code)
{
    Q_UNUSED(code)
    notBuilt("Sign-in link");
    emit loginLinkFailed(tr("Signing in by link isn't available in this version."));
}

void ThirdPartyAuthenticationController::start(QString method)
{
    Q_UNUSED(method)
    notBuilt("Single sign-on");
}

void ThirdPartyAuthenticationController::confirmHeldSignIn()
{
    notBuilt("Confirmation");
}

void ThirdPartyAuthenticationController::cancelHeldSignIn()
{
    notBuilt("Cancellation");
}
