#pragma once

#include "account/Authenticator.h"

// Sign-in through the browser (Google, Apple) and by sign-in link. Published
// with its full interface so the pages and the link hand-over can bind to it;
// until it is built every request is refused with a log line, nothing signs in.
class ThirdPartyAuthenticationController : public Authenticator
{
    Q_OBJECT
public:
    explicit ThirdPartyAuthenticationController(QObject *parent = nullptr);

    void authenticate(QJsonObject credentials) override;
    void handleResponse(QByteArray response) override;

signals:
    void authenticated(QString userEmail, QString method);
    void confirmSignInRequested(QString linkEmail);
    void confirmSwitchRequested(QString linkEmail, QString currentEmail);
    void loginLinkFailed(QString message);

public slots:
    void onAuthenticated(QString token, QString state);
    void onLoginLink(QString code);
    void start(QString method);
    void confirmHeldSignIn();
    void cancelHeldSignIn();
};
