#pragma once

#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "vpn/VpnProtocol.h"

class CodeAuthenticator;
class ConnectedDevicesModel;
class LogoutManager;
class NetworkManager;
class QQmlApplicationEngine;
class ServersModel;
class Settings;
class VpnConnection;

// Builds the client's object graph, publishes it to QML under fixed names and
// owns it until exit. Also carries the silent sign-in at start, the update
// check with its retry, and the log-folder actions.
class CoreController : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isUpdateAvailable READ isUpdateAvailable NOTIFY updateStateChanged)
public:
    CoreController(QQmlApplicationEngine *engine, QSharedPointer<VpnConnection> vpnConnection,
                   QSharedPointer<Settings> settings, QObject *parent = nullptr);
    ~CoreController() override;

    bool isUpdateAvailable() const { return m_isUpdateAvailable; }

    void autoAuthenticate();
    // Removes every object this controller published from the QML root context,
    // so no binding reaches an object that is about to be destroyed.
    void clearContextObjects();

    // The names under which objects are published to QML.
    static QStringList contextObjectNames();

signals:
    void authenticated(QString token, QString state);
    void loginLinkReceived(QString code);
    void autoLogin(QString userEmail);
    void updateAvailable(QString downloadUrl, QString updateType, QString installerUrl, QString sha256);
    void noUpdateAvailable();
    void updateStateChanged();
    void errorOccurred();

public slots:
    void parseResponse(QByteArray data, int statusCode);
    void onErrorOccurred();

public:
    Q_INVOKABLE void checkUpdates();
    Q_INVOKABLE void update(QString downloadUrl, QString updateType);
    Q_INVOKABLE QString appVersion() const;
    Q_INVOKABLE void disableConnectOptions();
    Q_INVOKABLE void openClientLogsFolder();
    Q_INVOKABLE void openServiceLogsFolder();
    Q_INVOKABLE void clearLogs();

    // The VPN connection's state changes arrive here: a tunnel change tells
    // the request layer that lost replies are not the API host's fault, and
    // the profile is refreshed once the tunnel is down.
    void onVpnStateChanged(VpnProtocol::ConnectionState state);

    ServersModel *serversModel() const { return m_servers.data(); }
    ConnectedDevicesModel *devicesModel() const { return m_devices.data(); }
    CodeAuthenticator *codeAuthenticator() const { return m_codeAuthenticator.data(); }
    LogoutManager *logoutManager() const { return m_logoutManager.data(); }

private:
    void loadFonts();
    // The catalogue's links to the service and the tunnel.
    void linkServersToTunnel();
    void publish(const char *name, QObject *object);
    void silentSignIn(const QString &email, const QString &token);
    void onLogout();
    void onSignedIn();

    QPointer<QQmlApplicationEngine> m_engine;
    QSharedPointer<VpnConnection> m_vpnConnection;
    QSharedPointer<Settings> m_settings;
    QSharedPointer<NetworkManager> m_updateRequest;
    QSharedPointer<ServersModel> m_servers;
    QSharedPointer<ConnectedDevicesModel> m_devices;
    QSharedPointer<CodeAuthenticator> m_codeAuthenticator;
    QSharedPointer<LogoutManager> m_logoutManager;
    QTimer m_updateRetryTimer;
    QTimer m_profileRefreshTimer;
    bool m_isUpdateAvailable = false;
};
