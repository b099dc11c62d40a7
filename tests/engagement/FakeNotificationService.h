#pragma once

// A stand-in for the desktop's notification service
// (org.freedesktop.Notifications) on a private bus: it records what it was
// asked to show and clicks a notification on demand. It answers from a
// thread of its own, as a real service answers from its own process.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QStringList>
#include <QThread>
#include <QVariantMap>

class FakeNotificationService : public QDBusVirtualObject
{
public:
    struct Shown {
        uint id = 0;
        QString title;
        QString body;
    };

    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        QMutexLocker lock(&m_mutex);
        if (message.member() == QLatin1String("GetCapabilities")) {
            QStringList capabilities{QStringLiteral("body"), QStringLiteral("actions")};
            if (m_markup)
                capabilities.append(QStringLiteral("body-markup"));
            connection.send(message.createReply(capabilities));
            return true;
        }
        if (message.member() == QLatin1String("Notify")) {
            const QList<QVariant> args = message.arguments();
            Shown shown{++m_lastId, args.value(3).toString(), args.value(4).toString()};
            m_shown.append(shown);
            connection.send(message.createReply(shown.id));
            return true;
        }
        return false;
    }

    QList<Shown> shown() const
    {
        QMutexLocker lock(&m_mutex);
        return m_shown;
    }
    void clear()
    {
        QMutexLocker lock(&m_mutex);
        m_shown.clear();
    }
    void setMarkup(bool markup)
    {
        QMutexLocker lock(&m_mutex);
        m_markup = markup;
    }

private:
    mutable QMutex m_mutex;
    QList<Shown> m_shown;
    uint m_lastId = 0;
    bool m_markup = false;
};

// A private bus with the fake service on it, for one test program.
class NotificationBus
{
public:
    static constexpr const char *kConnection = "fake-notifications";

    bool start()
    {
        m_bus.start(QStringLiteral("dbus-daemon"),
                    {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (!m_bus.waitForStarted(5000))
            return false;
        for (int i = 0; i < 50 && !m_bus.canReadLine(); ++i)
            m_bus.waitForReadyRead(100);
        address = QString::fromUtf8(m_bus.readLine().trimmed());
        if (address.isEmpty())
            return false;
        m_thread.start();
        service = new FakeNotificationService;
        service->moveToThread(&m_thread);
        return setPresent(true);
    }

    // Registers (or drops) the service's name, as when it starts or quits.
    bool setPresent(bool present)
    {
        bool done = false;
        const QString where = address;
        FakeNotificationService *fake = service;
        QMetaObject::invokeMethod(
            fake,
            [where, fake, present, &done] {
                QDBusConnection bus = QDBusConnection::connectToBus(where, QLatin1String(kConnection));
                if (!present) {
                    done = bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
                    return;
                }
                bus.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), fake);
                done = bus.isConnected() && bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
            },
            Qt::BlockingQueuedConnection);
        return done;
    }

    // The person clicks the notification the service numbered `id`.
    void click(uint id)
    {
        const QString where = address;
        QMetaObject::invokeMethod(
            service,
            [where, id] {
                QDBusConnection bus = QDBusConnection::connectToBus(where, QLatin1String(kConnection));
                QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/Notifications"),
                                                                 QStringLiteral("org.freedesktop.Notifications"),
                                                                 QStringLiteral("ActionInvoked"));
                signal << id << QStringLiteral("default");
                bus.send(signal);
            },
            Qt::BlockingQueuedConnection);
    }

    void stop()
    {
        if (service) {
            QMetaObject::invokeMethod(
                service, [] { QDBusConnection::disconnectFromBus(QLatin1String(kConnection)); },
                Qt::BlockingQueuedConnection);
        }
        m_thread.quit();
        m_thread.wait(5000);
        delete service;
        service = nullptr;
        m_bus.kill();
        m_bus.waitForFinished(5000);
    }

    QString address;
    FakeNotificationService *service = nullptr;

private:
    QProcess m_bus;
    QThread m_thread;
};
