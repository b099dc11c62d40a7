#include "engagement/InAppMessages.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QRegularExpression>
#include <QUuid>

#include "account/UserManager.h"
#include "app/Logger.h"
#include "app/Settings.h"
#include "engagement/ApiCall.h"
#include "vpn/VpnConnection.h"

namespace {
Logger logger(QStringLiteral("InAppMessages"));

const QString kDeviceIdKey = QStringLiteral("inAppMessages/deviceId");
const QString kShownKey = QStringLiteral("inAppMessages/shown");

int tunnelSettleMs = InAppMessages::kTunnelSettleMs;

qint64 monotonicMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}
} // namespace

InAppMessages::InAppMessages(QSharedPointer<Settings> settings, QSharedPointer<VpnConnection> vpnConnection,
                             QObject *parent)
    : QObject(parent), m_settings(std::move(settings)), m_shown(m_settings, kShownKey)
{
    connect(this, &InAppMessages::messageReady, this, &InAppMessages::addLocalBanner);
    connect(UserManager::instance(), &UserManager::stateChanged, this, [this](UserManager::State state) {
        // The sign-in flows store the session's token right after saying
        // so: the first sync waits for that turn to end.
        if (state == UserManager::SignedIn)
            QTimer::singleShot(0, this, [this] { sync(QStringLiteral("startup")); });
        else
            clear();
    });
    if (vpnConnection) {
        connect(vpnConnection.data(), &VpnConnection::connectionStateChanged, this, &InAppMessages::onTunnelState);
    }
    m_tunnelTimer.setSingleShot(true);
    connect(&m_tunnelTimer, &QTimer::timeout, this, [this] {
        m_tunnelWasUp = m_tunnelTrigger == QLatin1String("connect");
        sync(m_tunnelTrigger);
    });
    m_eventTimer.setSingleShot(true);
    m_eventTimer.setInterval(kEventBatchDelayMs);
    connect(&m_eventTimer, &QTimer::timeout, this, &InAppMessages::flushEvents);
    if (UserManager::state() == UserManager::SignedIn)
        QTimer::singleShot(0, this, [this] { sync(QStringLiteral("startup")); });
}

InAppMessages::~InAppMessages() = default;

#ifdef KELVRA_TESTING
void InAppMessages::setTunnelSettleMsForTesting(int ms)
{
    tunnelSettleMs = ms > 0 ? ms : kTunnelSettleMs;
}
#endif

QString InAppMessages::deviceId()
{
    QString id = m_settings->value(kDeviceIdKey).toString();
    // Anything but the form this client writes is replaced, never sent.
    if (QUuid::fromString(id).isNull() || id.size() != 36) {
        id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        m_settings->setValue(kDeviceIdKey, id);
    }
    return id;
}

void InAppMessages::onTunnelState(VpnProtocol::ConnectionState state)
{
    // While the tunnel changes, requests are cut and the connection's own
    // fetches come first: the sync waits until the state has held for
    // tunnelSettleMs, and a state that doesn't hold sends nothing.
    if (state != VpnProtocol::Connected && state != VpnProtocol::Disconnected) {
        m_tunnelTimer.stop();
        return;
    }
    const bool up = state == VpnProtocol::Connected;
    if (up == m_tunnelWasUp) {
        m_tunnelTimer.stop(); // back to where the last sync left it
        return;
    }
    m_tunnelTrigger = up ? QStringLiteral("connect") : QStringLiteral("disconnect");
    m_tunnelTimer.start(tunnelSettleMs);
}

void InAppMessages::pageShown(const QString &page)
{
    // Page names come from QML; anything else is not a page.
    static const QRegularExpression name(QStringLiteral("^[a-z][a-z0-9_-]{0,31}$"));
    if (!name.match(page).hasMatch())
        return;
    const qint64 now = monotonicMs();
    const auto last = m_pageSyncedAt.constFind(page);
    if (last != m_pageSyncedAt.constEnd() && now - *last < kPageSyncMs)
        return;
    if (UserManager::state() != UserManager::SignedIn)
        return;
    m_pageSyncedAt.insert(page, now);
    sync(QStringLiteral("page:") + page);
}

void InAppMessages::sync(const QString &trigger)
{
    if (UserManager::state() != UserManager::SignedIn)
        return;
    if (!m_triggers.contains(trigger))
        m_triggers.append(trigger);
    if (!m_syncing)
        runNextSync();
}

void InAppMessages::runNextSync()
{
    if (m_triggers.isEmpty() || UserManager::state() != UserManager::SignedIn)
        return;
    if (m_pausedUntil.isValid() && QDateTime::currentDateTimeUtc() < m_pausedUntil) {
        // The backend asked for quiet: these triggers are let go.
        logger.info() << "In-app messages paused by the backend, skipping" << int(m_triggers.size()) << "sync(s)";
        m_triggers.clear();
        return;
    }
    const QString trigger = m_triggers.takeFirst();
    m_syncing = true;
    const QJsonObject body{{QStringLiteral("device_id"), deviceId()},
                           {QStringLiteral("trigger"), trigger},
                           {QStringLiteral("platform"), QStringLiteral("windows")},
                           {QStringLiteral("app_version"), QStringLiteral(KELVRA_VERSION)},
                           {QStringLiteral("locale"), QLocale().name()}};
    ApiCall::send(this, QNetworkAccessManager::PostOperation, QStringLiteral("in-app-messages/sync"),
                  QJsonDocument(body).toJson(QJsonDocument::Compact), kSyncTimeoutMs,
                  [this, trigger, generation = m_generation](const ApiCall::Result &result) {
                      m_syncing = false;
                      // An answer for the account signed out since is not shown.
                      if (generation == m_generation)
                          onSyncAnswer(trigger, result.status, result.body, result.retryAfterSeconds);
                      runNextSync();
                  });
}

void InAppMessages::onSyncAnswer(const QString &trigger, int status, const QByteArray &body, int retryAfterSeconds)
{
    if (UserManager::state() != UserManager::SignedIn)
        return;
    if (status == 429) {
        const int seconds = retryAfterSeconds > 0 ? qMin(retryAfterSeconds, kMaxBackoffSeconds) : kDefaultBackoffSeconds;
        m_pausedUntil = QDateTime::currentDateTimeUtc().addSecs(seconds);
        logger.warning() << "In-app messages: too many requests, pausing for" << seconds << "s";
        return;
    }
    if (status < 200 || status > 299) {
        logger.warning() << "In-app messages not fetched for" << trigger << "- HTTP" << status;
        return;
    }
    bool ok = false;
    const QList<InAppMessage> messages = InAppMessage::fromSyncAnswer(body, &ok);
    if (!ok) {
        logger.warning() << "In-app messages answer not understood for" << trigger << "- ignored";
        return;
    }
    for (const InAppMessage &message : messages)
        present(message);
    if (!m_events.isEmpty())
        m_eventTimer.start();
}

bool InAppMessages::isOnScreen(const QString &id) const
{
    for (const InAppMessage &message : m_banners + m_dialogs) {
        if (message.id == id)
            return true;
    }
    return false;
}

void InAppMessages::present(const InAppMessage &message)
{
    if (isOnScreen(message.id) || (!message.repeat && m_shown.contains(message.id)))
        return;
    if (message.kind == InAppMessage::Dialog) {
        m_dialogs.append(message);
        if (m_dialogs.size() == 1)
            showNextDialog();
        return;
    }
    if (m_banners.size() >= kMaxBanners)
        return; // shown on a later sync, once there is room
    m_banners.append(message);
    m_shown.add(message.id);
    record(message.id, QStringLiteral("shown"));
    emit bannersChanged();
}

void InAppMessages::showNextDialog()
{
    if (!m_dialogs.isEmpty()) {
        m_shown.add(m_dialogs.constFirst().id);
        record(m_dialogs.constFirst().id, QStringLiteral("shown"));
    }
    emit dialogChanged();
}

void InAppMessages::addLocalBanner(const QString &text)
{
    const QString body = text.trimmed();
    if (body.isEmpty())
        return;
    for (const InAppMessage &banner : std::as_const(m_banners)) {
        if (banner.id.startsWith(QLatin1String("local-")) && banner.body == body)
            return;
    }
    InAppMessage message;
    message.id = QStringLiteral("local-%1").arg(++m_localCount);
    message.body = body.left(InAppMessage::kMaxBodyLength);
    if (m_banners.size() >= kMaxBanners)
        m_banners.removeFirst();
    m_banners.append(message);
    emit bannersChanged();
}

QVariantList InAppMessages::banners() const
{
    QVariantList list;
    for (const InAppMessage &message : m_banners)
        list.append(message.toVariant());
    return list;
}

QVariantMap InAppMessages::dialog() const
{
    return m_dialogs.isEmpty() ? QVariantMap() : m_dialogs.constFirst().toVariant();
}

bool InAppMessages::remove(const QString &id, InAppMessage *removed)
{
    for (int i = 0; i < m_banners.size(); ++i) {
        if (m_banners.at(i).id == id) {
            *removed = m_banners.takeAt(i);
            emit bannersChanged();
            return true;
        }
    }
    if (!m_dialogs.isEmpty() && m_dialogs.constFirst().id == id) {
        *removed = m_dialogs.takeFirst();
        showNextDialog();
        return true;
    }
    return false;
}

void InAppMessages::dismiss(const QString &id)
{
    InAppMessage message;
    if (remove(id, &message) && !id.startsWith(QLatin1String("local-")))
        record(id, QStringLiteral("dismissed"));
}

void InAppMessages::act(const QString &id)
{
    InAppMessage message;
    if (!remove(id, &message) || id.startsWith(QLatin1String("local-")))
        return;
    record(id, QStringLiteral("clicked"));
    if (!message.actionUrl.isEmpty())
        UserManager::instance()->reDirect(message.actionUrl);
}

void InAppMessages::record(const QString &id, const QString &event)
{
    if (m_events.size() >= kMaxQueuedEvents)
        m_events.removeFirst();
    m_events.append(QJsonObject{{QStringLiteral("message_id"), id},
                                {QStringLiteral("event"), event},
                                {QStringLiteral("at"), QDateTime::currentDateTimeUtc().toString(Qt::ISODate)}});
    // A batch goes at most kEventBatchDelayMs after its first event, however
    // many follow.
    if (!m_eventTimer.isActive())
        m_eventTimer.start();
}

void InAppMessages::flushEvents()
{
    if (m_sendingEvents || m_events.isEmpty() || UserManager::state() != UserManager::SignedIn)
        return;
    m_sendingEvents = true;
    const QJsonArray batch = m_events;
    m_events = QJsonArray();
    const QJsonObject body{{QStringLiteral("device_id"), deviceId()}, {QStringLiteral("events"), batch}};
    ApiCall::send(this, QNetworkAccessManager::PostOperation, QStringLiteral("in-app-messages/events"),
                  QJsonDocument(body).toJson(QJsonDocument::Compact), kSyncTimeoutMs,
                  [this, batch, generation = m_generation](const ApiCall::Result &result) {
                      m_sendingEvents = false;
                      if (generation != m_generation)
                          return;
                      // Without an answer, or when the backend is busy, the
                      // batch waits for the next one; a refusal is final.
                      const bool retry = result.status == 0 || result.status == 429 || result.status >= 500;
                      if (retry && UserManager::state() == UserManager::SignedIn) {
                          QJsonArray events = batch;
                          for (const QJsonValue &event : std::as_const(m_events))
                              events.append(event);
                          while (events.size() > kMaxQueuedEvents)
                              events.removeFirst();
                          m_events = events;
                          logger.warning() << "In-app message events not delivered (HTTP" << result.status
                                           << "), kept for the next batch";
                          return;
                      }
                      if (result.status < 200 || result.status > 299)
                          logger.warning() << "In-app message events refused, HTTP" << result.status;
                      if (!m_events.isEmpty())
                          m_eventTimer.start();
                  });
}

void InAppMessages::clear()
{
    ++m_generation;
    m_tunnelTimer.stop();
    m_triggers.clear();
    m_events = QJsonArray();
    m_pageSyncedAt.clear();
    m_pausedUntil = QDateTime();
    const bool hadBanners = !m_banners.isEmpty();
    const bool hadDialog = !m_dialogs.isEmpty();
    m_banners.clear();
    m_dialogs.clear();
    if (hadBanners)
        emit bannersChanged();
    if (hadDialog)
        emit dialogChanged();
}
