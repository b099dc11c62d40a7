#include "setup/SetupBackend.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QRegularExpression>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QVersionNumber>
#include <QWindow>

#include <cmath>

#include "platform/DesktopLaunch.h"
#include "platform/Elevation.h"
#include "platform/InstalledClient.h"
#include "platform/ServiceState.h"
#include "platform/SignatureCheck.h"
#include "platform/UpdateFolder.h"

namespace {

const char kServiceName[] = "Kelvra Service";
const char kPackagePattern[] = "Kelvra-*-setup.exe";
constexpr qint64 kMinimumPhaseMs = 700;
constexpr double kFillPerSecond = 2.5;
constexpr double kEaseTarget = 0.9;

// The preview's fake installer timeline.
constexpr int kDemoInstallingMs = 1400;
constexpr int kDemoServiceMs = 6200;
constexpr int kDemoDoneMs = 7600;
constexpr double kDemoPercentSeconds = 4.8;
constexpr double kDemoPercentCap = 0.74;

QString argumentAfter(const QStringList &arguments, const QString &name)
{
    const int at = arguments.indexOf(name);
    return at >= 0 && at + 1 < arguments.size() ? arguments.at(at + 1) : QString();
}

} // namespace

SetupBackend::SetupBackend(const QStringList &arguments, QObject *parent)
    : QObject(parent)
{
    m_demo = argumentAfter(arguments, QStringLiteral("--demo"));
    if (arguments.contains(QStringLiteral("--demo")) && m_demo.isEmpty())
        m_demo = QStringLiteral("welcome");
    m_os = argumentAfter(arguments, QStringLiteral("--os"));
    const bool updateSwitch = arguments.contains(QStringLiteral("/UPDATE"), Qt::CaseInsensitive);
    m_updateMode = updateSwitch && m_demo.isEmpty();
    m_tick.setInterval(kTickMs);
    connect(&m_tick, &QTimer::timeout, this, &SetupBackend::tick);
    m_clock.start();
}

SetupBackend::~SetupBackend()
{
    if (m_worker) {
        m_worker->wait();
        delete m_worker;
    }
}

void SetupBackend::start()
{
    if (!m_demo.isEmpty()) {
        startDemo();
        return;
    }
    m_platform = QStringLiteral("win");
    log(QStringLiteral("Kelvra Setup %1 started%2")
            .arg(QStringLiteral(KELVRA_VERSION),
                 m_updateMode ? QStringLiteral(", update mode (/UPDATE)") : QString()));
    scan();
    if (!m_errorKind.isEmpty() || !m_updateMode)
        return;
    if (m_installedVersion.isEmpty()) {
        log(QStringLiteral("update mode: no installed Kelvra found, showing the normal Setup"));
        m_updateMode = false;
        emit changed();
        return;
    }
    QMetaObject::invokeMethod(this, &SetupBackend::install, Qt::QueuedConnection);
}

void SetupBackend::scan()
{
    QString folder = QCoreApplication::applicationDirPath();
#ifdef KELVRA_TESTING
    if (!m_packageFolder.isEmpty())
        folder = m_packageFolder;
#endif
    QStringList packages =
        QDir(folder).entryList({QString::fromLatin1(kPackagePattern)}, QDir::Files, QDir::Name);
    std::sort(packages.begin(), packages.end()); // plain name order, whatever the locale
    m_packagePath = packages.isEmpty() ? QString() : QDir(folder).filePath(packages.last());
    static const QRegularExpression version(QStringLiteral("(\\d+\\.\\d+\\.\\d+)"));
    m_payloadVersion = m_packagePath.isEmpty() ? QString() : version.match(packages.last()).captured(1);

    const InstalledClient::Record installed = InstalledClient::read();
    m_installDir = installed.folder;
    m_installedVersion = installed.version;

    if (m_packagePath.isEmpty() || m_payloadVersion.isEmpty()) {
        fail(QStringLiteral("missing"), QStringLiteral("no Kelvra package next to Setup"));
        return;
    }
    log(QStringLiteral("package %1, installed %2, folder %3")
            .arg(m_payloadVersion, m_installedVersion.isEmpty() ? QStringLiteral("none") : m_installedVersion,
                 m_installDir));
    m_screen = m_installedVersion.isEmpty() ? QStringLiteral("welcome") : QStringLiteral("installed");
    emit changed();
}

QString SetupBackend::compareVersions(const QString &installed, const QString &payload)
{
    const int order = QVersionNumber::compare(QVersionNumber::fromString(installed),
                                              QVersionNumber::fromString(payload));
    return order < 0 ? QStringLiteral("update") : order == 0 ? QStringLiteral("same") : QStringLiteral("newer");
}

QString SetupBackend::updateKind() const
{
    return compareVersions(m_installedVersion, m_payloadVersion);
}

int SetupBackend::exitCode() const
{
    return m_screen == QLatin1String("done") || m_screen == QLatin1String("installed") ? 0 : 1;
}

void SetupBackend::install()
{
    if (busy())
        return;
    if (m_errorKind == QLatin1String("missing")) {
        m_errorKind.clear();
        m_errorDetail.clear();
        scan();
        return;
    }
    m_errorKind.clear();
    m_errorDetail.clear();
    m_phase = 0;
    m_phaseProgress = 0;
    m_reachedPhase = -1;
    m_installerPercent = -1;
    notePhaseStart();
    m_lastTickMs = m_clock.elapsed();
    m_screen = m_updateMode ? QStringLiteral("installing") : QStringLiteral("permission");
    emit changed();
    m_tick.start();
    QTimer::singleShot(m_updateMode ? 0 : kPermissionScreenMs, this, &SetupBackend::startElevated);
}

void SetupBackend::startElevated()
{
    if (!m_demo.isEmpty()) {
        // The preview plays the installer's timeline; nothing runs.
        reportPhase(0);
        QTimer::singleShot(kDemoInstallingMs, this, [this] { reportPhase(1); });
        if (m_demo != QLatin1String("installing")) {
            QTimer::singleShot(kDemoServiceMs, this, [this] { reportPhase(2); });
            QTimer::singleShot(kDemoDoneMs, this, [this] { reportPhase(3); });
        }
        return;
    }
    if (m_running)
        return;
    m_running = true;
    if (m_worker) {
        m_worker->wait();
        delete m_worker;
    }
    const QString package = m_packagePath;
    const QString folder = m_installDir;
    const quintptr owner = m_window ? quintptr(m_window->winId()) : 0;
    const int serviceWaitMs = m_serviceWaitMs;
    QPointer<SetupBackend> self(this);
    m_worker = QThread::create([self, package, folder, owner, serviceWaitMs] {
        // The backend waits for this thread before it goes, so it is there
        // for every post.
        auto post = [self](auto call) {
            if (self)
                QMetaObject::invokeMethod(self.data(), call, Qt::QueuedConnection);
        };
        int exitCode = 0;
        bool declined = false;
        QString detail;
        const SignatureCheck::Result signature = SignatureCheck::verify(package);
        if (!signature.accepted) {
            detail = QStringLiteral("installer signature check failed: ") + signature.reason;
            exitCode = kSignatureRefused;
        } else {
            const Elevation::Outcome outcome =
                Elevation::runInstaller(package, folder, owner, [&post, &self] {
                    post([self] {
                        if (self)
                            self->reportPhase(1);
                    });
                });
            declined = outcome.declined;
            exitCode = outcome.exitCode;
            if (declined) {
                exitCode = 1;
            } else if (!outcome.started && outcome.systemError) {
                detail = QStringLiteral("the installer didn't start (Windows error %1)").arg(outcome.systemError);
                exitCode = int(outcome.systemError);
            } else if (!outcome.started) {
                detail = QStringLiteral("the installer didn't start");
                exitCode = 1;
            } else if (exitCode != 0) {
                detail = QStringLiteral("Kelvra installer exited with code %1").arg(exitCode);
            }
        }
        bool running = false;
        if (exitCode == 0 && !declined) {
            post([self] {
                if (self)
                    self->reportPhase(2);
            });
            QElapsedTimer waited;
            waited.start();
            for (;;) {
                running = ServiceState::isRunning(QString::fromLatin1(kServiceName));
                if (running || waited.elapsed() + kServicePollMs > serviceWaitMs)
                    break;
                QThread::msleep(kServicePollMs);
            }
        }
        post([self, exitCode, declined, running, detail] {
            if (self)
                self->finish(exitCode, declined, running, detail);
        });
    });
    m_worker->start();
}

void SetupBackend::reportPhase(int phase)
{
    if (!busy() || phase <= m_reachedPhase)
        return;
    m_reachedPhase = phase;
    if (m_screen == QLatin1String("permission")) {
        m_phase = 0;
        m_phaseProgress = 0;
        notePhaseStart();
        m_screen = QStringLiteral("installing");
        emit changed();
    }
}

void SetupBackend::tick()
{
    const qint64 now = m_clock.elapsed();
    const double dt = double(now - m_lastTickMs) / 1000.0;
    m_lastTickMs = now;
    if (m_screen != QLatin1String("installing"))
        return;
    if (!m_demo.isEmpty() && m_phase == 1 && m_reachedPhase == 1)
        m_installerPercent = qMin(kDemoPercentCap, qMax(0.0, m_installerPercent) + dt / kDemoPercentSeconds);

    if (m_phase < m_reachedPhase) {
        m_phaseProgress = qMin(1.0, m_phaseProgress + kFillPerSecond * dt);
        if (m_phaseProgress >= 1.0 && now - m_phaseStartMs >= kMinimumPhaseMs) {
            m_phase += 1;
            m_phaseProgress = 0;
            notePhaseStart();
        }
    } else if (m_phase == 1 && m_installerPercent >= 0) {
        m_phaseProgress = qMax(m_phaseProgress, qMin(m_installerPercent, 0.98));
        emit changed();
        return;
    } else {
        const double tau = m_phase == 1 ? 20.0 : 2.0;
        m_phaseProgress += (1.0 - std::exp(-dt / tau)) * (kEaseTarget - m_phaseProgress);
    }
    if (m_phase > 2) {
        m_tick.stop();
        m_screen = QStringLiteral("done");
    }
    emit changed();
}

void SetupBackend::finish(int exitCode, bool declined, bool running, const QString &detail)
{
    m_running = false;
    log(QStringLiteral("installer finished: exit %1%2, service %3%4")
            .arg(exitCode)
            .arg(detail.isEmpty() ? QString() : QStringLiteral(", ") + detail,
                 running ? QStringLiteral("running") : QStringLiteral("not running"),
                 declined ? QStringLiteral(" (prompt declined)") : QString()));
    if (declined) {
        fail(QStringLiteral("cancelled"), QStringLiteral("Permission prompt closed"));
    } else if (exitCode == kSignatureRefused) {
        fail(QStringLiteral("signature"), detail.isEmpty() ? QStringLiteral("package signature check failed") : detail);
    } else if (exitCode == 0 && running) {
        m_installedVersion = m_payloadVersion;
        reportPhase(3);
    } else if (exitCode == 0) {
        fail(QStringLiteral("service"),
             QStringLiteral("the Kelvra service didn't start within %1 s").arg(kServiceWaitMs / 1000));
    } else {
        fail(QStringLiteral("failed"), detail.isEmpty() ? QStringLiteral("exit code %1").arg(exitCode) : detail);
    }
}

void SetupBackend::fail(const QString &kind, const QString &detail)
{
    log(QStringLiteral("error %1: %2").arg(kind, detail));
    m_tick.stop();
    m_errorKind = kind;
    m_errorDetail = detail;
    m_screen = QStringLiteral("error");
    emit changed();
}

void SetupBackend::notePhaseStart()
{
    m_phaseStartMs = m_clock.elapsed();
}

void SetupBackend::startDemo()
{
    m_platform = m_os.isEmpty() ? QStringLiteral("win") : m_os;
    m_payloadVersion = QStringLiteral(KELVRA_VERSION);
    m_installDir = QStringLiteral("C:\\Program Files\\Kelvra");
    m_screen = QStringLiteral("welcome");
    if (m_demo == QLatin1String("installed")) {
        m_installedVersion = m_payloadVersion;
        m_screen = QStringLiteral("installed");
    } else if (m_demo == QLatin1String("update")) {
        m_installedVersion = QStringLiteral("3.6.0");
        m_screen = QStringLiteral("installed");
    } else if (m_demo == QLatin1String("permission")) {
        m_screen = QStringLiteral("permission");
    } else if (m_demo == QLatin1String("installing")) {
        emit changed();
        install();
        return;
    } else if (m_demo == QLatin1String("done")) {
        m_phase = 3;
        m_phaseProgress = 1;
        m_screen = QStringLiteral("done");
    } else if (m_demo == QLatin1String("error") || m_demo == QLatin1String("cancel")) {
        m_phase = 1;
        m_phaseProgress = 0.56;
        const bool cancelled = m_demo == QLatin1String("cancel");
        m_errorKind = cancelled ? QStringLiteral("cancelled") : QStringLiteral("failed");
        m_errorDetail = cancelled ? QStringLiteral("Permission prompt closed")
                                  : QStringLiteral("installer exited with code 1");
        m_screen = QStringLiteral("error");
    } else if (m_demo == QLatin1String("flow")) {
        QTimer::singleShot(kPermissionScreenMs, this, &SetupBackend::install);
    }
    emit changed();
}

void SetupBackend::openApp()
{
    if (m_demo.isEmpty()) {
        const QString program = InstalledClient::programIn(m_installDir);
        switch (DesktopLaunch::openAsDesktopUser(program, m_installDir)) {
        case DesktopLaunch::Result::OpenedThroughShell:
            log(QStringLiteral("Kelvra reopened as the desktop user (through the shell)"));
            break;
        case DesktopLaunch::Result::RefusedElevated:
            log(QStringLiteral("couldn't reopen Kelvra as the desktop user; not starting it elevated"));
            break;
        case DesktopLaunch::Result::Opened:
            log(QStringLiteral("Kelvra opened"));
            break;
        case DesktopLaunch::Result::Failed:
            log(QStringLiteral("couldn't open Kelvra"));
            break;
        }
    }
    quit();
}

void SetupBackend::chooseFolder()
{
    const QString chosen = DesktopLaunch::chooseFolder(m_window, QFileInfo(QDir::fromNativeSeparators(m_installDir)).path());
    if (chosen.isEmpty())
        return;
    m_installDir = installFolderFor(chosen);
    emit changed();
}

QString SetupBackend::installFolderFor(const QString &chosen)
{
    QString folder = QDir::fromNativeSeparators(chosen);
    while (folder.endsWith(QLatin1Char('/')) && folder.size() > 1)
        folder.chop(1);
    if (QFileInfo(folder).fileName().compare(QLatin1String("Kelvra"), Qt::CaseInsensitive) != 0)
        folder += QStringLiteral("/Kelvra");
    return QDir::toNativeSeparators(folder);
}

void SetupBackend::copyText(const QString &text)
{
    if (QClipboard *clipboard = QGuiApplication::clipboard())
        clipboard->setText(text);
}

QString SetupBackend::logPath() const
{
    if (m_updateMode)
        return QDir::toNativeSeparators(UpdateFolder::path() + QStringLiteral("/setup.log"));
    return QDir::toNativeSeparators(QDir::tempPath() + QStringLiteral("/kelvra-setup.log"));
}

void SetupBackend::log(const QString &message) const
{
    const QString path = logPath();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        return;
    file.write((QDateTime::currentDateTime().toString(Qt::ISODate) + QLatin1Char(' ') + message + QLatin1Char('\n'))
                   .toUtf8());
}

void SetupBackend::quit()
{
    if (m_quit)
        m_quit();
    else
        QCoreApplication::quit();
}
