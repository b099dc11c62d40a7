#include "engagement/SystemTrayManager.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QIcon>
#include <QMenu>

#include "app/Logger.h"
#include "platform/SystemTheme.h"

namespace {
Logger logger(QStringLiteral("SystemTray"));
const char kProductName[] = "Kelvra";
const char kWebsite[] = "https://kelvra.com";
constexpr int kMessageMs = 10000;

bool signedIn()
{
    return UserManager::state() == UserManager::SignedIn;
}

bool tunnelBusy(VpnProtocol::ConnectionState state)
{
    return state == VpnProtocol::Connected || state == VpnProtocol::Connecting || state == VpnProtocol::Reconnecting
        || state == VpnProtocol::Preparing;
}
} // namespace

SystemTrayManager::SystemTrayManager(QObject *parent)
    : QObject(parent),
      m_show(new QAction(tr("Show %1").arg(QLatin1String(kProductName)), this)),
      m_connect(new QAction(tr("Connect"), this)),
      m_disconnect(new QAction(tr("Disconnect"), this)),
      m_website(new QAction(tr("Visit Kelvra Website"), this)),
      m_quit(new QAction(tr("Quit %1").arg(QLatin1String(kProductName)), this))
{
    m_connect->setEnabled(signedIn());
    m_disconnect->setEnabled(false);
    connect(m_show, &QAction::triggered, this, &SystemTrayManager::showRequested);
    connect(m_connect, &QAction::triggered, this, &SystemTrayManager::connectRequested);
    connect(m_disconnect, &QAction::triggered, this, &SystemTrayManager::disconnectRequested);
    connect(m_website, &QAction::triggered, this, [] { UserManager::instance()->reDirect(websiteUrl()); });
    connect(m_quit, &QAction::triggered, QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
    m_iconName = disconnectedIcon();

    // The menu is a widget: without a widgets application (some tests) only
    // the actions and their state exist.
    if (!qobject_cast<QApplication *>(QCoreApplication::instance())) {
        logger.info() << "No widgets application: the tray icon is not shown";
        return;
    }
    m_menu = new QMenu;
    m_menu->addAction(m_show);
    m_menu->addSeparator();
    m_menu->addAction(m_connect);
    m_menu->addAction(m_disconnect);
    m_menu->addSeparator();
    m_menu->addAction(m_website);
    m_menu->addAction(m_quit);

    m_icon = new QSystemTrayIcon(this);
    m_icon->setContextMenu(m_menu);
    m_icon->setToolTip(QLatin1String(kProductName));
    m_icon->setIcon(QIcon(QStringLiteral(":/ui/icons/tray/") + m_iconName));
    connect(m_icon, &QSystemTrayIcon::activated, this, &SystemTrayManager::onTrayActiavated);
    connect(m_icon, &QSystemTrayIcon::messageClicked, this, [this] {
        if (!m_lastWasPush)
            return;
        m_lastWasPush = false;
        emit pushClicked();
    });
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        logger.info() << "The desktop has no tray: the tray icon is not shown";
        return;
    }
    m_icon->show();
    emit trayIconVisibleChanged(true);
}

SystemTrayManager::~SystemTrayManager()
{
    delete m_menu;
}

bool SystemTrayManager::isIconVisible() const
{
    return m_icon && m_icon->isVisible();
}

QString SystemTrayManager::websiteUrl()
{
    return QString::fromLatin1(kWebsite);
}

QString SystemTrayManager::disconnectedIcon() const
{
    return SystemTheme::appsUseDarkTheme() ? QStringLiteral("disc_white.svg") : QStringLiteral("disc_dark.svg");
}

void SystemTrayManager::setIcon(const QString &name)
{
    if (name != m_iconName) {
        m_iconName = name;
        emit iconChanged();
    }
    if (m_icon)
        m_icon->setIcon(QIcon(QStringLiteral(":/ui/icons/tray/") + name));
}

void SystemTrayManager::onTrayActiavated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
        emit showRequested();
}

void SystemTrayManager::applyState()
{
    if (tunnelBusy(m_lastState)) {
        setIcon(QStringLiteral("connected.svg"));
        m_connect->setEnabled(false);
        m_disconnect->setEnabled(signedIn());
    } else if (m_lastState == VpnProtocol::Disconnected) {
        setIcon(disconnectedIcon());
        m_connect->setEnabled(signedIn());
        m_disconnect->setEnabled(false);
    }
    if (m_icon) {
        m_icon->setToolTip(m_lastState == VpnProtocol::Connected ? tr("%1: connected").arg(QLatin1String(kProductName))
                                                                 : QLatin1String(kProductName));
    }
}

void SystemTrayManager::onUserLoginChanges(UserManager::State state)
{
    if (state == UserManager::SignedOut) {
        disableConnectOptions();
        return;
    }
    applyState();
}

void SystemTrayManager::onDefaultServerReady()
{
    if (m_lastState != VpnProtocol::Disconnected)
        return;
    m_connect->setEnabled(true);
    m_disconnect->setEnabled(false);
}

void SystemTrayManager::onConnectionStateChanged(VpnProtocol::ConnectionState state)
{
    m_lastState = state;
    applyState();
}

void SystemTrayManager::onVpnError(VpnProtocol::Errors error)
{
    // The window says what went wrong; the icon only follows the state.
    Q_UNUSED(error)
}

void SystemTrayManager::disableConnectOptions()
{
    m_connect->setEnabled(false);
    m_disconnect->setEnabled(false);
}

void SystemTrayManager::showNotification(QString title, QString message, int msecs)
{
    if (!isIconVisible()) {
        logger.info() << "Notification not shown: no tray icon";
        return;
    }
    m_lastWasPush = true;
    m_icon->showMessage(title, message, QSystemTrayIcon::Information, msecs);
}

void SystemTrayManager::showMessage(QString title, QString body)
{
    if (!isIconVisible()) {
        logger.info() << "Message not shown: no tray icon";
        return;
    }
    m_lastWasPush = false;
    m_icon->showMessage(title, body, QSystemTrayIcon::Information, kMessageMs);
}
