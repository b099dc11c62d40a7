#include "account/UserManager.h"

#include <QDate>
#include <QDateTime>
#include <QDesktopServices>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QUrl>

#include "account/AccountSite.h"
#include "account/TokenManager.h"
#include "api/ApiHost.h"
#include "api/NetworkManager.h"
#include "app/Logger.h"

namespace {

Logger logger(QStringLiteral("UserManager"));

const char kProbeUrl[] = "https://1.1.1.1/cdn-cgi/trace";
constexpr int kProbeTimeoutMs = 4000;
constexpr int kProbeRetryMs = 5000;
constexpr int kDashboardCodeTimeoutMs = 15000;

QString &probeUrl()
{
    static QString url = QString::fromLatin1(kProbeUrl);
    return url;
}

int &probeRetryMs()
{
    static int delay = kProbeRetryMs;
    return delay;
}

QJsonObject answerObject(const QByteArray &data)
{
    return QJsonDocument::fromJson(data).object();
}

// A text field that may come as a string or a number; anything else is empty.
QString textOf(const QJsonValue &value)
{
    if (value.isString())
        return value.toString().trimmed();
    if (value.isDouble())
        return QString::number(value.toDouble(), 'g', 16);
    return QString();
}

QString firstText(const QJsonObject &data, const char *key, const QJsonObject &fallback)
{
    const QString value = textOf(data.value(QLatin1String(key)));
    return value.isEmpty() ? textOf(fallback.value(QLatin1String(key))) : value;
}

// The probe writes an IPv4 address as four decimal numbers 0-255 without
// leading zeros. Anything else is refused rather than read the way an
// address parser reads it ("010.1.1.1" would become 8.1.1.1).
bool isDottedQuad(const QString &text)
{
    static const QRegularExpression quad(QRegularExpression::anchoredPattern(
        QStringLiteral("(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])(\\.(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])){3}")));
    return quad.match(text).hasMatch();
}

QDate parseDate(const QString &text)
{
    QDate date = QDate::fromString(text.left(10), Qt::ISODate);
    if (!date.isValid())
        date = QDateTime::fromString(text, Qt::ISODate).date();
    return date;
}

} // namespace

UserManager *UserManager::instance()
{
    static UserManager *manager = new UserManager;
    return manager;
}

UserManager::UserManager()
    : m_subscriptionRequest(new NetworkManager(this)),
      m_userInfoRequest(new NetworkManager(this)),
      m_probeRequest(new NetworkManager(this))
{
    connect(m_subscriptionRequest, &NetworkManager::requestFinished, this, &UserManager::parseResponse);
    connect(m_subscriptionRequest, &NetworkManager::requestFailed, this, &UserManager::onErrorOccurred);
    connect(m_userInfoRequest, &NetworkManager::requestFinished, this, &UserManager::parseUserInfoResponse);
    connect(m_userInfoRequest, &NetworkManager::requestFailed, this, &UserManager::onErrorOccurred);
    connect(m_probeRequest, &NetworkManager::requestFinished, this,
            [this](const QByteArray &data, int) { onProbeFinished(data); });
    connect(m_probeRequest, &NetworkManager::requestFailed, this, [this] { onProbeFinished(QByteArray()); });

    m_probeTimer.setSingleShot(true);
    connect(&m_probeTimer, &QTimer::timeout, this, [this] {
        m_probeRequest->request(probeUrl(), QJsonObject(), NetworkManager::GET, QString(), kProbeTimeoutMs, false);
    });
}

void UserManager::setState(State state)
{
    instance()->applyState(state);
}

UserManager::State UserManager::state()
{
    return instance()->m_state;
}

int UserManager::getState() const
{
    return int(m_state);
}

void UserManager::applyState(State state)
{
    if (state == m_state)
        return;
    m_state = state;
    if (state == SignedOut) {
        m_email.clear();
        setSubscription(QString(), QString(), QString(), QString(), QString());
        setLoginIps(QString(), QString());
    }
    emit stateChanged(state);
}

QString UserManager::publicIp() const
{
    if (!m_measuredIp.isEmpty())
        return m_measuredIp;
    return m_lastLoginIp.isEmpty() ? m_firstLoginIp : m_lastLoginIp;
}

void UserManager::setLoginIps(const QString &first, const QString &last)
{
    const QString shown = publicIp();
    m_firstLoginIp = first;
    m_lastLoginIp = last;
    if (publicIp() != shown)
        emit publicIpChanged();
}

void UserManager::setMeasuredIp(const QString &ip)
{
    const QString shown = publicIp();
    m_measuredIp = ip;
    if (publicIp() != shown)
        emit publicIpChanged();
}

void UserManager::setUserRecord(const QJsonObject &answer)
{
    const QJsonObject user =
        answer.value(QLatin1String("data")).toObject().value(QLatin1String("user")).toObject();
    const QString email = textOf(user.value(QLatin1String("email")));
    if (!email.isEmpty())
        m_email = email;
    const QString first = textOf(user.value(QLatin1String("first_login_ip")));
    const QString last = textOf(user.value(QLatin1String("last_login_ip")));
    setLoginIps(first.isEmpty() ? m_firstLoginIp : first, last.isEmpty() ? m_lastLoginIp : last);
}

void UserManager::fetchUserInfo()
{
    m_userInfoRequest->request(ApiHost::url(QStringLiteral("me")), QJsonObject(), NetworkManager::GET,
                               TokenManager::instance()->getToken(), 0, true);
}

void UserManager::parseUserInfoResponse(QByteArray data, int statusCode)
{
    Q_UNUSED(statusCode)
    const QJsonObject answer = answerObject(data);
    if (!answer.value(QLatin1String("success")).toBool())
        return;
    const QJsonObject record = answer.value(QLatin1String("data")).toObject();
    const QJsonObject user = record.value(QLatin1String("user")).toObject();
    const QString last = firstText(record, "last_login_ip", user);
    const QString first = firstText(record, "first_login_ip", user);
    setLoginIps(first.isEmpty() ? m_firstLoginIp : first, last.isEmpty() ? m_lastLoginIp : last);
}

void UserManager::fetchUserCurrentSubscription()
{
    m_subscriptionRequest->request(ApiHost::url(QStringLiteral("subscription-info")), QJsonObject(),
                                   NetworkManager::GET, TokenManager::instance()->getToken(), 0, true);
}

void UserManager::parseResponse(QByteArray data, int statusCode)
{
    const QJsonObject answer = answerObject(data);
    if (statusCode < 200 || statusCode > 299 || !answer.value(QLatin1String("success")).toBool()) {
        logger.warning() << "Couldn't fetch the subscription, status" << statusCode;
        return;
    }
    const QJsonObject record = answer.value(QLatin1String("data")).toObject();
    // The plan may come as the package the user subscribed to or as the plan
    // record of the purchase; either names it.
    const QJsonObject package = record.value(QLatin1String("subscribed_package")).toObject();
    const QJsonValue planValue = record.value(QLatin1String("purchased_plan"));
    const QJsonObject plan = planValue.toObject();

    QString name = firstText(package, "name", plan);
    if (name.isEmpty())
        name = textOf(planValue);
    QString type = firstText(package, "type", plan);
    if (type.isEmpty())
        type = textOf(record.value(QLatin1String("subscription_status")));
    QString id = textOf(record.value(QLatin1String("subscription_id")));
    if (id.isEmpty())
        id = firstText(package, "id", plan);
    QString start = firstText(record, "start_date", plan);
    if (start.isEmpty())
        start = textOf(record.value(QLatin1String("purchased_at")));
    QString expire = firstText(record, "renewal_date", plan);
    if (expire.isEmpty())
        expire = textOf(record.value(QLatin1String("expiry_date")));

    setSubscription(name, type, id, start, expire);
    emit userCurrentSubscriptionFetched();
}

void UserManager::setSubscription(const QString &name, const QString &type, const QString &id, const QString &start,
                                  const QString &expire)
{
    if (m_subscriptionName != name) {
        m_subscriptionName = name;
        emit subscriptionNameChanged();
    }
    if (m_subscriptionType != type) {
        m_subscriptionType = type;
        emit subscriptionTypeChanged();
    }
    if (m_subscriptionId != id) {
        m_subscriptionId = id;
        emit subscriptionIdChanged();
    }
    if (m_subscriptionStartDate != start) {
        m_subscriptionStartDate = start;
        emit subscriptionStartDateChanged();
    }
    if (m_subscriptionExpireDate != expire) {
        m_subscriptionExpireDate = expire;
        emit subscriptionExpireDateChanged();
    }
}

int UserManager::getLeftDate() const
{
    const QDate expiry = parseDate(m_subscriptionExpireDate);
    if (!expiry.isValid())
        return 0;
    return int(qMax<qint64>(0, QDate::currentDate().daysTo(expiry)));
}

void UserManager::onErrorOccurred()
{
    logger.warning() << "Profile request failed before any answer";
}

void UserManager::reDirect(QString url)
{
    const QUrl target(url);
    // Only web pages leave the client this way.
    if (!target.isValid() || (target.scheme() != QLatin1String("https") && target.scheme() != QLatin1String("http"))) {
        logger.warning() << "Not opening a link that is no web page";
        return;
    }
    if (!QDesktopServices::openUrl(target))
        logger.warning() << "Failed to open the browser";
}

QString UserManager::dashboardPage(const QString &path)
{
    // Only a path on the account site itself: no other host ("//host"), no
    // scheme and no backslash that a browser might read as a separator.
    const bool onSite = path.startsWith(QLatin1Char('/')) && !path.startsWith(QLatin1String("//"))
        && !path.contains(QLatin1Char('\\')) && !path.contains(QLatin1Char(':'));
    return onSite ? path : QStringLiteral("/");
}

QString UserManager::dashboardUrl(const QString &code, const QString &path)
{
    const QString page = dashboardPage(path);
    if (code.isEmpty())
        return AccountSite::host() + page;
    return AccountSite::host() + QStringLiteral("/login-sso?token=%1&redirect=%2")
                                     .arg(QString::fromLatin1(QUrl::toPercentEncoding(code)),
                                          QString::fromLatin1(QUrl::toPercentEncoding(page)));
}

void UserManager::openDashboard(QString path)
{
    auto *request = new NetworkManager(this);
    connect(request, &NetworkManager::requestFinished, this, [this, request, path](const QByteArray &data, int) {
        request->deleteLater();
        const QJsonObject answer = answerObject(data);
        QString code = answer.value(QLatin1String("data")).toObject().value(QLatin1String("access_token")).toString();
        if (code.isEmpty())
            code = answer.value(QLatin1String("access_token")).toString();
        if (code.isEmpty())
            logger.warning() << "No sign-in code for the dashboard, opening it signed out";
        reDirect(dashboardUrl(code, path));
    });
    connect(request, &NetworkManager::requestFailed, this, [this, request, path] {
        request->deleteLater();
        logger.warning() << "Sign-in code request failed, opening the dashboard signed out";
        reDirect(dashboardUrl(QString(), path));
    });
    request->request(ApiHost::url(QStringLiteral("auth/sso-generate-login")), QJsonObject(), NetworkManager::POST,
                     TokenManager::instance()->getToken(), kDashboardCodeTimeoutMs, true);
}

void UserManager::deleteUserToken()
{
    TokenManager::instance()->deleteCredentials();
}

void UserManager::refreshPublicIp()
{
    refreshPublicIp(0);
}

void UserManager::refreshPublicIp(int delayMs)
{
    m_probeRetryPending = false;
    m_probeTimer.start(qMax(0, delayMs));
}

void UserManager::onProbeFinished(const QByteArray &data)
{
    QString ip;
    const QList<QByteArray> lines = data.split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("ip=")) {
            ip = QString::fromUtf8(line.mid(3)).trimmed();
            break;
        }
    }
    if (!isDottedQuad(ip))
        ip.clear();
    setMeasuredIp(ip);

    if (ip.isEmpty() && !m_probeRetryPending) {
        m_probeRetryPending = true;
        m_probeTimer.start(probeRetryMs());
    }
}

#ifdef KELVRA_TESTING
void UserManager::setProbeUrlForTesting(const QString &url)
{
    probeUrl() = url;
}

void UserManager::setProbeRetryDelayForTesting(int ms)
{
    probeRetryMs() = ms;
}
#endif
