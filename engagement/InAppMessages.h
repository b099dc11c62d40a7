#pragma once

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QList>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVariantList>
#include <QVariantMap>

#include "engagement/InAppMessage.h"
#include "engagement/SeenIds.h"
#include "vpn/VpnProtocol.h"

class Settings;
class VpnConnection;

// Messages from the backend shown inside the window: a strip over the page
// (banner) or a dialog, by the message's kind. They are fetched from
// "in-app-messages/sync" at the moments a message can be about: after
// sign-in, once the tunnel has come up or gone down and stayed so for a few
// seconds, and when a page is shown
// (each page at most once per kPageSyncMs). The answer may repeat messages;
// a message is shown once per computer unless it says it may be repeated
// ("inAppMessages/shown" remembers). What the user did with each one
// (shown, clicked, dismissed) goes back in batches to
// "in-app-messages/events". The device identifier "inAppMessages/deviceId"
// ties syncs and events of this computer together and holds nothing personal.
//
// Texts the client itself wants shown the same way arrive through
// messageReady() and become banners of their own.
class InAppMessages : public QObject
{
    Q_OBJECT
    // [{id, kind, title, body, actionText, actionUrl}], oldest first.
    Q_PROPERTY(QVariantList banners READ banners NOTIFY bannersChanged)
    // The dialog to show now, empty when none.
    Q_PROPERTY(QVariantMap dialog READ dialog NOTIFY dialogChanged)
public:
    static constexpr int kPageSyncMs = 10 * 60 * 1000;
    static constexpr int kSyncTimeoutMs = 15000;
    static constexpr int kMaxBanners = 3;
    static constexpr int kMaxQueuedEvents = 100;
    static constexpr int kEventBatchDelayMs = 500;
    // How long syncs pause after a 429 that gave no usable "Retry-After".
    static constexpr int kDefaultBackoffSeconds = 300;
    static constexpr int kMaxBackoffSeconds = 3600;
    // How long the tunnel must stay up (or down) before its sync.
    static constexpr int kTunnelSettleMs = 5000;

    InAppMessages(QSharedPointer<Settings> settings, QSharedPointer<VpnConnection> vpnConnection,
                  QObject *parent = nullptr);
    ~InAppMessages() override;

    QVariantList banners() const;
    QVariantMap dialog() const;
    // Made and stored on first use.
    QString deviceId();

    // Fetches the messages for this trigger ("startup", "connect",
    // "disconnect", "page:<name>") when signed in. One sync runs at a time;
    // triggers that come meanwhile follow it.
    void sync(const QString &trigger);

    Q_INVOKABLE void pageShown(const QString &page);
    // The user closed the message.
    Q_INVOKABLE void dismiss(const QString &id);
    // The user pressed the message's button: its link opens in the browser.
    Q_INVOKABLE void act(const QString &id);

#ifdef KELVRA_TESTING
    static void setTunnelSettleMsForTesting(int ms);
#endif

signals:
    // A text to show as a banner (the client's own, not the backend's).
    void messageReady(QString message);
    void bannersChanged();
    void dialogChanged();

private:
    void runNextSync();
    void onSyncAnswer(const QString &trigger, int status, const QByteArray &body, int retryAfterSeconds);
    void present(const InAppMessage &message);
    void showNextDialog();
    bool isOnScreen(const QString &id) const;
    void addLocalBanner(const QString &text);
    // Takes a message off the screen; false when it was not there.
    bool remove(const QString &id, InAppMessage *removed);
    void record(const QString &id, const QString &event);
    void flushEvents();
    void onTunnelState(VpnProtocol::ConnectionState state);
    void clear();

    QSharedPointer<Settings> m_settings;
    SeenIds m_shown;
    QList<InAppMessage> m_banners;
    QList<InAppMessage> m_dialogs; // the first is on screen
    QStringList m_triggers;        // waiting for the running sync
    bool m_syncing = false;
    QDateTime m_pausedUntil;
    QHash<QString, qint64> m_pageSyncedAt;
    QJsonArray m_events;
    bool m_sendingEvents = false;
    QTimer m_eventTimer;
    int m_localCount = 0;
    bool m_tunnelWasUp = false; // as the last tunnel sync saw it
    QString m_tunnelTrigger;
    QTimer m_tunnelTimer;
    // Advanced at sign-out: answers for the account before are dropped.
    int m_generation = 0;
};
