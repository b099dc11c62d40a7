#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

class TokenManager;

// What every sign-in flow shares: the outcome signals, and taking the session
// token out of a successful answer and storing it.
class Authenticator : public QObject
{
    Q_OBJECT
public:
    explicit Authenticator(QObject *parent = nullptr);

    virtual void authenticate(QJsonObject credentials) = 0;
    virtual void handleResponse(QByteArray response) = 0;

    // A token goes into request headers and the credential store: only
    // visible ASCII of a sane length is accepted from an answer.
    static bool isUsableToken(const QString &token);

signals:
    void authenticationSucceeded(QJsonObject data);
    void authenticationFailed(QString message);
    void tokenReady();

public slots:
    void extractStoreToken(QJsonObject data);

protected:
    TokenManager *m_tokenManager;
};
