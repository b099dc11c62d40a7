#include "app/AppManager.h"

#include <QCommandLineOption>
#include <QDateTime>
#include <QLocalServer>
#include <QLocalSocket>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QRegularExpression>
#include <QScreen>
#include <QSettings>
#include <QSysInfo>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <QtQml>

#include <cstdio>

#include "app/CoreController.h"
#include "app/ThemeIconProvider.h"
#include "app/Logger.h"
#include "app/Settings.h"
#include "engagement/SystemTrayManager.h"
#include "platform/NativeWindow.h"
#include "platform/SessionName.h"
#include "ipc/IpcClient.h"
#include "vpn/VpnConnection.h"

namespace {

Logger logger(QStringLiteral("AppManager"));

const char kInstanceName[] = "KelvraInstance";
const char kLoginScheme[] = "kelvra://";
const char kHandBackScheme[] = "kelvra-fiddle://";
const char kNoData[] = "no-data";
const char kMainQml[] = "qrc:/ui/qml/Main.qml";
const char kQmlModule[] = "com.qt.kelvra";

constexpr int kProbeWaitMs = 500;
constexpr int kForwardQuitDelayMs = 1000;
constexpr int kFirstStartLinkDelayMs = 2000;
constexpr int kWideScreen = 1280;
// A link or a hand-back is a few hundred bytes; anything far larger is not one
// of ours and is dropped whole rather than read in pieces.
constexpr qint64 kMaxInstanceMessage = 64 * 1024;
// A connection that never closes is handled, and closed, after this long.
constexpr int kInstanceSocketTimeoutMs = 2000;

} // namespace

AppManager::AppManager(int &argc, char **argv)
    : QApplication(argc, argv)
{
    setQuitOnLastWindowClosed(false);
    Logger::installFilter();
    updateWindowSize();
    connect(this, &QCoreApplication::aboutToQuit, this, [this] { onAboutToQuit(); });
}

AppManager::~AppManager()
{
    delete m_engine;
    m_engine = nullptr;
    m_vpnConnection.reset();
    m_settings.reset();
    delete m_coreController;
    m_coreController = nullptr;
}

QString AppManager::singleInstanceName()
{
    static const QString name = SessionName::scoped(QString::fromLatin1(kInstanceName));
    return name;
}

QSize AppManager::windowSizeFor(const QSize &screen)
{
    return screen.width() > kWideScreen ? QSize(1180, 720) : QSize(1080, 700);
}

void AppManager::updateWindowSize()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    const QSize size = windowSizeFor(screen ? screen->size() : QSize());
    setWindowWidth(size.width());
    setWindowHeight(size.height());
}

void AppManager::setWindowWidth(int width)
{
    if (m_windowWidth == width)
        return;
    m_windowWidth = width;
    emit windowWidthChanged();
}

void AppManager::setWindowHeight(int height)
{
    if (m_windowHeight == height)
        return;
    m_windowHeight = height;
    emit windowHeightChanged();
}

bool AppManager::forwardToRunningInstance()
{
    QLocalSocket socket;
    socket.connectToServer(singleInstanceName(), QIODevice::ReadWrite);
    if (!socket.waitForConnected(kProbeWaitMs))
        return false;

    const QStringList args = arguments();
    const QByteArray message = args.size() > 1 ? args.at(1).toLatin1()
                                               : QByteArray(kHandBackScheme) + QByteArray(kNoData);
    socket.write(message);
    socket.flush();
    socket.waitForBytesWritten(kProbeWaitMs);
    socket.close();
    QTimer::singleShot(kForwardQuitDelayMs, this, &QCoreApplication::quit);
    return true;
}

void AppManager::startSingleInstanceServer()
{
    const QString name = singleInstanceName();
    QLocalServer::removeServer(name);
    m_instanceServer = new QLocalServer(this);
    // Only this user's own starts may hand links to this client.
    m_instanceServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_instanceServer->listen(name)) {
        logger.error() << "Single-instance server failed to listen:" << m_instanceServer->errorString()
                       << "- a second launch will start a new instance instead of raising this one, and SSO "
                          "callbacks will not arrive";
        return;
    }
    connect(m_instanceServer, &QLocalServer::newConnection, this, [this] { acceptInstanceConnection(); });
}

bool AppManager::isSingleInstanceServerListening() const
{
    return m_instanceServer && m_instanceServer->isListening();
}

void AppManager::acceptInstanceConnection()
{
    while (QLocalSocket *socket = m_instanceServer->nextPendingConnection()) {
        // The sender writes one argument and closes; the message is complete
        // when it has gone. Collecting until then keeps a message that arrives
        // in several reads whole instead of handling its pieces.
        auto buffer = QSharedPointer<QByteArray>::create();
        auto finished = QSharedPointer<bool>::create(false);
        auto finish = [this, socket, buffer, finished] {
            if (*finished)
                return;
            *finished = true;
            socket->disconnect(this);
            socket->deleteLater();
            if (!buffer->isEmpty())
                emit messageReceived(*buffer);
        };
        connect(socket, &QLocalSocket::readyRead, this, [socket, buffer, finished] {
            if (*finished)
                return;
            buffer->append(socket->readAll());
            if (buffer->size() > kMaxInstanceMessage) {
                logger.warning() << "Ignored an oversized single-instance message";
                *finished = true;
                buffer->clear();
                socket->abort();
                socket->deleteLater();
            }
        });
        connect(socket, &QLocalSocket::disconnected, this, [socket, buffer, finished, finish] {
            if (*finished)
                return;
            if (socket->isOpen())
                buffer->append(socket->readAll());
            if (buffer->size() > kMaxInstanceMessage)
                buffer->clear();
            finish();
        });
        // A sender that never closes: whatever it sent by then is its message.
        QTimer::singleShot(kInstanceSocketTimeoutMs, socket, finish);
    }
}

QString AppManager::extractLoginCode(const QString &link)
{
    static const QRegularExpression codePattern(QStringLiteral("^[A-Za-z0-9|._~+/=-]{1,512}$"));
    const QUrl url(link.trimmed(), QUrl::TolerantMode);
    if (url.scheme().compare(QLatin1String("kelvra"), Qt::CaseInsensitive) != 0
        || url.host().compare(QLatin1String("login"), Qt::CaseInsensitive) != 0)
        return {};
    const QString code = QUrlQuery(url).queryItemValue(QStringLiteral("code"), QUrl::FullyDecoded);
    return codePattern.match(code).hasMatch() ? code : QString();
}

AppManager::HandBack AppManager::parseHandBack(const QString &text)
{
    QString rest = text.trimmed();
    if (rest.startsWith(QLatin1String(kHandBackScheme)))
        rest.remove(0, int(qstrlen(kHandBackScheme)));
    const qsizetype mark = rest.indexOf(QLatin1Char('?'));
    QString encodedPayload = mark < 0 ? rest : rest.left(mark);
    const QString query = mark < 0 ? QString() : rest.mid(mark + 1);
    encodedPayload.remove(QLatin1Char('/'));

    HandBack result;
    result.payload = QUrl::fromPercentEncoding(encodedPayload.toUtf8());
    result.state = QUrlQuery(query).queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded);
    return result;
}

bool AppManager::isHandBackToken(const QString &payload)
{
    static const QRegularExpression tokenPattern(QStringLiteral("^\\d+\\|[A-Za-z0-9]+$"));
    return payload != QLatin1String(kNoData) && tokenPattern.match(payload).hasMatch();
}

void AppManager::onAutoLogin(QString userEmail)
{
    emit autoLogin(userEmail);
}

void AppManager::onReceivedMessage(QByteArray message)
{
    const QString text = QString::fromUtf8(message);
    if (text.startsWith(QLatin1String(kLoginScheme), Qt::CaseInsensitive)) {
        logger.info() << "Login link received";
        emit raiseRequested();
        const QString code = extractLoginCode(text);
        if (code.isEmpty())
            logger.warning() << "Ignored a link without a usable sign-in code";
        else
            emit loginLinkReceived(code);
        return;
    }
    if (text.startsWith(QLatin1String(kHandBackScheme), Qt::CaseSensitive)) {
        const HandBack handBack = parseHandBack(text);
        emit raiseRequested();
        if (isHandBackToken(handBack.payload))
            emit authenticated(handBack.payload, handBack.state);
        return;
    }
    // Anything else (a second start's "--autostart", say) is not for us.
}

void AppManager::onScreenChanged(QScreen *screen)
{
    Q_UNUSED(screen)
    logger.debug() << "App's moved to another screen.";
    updateWindowSize();
}

void AppManager::closeMainWindow()
{
    putMainWindowAway();
}

void AppManager::putMainWindowAway()
{
    if (m_trayIconVisible) {
        emit hideMainWindow();
        return;
    }
    // With no tray icon a hidden window could never be brought back, and the
    // client would run on unseen: it goes to the taskbar instead.
    if (QQuickWindow *window = findMainWindow())
        window->showMinimized();
}

QQuickWindow *AppManager::findMainWindow()
{
    // The page's window exists as soon as the page has loaded; it is noted
    // as the main window only a turn of the event loop later.
    if (!m_mainWindow && m_engine) {
        const QList<QObject *> roots = m_engine->rootObjects();
        for (QObject *root : roots) {
            if (auto *window = qobject_cast<QQuickWindow *>(root))
                return window;
        }
    }
    return m_mainWindow;
}

void AppManager::onSystemTrayActivated()
{
    QTimer::singleShot(0, this, [this] { emit raiseRequested(); });
}

void AppManager::setDarkTitleBar(bool dark)
{
    if (m_mainWindow)
        NativeWindow::setDarkFrame(m_mainWindow, dark);
}

void AppManager::startClient()
{
    setApplicationName(QStringLiteral("Kelvra"));
    setApplicationDisplayName(QStringLiteral("Kelvra"));
    setOrganizationName(QStringLiteral("Kelvra.Inc"));
    setApplicationVersion(QStringLiteral(KELVRA_VERSION));
    setWindowIcon(QIcon(QStringLiteral(":/ui/icons/icon.ico")));

    startSingleInstanceServer();

    const QStringList args = arguments();
    if (args.size() > 1 && args.at(1).startsWith(QLatin1String(kLoginScheme), Qt::CaseInsensitive)) {
        const QByteArray link = args.at(1).toUtf8();
        QTimer::singleShot(kFirstStartLinkDelayMs, this, [this, link] { onReceivedMessage(link); });
    }

    qmlRegisterSingletonInstance(kQmlModule, 1, 0, "AppManager", this);

    m_parser.setApplicationDescription(QStringLiteral("Kelvra"));
    m_parser.addHelpOption();
    m_parser.addVersionOption();
    m_parser.addOption(QCommandLineOption({QStringLiteral("a"), QStringLiteral("autostart")},
                                          QStringLiteral("System autostart")));
    m_parser.process(*this);

    startUp();
}

void AppManager::startUp()
{
    m_engine = new QQmlApplicationEngine();
    m_engine->addImageProvider(QStringLiteral("themeicon"), new ThemeIconProvider);
    const QUrl mainUrl(QString::fromLatin1(kMainQml));
    // Queued: a page that fails to load must end the event loop, which only
    // exists once exec() runs.
    connect(
        m_engine, &QQmlApplicationEngine::objectCreated, this,
        [this, mainUrl](QObject *object, const QUrl &url) {
            if (url != mainUrl)
                return;
            if (!object) {
                QCoreApplication::exit(-1);
                return;
            }
            auto *window = qobject_cast<QQuickWindow *>(object);
            if (!window)
                return;
            m_mainWindow = window;
            const bool dark = QSettings().value(QStringLiteral("Appearance/dark"), true).toBool();
            auto styled = QSharedPointer<QMetaObject::Connection>::create();
            *styled = connect(window, &QQuickWindow::frameSwapped, this, [this, window, dark, styled] {
                disconnect(*styled);
                // The start-up benchmark's mark: when the first frame was shown.
                if (qEnvironmentVariableIsSet("KELVRA_FIRST_FRAME_MARK")) {
                    std::printf("first-frame %lld %dx%d\n", QDateTime::currentMSecsSinceEpoch(), window->width(),
                                window->height());
                    std::fflush(stdout);
                }
                NativeWindow::setDarkFrame(window, dark);
                NativeWindow::setRoundedCorners(window);
            });
        },
        Qt::QueuedConnection);

    m_settings = QSharedPointer<Settings>::create();
    m_vpnConnection = QSharedPointer<VpnConnection>::create(m_settings);
    m_coreController = new CoreController(m_engine, m_vpnConnection, m_settings);

    connect(this, &AppManager::authenticated, m_coreController, &CoreController::authenticated);
    connect(this, &AppManager::loginLinkReceived, m_coreController, &CoreController::loginLinkReceived);
    connect(m_coreController, &CoreController::autoLogin, this, &AppManager::onAutoLogin);
    // With a tray icon shown, closing the window hides it into the tray.
    SystemTrayManager *tray = m_coreController->systemTray();
    if (tray->isIconVisible())
        setTrayIconVisible(true);
    connect(tray, &SystemTrayManager::trayIconVisibleChanged, this, &AppManager::setTrayIconVisible);
    connect(tray, &SystemTrayManager::showRequested, this, &AppManager::onSystemTrayActivated);
    connect(this, &AppManager::messageReceived, this, &AppManager::onReceivedMessage);
    connect(this, &QGuiApplication::primaryScreenChanged, this, &AppManager::onScreenChanged);

    qmlRegisterSingletonInstance(kQmlModule, 1, 0, "CoreController", m_coreController);

    m_engine->addImportPath(QStringLiteral("qrc:/ui/qml/singletons/"));
    m_engine->load(mainUrl);

    if (m_settings->logging())
        Logger::init();
    Logger::setServiceLogsEnabled(true);

    logger.info() << QStringLiteral("Started Kelvra, version %1").arg(applicationVersion());
    std::printf("Tray system supported: %s\n", QSystemTrayIcon::isSystemTrayAvailable() ? "true" : "false");
    std::fflush(stdout);
    logger.debug() << "Calculated window size:" << m_windowWidth << m_windowHeight;
    logger.info() << "Running on CPU Arch:" << QSysInfo::currentCpuArchitecture();

    if (m_settings->startMinimized())
        putMainWindowAway();
    else
        emit raiseRequested();

    QTimer::singleShot(0, m_coreController, &CoreController::autoAuthenticate);
}

void AppManager::onAboutToQuit()
{
    // Nothing may stay blocked once the client is gone.
    if (const auto service = IpcClient::Interface(); service && service->isReplicaValid())
        service->setLockdown(false);
    if (m_coreController)
        m_coreController->clearContextObjects();
}
