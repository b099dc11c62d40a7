#include "app/CoreController.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QDir>
#include <QFontDatabase>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QUrl>

#include "account/CodeAuthenticator.h"
#include "account/ConnectedDevicesModel.h"
#include "account/LogoutManager.h"
#include "account/PremiumModel.h"
#include "account/ThirdPartyAuthenticationController.h"
#include "account/TokenManager.h"
#include "account/UserManager.h"
#include "api/ApiHost.h"
#include "api/AuthGuard.h"
#include "api/LimitGuard.h"
#include "api/NetworkManager.h"
#include "app/ClipboardManager.h"
#include "app/Logger.h"
#include "app/Settings.h"
#include "connection/ConnectionController.h"
#include "connection/ProtocolsModel.h"
#include "engagement/DesktopPush.h"
#include "engagement/InAppMessages.h"
#include "engagement/NetMonitor.h"
#include "engagement/ProtocolReports.h"
#include "engagement/SpeedTest.h"
#include "engagement/SupportInfo.h"
#include "engagement/SystemTrayManager.h"
#include "engagement/Telemetry.h"
#include "engagement/VpnSessionReporter.h"
#include "ipc/LocalSocketController.h"
#include "platform/NativeArchitecture.h"
#include "platform/WifiName.h"
#include "servers/CdnRouteCache.h"
#include "servers/ServerFilterProxyModel.h"
#include "servers/ServersModel.h"
#include "settings/AdBlock.h"
#include "settings/BypassList.h"
#include "settings/SettingsController.h"
#include "updater/UpdateCheckAnswer.h"
#include "updater/Updater.h"
#include "vpn/VpnConnection.h"

namespace {

Logger logger(QStringLiteral("CoreController"));

constexpr int kUpdateRetryMs = 10000;
constexpr int kLeftoverTunnelChecks = 5;
constexpr int kSilentSignInTimeoutMs = 15000;
constexpr int kProfileRefreshAfterTunnelMs = 3000;
constexpr int kAutoConnectWaitMs = 60000;
int autoConnectWaitMs = kAutoConnectWaitMs;

const char *const kFonts[] = {
    ":/ui/fonts/Poppins-Light.ttf",    ":/ui/fonts/Poppins-Regular.ttf", ":/ui/fonts/Poppins-Medium.ttf",
    ":/ui/fonts/Poppins-SemiBold.ttf", ":/ui/fonts/Poppins-Bold.ttf",    ":/ui/fonts/Poppins-ExtraBold.ttf",
};

} // namespace

CoreController::CoreController(QQmlApplicationEngine *engine, QSharedPointer<VpnConnection> vpnConnection,
                               QSharedPointer<Settings> settings, QObject *parent)
    : QObject(parent), m_engine(engine), m_vpnConnection(std::move(vpnConnection)), m_settings(std::move(settings))
{
    m_updateRequest = QSharedPointer<NetworkManager>::create();
    loadFonts();

    // Models. The network monitor coming online retries the list.
    m_servers = QSharedPointer<ServersModel>::create(m_settings, m_vpnConnection);
    linkServersToTunnel();
    publish("MServers", m_servers.data());
    m_premium = QSharedPointer<PremiumModel>::create();
    publish("MPremium", m_premium.data());
    m_devices = QSharedPointer<ConnectedDevicesModel>::create();
    publish("MDevices", m_devices.data());
    m_protocols = QSharedPointer<ProtocolsModel>::create();
    publish("MProtocols", m_protocols.data());
    m_netMonitor = QSharedPointer<NetMonitor>::create();
    publish("NetMonitor", m_netMonitor.data());
    m_updater = QSharedPointer<Updater>::create();
    publish("Updater", m_updater.data());
    ServerFilterProxyModel::registerQmlType();
    {
        QPointer<VpnConnection> vpn = m_vpnConnection.data();
        m_netMonitor->setSuppress([vpn] { return vpn && vpn->isBusyWithTunnel(); });
    }
    connect(m_netMonitor.data(), &NetMonitor::onlineChanged, m_servers.data(), [this](bool online) {
        if (online)
            m_servers->refreshServers();
    });

    // The connection controller drives the tunnel; without a VPN connection
    // (tests of the account and catalogue alone) there is nothing to drive.
    if (m_vpnConnection) {
        m_connectionController =
            QSharedPointer<ConnectionController>(new ConnectionController(m_servers, m_settings, m_vpnConnection));
        connect(m_servers.data(), &ServersModel::protocolUnavailable, m_connectionController.data(),
                &ConnectionController::onProtocolUnavailable);
        connect(m_servers.data(), &ServersModel::serverChangedForProtocol, m_connectionController.data(),
                &ConnectionController::bannerNote);
        // Finished runs' outcomes queue up as protocol reports; the repair's
        // housekeeping sends them once no tunnel is being built.
        m_connectionController->setOutcomeSink(
            [](const QList<AttemptOutcome> &outcomes) { ProtocolReports::instance()->add(outcomes); });
        m_connectionController->setReportSender([] { ProtocolReports::instance()->send(); });
    }
    publish("ConnectionController", m_connectionController.data());
    m_settingsController = QSharedPointer<SettingsController>::create(m_settings);
    publish("SettingsController", m_settingsController.data());
    publish("LimitGuard", LimitGuard::instance());
    m_sessionReporter = QSharedPointer<VpnSessionReporter>::create(m_vpnConnection, m_servers);
    if (m_vpnConnection) {
        connect(m_settingsController.data(), &SettingsController::killSwitchToggled, m_vpnConnection.data(),
                &VpnConnection::onKillSwitchToggled);
    }

    // Sign-in objects: an expired session signs the user out.
    m_codeAuthenticator = QSharedPointer<CodeAuthenticator>::create();
    publish("CodeAuthenticator", m_codeAuthenticator.data());
    m_logoutManager = QSharedPointer<LogoutManager>::create();
    publish("LogoutManager", m_logoutManager.data());
    connect(AuthGuard::instance(), &AuthGuard::unauthorized, m_logoutManager.data(), &LogoutManager::forceLogout);
    m_thirdPartyAuth = QSharedPointer<ThirdPartyAuthenticationController>::create();
    publish("ThirdPartyAuth", m_thirdPartyAuth.data());

    publish("TokenManager", TokenManager::instance());
    m_clipboard = QSharedPointer<ClipboardManager>::create();
    publish("ClipBoardManager", m_clipboard.data());
    publish("UserManager", UserManager::instance());
    m_tray = QSharedPointer<SystemTrayManager>::create();
    publish("SystemTray", m_tray.data());

    m_adBlock = QSharedPointer<AdBlock>::create(m_settings, m_vpnConnection);
    publish("AdBlock", m_adBlock.data());
    m_bypassList = QSharedPointer<BypassList>::create(m_settings, m_vpnConnection);
    publish("BypassList", m_bypassList.data());
    connect(m_settingsController.data(), &SettingsController::adBlockToggled, m_adBlock.data(), &AdBlock::setEnabled);
    connect(m_settingsController.data(), &SettingsController::bypassListChanged, m_bypassList.data(),
            &BypassList::send);
    m_inAppMessages = QSharedPointer<InAppMessages>::create(m_settings, m_vpnConnection);
    publish("InAppMessages", m_inAppMessages.data());

    if (m_vpnConnection)
        m_vpnConnection->cleanUpLeftoverTunnel(kLeftoverTunnelChecks);
    armAutoConnect();
    m_desktopPush = QSharedPointer<DesktopPush>::create(m_settings);
    publish("DesktopPush", m_desktopPush.data());
    connect(m_desktopPush.data(), &DesktopPush::demoMessage, m_inAppMessages.data(), &InAppMessages::messageReady);
    // Where the desktop can't show a notification, the tray does.
    connect(m_desktopPush.data(), &DesktopPush::trayMessage, m_tray.data(), &SystemTrayManager::showNotification);
    m_speedTest = QSharedPointer<SpeedTest>::create();
    publish("SpeedTest", m_speedTest.data());
    m_supportInfo = QSharedPointer<SupportInfo>::create(m_settings, m_vpnConnection, m_servers);
    publish("SupportInfo", m_supportInfo.data());

    m_updateRetryTimer.setSingleShot(true);
    m_updateRetryTimer.setInterval(kUpdateRetryMs);
    connect(&m_updateRetryTimer, &QTimer::timeout, this, [this] {
        if (UserManager::state() == UserManager::SignedIn)
            checkUpdates();
    });

    m_profileRefreshTimer.setSingleShot(true);
    m_profileRefreshTimer.setInterval(kProfileRefreshAfterTunnelMs);
    connect(&m_profileRefreshTimer, &QTimer::timeout, UserManager::instance(), &UserManager::fetchUserInfo);

    linkTray();
    connect(m_logoutManager.data(), &LogoutManager::logout, this, &CoreController::onLogout);
    connect(this, &CoreController::authenticated, m_thirdPartyAuth.data(),
            &ThirdPartyAuthenticationController::onAuthenticated);
    connect(this, &CoreController::loginLinkReceived, m_thirdPartyAuth.data(),
            &ThirdPartyAuthenticationController::onLoginLink);
    connect(m_updateRequest.data(), &NetworkManager::requestFinished, this, &CoreController::parseResponse);
    connect(m_updateRequest.data(), &NetworkManager::requestFailed, this, &CoreController::onErrorOccurred);
    linkProtocolChoice();

    publish("MTelemetry", Telemetry::instance());
    linkTelemetry();
}

CoreController::~CoreController() = default;

void CoreController::linkServersToTunnel()
{
    if (!m_vpnConnection)
        return;
    QPointer<ServersModel> servers = m_servers.data();
    QPointer<VpnConnection> vpn = m_vpnConnection.data();
    ServersModel::Hooks hooks = m_servers->hooks();
    hooks.fetchConfigThroughService = [servers](const QUrl &url, const QString &token,
                                                LocalSocketController::FetchReply done) {
        LocalSocketController::apiFetch(servers.data(), url, token, std::move(done));
    };
    hooks.vpnHasDriver = [vpn] { return vpn && !vpn->vpnProtocol().isNull(); };
    hooks.vpnDriverState = [vpn] {
        const QSharedPointer<VpnProtocol> driver = vpn ? vpn->vpnProtocol() : QSharedPointer<VpnProtocol>();
        return driver ? driver->connectionState() : VpnProtocol::Disconnected;
    };
    hooks.vpnFirewallHeld = [vpn] { return vpn && vpn->isFirewallHeld(); };
    hooks.vpnFailConnection = [vpn] {
        if (!vpn)
            return;
        vpn->onVpnError(VpnProtocol::ConnectionFailed);
        emit vpn->connectionStateChanged(VpnProtocol::Disconnected);
    };
    hooks.vpnEndConnection = [vpn] {
        if (!vpn)
            return;
        vpn->disconnectFromVpn();
        emit vpn->connectionStateChanged(VpnProtocol::Disconnected);
    };
    hooks.vpnBeginSwitch = [vpn](VpnProtocol::Protocol protocol) {
        if (!vpn)
            return;
        vpn->setProtocol(protocol);
        emit vpn->connectionStateChanged(VpnProtocol::Connecting);
    };
    m_servers->setHooks(hooks);

    connect(m_vpnConnection.data(), &VpnConnection::connectionStateChanged, m_servers.data(),
            &ServersModel::onVpnStateChanged);
    connect(m_vpnConnection.data(), &VpnConnection::connectionStateChanged, this, &CoreController::onVpnStateChanged);
}

QStringList CoreController::contextObjectNames()
{
    return {QStringLiteral("MServers"),         QStringLiteral("MPremium"),        QStringLiteral("MDevices"),
            QStringLiteral("ConnectionController"), QStringLiteral("SettingsController"), QStringLiteral("AdBlock"),
            QStringLiteral("BypassList"),       QStringLiteral("InAppMessages"),   QStringLiteral("DesktopPush"),
            QStringLiteral("CodeAuthenticator"), QStringLiteral("LogoutManager"),  QStringLiteral("ThirdPartyAuth"),
            QStringLiteral("ClipBoardManager"), QStringLiteral("UserManager"),     QStringLiteral("SystemTray")};
}

QStringList CoreController::publishedNames()
{
    return contextObjectNames()
        + QStringList{QStringLiteral("MProtocols"), QStringLiteral("NetMonitor"), QStringLiteral("Updater"),
                      QStringLiteral("LimitGuard"), QStringLiteral("TokenManager"), QStringLiteral("MTelemetry"),
                      QStringLiteral("SpeedTest"), QStringLiteral("SupportInfo")};
}

#ifdef KELVRA_TESTING
void CoreController::setAutoConnectWaitForTesting(int ms)
{
    autoConnectWaitMs = ms > 0 ? ms : kAutoConnectWaitMs;
}
#endif

void CoreController::linkProtocolChoice()
{
    connect(m_protocols.data(), &ProtocolsModel::protocolChanged, m_servers.data(),
            [this](VpnProtocol::Protocol protocol) { m_servers->onProtocolChanged(int(protocol)); });
    // Every way the current server can change ends in one of these.
    connect(m_servers.data(), &ServersModel::defaultServer, this, &CoreController::offerCurrentServerProtocols);
    connect(m_servers.data(), &ServersModel::updateSelectedServer, this,
            &CoreController::offerCurrentServerProtocols);
    connect(m_servers.data(), &ServersModel::defaultServerReady, this, &CoreController::offerCurrentServerProtocols);
    connect(m_servers.data(), &ServersModel::serversLoaded, this, &CoreController::offerCurrentServerProtocols);
    if (m_settings) {
        connect(m_protocols.data(), &ProtocolsModel::protocolChosen, m_settings.data(),
                [this](VpnProtocol::Protocol protocol) { m_settings->setPreferredProtocol(int(protocol)); });
        m_protocols->updateProtocol(m_settings->preferredProtocol());
    }
}

void CoreController::offerCurrentServerProtocols()
{
    const ServersModel::Server *server = m_servers->currentServer();
    if (!server)
        return;
    QSet<int> offered;
    for (int protocol = VpnProtocol::OpenVpnUdp; protocol <= VpnProtocol::OpenVpnTcp; ++protocol) {
        if (server->offers(VpnProtocol::Protocol(protocol)))
            offered.insert(protocol);
    }
    m_protocols->setAvailableProtocols(offered);
}

void CoreController::linkTray()
{
    SystemTrayManager *tray = m_tray.data();
    if (m_connectionController) {
        ConnectionController *connection = m_connectionController.data();
        connect(tray, &SystemTrayManager::connectRequested, connection, &ConnectionController::toggleConnection);
        connect(tray, &SystemTrayManager::disconnectRequested, connection,
                [connection] { connection->closeConnection(QStringLiteral("the tray menu")); });
    }
    if (m_vpnConnection) {
        connect(m_vpnConnection.data(), &VpnConnection::connectionStateChanged, tray,
                &SystemTrayManager::onConnectionStateChanged);
        connect(m_vpnConnection.data(), &VpnConnection::vpnError, tray, &SystemTrayManager::onVpnError);
    }
    connect(m_servers.data(), &ServersModel::defaultServerReady, tray, &SystemTrayManager::onDefaultServerReady);
    connect(UserManager::instance(), &UserManager::stateChanged, tray, &SystemTrayManager::onUserLoginChanges);
}

void CoreController::linkTelemetry()
{
    Telemetry *telemetry = Telemetry::instance();
    if (m_connectionController) {
        m_connectionController->setTelemetrySink(
            [telemetry](const QString &name, const QVariantMap &params) { telemetry->logEvent(name, params); });
    }
    if (m_vpnConnection) {
        connect(m_vpnConnection.data(), &VpnConnection::connectionStateChanged, this,
                &CoreController::reportVpnState);
        connect(m_vpnConnection.data(), &VpnConnection::vpnError, this, [telemetry](VpnProtocol::Errors error) {
            if (error == VpnProtocol::NoError)
                return;
            telemetry->logEvent(QStringLiteral("app_error"),
                                {{QStringLiteral("domain"), QStringLiteral("vpn")},
                                 {QStringLiteral("code"), int(error)},
                                 {QStringLiteral("message"), QStringLiteral("VPN error %1").arg(int(error))}});
        });
    }
    connect(m_protocols.data(), &ProtocolsModel::protocolChosen, this, [telemetry](VpnProtocol::Protocol protocol) {
        telemetry->logEvent(QStringLiteral("protocol_changed"),
                            {{QStringLiteral("protocol"), VpnProtocol::apiName(protocol)}});
    });
    connect(m_logoutManager.data(), &LogoutManager::logout, this, [telemetry] {
        telemetry->logEvent(QStringLiteral("logout"), {});
        telemetry->clearUser();
    });
    connect(AuthGuard::instance(), &AuthGuard::unauthorized, this,
            [telemetry] { telemetry->logEvent(QStringLiteral("session_expired"), {}); });
}

void CoreController::reportVpnState(VpnProtocol::ConnectionState state)
{
    logger.info() << "vpn state: " + VpnProtocol::stateName(state);
    QString event;
    if (state == VpnProtocol::Connecting && !m_connectReported) {
        event = QStringLiteral("vpn_connect");
        m_connectReported = true;
    } else if (state == VpnProtocol::Connected && m_reportedState != VpnProtocol::Connected) {
        event = QStringLiteral("vpn_connected");
        m_connectReported = false;
    } else if (state == VpnProtocol::Disconnected && m_reportedState != VpnProtocol::Disconnected) {
        // A connect that never reached the tunnel failed; one that did ended.
        event = m_connectReported ? QStringLiteral("vpn_connect_failed") : QStringLiteral("vpn_disconnected");
        m_connectReported = false;
    }
    m_reportedState = state;
    if (event.isEmpty())
        return;
    const ServersModel::Server *server = m_servers->currentServer();
    Telemetry::instance()->logEvent(
        event, {{QStringLiteral("server_country"), server ? server->location()->name : QString()},
                {QStringLiteral("protocol"), VpnProtocol::apiName(m_vpnConnection->protocol())}});
}

void CoreController::armAutoConnect()
{
    const bool afterUpdate = m_updater->takeReconnectAfterUpdate();
    if (!afterUpdate && !(m_settings && m_settings->autoConnect()))
        return;

    // The guard carries the watch: deleting it ends every part of it, so the
    // watch fires at most once.
    auto *guard = new QObject(this);
    m_autoConnectGuard = guard;
    struct Seen {
        bool server = false;
        bool plan = false;
        bool fired = false;
    };
    auto seen = std::make_shared<Seen>();
    auto fire = [this, guard, seen, afterUpdate] {
        if (seen->fired || !seen->server || !seen->plan)
            return;
        seen->fired = true;
        guard->deleteLater();
        if (afterUpdate) {
            autoConnectNow();
            return;
        }
        const QString wifi = WifiName::current();
        if (!wifi.isEmpty() && m_settings && m_settings->trustedNetworks().contains(wifi)) {
            logger.info() << "Auto-connect skipped: trusted Wi-Fi";
            return;
        }
        autoConnectNow();
    };
    connect(m_servers.data(), &ServersModel::defaultServerReady, guard, [seen, fire] {
        seen->server = true;
        fire();
    });
    connect(UserManager::instance(), &UserManager::userCurrentSubscriptionFetched, guard, [seen, fire] {
        seen->plan = true;
        fire();
    });
    QTimer::singleShot(autoConnectWaitMs, guard, [guard, seen] {
        if (seen->fired)
            return;
        seen->fired = true;
        logger.info() << "Auto-connect skipped: no server or plan answer in time";
        guard->deleteLater();
    });
}

void CoreController::autoConnectNow()
{
    logger.info() << "Auto-connect: opening the connection";
    if (m_connectionController)
        m_connectionController->openConnection();
}

void CoreController::loadFonts()
{
    for (const char *font : kFonts) {
        const QString path = QString::fromLatin1(font);
        if (QFontDatabase::addApplicationFont(path) < 0)
            logger.warning() << "Failed to load font:" << path;
    }
}

void CoreController::publish(const char *name, QObject *object)
{
    if (m_engine)
        m_engine->rootContext()->setContextProperty(QString::fromLatin1(name), object);
}

void CoreController::clearContextObjects()
{
    if (!m_engine)
        return;
    QQmlContext *context = m_engine->rootContext();
    const QStringList names = contextObjectNames();
    for (const QString &name : names)
        context->setContextProperty(name, nullptr);
}

void CoreController::autoAuthenticate()
{
    QPointer<CoreController> self(this);
    TokenManager::instance()->readCredentials([self](const QString &email, const QString &token) {
        if (!self)
            return;
        if (email.isEmpty() || token.isEmpty()) {
            logger.info() << "Auto authenticate failed - no entries found in keychain";
            self->settleSignIn();
            self->checkUpdates();
            return;
        }
        self->silentSignIn(email, token);
    });
}

void CoreController::silentSignIn(const QString &email, const QString &token)
{
    QNetworkRequest request{QUrl(ApiHost::url(QStringLiteral("subscription-info")))};
    request.setRawHeader("Content-Type", "application/json");
    request.setRawHeader("Accept", "application/json");
    request.setRawHeader("Authorization", QByteArray("Bearer ") + token.toUtf8());
    request.setTransferTimeout(kSilentSignInTimeoutMs);

    QNetworkReply *reply = ApiHost::sharedManager()->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply, email, token] {
        reply->deleteLater();
        const QByteArray body = reply->isReadable() ? reply->readAll() : QByteArray();
        if (ApiHost::handleReply(reply, body)) {
            QTimer::singleShot(ApiHost::retryDelayMs(), this, [this, email, token] { silentSignIn(email, token); });
            return;
        }
        const QNetworkReply::NetworkError error = reply->error();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (error != QNetworkReply::NoError && status == 401) {
            logger.info() << "Auto authenticate failed, token's invalid";
            TokenManager::instance()->deleteCredentials(email);
            settleSignIn();
            checkUpdates();
            return;
        }
        const bool success = QJsonDocument::fromJson(body).object().value(QLatin1String("success")).toBool();
        if (error == QNetworkReply::NoError && success) {
            logger.info() << "Auto aunthenticate succeed";
            emit autoLogin(email);
            UserManager::setState(UserManager::SignedIn);
            settleSignIn();
            checkUpdates();
            return;
        }
        // No answer, or one that says nothing about the session: the saved
        // session stays in use rather than leaving the user signed out with a
        // token still stored.
        logger.info() << QStringLiteral("Auto authenticate: no answer (%1), using the saved session").arg(int(error));
        emit autoLogin(email);
        UserManager::setState(UserManager::SignedIn);
        settleSignIn();
    });
}

void CoreController::settleSignIn()
{
    if (m_signInSettled)
        return;
    m_signInSettled = true;
    emit signInSettledChanged();
}

void CoreController::checkUpdates()
{
    const QJsonObject body{
        {QStringLiteral("current_version"), QStringLiteral(KELVRA_VERSION)},
        {QStringLiteral("type"), QStringLiteral("desktop")},
        {QStringLiteral("current_os"), QStringLiteral("windows")},
        {QStringLiteral("machine_arch"), NativeArchitecture::forUpdateCheck()},
    };
    const QString token =
        UserManager::state() == UserManager::SignedIn ? TokenManager::instance()->getToken() : QString();
    m_updateRequest->request(ApiHost::url(QStringLiteral("app-version-check")), body, NetworkManager::POST, token, 0,
                             true);
}

void CoreController::onVpnStateChanged(VpnProtocol::ConnectionState state)
{
    if (state != VpnProtocol::Connecting && state != VpnProtocol::Connected && state != VpnProtocol::Disconnected)
        return;
    ApiHost::noteTunnelChange();
    if (state == VpnProtocol::Connecting)
        m_profileRefreshTimer.stop();
    else if (state == VpnProtocol::Disconnected && UserManager::state() == UserManager::SignedIn)
        m_profileRefreshTimer.start();
}

void CoreController::onLogout()
{
    if (m_connectionController)
        m_connectionController->closeConnection(QStringLiteral("logout"));
    m_tray->disableConnectOptions();
    CdnRouteCache::remove();
}

void CoreController::parseResponse(QByteArray data, int statusCode)
{
    const UpdateCheckAnswer answer = UpdateCheckAnswer::parse(data, statusCode);
    switch (answer.verdict) {
    case UpdateCheckAnswer::Verdict::NoVersionInfo:
        m_updateRetryTimer.stop();
        logger.info() << "Update check: no version information available (404)";
        setUpdateAvailable(false);
        emit noUpdateAvailable();
        return;
    case UpdateCheckAnswer::Verdict::Rejected:
        m_updateRetryTimer.stop();
        logger.warning() << "Update check rejected by server: status" << statusCode << "body:"
                         << QString::fromUtf8(data.left(200));
        setUpdateAvailable(false);
        emit noUpdateAvailable();
        return;
    case UpdateCheckAnswer::Verdict::Failed:
        logger.warning() << "Update check failed: status" << statusCode << "parse:" << answer.parseError;
        onErrorOccurred();
        return;
    case UpdateCheckAnswer::Verdict::Available:
        m_updateRetryTimer.stop();
        m_updater->setSetupOffer(answer.setupUrl, answer.setupSha256, answer.setupSize);
        logger.info() << "Update offered:" << answer.latestVersion << answer.updateType
                      << (answer.installerUrl.isEmpty() ? "no installer link" : "in-app");
        setUpdateAvailable(true);
        emit updateAvailable(answer.downloadUrl, answer.updateType, answer.installerUrl, answer.sha256);
        return;
    case UpdateCheckAnswer::Verdict::NotAvailable:
        m_updateRetryTimer.stop();
        if (!answer.recognised)
            logger.warning() << "Update check: unrecognised response payload, message:" << answer.message;
        setUpdateAvailable(false);
        emit noUpdateAvailable();
        return;
    }
}

void CoreController::setUpdateAvailable(bool available)
{
    if (m_isUpdateAvailable == available)
        return;
    m_isUpdateAvailable = available;
    emit updateStateChanged();
}

void CoreController::onErrorOccurred()
{
    m_updateRetryTimer.start();
    // While a tunnel comes up, goes down or runs, a failed check is more
    // likely the tunnel's doing than the network's: retried, not shown.
    if (m_vpnConnection && m_vpnConnection->isBusyWithTunnel())
        return;
    emit errorOccurred();
}

void CoreController::update(QString downloadUrl, QString updateType)
{
    Q_UNUSED(updateType)
    UserManager::instance()->reDirect(downloadUrl);
}

QString CoreController::appVersion() const
{
    return QStringLiteral(KELVRA_VERSION);
}

void CoreController::disableConnectOptions()
{
    m_tray->disableConnectOptions();
}

void CoreController::openClientLogsFolder()
{
    const QString path = Logger::userLogsDir();
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        logger.warning() << "Failed to open client logs folder" << path;
}

void CoreController::openServiceLogsFolder()
{
    const QString path = Logger::serviceLogsDir();
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        logger.warning() << "Failed to open service logs folder" << path;
}

QString CoreController::clientLogTail() const
{
    constexpr qint64 kTailBytes = 64 * 1024;
    QFile file(Logger::userLogsFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 start = qMax<qint64>(0, file.size() - kTailBytes);
    file.seek(start);
    QByteArray tail = file.read(kTailBytes);
    // A tail that starts inside a line starts at the next whole one.
    if (start > 0) {
        const int newline = tail.indexOf('\n');
        tail = newline < 0 ? QByteArray() : tail.mid(newline + 1);
    }
    return QString::fromUtf8(tail);
}

void CoreController::clearLogs()
{
    Logger::clear(false);
    Logger::clearServiceLogs();
}
