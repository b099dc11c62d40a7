#include "StandInAccounts.h"

#include <QRandomGenerator>
#include <QUuid>

namespace {
constexpr qint64 CodeLifetimeMs = 15 * 60 * 1000;

QString key(const QString &email)
{
    return email.trimmed().toLower();
}

QString randomText(int length, const char *alphabet)
{
    const int size = int(qstrlen(alphabet));
    QString text;
    text.reserve(length);
    for (int i = 0; i < length; ++i)
        text.append(QLatin1Char(alphabet[QRandomGenerator::global()->bounded(size)]));
    return text;
}

QString iso(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate);
}

QString fieldOr(const QJsonObject &fields, const char *name, const QString &fallback)
{
    const QString value = fields.value(QLatin1String(name)).toString();
    return value.isEmpty() ? fallback : value;
}

QJsonObject deviceJson(const StandInAccounts::Device &device)
{
    return QJsonObject{
        {QStringLiteral("device_uuid"), device.uuid},
        {QStringLiteral("device_os"), device.os},
        {QStringLiteral("device_os_version"), device.osVersion},
        {QStringLiteral("device_brand"), device.brand},
        {QStringLiteral("device_model"), device.model},
        {QStringLiteral("device_icon"), device.icon},
        {QStringLiteral("access_token_id"), device.tokenId},
        {QStringLiteral("vpn_connected"), device.vpnConnected},
        {QStringLiteral("vpn_type"), device.vpnType},
        {QStringLiteral("last_seen"), iso(device.lastSeen)},
        {QStringLiteral("counts_toward_limit"), device.countsTowardLimit},
    };
}

QString iconFor(const QString &os)
{
    const QString lower = os.toLower();
    if (lower.contains(QLatin1String("windows")))
        return QStringLiteral("windows");
    if (lower.contains(QLatin1String("android")))
        return QStringLiteral("android");
    if (lower.contains(QLatin1String("ios")) || lower.contains(QLatin1String("mac")))
        return QStringLiteral("apple");
    return QStringLiteral("desktop");
}
} // namespace

StandInAccounts::StandInAccounts() = default;

StandInAccounts::Account &StandInAccounts::account(const QString &email)
{
    auto it = m_accounts.find(key(email));
    if (it == m_accounts.end()) {
        Account account;
        account.id = m_nextAccountId++;
        account.email = email.trimmed();
        account.createdAt = QDateTime::currentDateTimeUtc();
        const QDateTime start = account.createdAt.addDays(-40);
        account.subscription = QJsonObject{
            {QStringLiteral("purchased_plan"), QStringLiteral("Premium")},
            {QStringLiteral("subscription_status"), QStringLiteral("active")},
            {QStringLiteral("subscription_id"), QStringLiteral("sub_") + QString::number(account.id)},
            {QStringLiteral("subscribed_package"),
             QJsonObject{{QStringLiteral("id"), 3},
                         {QStringLiteral("name"), QStringLiteral("Premium")},
                         {QStringLiteral("type"), QStringLiteral("yearly")}}},
            {QStringLiteral("start_date"), iso(start)},
            {QStringLiteral("renewal_date"), iso(start.addYears(1))},
        };
        it = m_accounts.insert(key(email), account);
    }
    return it.value();
}

QString StandInAccounts::newToken()
{
    const QString token = QString::number(m_nextTokenId++) + QLatin1Char('|')
        + randomText(40, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789");
    return token;
}

QString StandInAccounts::mailCode(const QString &email)
{
    const QString code = QStringLiteral("%1").arg(QRandomGenerator::global()->bounded(1000000), 6, 10, QLatin1Char('0'));
    m_codes.insert(key(email), Issued{code, QDateTime::currentDateTimeUtc()});
    return code;
}

QString StandInAccounts::lastCodeFor(const QString &email) const
{
    return m_codes.value(key(email)).value;
}

bool StandInAccounts::takeCode(const QString &email, const QString &code)
{
    const auto it = m_codes.constFind(key(email));
    if (it == m_codes.constEnd() || code.trimmed().isEmpty() || it->value != code.trimmed())
        return false;
    const bool fresh = it->at.msecsTo(QDateTime::currentDateTimeUtc()) <= CodeLifetimeMs;
    m_codes.erase(it);
    return fresh;
}

QString StandInAccounts::issueLinkCode(const QString &email)
{
    const QString code = randomText(48, "abcdefghijklmnopqrstuvwxyz0123456789");
    m_linkCodes.insert(code, Issued{key(email), QDateTime::currentDateTimeUtc()});
    account(email);
    return code;
}

StandInAccounts::LinkCode StandInAccounts::redeemLinkCode(const QString &code, QString *email)
{
    if (m_usedLinkCodes.contains(code))
        return LinkCode::Used;
    const auto it = m_linkCodes.constFind(code);
    if (it == m_linkCodes.constEnd())
        return LinkCode::Unknown;
    const Issued issued = it.value();
    m_linkCodes.erase(it);
    m_usedLinkCodes.insert(code);
    if (issued.at.msecsTo(QDateTime::currentDateTimeUtc()) > CodeLifetimeMs)
        return LinkCode::Expired;
    *email = m_accounts.value(issued.value).email;
    return LinkCode::Valid;
}

QString StandInAccounts::signIn(const QString &email, const QJsonObject &fields, const QString &ip, bool enforceLimit)
{
    Account &acc = account(email);
    Device device;
    device.os = fieldOr(fields, "device_os", QStringLiteral("unknown"));
    device.osVersion = fields.value(QLatin1String("device_os_version")).toString();
    device.brand = fields.value(QLatin1String("device_brand")).toString();
    device.model = fields.value(QLatin1String("device_model")).toString();
    device.icon = iconFor(device.os);

    // A sign-in that names no machine (a sign-in link) can't be told from
    // another: it is a device of its own.
    int same = -1;
    for (int i = 0; fields.contains(QLatin1String("device_os")) && i < acc.devices.size(); ++i) {
        const Device &d = acc.devices.at(i);
        if (d.os == device.os && d.osVersion == device.osVersion && d.brand == device.brand && d.model == device.model)
            same = i;
    }
    if (same < 0 && enforceLimit && m_deviceLimit > 0) {
        int counted = 0;
        for (const Device &d : std::as_const(acc.devices))
            counted += d.countsTowardLimit ? 1 : 0;
        if (counted >= m_deviceLimit)
            return QString();
    }

    const QString token = newToken();
    m_tokens.insert(token, key(email));
    if (same >= 0) {
        Device &old = acc.devices[same];
        for (auto it = m_tokens.begin(); it != m_tokens.end();) {
            if (tokenIdOf(it.key()) == old.tokenId)
                it = m_tokens.erase(it);
            else
                ++it;
        }
        old.tokenId = tokenIdOf(token);
        old.lastSeen = QDateTime::currentDateTimeUtc();
    } else {
        device.uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
        device.tokenId = tokenIdOf(token);
        device.lastSeen = QDateTime::currentDateTimeUtc();
        acc.devices.append(device);
    }
    if (acc.firstLoginIp.isEmpty())
        acc.firstLoginIp = ip;
    acc.lastLoginIp = ip;
    return token;
}

StandInAccounts::Account *StandInAccounts::accountForToken(const QString &token)
{
    const auto it = m_tokens.constFind(token);
    if (it == m_tokens.constEnd())
        return nullptr;
    const auto acc = m_accounts.find(it.value());
    return acc == m_accounts.end() ? nullptr : &acc.value();
}

const StandInAccounts::Account *StandInAccounts::find(const QString &email) const
{
    const auto it = m_accounts.constFind(key(email));
    return it == m_accounts.constEnd() ? nullptr : &it.value();
}

StandInAccounts::Device *StandInAccounts::deviceForToken(const QString &token)
{
    Account *acc = accountForToken(token);
    if (!acc)
        return nullptr;
    const int id = tokenIdOf(token);
    for (Device &d : acc->devices) {
        if (d.tokenId == id)
            return &d;
    }
    return nullptr;
}

bool StandInAccounts::isTokenValid(const QString &token) const
{
    return m_tokens.contains(token);
}

void StandInAccounts::revoke(const QString &token)
{
    Account *acc = accountForToken(token);
    if (acc) {
        const int id = tokenIdOf(token);
        acc->devices.removeIf([id](const Device &d) { return d.tokenId == id; });
    }
    m_tokens.remove(token);
}

bool StandInAccounts::removeDevice(Account *account, const QString &uuid)
{
    for (int i = 0; i < account->devices.size(); ++i) {
        if (account->devices.at(i).uuid != uuid)
            continue;
        const int id = account->devices.at(i).tokenId;
        account->devices.removeAt(i);
        m_tokens.removeIf([id](const QHash<QString, QString>::iterator &it) { return tokenIdOf(it.key()) == id; });
        return true;
    }
    return false;
}

QString StandInAccounts::addDevice(const QString &email, const QJsonObject &fields, bool vpnConnected)
{
    Account &acc = account(email);
    const QString token = newToken();
    m_tokens.insert(token, key(email));
    Device device;
    device.uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    device.tokenId = tokenIdOf(token);
    device.os = fieldOr(fields, "device_os", QStringLiteral("android"));
    device.osVersion = fieldOr(fields, "device_os_version", QStringLiteral("14"));
    device.brand = fieldOr(fields, "device_brand", QStringLiteral("Pixelgram"));
    device.model = fieldOr(fields, "device_model", QStringLiteral("PG-7 Pro"));
    device.icon = iconFor(device.os);
    device.vpnConnected = vpnConnected;
    device.vpnType = vpnConnected ? fieldOr(fields, "vpn_type", QStringLiteral("WireGuard")) : QString();
    device.countsTowardLimit = fields.value(QLatin1String("counts_toward_limit")).toBool(true);
    device.lastSeen = QDateTime::currentDateTimeUtc().addSecs(-3600);
    acc.devices.append(device);
    return device.uuid;
}

QJsonArray StandInAccounts::devicesJson(const Account &account, int currentTokenId) const
{
    QJsonArray list;
    for (const Device &d : account.devices) {
        QJsonObject row = deviceJson(d);
        row.insert(QStringLiteral("is_current"), currentTokenId > 0 && d.tokenId == currentTokenId);
        list.append(row);
    }
    return list;
}

QJsonArray StandInAccounts::connectedOthers(const Account &account, int exceptTokenId) const
{
    QJsonArray list;
    for (const Device &d : account.devices) {
        if (d.vpnConnected && d.tokenId != exceptTokenId)
            list.append(deviceJson(d));
    }
    return list;
}

int StandInAccounts::connectedOthersCount(const Account &account, int exceptTokenId) const
{
    return int(connectedOthers(account, exceptTokenId).size());
}

void StandInAccounts::setSubscription(const QString &email, const QJsonObject &data)
{
    account(email).subscription = data;
}

QJsonObject StandInAccounts::userJson(const Account &account)
{
    return QJsonObject{
        {QStringLiteral("id"), account.id},
        {QStringLiteral("email"), account.email},
        {QStringLiteral("name"), account.email.section(QLatin1Char('@'), 0, 0)},
        {QStringLiteral("first_login_ip"), account.firstLoginIp},
        {QStringLiteral("last_login_ip"), account.lastLoginIp},
        {QStringLiteral("created_at"), iso(account.createdAt)},
        {QStringLiteral("email_verified"), true},
    };
}

int StandInAccounts::tokenIdOf(const QString &token)
{
    return token.section(QLatin1Char('|'), 0, 0).toInt();
}
