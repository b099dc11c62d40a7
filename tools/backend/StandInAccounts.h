#pragma once

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>

// The stand-in's account store, in memory: accounts by e-mail (made on first
// sign-in), the codes it "mailed", the session tokens it issued and each
// account's devices with the device and connection limits.
class StandInAccounts
{
public:
    struct Device
    {
        QString uuid;
        int tokenId = 0;
        QString os;
        QString osVersion;
        QString brand;
        QString model;
        QString icon;
        bool vpnConnected = false;
        QString vpnType;
        QDateTime lastSeen;
        bool countsTowardLimit = true;
    };
    struct Account
    {
        int id = 0;
        QString email;
        QDateTime createdAt;
        QString firstLoginIp;
        QString lastLoginIp;
        QList<Device> devices;
        QJsonObject subscription;
    };

    StandInAccounts();

    // A new six-digit code for the address; the previous one stops working.
    QString mailCode(const QString &email);
    QString lastCodeFor(const QString &email) const;
    // True when the code is the one mailed last and not used or expired yet;
    // a right code is used up.
    bool takeCode(const QString &email, const QString &code);

    QString issueLinkCode(const QString &email);
    enum class LinkCode { Valid, Unknown, Used, Expired };
    // Uses up a link code; on Valid, email is the account it was issued for.
    LinkCode redeemLinkCode(const QString &code, QString *email);

    // Signs in a device: the same machine (same OS, version, brand and model)
    // signing in again replaces its old session; one that names no machine
    // ("device_os" absent) is always a new device. Empty when the account is
    // at its device limit (unless the limit is not enforced).
    QString signIn(const QString &email, const QJsonObject &deviceFields, const QString &ip,
                   bool enforceLimit = true);
    Account *accountForToken(const QString &token);
    const Account *find(const QString &email) const;
    Device *deviceForToken(const QString &token);
    bool isTokenValid(const QString &token) const;
    // Ends the session and forgets the device that held it.
    void revoke(const QString &token);
    // Removes a device of the account (and its session). False when unknown.
    bool removeDevice(Account *account, const QString &uuid);

    QString addDevice(const QString &email, const QJsonObject &fields, bool vpnConnected);
    QJsonArray devicesJson(const Account &account, int currentTokenId) const;
    // The account's other devices with a tunnel up, as the connection-limit
    // refusal lists them.
    QJsonArray connectedOthers(const Account &account, int exceptTokenId) const;
    int connectedOthersCount(const Account &account, int exceptTokenId) const;

    void setDeviceLimit(int limit) { m_deviceLimit = limit; }
    void setConnectionLimit(int limit) { m_connectionLimit = limit; }
    int deviceLimit() const { return m_deviceLimit; }
    int connectionLimit() const { return m_connectionLimit; }

    void setSubscription(const QString &email, const QJsonObject &data);
    static QJsonObject userJson(const Account &account);
    static int tokenIdOf(const QString &token);

private:
    // A mailed code, or the account a link code was issued for, and when.
    struct Issued
    {
        QString value;
        QDateTime at;
    };
    Account &account(const QString &email);
    QString newToken();

    QHash<QString, Account> m_accounts;   // by lower-cased e-mail
    QHash<QString, QString> m_tokens;     // token -> lower-cased e-mail
    QHash<QString, Issued> m_codes;       // lower-cased e-mail -> last code
    QHash<QString, Issued> m_linkCodes;   // link code -> lower-cased e-mail
    QSet<QString> m_usedLinkCodes;
    int m_nextAccountId = 1001;
    int m_nextTokenId = 41;
    int m_deviceLimit = 5;
    int m_connectionLimit = 0;
};
