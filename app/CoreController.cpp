#include "app/CoreController.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFontDatabase>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QUrl>

#include "app/Logger.h"
#include "app/Settings.h"
#include "vpn/VpnConnection.h"

namespace {

Logger logger(QStringLiteral("CoreController"));

constexpr int kUpdateRetryMs = 10000;
constexpr int kLeftoverTunnelChecks = 5;

const char *const kFonts[] = {
    ":/ui/fonts/Poppins-Light.ttf",    ":/ui/fonts/Poppins-Regular.ttf", ":/ui/fonts/Poppins-Medium.ttf",
    ":/ui/fonts/Poppins-SemiBold.ttf", ":/ui/fonts/Poppins-Bold.ttf",    ":/ui/fonts/Poppins-ExtraBold.ttf",
};

} // namespace

CoreController::CoreController(QQmlApplicationEngine *engine, QSharedPointer<VpnConnection> vpnConnection,
                               QSharedPointer<Settings> settings, QObject *parent)
    : QObject(parent), m_engine(engine), m_vpnConnection(std::move(vpnConnection)), m_settings(std::move(settings))
{
    loadFonts();

    m_updateRetryTimer.setSingleShot(true);
    m_updateRetryTimer.setInterval(kUpdateRetryMs);
    connect(&m_updateRetryTimer, &QTimer::timeout, this, &CoreController::checkUpdates);

    if (m_vpnConnection)
        m_vpnConnection->cleanUpLeftoverTunnel(kLeftoverTunnelChecks);
}

CoreController::~CoreController() = default;

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
    // The token store joins with the account work; until then nobody is stored.
    logger.info() << "Auto authenticate failed - no entries found in keychain";
    checkUpdates();
}

void CoreController::checkUpdates()
{
    // The version check request is built by the updater.
}

void CoreController::parseResponse(QByteArray data, int statusCode)
{
    Q_UNUSED(data)
    Q_UNUSED(statusCode)
}

void CoreController::onErrorOccurred()
{
    m_updateRetryTimer.start();
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
