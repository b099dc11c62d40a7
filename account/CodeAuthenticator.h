#pragma once

#include "account/Authenticator.h"

class NetworkManager;

// Sign-in by a one-time code mailed to the user's address.
class CodeAuthenticator : public Authenticator
{
    Q_OBJECT
public:
    explicit CodeAuthenticator(QObject *parent = nullptr);

    Q_INVOKABLE void authenticate(QJsonObject credentials) override;
    Q_INVOKABLE void getCode(QString email);
    void handleResponse(QByteArray response) override;

    // The fields that tell the backend which device signs in.
    static QJsonObject deviceFields();

signals:
    void codeSent();

private:
    NetworkManager *m_request;
};
