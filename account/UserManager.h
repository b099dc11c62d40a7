#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>

class NetworkManager;

// The signed-in state of the whole program and the profile the user pages
// show: public IP and subscription. Process-wide; GUI thread only.
class UserManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString subscriptionId READ subscriptionId NOTIFY subscriptionIdChanged)
    Q_PROPERTY(QString subscriptionType READ subscriptionType NOTIFY subscriptionTypeChanged)
    Q_PROPERTY(QString userSubscribtionName READ subscriptionName NOTIFY subscriptionNameChanged)
    Q_PROPERTY(QString subscriptionStartDate READ subscriptionStartDate NOTIFY subscriptionStartDateChanged)
    Q_PROPERTY(QString subscriptionExpireDate READ subscriptionExpireDate NOTIFY subscriptionExpireDateChanged)
    Q_PROPERTY(QString publicIp READ publicIp NOTIFY publicIpChanged)
public:
    enum State {
        SignedIn = 0,
        SignedOut = 1,
    };
    Q_ENUM(State)

    static UserManager *instance();
    static void setState(State state);
    static State state();

    QString subscriptionId() const { return m_subscriptionId; }
    QString subscriptionType() const { return m_subscriptionType; }
    QString subscriptionName() const { return m_subscriptionName; }
    QString subscriptionStartDate() const { return m_subscriptionStartDate; }
    QString subscriptionExpireDate() const { return m_subscriptionExpireDate; }
    // The address measured through the probe, else the last sign-in address.
    QString publicIp() const;
    QString email() const { return m_email; }

    // The page of the account site `openDashboard` opens for `path` ("/" for
    // anything that is not a plain path on the site), and the whole address:
    // signed in through "/login-sso" when a sign-in code came, else the page.
    static QString dashboardPage(const QString &path);
    static QString dashboardUrl(const QString &code, const QString &path);

    // Takes the user record from a sign-in answer ("data"."user").
    void setUserRecord(const QJsonObject &answer);

#ifdef KELVRA_TESTING
    // Points the public-IP probe at the stand-in.
    static void setProbeUrlForTesting(const QString &url);
    static void setProbeRetryDelayForTesting(int ms);
#endif

signals:
    void publicIpChanged();
    void userCurrentSubscriptionFetched();
    void subscriptionNameChanged();
    void subscriptionStartDateChanged();
    void subscriptionExpireDateChanged();
    void subscriptionTypeChanged();
    void subscriptionIdChanged();
    void stateChanged(UserManager::State state);

public slots:
    void parseResponse(QByteArray data, int statusCode);
    void parseUserInfoResponse(QByteArray data, int statusCode);
    void onErrorOccurred();

public:
    Q_INVOKABLE void fetchUserCurrentSubscription();
    Q_INVOKABLE void fetchUserInfo();
    Q_INVOKABLE void reDirect(QString url);
    Q_INVOKABLE void openDashboard(QString path);
    Q_INVOKABLE void deleteUserToken();
    Q_INVOKABLE void refreshPublicIp(int delayMs);
    Q_INVOKABLE void refreshPublicIp();
    Q_INVOKABLE int getLeftDate() const;
    Q_INVOKABLE int getState() const;

private:
    UserManager();
    void applyState(State state);
    void setLoginIps(const QString &first, const QString &last);
    void setMeasuredIp(const QString &ip);
    void setSubscription(const QString &name, const QString &type, const QString &id, const QString &start,
                         const QString &expire);
    void onProbeFinished(const QByteArray &data);

    State m_state = SignedOut;
    QString m_email;
    QString m_firstLoginIp;
    QString m_lastLoginIp;
    QString m_measuredIp;
    QString m_subscriptionId;
    QString m_subscriptionType;
    QString m_subscriptionName;
    QString m_subscriptionStartDate;
    QString m_subscriptionExpireDate;

    NetworkManager *m_subscriptionRequest;
    NetworkManager *m_userInfoRequest;
    NetworkManager *m_probeRequest;
    QTimer m_probeTimer;
    bool m_probeRetryPending = false;
};
