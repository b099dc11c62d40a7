#include "UiTestSetup.h"

#include <QCoreApplication>
#include <QQmlContext>
#include <QQmlEngine>
#include <QTest>
#include <QtQml>

#include "app/AppManager.h"
#include "app/CoreController.h"
#include "app/ThemeIconProvider.h"
#include "app/Settings.h"
#include "tests/api/ApiTestSupport.h"
#include "vpn/VpnConnection.h"

UiTestSetup::UiTestSetup() = default;

UiTestSetup::~UiTestSetup()
{
    cleanupTestCase();
}

void UiTestSetup::qmlEngineAvailable(QQmlEngine *engine)
{
    ApiTestSupport::useOwnCredentialService("ui");
    if (!ApiTestSupport::startStandIn(m_backend))
        qFatal("the backend stand-in could not listen");
    if (!StandInProgram::pointClientHere("kelvra-ui-", m_dir.path())
        || !m_service.start(QStringLiteral("kelvra-service-standin"),
                            {QStringLiteral("--api-base-url"), m_backend.baseUrl(), QStringLiteral("--ca-file"),
                             BackendStandIn::caCertificatePath()}))
        qFatal("the service stand-in could not start");

    m_settings = QSharedPointer<Settings>::create();
    m_vpn = QSharedPointer<VpnConnection>::create(m_settings);
    m_core.reset(new CoreController(&m_publishing, m_vpn, m_settings));

    m_engine = engine;
    engine->addImageProvider(QStringLiteral("themeicon"), new ThemeIconProvider);
    QQmlContext *context = engine->rootContext();
    for (const QString &name : CoreController::publishedNames())
        context->setContextProperty(name, m_publishing.rootContext()->contextProperty(name));
    qmlRegisterSingletonInstance("com.qt.kelvra", 1, 0, "AppManager", QCoreApplication::instance());
    qmlRegisterSingletonInstance("com.qt.kelvra", 1, 0, "CoreController", m_core.data());
    engine->addImportPath(QStringLiteral("qrc:/ui/qml/singletons/"));
    // The tests read the code the backend "mails" from here.
    context->setContextProperty(QStringLiteral("StandInBackend"), &m_backend);
    // Links reach the client through the application object, as at start-up.
    context->setContextProperty(QStringLiteral("TestBrowser"), &m_browser);
    if (auto *app = qobject_cast<AppManager *>(QCoreApplication::instance())) {
        connect(app, &AppManager::authenticated, m_core.data(), &CoreController::authenticated);
        connect(app, &AppManager::loginLinkReceived, m_core.data(), &CoreController::loginLinkReceived);
    }
    // As the client's start does: the stored session is tried (the test
    // keyring holds none), so the window settles on the sign-in page.
    m_core->autoAuthenticate();
}

// While the test engine still lives: nothing it holds may point at the
// objects about to go.
void UiTestSetup::cleanupTestCase()
{
    if (m_engine) {
        for (const QString &name : CoreController::publishedNames())
            m_engine->rootContext()->setContextProperty(name, static_cast<QObject *>(nullptr));
        m_engine->rootContext()->setContextProperty(QStringLiteral("StandInBackend"), static_cast<QObject *>(nullptr));
        m_engine->rootContext()->setContextProperty(QStringLiteral("TestBrowser"), static_cast<QObject *>(nullptr));
        m_engine = nullptr;
    }
    if (m_core)
        m_core->clearContextObjects();
    // A request to the service still open when its owner goes would answer
    // into an object being destroyed: the service goes first, and the open
    // requests end on its going while their owners still live.
    m_service.stop();
    QTest::qWait(300);
    m_core.reset();
    m_vpn.reset();
    m_settings.reset();
}
