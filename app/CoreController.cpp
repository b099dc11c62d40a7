#include "app/CoreController.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFontDatabase>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QSysInfo>
#include <QUrl>

#include "account/CodeAuthenticator.h"
#include "account/ConnectedDevicesModel.h"
#include "account/LogoutManager.h"
#include "account/TokenManager.h"
#include "account/UserManager.h"
#include "api/ApiHost.h"
#include "api/AuthGuard.h"
#include "api/LimitGuard.h"
#include "api/NetworkManager.h"
#include "app/Logger.h"
#include "app/Settings.h"
#include "servers/CdnRouteCache.h"
#include "servers/ServerFilterProxyModel.h"
#include "ipc/LocalSocketController.h"
#include "servers/ServersModel.h"
#include "vpn/VpnConnection.h"

namespace {

Logger logger(QStringLiteral("CoreController"));

constexpr int kUpdateRetryMs = 10000;
constexpr int kLeftoverTunnelChecks = 5;
constexpr int kSilentSignInTimeoutMs = 15000;
constexpr int kProfileRefreshAfterTunnelMs = 3000;

// The architecture the version check reports; an ARM64 machine gets the x64
// build, which it runs.
QString machineArchitecture()
{
    const QString arch = QSysInfo::currentCpuArchitecture();
    if (arch == QLatin1String("x86_64") || arch == QLatin1String("arm64"))
        return QStringLiteral("x64");
    if (arch == QLatin1String("i386"))
        return QStringLiteral("x86");
    if (arch.startsWith(QLatin1String("arm")))
        return QStringLiteral("ARM");
    return QStringLiteral("Unknown");
}

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

    // Models. Plans, protocols, the network monitor and the updater join here
    // as they arrive; the network monitor coming online will retry the list.
    m_servers = QSharedPointer<ServersModel>::create(m_settings, m_vpnConnection);
    linkServersToTunnel();
    publish("MServers", m_servers.data());
    ServerFilterProxyModel::registerQmlType();
    m_devices = QSharedPointer<ConnectedDevicesModel>::create();
    publish("MDevices", m_devices.data());

    // The connection controller, settings controller and session reporter
    // join here; the device-limit guard is published for the limit dialog.
    publish("LimitGuard", LimitGuard::instance());

    // Sign-in objects: an expired session signs the user out. The
    // single-sign-on controller joins here.
    m_codeAuthenticator = QSharedPointer<CodeAuthenticator>::create();
    publish("CodeAuthenticator", m_codeAuthenticator.data());
    m_logoutManager = QSharedPointer<LogoutManager>::create();
    publish("LogoutManager", m_logoutManager.data());
    connect(AuthGuard::instance(), &AuthGuard::unauthorized, m_logoutManager.data(), &LogoutManager::forceLogout);

    publish("TokenManager", TokenManager::instance());
    publish("UserManager", UserManager::instance());

    if (m_vpnConnection)
        m_vpnConnection->cleanUpLeftoverTunnel(kLeftoverTunnelChecks);

    m_updateRetryTimer.setSingleShot(true);
    m_updateRetryTimer.setInterval(kUpdateRetryMs);
    connect(&m_updateRetryTimer, &QTimer::timeout, this, [this] {
        if (UserManager::state() == UserManager::SignedIn)
            checkUpdates();
    });

    m_profileRefreshTimer.setSingleShot(true);
    m_profileRefreshTimer.setInterval(kProfileRefreshAfterTunnelMs);
    connect(&m_profileRefreshTimer, &QTimer::timeout, UserManager::instance(), &UserManager::fetchUserInfo);

    connect(m_logoutManager.data(), &LogoutManager::logout, this, &CoreController::onLogout);
    // The sign-in answer marks the user signed in before its token is stored:
    // the list is asked for once that has happened.
    connect(UserManager::instance(), &UserManager::stateChanged, this,
            [this] { QMetaObject::invokeMethod(this, &CoreController::onSignedIn, Qt::QueuedConnection); });
    connect(m_updateRequest.data(), &NetworkManager::requestFinished, this, &CoreController::parseResponse);
    connect(m_updateRequest.data(), &NetworkManager::requestFailed, this, &CoreController::onErrorOccurred);
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
            checkUpdates();
            return;
        }
        const bool success = QJsonDocument::fromJson(body).object().value(QLatin1String("success")).toBool();
        if (error == QNetworkReply::NoError && success) {
            logger.info() << "Auto aunthenticate succeed";
            emit autoLogin(email);
            UserManager::setState(UserManager::SignedIn);
            checkUpdates();
            return;
        }
        // No answer, or one that says nothing about the session: the saved
        // session stays in use rather than leaving the user signed out with a
        // token still stored.
        logger.info() << QStringLiteral("Auto authenticate: no answer (%1), using the saved session").arg(int(error));
        emit autoLogin(email);
        UserManager::setState(UserManager::SignedIn);
    });
}

void CoreController::checkUpdates()
{
    const QJsonObject body{
        {QStringLiteral("current_version"), QStringLiteral(KELVRA_VERSION)},
        {QStringLiteral("type"), QStringLiteral("desktop")},
        {QStringLiteral("current_os"), QStringLiteral("windows")},
        {QStringLiteral("machine_arch"), machineArchitecture()},
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
    // The connection controller closes the tunnel with reason "logout" and the
    // tray disables its connect options once both exist.
    CdnRouteCache::remove();
}

void CoreController::onSignedIn()
{
    // A new session may belong to another account: its catalogue settings are
    // reconciled before the list is asked for with the new token.
    if (UserManager::state() != UserManager::SignedIn)
        return;
    m_servers->reconcileAccount(TokenManager::instance()->getEmail());
    m_servers->fetchServers();
}

void CoreController::parseResponse(QByteArray data, int statusCode)
{
    Q_UNUSED(data)
    Q_UNUSED(statusCode)
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
    Q_UNUSED(downloadUrl)
    Q_UNUSED(updateType)
}

QString CoreController::appVersion() const
{
    return QStringLiteral(KELVRA_VERSION);
}

void CoreController::disableConnectOptions()
{
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

void CoreController::clearLogs()
{
    Logger::clear(false);
    Logger::clearServiceLogs();
}
