#pragma once

#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "vpn/VpnProtocol.h"

class AdBlock;
class BypassList;
class ClipboardManager;
class CodeAuthenticator;
class ConnectedDevicesModel;
class ConnectionController;
class DesktopPush;
class InAppMessages;
class LogoutManager;
class NetMonitor;
class NetworkManager;
class PremiumModel;
class ProtocolsModel;
class QQmlApplicationEngine;
class ServersModel;
class Settings;
class SettingsController;
class SpeedTest;
class SupportInfo;
class SystemTrayManager;
class ThirdPartyAuthenticationController;
class Updater;
class VpnConnection;
class VpnSessionReporter;

// Builds the client's object graph, publishes it to QML under fixed names and
// owns it until exit. Also carries the silent sign-in at start, auto-connect,
// the update check with its retry, and the log-folder actions.
class CoreController : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isUpdateAvailable READ isUpdateAvailable NOTIFY updateStateChanged)
    // False until the start-up sign-in from the stored session has an outcome,
    // so the window shows neither the sign-in page nor the home page too soon.
    Q_PROPERTY(bool signInSettled READ signInSettled NOTIFY signInSettledChanged)
public:
    CoreController(QQmlApplicationEngine *engine, QSharedPointer<VpnConnection> vpnConnection,
                   QSharedPointer<Settings> settings, QObject *parent = nullptr);
    ~CoreController() override;

    bool isUpdateAvailable() const { return m_isUpdateAvailable; }

    void autoAuthenticate();
    bool signInSettled() const { return m_signInSettled; }
    // Removes every object this controller published from the QML root context,
    // so no binding reaches an object that is about to be destroyed.
    void clearContextObjects();

    // The names cleared from QML at shutdown.
    static QStringList contextObjectNames();
    // Every name this controller publishes to QML.
    static QStringList publishedNames();

#ifdef KELVRA_TESTING
    // How long auto-connect waits for a server and the plan.
    static void setAutoConnectWaitForTesting(int ms);
#endif

signals:
    void authenticated(QString token, QString state);
    void loginLinkReceived(QString code);
    void autoLogin(QString userEmail);
    void updateAvailable(QString downloadUrl, QString updateType, QString installerUrl, QString sha256);
    void noUpdateAvailable();
    void updateStateChanged();
    void errorOccurred();
    void signInSettledChanged();

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
    // The end of the client's log file, for the page that shows it (the log
    // holds no secrets: the logger keeps them out).
    Q_INVOKABLE QString clientLogTail() const;

    // The VPN connection's state changes arrive here: a tunnel change tells
    // the request layer that lost replies are not the API host's fault, and
    // the profile is refreshed once the tunnel is down.
    void onVpnStateChanged(VpnProtocol::ConnectionState state);

    ServersModel *serversModel() const { return m_servers.data(); }
    ConnectedDevicesModel *devicesModel() const { return m_devices.data(); }
    CodeAuthenticator *codeAuthenticator() const { return m_codeAuthenticator.data(); }
    LogoutManager *logoutManager() const { return m_logoutManager.data(); }
    ProtocolsModel *protocolsModel() const { return m_protocols.data(); }
    ConnectionController *connectionController() const { return m_connectionController.data(); }
    SettingsController *settingsController() const { return m_settingsController.data(); }
    SystemTrayManager *systemTray() const { return m_tray.data(); }
    ThirdPartyAuthenticationController *thirdPartyAuth() const { return m_thirdPartyAuth.data(); }
    Updater *updater() const { return m_updater.data(); }
    InAppMessages *inAppMessages() const { return m_inAppMessages.data(); }
    DesktopPush *desktopPush() const { return m_desktopPush.data(); }

private:
    void settleSignIn();
    void setUpdateAvailable(bool available);
    void loadFonts();
    // The catalogue's links to the service and the tunnel.
    void linkServersToTunnel();
    void linkProtocolChoice();
    void linkTray();
    void linkTelemetry();
    void publish(const char *name, QObject *object);
    void silentSignIn(const QString &email, const QString &token);
    void onLogout();
    // The protocols 1 to 5 that the current server offers go to the protocol page.
    void offerCurrentServerProtocols();
    // Connects once a server and the plan are known, unless the Wi-Fi is trusted.
    void armAutoConnect();
    void autoConnectNow();
    void reportVpnState(VpnProtocol::ConnectionState state);

    QPointer<QQmlApplicationEngine> m_engine;
    QSharedPointer<VpnConnection> m_vpnConnection;
    QSharedPointer<Settings> m_settings;
    QSharedPointer<NetworkManager> m_updateRequest;
    QSharedPointer<ServersModel> m_servers;
    QSharedPointer<PremiumModel> m_premium;
    QSharedPointer<ConnectedDevicesModel> m_devices;
    QSharedPointer<ProtocolsModel> m_protocols;
    QSharedPointer<NetMonitor> m_netMonitor;
    QSharedPointer<Updater> m_updater;
    QSharedPointer<ConnectionController> m_connectionController;
    QSharedPointer<SettingsController> m_settingsController;
    QSharedPointer<VpnSessionReporter> m_sessionReporter;
    QSharedPointer<CodeAuthenticator> m_codeAuthenticator;
    QSharedPointer<LogoutManager> m_logoutManager;
    QSharedPointer<ThirdPartyAuthenticationController> m_thirdPartyAuth;
    QSharedPointer<ClipboardManager> m_clipboard;
    QSharedPointer<SystemTrayManager> m_tray;
    QSharedPointer<AdBlock> m_adBlock;
    QSharedPointer<InAppMessages> m_inAppMessages;
    QSharedPointer<BypassList> m_bypassList;
    QSharedPointer<DesktopPush> m_desktopPush;
    QSharedPointer<SpeedTest> m_speedTest;
    QSharedPointer<SupportInfo> m_supportInfo;
    QPointer<QObject> m_autoConnectGuard;
    // The last tunnel state telemetry heard, to tell a failed connect from a disconnect.
    VpnProtocol::ConnectionState m_reportedState = VpnProtocol::Disconnected;
    bool m_connectReported = false;
    QTimer m_updateRetryTimer;
    QTimer m_profileRefreshTimer;
    bool m_isUpdateAvailable = false;
    bool m_signInSettled = false;
};
