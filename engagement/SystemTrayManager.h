#pragma once

#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

#include "account/UserManager.h"
#include "vpn/VpnProtocol.h"

// The tray icon and its menu (show, connect, disconnect, website, quit).
// Not built yet: no icon is shown, so no request comes from it; the state it
// will reflect already arrives here.
class SystemTrayManager : public QObject
{
    Q_OBJECT
public:
    explicit SystemTrayManager(QObject *parent = nullptr);

signals:
    void showRequested();
    void connectRequested();
    void disconnectRequested();
    void pushClicked();

public slots:
    void onTrayActiavated(QSystemTrayIcon::ActivationReason reason);
    void onUserLoginChanges(UserManager::State state);
    void onDefaultServerReady();
    void onConnectionStateChanged(VpnProtocol::ConnectionState state);
    void onVpnError(VpnProtocol::Errors error);
    void disableConnectOptions();
    void showNotification(QString title, QString message, int msecs);
};
