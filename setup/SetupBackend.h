#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

class QThread;
class QWindow;

// Kelvra Setup's side of its screens: finds the package next to it and the
// installed client, checks the package's signature, runs it elevated and
// silently on a worker thread, waits for the service, and reopens the
// client as the desktop user. The screens only read its properties; every
// state change happens on the GUI thread, and the visible install phases
// never run ahead of the real work nor sit full while it is still going.
class SetupBackend : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString platform READ platform NOTIFY changed)
    Q_PROPERTY(QString screen READ screen NOTIFY changed)
    Q_PROPERTY(QString payloadVersion READ payloadVersion NOTIFY changed)
    Q_PROPERTY(QString installedVersion READ installedVersion NOTIFY changed)
    Q_PROPERTY(QString updateKind READ updateKind NOTIFY changed)
    Q_PROPERTY(int phase READ phase NOTIFY changed)
    Q_PROPERTY(double phaseProgress READ phaseProgress NOTIFY changed)
    Q_PROPERTY(QString errorKind READ errorKind NOTIFY changed)
    Q_PROPERTY(QString errorDetail READ errorDetail NOTIFY changed)
    Q_PROPERTY(QString installDir READ installDir NOTIFY changed)
    Q_PROPERTY(bool busy READ busy NOTIFY changed)
    Q_PROPERTY(QString demo READ demo NOTIFY changed)
    Q_PROPERTY(bool updateMode READ updateMode NOTIFY changed)
public:
    static constexpr int kTickMs = 100;
    static constexpr int kPermissionScreenMs = 1500;
    static constexpr int kServiceWaitMs = 30000;
    static constexpr int kServicePollMs = 500;
    static constexpr int kSignatureRefused = 86;

    // The program's arguments, without the program itself.
    explicit SetupBackend(const QStringList &arguments, QObject *parent = nullptr);
    ~SetupBackend() override;

    // Scans (or sets up the preview) and shows the first screen.
    void start();
    void setWindow(QWindow *window) { m_window = window; }

    QString platform() const { return m_platform; }
    QString screen() const { return m_screen; }
    QString payloadVersion() const { return m_payloadVersion; }
    QString installedVersion() const { return m_installedVersion; }
    QString updateKind() const;
    int phase() const { return m_phase; }
    double phaseProgress() const { return m_phaseProgress; }
    QString errorKind() const { return m_errorKind; }
    QString errorDetail() const { return m_errorDetail; }
    QString installDir() const { return m_installDir; }
    bool busy() const { return m_screen == QLatin1String("permission") || m_screen == QLatin1String("installing"); }
    QString demo() const { return m_demo; }
    bool updateMode() const { return m_updateMode; }
    QString packagePath() const { return m_packagePath; }
    // 0 after "done" or "installed", else 1.
    int exitCode() const;

    // "installed" < "payload": "update"; equal: "same"; else "newer".
    static QString compareVersions(const QString &installed, const QString &payload);
    // The install folder for a folder the user picked: the picked one when it
    // is named after the product (any case), else the product's folder in it.
    static QString installFolderFor(const QString &chosen);
    QString logPath() const;

    Q_INVOKABLE void install();
    Q_INVOKABLE void openApp();
    Q_INVOKABLE void chooseFolder();
    Q_INVOKABLE void copyText(const QString &text);

#ifdef KELVRA_TESTING
    void setPackageFolderForTesting(const QString &folder) { m_packageFolder = folder; }
    void setServiceWaitForTesting(int ms) { m_serviceWaitMs = ms; }
    void setQuitForTesting(std::function<void()> quit) { m_quit = std::move(quit); }
#endif

signals:
    void changed();

private:
    void scan();
    void startDemo();
    void startElevated();
    void reportPhase(int phase);
    void tick();
    void finish(int exitCode, bool declined, bool running, const QString &detail);
    void fail(const QString &kind, const QString &detail);
    void notePhaseStart();
    void log(const QString &message) const;
    void quit();

    QString m_platform = QStringLiteral("win");
    QString m_screen = QStringLiteral("welcome");
    QString m_payloadVersion;
    QString m_installedVersion;
    int m_phase = 0;
    double m_phaseProgress = 0;
    QString m_errorKind;
    QString m_errorDetail;
    QString m_installDir;
    QString m_demo;
    QString m_os;
    bool m_updateMode = false;

    QString m_packagePath;
    QString m_packageFolder;
    int m_reachedPhase = -1;
    double m_installerPercent = -1;
    QTimer m_tick;
    QElapsedTimer m_clock;
    qint64 m_lastTickMs = 0;
    qint64 m_phaseStartMs = 0;
    bool m_running = false;
    QThread *m_worker = nullptr;
    QWindow *m_window = nullptr;
    int m_serviceWaitMs = kServiceWaitMs;
    std::function<void()> m_quit;
};
