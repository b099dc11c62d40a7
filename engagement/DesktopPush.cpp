#include "engagement/DesktopPush.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

#include "account/UserManager.h"
#include "app/Logger.h"
#include "app/Settings.h"
#include "engagement/ApiCall.h"
#include "platform/DesktopNotifier.h"

namespace {
Logger logger(QStringLiteral("DesktopPush"));

const QString kShownKey = QStringLiteral("desktopPush/shown");
const QString kInboxKey = QStringLiteral("desktopPush/inbox");
const QString kReadKey = QStringLiteral("desktopPush/read");
const QString kDemoKey = QStringLiteral("demo");
} // namespace

DesktopPush::DesktopPush(QSharedPointer<Settings> settings, QObject *parent)
    : QObject(parent), m_settings(std::move(settings)), m_shown(m_settings, kShownKey), m_read(m_settings, kReadKey)
{
    m_notifier = new DesktopNotifier(this);
    connect(m_notifier, &DesktopNotifier::clicked, this, [this](const QString &id) {
        if (id != kDemoKey)
            markRead(id);
        emit notificationClicked(id);
    });
    connect(m_notifier, &DesktopNotifier::failed, this, [this](const QString &id) {
        const int row = indexOf(id);
        if (id == kDemoKey || row < 0) {
            emit trayMessage(QStringLiteral("Kelvra"), tr("This is how Kelvra notifications look."), kTrayMessageMs);
            return;
        }
        const PushNotification &notification = m_inbox.at(row);
        emit trayMessage(notification.title.isEmpty() ? QStringLiteral("Kelvra") : notification.title,
                         notification.body, kTrayMessageMs);
    });

    loadInbox();
    m_pollTimer.setSingleShot(true);
    connect(&m_pollTimer, &QTimer::timeout, this, &DesktopPush::poll);
    // The sign-in flows store the session's token right after saying so:
    // the first requests wait for that turn to end.
    connect(UserManager::instance(), &UserManager::stateChanged, this, [this](UserManager::State state) {
        if (state == UserManager::SignedIn)
            QTimer::singleShot(0, this, [this] {
                if (UserManager::state() == UserManager::SignedIn)
                    onSignInChanged(true);
            });
        else
            onSignInChanged(false);
    });
    if (UserManager::state() == UserManager::SignedIn)
        QTimer::singleShot(0, this, [this] { onSignInChanged(true); });
}

DesktopPush::~DesktopPush() = default;

#ifdef KELVRA_TESTING
void DesktopPush::setPollIntervalForTesting(int ms)
{
    m_pollMs = ms > 0 ? ms : kPollMs;
}
#endif

void DesktopPush::onSignInChanged(bool signedIn)
{
    ++m_generation;
    m_polling = false;
    m_acking.clear();
    if (signedIn) {
        poll();
        refreshInbox();
        return;
    }
    // The inbox belongs to the account that signed out.
    m_pollTimer.stop();
    m_inbox.clear();
    m_settings->setValue(kInboxKey, QString());
    emit inboxChanged();
}

void DesktopPush::poll()
{
    if (m_polling || UserManager::state() != UserManager::SignedIn)
        return;
    m_polling = true;
    m_pollTimer.stop();
    ApiCall::send(this, QNetworkAccessManager::GetOperation, QStringLiteral("notifications/pending"), QByteArray(),
                  kRequestTimeoutMs, [this, generation = m_generation](const ApiCall::Result &result) {
                      if (generation != m_generation)
                          return;
                      m_polling = false;
                      if (UserManager::state() != UserManager::SignedIn)
                          return;
                      if (result.status == 429) {
                          backOff(result.retryAfterSeconds);
                          return;
                      }
                      m_pollTimer.start(m_pollMs);
                      if (result.status < 200 || result.status > 299) {
                          logger.warning() << "Pending notifications not fetched, HTTP" << result.status;
                          return;
                      }
                      bool ok = false;
                      const QList<PushNotification> pending = PushNotification::listFromAnswer(result.body, &ok);
                      if (!ok) {
                          logger.warning() << "Pending notifications answer not understood - ignored";
                          return;
                      }
                      onPending(pending);
                  });
}

void DesktopPush::backOff(int retryAfterSeconds)
{
    const int seconds = qBound(kMinBackoffSeconds, retryAfterSeconds, kMaxBackoffSeconds);
    logger.warning() << "Notifications: too many requests, next poll in" << seconds << "s";
    m_pollTimer.start(qMax(m_pollMs, seconds * 1000));
}

void DesktopPush::onPending(const QList<PushNotification> &pending)
{
    QList<PushNotification> fresh;
    for (const PushNotification &notification : pending) {
        if (m_shown.add(notification.id)) {
            fresh.append(notification);
            m_notifier->show(notification.id, notification.title, notification.body);
        }
    }
    if (!fresh.isEmpty())
        mergeInbox(fresh, false);
    for (const PushNotification &notification : pending)
        acknowledge(notification.id);
}

void DesktopPush::acknowledge(const QString &id)
{
    if (m_acked.contains(id) || m_acking.contains(id))
        return;
    m_acking.insert(id);
    ApiCall::send(this, QNetworkAccessManager::PostOperation, QStringLiteral("notifications/%1/ack").arg(id), "{}",
                  kRequestTimeoutMs, [this, id, generation = m_generation](const ApiCall::Result &result) {
                      if (generation != m_generation)
                          return;
                      m_acking.remove(id);
                      // Not acknowledged: the backend sends it again, and the
                      // next poll tries again (it is not shown twice).
                      if (result.status >= 200 && result.status <= 299)
                          m_acked.insert(id);
                      else
                          logger.warning() << "Notification not acknowledged, HTTP" << result.status;
                  });
}

void DesktopPush::refreshInbox()
{
    if (UserManager::state() != UserManager::SignedIn)
        return;
    ApiCall::send(this, QNetworkAccessManager::GetOperation, QStringLiteral("notifications/inbox"), QByteArray(),
                  kRequestTimeoutMs, [this, generation = m_generation](const ApiCall::Result &result) {
                      if (generation != m_generation || UserManager::state() != UserManager::SignedIn)
                          return;
                      if (result.status < 200 || result.status > 299) {
                          logger.warning() << "Inbox not fetched, HTTP" << result.status;
                          return;
                      }
                      bool ok = false;
                      const QList<PushNotification> entries = PushNotification::listFromAnswer(result.body, &ok);
                      if (!ok) {
                          logger.warning() << "Inbox answer not understood - the inbox is kept as it was";
                          return;
                      }
                      mergeInbox(entries, true);
                  });
}

// `replace`: the entries are the backend's whole inbox. What it no longer
// lists leaves, unless it was shown in this run and the inbox lags behind.
void DesktopPush::mergeInbox(const QList<PushNotification> &entries, bool replace)
{
    QList<PushNotification> merged = entries;
    for (const PushNotification &held : std::as_const(m_inbox)) {
        const bool listed = std::any_of(merged.cbegin(), merged.cend(),
                                        [&held](const PushNotification &n) { return n.id == held.id; });
        if (!listed && (!replace || m_acked.contains(held.id) || m_acking.contains(held.id)))
            merged.append(held);
    }
    // Newest first; entries without a date keep their place behind dated ones.
    std::stable_sort(merged.begin(), merged.end(), [](const PushNotification &a, const PushNotification &b) {
        if (a.createdAt.isValid() != b.createdAt.isValid())
            return a.createdAt.isValid();
        return a.createdAt > b.createdAt;
    });
    while (merged.size() > PushNotification::kMaxEntries)
        merged.removeLast();
    m_inbox = merged;
    storeInbox();
    emit inboxChanged();
}

int DesktopPush::indexOf(const QString &id) const
{
    for (int i = 0; i < m_inbox.size(); ++i) {
        if (m_inbox.at(i).id == id)
            return i;
    }
    return -1;
}

bool DesktopPush::isRead(const PushNotification &notification) const
{
    return notification.read || m_read.contains(notification.id);
}

QVariantList DesktopPush::inbox() const
{
    const QStringList read = m_read.ids();
    QVariantList list;
    for (const PushNotification &notification : m_inbox)
        list.append(notification.toVariant(read.contains(notification.id)));
    return list;
}

int DesktopPush::unreadCount() const
{
    const QStringList read = m_read.ids();
    return int(std::count_if(m_inbox.cbegin(), m_inbox.cend(), [&read](const PushNotification &n) {
        return !n.read && !read.contains(n.id);
    }));
}

void DesktopPush::markRead(const QString &id)
{
    const int row = indexOf(id);
    if (row < 0 || isRead(m_inbox.at(row)))
        return;
    m_read.add(id);
    emit inboxChanged();
}

void DesktopPush::markAllRead()
{
    bool changed = false;
    for (const PushNotification &notification : std::as_const(m_inbox)) {
        if (!isRead(notification))
            changed = m_read.add(notification.id) || changed;
    }
    if (changed)
        emit inboxChanged();
}

void DesktopPush::open(const QString &id)
{
    const int row = indexOf(id);
    if (row < 0)
        return;
    const QString url = m_inbox.at(row).url;
    markRead(id);
    if (!url.isEmpty())
        UserManager::instance()->reDirect(url);
}

void DesktopPush::demo()
{
    const QString text = tr("This is how Kelvra notifications look.");
    m_notifier->show(kDemoKey, QStringLiteral("Kelvra"), text);
    emit demoMessage(text);
}

void DesktopPush::loadInbox()
{
    const QString stored = m_settings->value(kInboxKey).toString();
    if (stored.isEmpty())
        return;
    const QJsonDocument document = QJsonDocument::fromJson(stored.toUtf8());
    if (!document.isArray()) {
        logger.warning() << "The stored inbox is not readable - it is fetched again";
        return;
    }
    for (const QJsonValue &value : document.array()) {
        const PushNotification notification = PushNotification::fromJson(value.toObject());
        if (!notification.id.isEmpty() && indexOf(notification.id) < 0
            && m_inbox.size() < PushNotification::kMaxEntries)
            m_inbox.append(notification);
    }
}

void DesktopPush::storeInbox()
{
    QJsonArray array;
    for (const PushNotification &notification : std::as_const(m_inbox))
        array.append(notification.toJson());
    m_settings->setValue(kInboxKey, QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact)));
}
