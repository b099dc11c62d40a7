#include "platform/DesktopNotifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

namespace {
const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
// The service answers at once or is stuck: a show never waits longer.
constexpr int kCallTimeoutMs = 3000;
QString &testBusAddress()
{
    static QString address;
    return address;
}

QDBusConnection bus()
{
    const QString address = testBusAddress();
    if (address.isEmpty())
        return QDBusConnection::sessionBus();
    return QDBusConnection::connectToBus(address, QStringLiteral("kelvra-notifications-") + address);
}
} // namespace

#ifdef KELVRA_TESTING
void DesktopNotifier::setBusForTesting(const QString &address)
{
    testBusAddress() = address;
}
#endif

DesktopNotifier::DesktopNotifier(QObject *parent) : QObject(parent)
{
    QDBusConnection connection = bus();
    if (!connection.isConnected())
        return;
    connection.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                       SLOT(onActionInvoked(uint, QString)));
    connection.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                       SLOT(onClosed(uint, uint)));
    const QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                             QStringLiteral("GetCapabilities"));
    auto *watcher = new QDBusPendingCallWatcher(connection.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        const QDBusPendingReply<QStringList> reply = *watcher;
        if (reply.isValid())
            onCapabilities(reply.value());
    });
}

DesktopNotifier::~DesktopNotifier() = default;

void DesktopNotifier::onCapabilities(const QStringList &capabilities)
{
    m_markup = capabilities.contains(QStringLiteral("body-markup"));
}

void DesktopNotifier::show(const QString &key, const QString &title, const QString &body)
{
    QDBusConnection connection = bus();
    if (!connection.isConnected()) {
        QMetaObject::invokeMethod(this, [this, key] { emit failed(key); }, Qt::QueuedConnection);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    // A service that reads markup would take the backend's "<" for a tag.
    call << QStringLiteral("Kelvra") << uint(0) << QStringLiteral("kelvra") << title
         << (m_markup ? body.toHtmlEscaped() : body)
         << QStringList{QStringLiteral("default"), QStringLiteral("Open")} << QVariantMap() << int(-1);
    auto *watcher = new QDBusPendingCallWatcher(connection.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, key] {
        watcher->deleteLater();
        const QDBusPendingReply<uint> reply = *watcher;
        if (!reply.isValid()) {
            emit failed(key);
            return;
        }
        m_keys.insert(reply.value(), key);
    });
}

void DesktopNotifier::onActionInvoked(uint id, const QString &action)
{
    Q_UNUSED(action)
    const auto key = m_keys.constFind(id);
    if (key != m_keys.constEnd())
        emit clicked(*key);
}

void DesktopNotifier::onClosed(uint id, uint reason)
{
    Q_UNUSED(reason)
    m_keys.remove(id);
}
