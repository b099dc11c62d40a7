#pragma once

#include <QJsonObject>
#include <QString>

#include "account/Authenticator.h"

class NetworkManager;

// Sign-in without typing a code: single sign-on in the browser (the site hands
// the session back through a "kelvra-fiddle" link carrying this run's one-time
// state), and sign-in links from the account page. A link, or a hand-back the
// client did not ask for, is never acted on silently: its account is held
// until the person confirms it, and every token not kept is revoked.
class ThirdPartyAuthenticationController : public Authenticator
{
    Q_OBJECT
public:
    explicit ThirdPartyAuthenticationController(QObject *parent = nullptr);

    // Sends GET "me" with the single-sign-on token being verified.
    void authenticate(QJsonObject credentials) override;
    // The answer to that check.
    void handleResponse(QByteArray response) override;

    // Points the scheme at this program (see UrlScheme).
    static void registerUrlScheme(const QString &scheme);

    // How long a single-sign-on state stays good.
    static constexpr qint64 kStateLifetimeMs = 600000;

#ifdef KELVRA_TESTING
    QString pendingStateForTesting() const { return m_pendingState; }
    QString heldEmailForTesting() const { return m_heldEmail; }
    bool isHoldingForTesting() const { return !m_heldToken.isEmpty(); }
    // Moves this controller's clock, as if that much time had passed.
    void advanceClockForTesting(qint64 ms) { m_clockOffsetMs += ms; }
    // Stops this controller's clock at the given time (0: the real clock again).
    void setNowForTesting(qint64 msSinceEpoch) { m_frozenNowMs = msSinceEpoch; }
#endif

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

private:
    void onLinkAnswer(const QByteArray &response, int statusCode);
    void lookUpAccount(const QString &token);
    void decideHold(const QString &token, const QString &linkEmail, const QJsonObject &user, const QString &method);
    void clearHold();
    QString methodOrSso() const;
    qint64 now() const;
    // Ends a session the client will not keep; the answer does not matter.
    static void revoke(const QString &token);

    NetworkManager *m_meRequest;
    NetworkManager *m_linkRequest;
    QString m_ssoToken;
    QString m_ssoMethod;
    QString m_pendingState;
    qint64 m_stateExpiry = 0;
    QString m_lookupToken;
    QString m_heldToken;
    QString m_heldEmail;
    QString m_heldMethod;
    QJsonObject m_heldUser;
    qint64 m_clockOffsetMs = 0;
    qint64 m_frozenNowMs = 0;
};
