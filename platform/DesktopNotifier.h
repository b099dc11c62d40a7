#pragma once

#include <QHash>
#include <QStringList>
#include <QObject>
#include <QString>

// Shows a notification on the desktop the way the system shows its own: on
// Windows a notification-area balloon, which Windows 10 and later show as a
// toast; on Linux through the freedesktop notification service on the
// session bus. Nothing here blocks: when the system can't show it (no
// notification service, the call refused), failed() says so and the caller
// falls back to the tray's own message.
class DesktopNotifier : public QObject
{
    Q_OBJECT
public:
    explicit DesktopNotifier(QObject *parent = nullptr);
    ~DesktopNotifier() override;

    // `key` comes back in clicked() or failed(); texts are plain text.
    void show(const QString &key, const QString &title, const QString &body);

#ifdef KELVRA_TESTING
    // Notifiers made afterwards talk to the bus at this address instead of
    // the session bus (Linux; empty: the session bus again).
    static void setBusForTesting(const QString &address);
#endif

signals:
    // The person clicked the notification.
    void clicked(QString key);
    void failed(QString key);

private slots:
    // Linux: the notification service's signals.
    void onActionInvoked(uint id, const QString &action);
    void onClosed(uint id, uint reason);
    void onCapabilities(const QStringList &capabilities);

private:
    QHash<uint, QString> m_keys; // shown notifications by the system's id
    bool m_markup = false;       // the service reads the body as markup
    void *m_native = nullptr;    // Windows: the window that receives the balloon's clicks
};
