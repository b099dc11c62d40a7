#include <QDir>
#include <QIcon>
#include <QMetaMethod>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#include <QQmlContext>
#include <QQmlEngine>
#include <QtQml>

#include "app/AppManager.h"
#include "app/CoreController.h"
#include "support/TestEnvironment.h"

#include <cstdio>

namespace {
QString settingsFolder()
{
    return qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/Kelvra.Inc");
}
} // namespace

class TestAppManager : public QObject
{
    Q_OBJECT

private slots:
    void metaObjectInterface()
    {
        // QML and the core controller bind to these by name and position.
        const QStringList expected{
            "autoLogin(QString)",        "authenticated(QString,QString)", "loginLinkReceived(QString)",
            "raiseRequested()",          "hideMainWindow()",               "autoConnect()",
            "messageReceived(QByteArray)", "windowWidthChanged()",         "windowHeightChanged()",
            "onAutoLogin(QString)",      "onReceivedMessage(QByteArray)",  "onScreenChanged(QScreen*)",
            "closeMainWindow()",         "onSystemTrayActivated()",        "setDarkTitleBar(bool)",
        };
        const QMetaObject &meta = AppManager::staticMetaObject;
        QStringList actual;
        for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
            actual << QString::fromLatin1(meta.method(i).methodSignature());
        QCOMPARE(actual, expected);
        QCOMPARE(meta.propertyCount() - meta.propertyOffset(), 2);
        QCOMPARE(meta.property(meta.propertyOffset()).name(), "windowWidth");
        QCOMPARE(meta.property(meta.propertyOffset() + 1).name(), "windowHeight");
    }

    void loginCode_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("code");
        QTest::newRow("plain") << "kelvra://login?code=abc" << "abc";
        QTest::newRow("scheme and host in capitals") << "KELVRA://LOGIN?code=abc" << "abc";
        QTest::newRow("surrounding white space") << "  kelvra://login?code=abc \n" << "abc";
        QTest::newRow("every allowed character") << "kelvra://login?code=aZ09|._~-%2B%2F%3D" << "aZ09|._~-+/=";
        QTest::newRow("other host") << "kelvra://other?code=abc" << "";
        QTest::newRow("other scheme") << "kelvrax://login?code=abc" << "";
        QTest::newRow("no code") << "kelvra://login?state=abc" << "";
        QTest::newRow("empty code") << "kelvra://login?code=" << "";
        QTest::newRow("space") << "kelvra://login?code=a%20b" << "";
        QTest::newRow("percent sign") << "kelvra://login?code=a%25b" << "";
        QTest::newRow("512 characters") << "kelvra://login?code=" + QString(512, 'a') << QString(512, 'a');
        QTest::newRow("513 characters") << "kelvra://login?code=" + QString(513, 'a') << "";
        QTest::newRow("control character") << "kelvra://login?code=ab%0Acd" << "";
        QTest::newRow("non-ASCII") << QStringLiteral("kelvra://login?code=ab\u00e9") << "";
        QTest::newRow("half a URL") << "kelvra://" << "";
        QTest::newRow("user info trick") << "kelvra://login@evil?code=abc" << "";
    }

    void loginCode()
    {
        QFETCH(QString, link);
        QFETCH(QString, code);
        QCOMPARE(AppManager::extractLoginCode(link), code);
    }

    void handBack_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("payload");
        QTest::addColumn<QString>("state");
        QTest::newRow("encoded bar") << "kelvra-fiddle://12%7Cabc?state=xyz" << "12|abc" << "xyz";
        QTest::newRow("slashes dropped before decoding") << "kelvra-fiddle://12|a/bc/" << "12|abc" << "";
        QTest::newRow("no data") << "kelvra-fiddle://no-data" << "no-data" << "";
        QTest::newRow("encoded state") << "kelvra-fiddle://1|a?state=a%20b%26c" << "1|a" << "a b&c";
        QTest::newRow("only the first question mark splits") << "kelvra-fiddle://1|a?state=x?y" << "1|a" << "x?y";
        QTest::newRow("empty") << "kelvra-fiddle://" << "" << "";
    }

    void handBack()
    {
        QFETCH(QString, text);
        QFETCH(QString, payload);
        QFETCH(QString, state);
        const AppManager::HandBack result = AppManager::parseHandBack(text);
        QCOMPARE(result.payload, payload);
        QCOMPARE(result.state, state);
    }

    void message_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<int>("raised");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("token");
        QTest::addColumn<QString>("state");
        QTest::newRow("sign-in link") << QByteArray("kelvra://login?code=abc") << 1 << "abc" << "" << "";
        QTest::newRow("link in capitals") << QByteArray("KELVRA://login?code=abc") << 1 << "abc" << "" << "";
        QTest::newRow("link to another host raises only")
            << QByteArray("kelvra://other?code=abc") << 1 << "" << "" << "";
        QTest::newRow("hand-back signs in")
            << QByteArray("kelvra-fiddle://12%7Cabc?state=xyz") << 1 << "" << "12|abc" << "xyz";
        QTest::newRow("no-data raises only") << QByteArray("kelvra-fiddle://no-data") << 1 << "" << "" << "";
        QTest::newRow("hand-back prefix is case-sensitive")
            << QByteArray("KELVRA-FIDDLE://12%7Cabc?state=xyz") << 0 << "" << "" << "";
        QTest::newRow("payload not a token") << QByteArray("kelvra-fiddle://12|ab-c") << 1 << "" << "" << "";
        QTest::newRow("payload without digits") << QByteArray("kelvra-fiddle://|abc") << 1 << "" << "" << "";
        QTest::newRow("autostart from a second start") << QByteArray("--autostart") << 0 << "" << "" << "";
        QTest::newRow("empty") << QByteArray() << 0 << "" << "" << "";
        QTest::newRow("invalid UTF-8") << QByteArray("\xff\xfe\xc3(kelvra://login?code=abc") << 0 << "" << "" << "";
        QTest::newRow("invalid UTF-8 inside a link")
            << QByteArray("kelvra://login?code=ab\xff\xfe") << 1 << "" << "" << "";
        QTest::newRow("control characters")
            << QByteArray("kelvra://login?code=a\x01\x02\x1b[2J") << 1 << "" << "" << "";
        QTest::newRow("NUL inside a hand-back")
            << QByteArray("kelvra-fiddle://12|ab\0c", 23) << 1 << "" << "" << "";
        QTest::newRow("four megabytes of link")
            << QByteArray("kelvra://login?code=") + QByteArray(4 * 1024 * 1024, 'a') << 1 << "" << "" << "";
        QTest::newRow("four megabytes of hand-back")
            << QByteArray("kelvra-fiddle://1|") + QByteArray(4 * 1024 * 1024, 'a') << 1 << ""
            << "1|" + QString(4 * 1024 * 1024, 'a') << "";
    }

    void message()
    {
        QFETCH(QByteArray, message);
        QFETCH(int, raised);
        QFETCH(QString, code);
        QFETCH(QString, token);
        QFETCH(QString, state);
        auto *app = qobject_cast<AppManager *>(qApp);
        QSignalSpy raise(app, &AppManager::raiseRequested);
        QSignalSpy link(app, &AppManager::loginLinkReceived);
        QSignalSpy signIn(app, &AppManager::authenticated);
        app->onReceivedMessage(message);
        QCOMPARE(raise.count(), raised);
        QCOMPARE(link.count(), code.isEmpty() ? 0 : 1);
        if (!code.isEmpty())
            QCOMPARE(link.first().first().toString(), code);
        QCOMPARE(signIn.count(), token.isEmpty() ? 0 : 1);
        if (!token.isEmpty()) {
            QCOMPARE(signIn.first().at(0).toString(), token);
            QCOMPARE(signIn.first().at(1).toString(), state);
        }
        // Nothing a message says is stored.
        QVERIFY(!QDir(settingsFolder()).exists());
    }

    void windowSize_data()
    {
        QTest::addColumn<QSize>("screen");
        QTest::addColumn<QSize>("window");
        QTest::newRow("exactly 1280") << QSize(1280, 1024) << QSize(1080, 700);
        QTest::newRow("1281") << QSize(1281, 720) << QSize(1180, 720);
        QTest::newRow("small") << QSize(800, 600) << QSize(1080, 700);
        QTest::newRow("large") << QSize(3840, 2160) << QSize(1180, 720);
        QTest::newRow("no screen") << QSize() << QSize(1080, 700);
    }

    void windowSize()
    {
        QFETCH(QSize, screen);
        QFETCH(QSize, window);
        QCOMPARE(AppManager::windowSizeFor(screen), window);
    }

    void windowPropertiesNotifyOnlyOnChange()
    {
        auto *app = qobject_cast<AppManager *>(qApp);
        QSignalSpy width(app, &AppManager::windowWidthChanged);
        QSignalSpy height(app, &AppManager::windowHeightChanged);
        const int w = app->windowWidth();
        app->setWindowWidth(w);
        app->setWindowHeight(app->windowHeight());
        QCOMPARE(width.count(), 0);
        QCOMPARE(height.count(), 0);
        app->setWindowWidth(w + 1);
        QCOMPARE(width.count(), 1);
        app->onScreenChanged(nullptr); // recomputed from the screen: back to the rule's value
        QCOMPARE(app->windowWidth(), w);
        QCOMPARE(width.count(), 2);
        QCOMPARE(height.count(), 0);
    }

    void trayAndCloseButton()
    {
        auto *app = qobject_cast<AppManager *>(qApp);
        QSignalSpy raise(app, &AppManager::raiseRequested);
        QSignalSpy hide(app, &AppManager::hideMainWindow);
        app->onSystemTrayActivated();
        QCOMPARE(raise.count(), 0); // on the next turn of the event loop
        QTRY_COMPARE(raise.count(), 1);
        // Until a tray icon says it is shown, there is none to hide into.
        QVERIFY(!app->isTrayIconVisible());
        app->closeMainWindow();
        QCOMPARE(hide.count(), 0);
        app->setTrayIconVisible(true);
        app->closeMainWindow();
        QCOMPARE(hide.count(), 1);
        app->setTrayIconVisible(false);
        app->closeMainWindow();
        QCOMPARE(hide.count(), 1);
        app->setDarkTitleBar(true); // no window yet: nothing to style, nothing breaks
    }

    void singleInstanceChannelKeepsItsName()
    {
        // Scoped to the user's session where the platform shares the name
        // between sessions; here it is the plain name.
        QVERIFY(AppManager::singleInstanceName().startsWith(QLatin1String("KelvraInstance")));
    }

    void windowIconShipsWithTheClient()
    {
        const QIcon icon(QStringLiteral(":/ui/icons/icon.ico"));
        QVERIFY(!icon.isNull());
        QVERIFY(icon.availableSizes().contains(QSize(16, 16)));
        QVERIFY(icon.availableSizes().contains(QSize(256, 256)));
    }

    void startMinimised_data()
    {
        QTest::addColumn<bool>("tray");
        QTest::addColumn<QByteArray>("outcome");
        QTest::newRow("with a tray icon: hidden into it") << true << QByteArray("hidden");
        QTest::newRow("without one: minimised, never out of reach") << false << QByteArray("minimised");
    }

    void startMinimised()
    {
        QFETCH(bool, tray);
        QFETCH(QByteArray, outcome);
        // A start-up runs once per process: each row is a child of its own.
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("KELVRA_TEST_HOME")); // a home of its own, not this one's
        child.setProcessEnvironment(environment);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--child-start-minimised"), tray ? QStringLiteral("tray") : QStringLiteral("none")});
        QVERIFY(child.waitForFinished(30000));
        const QByteArray out = child.readAllStandardOutput();
        QCOMPARE(child.exitCode(), 0);
        QVERIFY2(out.contains("outcome=" + outcome + "\n"), out.constData());
    }

    void startUpLoadsTheMainPage()
    {
        auto *app = qobject_cast<AppManager *>(qApp);
        QSignalSpy raise(app, &AppManager::raiseRequested);
        // Registered as the client's start does before the start-up sequence.
        qmlRegisterSingletonInstance("com.qt.kelvra", 1, 0, "AppManager", app);
        app->startUp();
        QTRY_VERIFY(app->mainWindow() != nullptr);
        QCOMPARE(raise.count(), 1); // not started minimised
        QQuickWindow *window = app->mainWindow();
        QTRY_VERIFY(window->isVisible());
        QCOMPARE(window->width(), app->windowWidth());
        QCOMPARE(window->minimumHeight(), app->windowHeight());

        app->setWindowWidth(1234);
        QCOMPARE(window->minimumWidth(), 1234);
        app->onScreenChanged(nullptr);

        // Closed without a tray icon, the window is minimised, not lost.
        QSignalSpy hide(app, &AppManager::hideMainWindow);
        app->closeMainWindow();
        QCOMPARE(hide.count(), 0);
        QTRY_COMPARE(window->windowState(), Qt::WindowMinimized);
        QVERIFY(window->isVisible());
        emit app->raiseRequested();
        QTRY_VERIFY(window->windowState() != Qt::WindowMinimized);

        // With one, it goes into the tray.
        app->setTrayIconVisible(true);
        app->closeMainWindow();
        QCOMPARE(hide.count(), 1);
        QTRY_VERIFY(!window->isVisible());
        app->setTrayIconVisible(false);

        // At quit the published names are cleared before their objects go.
        QQmlContext *context = qmlContext(window);
        QVERIFY(context);
        QObject published;
        context->engine()->rootContext()->setContextProperty(QStringLiteral("MServers"), &published);
        app->coreController()->clearContextObjects();
        QCOMPARE(context->engine()->rootContext()->contextProperty(QStringLiteral("MServers")).value<QObject *>(),
                 nullptr);
    }
};

namespace {
// A start with "start minimised" stored, with or without a tray icon; prints
// what became of the main window.
int childStartMinimised(AppManager &app, bool tray)
{
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Kelvra.Inc"), QStringLiteral("Kelvra"))
        .setValue(QStringLiteral("Settings/startMinimized"), true);
    qmlRegisterSingletonInstance("com.qt.kelvra", 1, 0, "AppManager", &app);
    app.setTrayIconVisible(tray);
    bool hidden = false;
    QObject::connect(&app, &AppManager::hideMainWindow, &app, [&hidden] { hidden = true; });
    app.startUp();
    QTest::qWait(200);
    QQuickWindow *window = app.mainWindow();
    if (!window)
        return 2;
    const char *outcome = "shown";
    if (hidden && !window->isVisible())
        outcome = "hidden";
    else if (window->isVisible() && window->windowState() == Qt::WindowMinimized)
        outcome = "minimised";
    else if (!window->isVisible())
        outcome = "invisible";
    std::printf("outcome=%s\n", outcome);
    std::fflush(stdout);
    return 0;
}
} // namespace

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    AppManager app(argc, argv);
    if (argc > 2 && qstrcmp(argv[1], "--child-start-minimised") == 0)
        return childStartMinimised(app, qstrcmp(argv[2], "tray") == 0);
    TestAppManager test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_appmanager.moc"
