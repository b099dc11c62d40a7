#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>

#include "account/UserManager.h"
#include "vpn/VpnProtocol.h"

class QAction;
class QMenu;

// The tray icon and its menu (show, connect, disconnect, website, quit). The
// icon tells whether the tunnel is up; the menu offers only what makes sense
// now (connect needs a signed-in user and a tunnel that is down). On Linux the
// icon shows where the desktop has a tray (StatusNotifier); without one, or
// without a widgets application, the menu's state is still kept.
class SystemTrayManager : public QObject
{
    Q_OBJECT
    // The icon file shown now, under ":/ui/icons/tray/".
    Q_PROPERTY(QString iconName READ iconName NOTIFY iconChanged)
public:
    explicit SystemTrayManager(QObject *parent = nullptr);
    ~SystemTrayManager() override;

    // Whether an icon is on screen: only then can the window hide into it.
    bool isIconVisible() const;
    QString iconName() const { return m_iconName; }

    QAction *showAction() const { return m_show; }
    QAction *connectAction() const { return m_connect; }
    QAction *disconnectAction() const { return m_disconnect; }
    QAction *websiteAction() const { return m_website; }
    QAction *quitAction() const { return m_quit; }

    static QString websiteUrl();

signals:
    void showRequested();
    void connectRequested();
    void disconnectRequested();
    void pushClicked();
    void trayIconVisibleChanged(bool visible);
    void iconChanged();

public slots:
    void onTrayActiavated(QSystemTrayIcon::ActivationReason reason);
    void onUserLoginChanges(UserManager::State state);
    void onDefaultServerReady();
    void onConnectionStateChanged(VpnProtocol::ConnectionState state);
    void onVpnError(VpnProtocol::Errors error);
    void disableConnectOptions();
    // A desktop notification from the backend: clicking it emits pushClicked().
    void showNotification(QString title, QString message, int msecs);
    // Any other message from the client, shown by the tray.
    void showMessage(QString title, QString body);

private:
    void setIcon(const QString &name);
    QString disconnectedIcon() const;
    void applyState();

    QAction *m_show;
    QAction *m_connect;
    QAction *m_disconnect;
    QAction *m_website;
    QAction *m_quit;
    QPointer<QMenu> m_menu;
    QSystemTrayIcon *m_icon = nullptr;
    QString m_iconName;
    VpnProtocol::ConnectionState m_lastState = VpnProtocol::Disconnected;
    bool m_lastWasPush = false;
};
