#pragma once

#include "account/Authenticator.h"

class NetworkManager;

// Signs the user out: on request (revoking the session at the backend) or
// when the backend no longer accepts the session.
class LogoutManager : public Authenticator
{
    Q_OBJECT
public:
    explicit LogoutManager(QObject *parent = nullptr);

    // The sign-out request; the credentials are the request's JSON body.
    Q_INVOKABLE void authenticate(QJsonObject credentials) override;
    void handleResponse(QByteArray response) override;

    bool isBusy() const { return m_busy; }

signals:
    void logout();

public slots:
    void forceLogout();

private:
    void finish();

    NetworkManager *m_request;
    bool m_busy = false;
};
