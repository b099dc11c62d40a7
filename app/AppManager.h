#pragma once

#include <QApplication>
#include <QByteArray>
#include <QCommandLineParser>
#include <QPointer>
#include <QQuickWindow>
#include <QSharedPointer>
#include <QSize>
#include <QString>

class CoreController;
class QLocalServer;
class QQmlApplicationEngine;
class QScreen;
class Settings;
class VpnConnection;

// The client's application object: owns the single-instance channel through
// which later starts, sign-in links and single-sign-on hand-backs arrive, sizes
// the main window, and builds the core objects at start-up.
class AppManager : public QApplication
{
    Q_OBJECT
    Q_PROPERTY(int windowWidth READ windowWidth WRITE setWindowWidth NOTIFY windowWidthChanged)
    Q_PROPERTY(int windowHeight READ windowHeight WRITE setWindowHeight NOTIFY windowHeightChanged)

public:
    AppManager(int &argc, char **argv);
    ~AppManager() override;

    // The single-instance channel's name: "KelvraInstance", scoped to this
    // user's session where the platform shares such names between sessions.
    static QString singleInstanceName();

    // A second start hands its first argument to the running client and quits
    // a second later; returns false when no client answered.
    bool forwardToRunningInstance();
    // Everything the one real client does before its event loop runs.
    void startClient();
    // The part of it that builds the engine, the core objects and the page.
    void startUp();
    void startSingleInstanceServer();
    bool isSingleInstanceServerListening() const;

    int windowWidth() const { return m_windowWidth; }
    int windowHeight() const { return m_windowHeight; }
    void setWindowWidth(int width);
    void setWindowHeight(int height);

    // Whether a tray icon is shown: only then can the window hide into it.
    // The tray sets it; until then there is none.
    bool isTrayIconVisible() const { return m_trayIconVisible; }
    void setTrayIconVisible(bool visible) { m_trayIconVisible = visible; }

    CoreController *coreController() const { return m_coreController; }
    QQuickWindow *mainWindow() const { return m_mainWindow; }

    // The grammars of the two link schemes.
    struct HandBack
    {
        QString payload;
        QString state;
    };
    static QString extractLoginCode(const QString &link);
    static HandBack parseHandBack(const QString &text);
    static bool isHandBackToken(const QString &payload);
    static QSize windowSizeFor(const QSize &screen);

signals:
    void autoLogin(QString userEmail);
    void authenticated(QString token, QString state);
    void loginLinkReceived(QString code);
    void raiseRequested();
    void hideMainWindow();
    void autoConnect();
    void messageReceived(QByteArray message);
    void windowWidthChanged();
    void windowHeightChanged();

public slots:
    void onAutoLogin(QString userEmail);
    void onReceivedMessage(QByteArray message);
    void onScreenChanged(QScreen *screen);

public:
    Q_INVOKABLE void closeMainWindow();
    Q_INVOKABLE void onSystemTrayActivated();
    Q_INVOKABLE void setDarkTitleBar(bool dark);

private:
    void updateWindowSize();
    // Into the tray when one is shown, else minimised.
    void putMainWindowAway();
    QQuickWindow *findMainWindow();
    void acceptInstanceConnection();
    void onAboutToQuit();

    QCommandLineParser m_parser;
    QQmlApplicationEngine *m_engine = nullptr;
    CoreController *m_coreController = nullptr;
    QSharedPointer<Settings> m_settings;
    QSharedPointer<VpnConnection> m_vpnConnection;
    QPointer<QQuickWindow> m_mainWindow;
    QLocalServer *m_instanceServer = nullptr;
    int m_windowWidth = 0;
    int m_windowHeight = 0;
    bool m_trayIconVisible = false;
};
