#pragma once

#include <QList>
#include <QObject>
#include <QSet>
#include <QSharedPointer>
#include <QString>
#include <QTimer>
#include <QVariantList>

#include "engagement/PushNotification.h"
#include "engagement/SeenIds.h"

class DesktopNotifier;
class Settings;

// Notifications from the backend shown on the desktop, and the inbox that
// keeps them. While someone is signed in, "notifications/pending" is polled
// every kPollMs (politely: a 429 pauses it for as long as the backend asks);
// each notification not shown before on this computer ("desktopPush/shown")
// goes to the desktop through the platform's notifier, or, where the system
// can't show one, to the tray as trayMessage(). Every pending notification is
// then acknowledged ("notifications/<id>/ack"), once per run. The inbox comes
// from "notifications/inbox", is kept between runs ("desktopPush/inbox") so
// it shows at once, and carries read marks of its own ("desktopPush/read")
// that outlive the backend's answers. Answers that are not understood leave
// everything as it was.
class DesktopPush : public QObject
{
    Q_OBJECT
    // [{id, title, body, url, createdAt, read}], newest first.
    Q_PROPERTY(QVariantList inbox READ inbox NOTIFY inboxChanged)
    Q_PROPERTY(int unreadCount READ unreadCount NOTIFY inboxChanged)
public:
    static constexpr int kPollMs = 5 * 60 * 1000;
    static constexpr int kRequestTimeoutMs = 15000;
    static constexpr int kTrayMessageMs = 10000;
    static constexpr int kMinBackoffSeconds = 60;
    static constexpr int kMaxBackoffSeconds = 3600;

    explicit DesktopPush(QSharedPointer<Settings> settings, QObject *parent = nullptr);
    ~DesktopPush() override;

    QVariantList inbox() const;
    int unreadCount() const;

    // Asks for pending notifications now (the timer does it on its own).
    void poll();

    Q_INVOKABLE void refreshInbox();
    Q_INVOKABLE void markRead(const QString &id);
    Q_INVOKABLE void markAllRead();
    // Marks it read and opens its link, if it has one, in the browser.
    Q_INVOKABLE void open(const QString &id);
    // Shows a sample notification on the desktop, and the same text in the
    // window, so a person can see how both look.
    Q_INVOKABLE void demo();

#ifdef KELVRA_TESTING
    void setPollIntervalForTesting(int ms);
#endif

signals:
    void demoMessage(QString message);
    void inboxChanged();
    // The system could not show it: the tray shows it instead.
    void trayMessage(QString title, QString message, int msecs);
    // The person clicked a notification on the desktop.
    void notificationClicked(QString id);

private:
    void onSignInChanged(bool signedIn);
    void onPending(const QList<PushNotification> &pending);
    void acknowledge(const QString &id);
    void mergeInbox(const QList<PushNotification> &entries, bool replace);
    bool isRead(const PushNotification &notification) const;
    int indexOf(const QString &id) const;
    void loadInbox();
    void storeInbox();
    // A 429 pauses polling for this long (bounded), then it goes on.
    void backOff(int retryAfterSeconds);

    QSharedPointer<Settings> m_settings;
    SeenIds m_shown;
    SeenIds m_read;
    DesktopNotifier *m_notifier = nullptr;
    QList<PushNotification> m_inbox;
    QSet<QString> m_acked;    // acknowledged in this run
    QSet<QString> m_acking;   // acknowledgement on its way
    QTimer m_pollTimer;
    bool m_polling = false;
    int m_pollMs = kPollMs;
    int m_generation = 0;
};
