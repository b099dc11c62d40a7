#include "platform/Elevation.h"

#include <QDir>
#include <QPointer>
#include <QProcess>
#include <QTimer>

namespace {

// pkexec's own exit codes: the prompt was dismissed, or the user may not.
constexpr int kDismissed = 126;
constexpr int kNotAuthorized = 127;
// The prompt and the install mode together; past this the hand-over is
// given up (the prompt is left to the system).
constexpr int kInstallModeWaitMs = 300000;

#ifdef KELVRA_TESTING
QString &testCommand()
{
    static QString command;
    return command;
}
#endif

QString command()
{
#ifdef KELVRA_TESTING
    if (!testCommand().isEmpty())
        return testCommand();
    const QString fromEnvironment = qEnvironmentVariable("KELVRA_TEST_ELEVATE");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
#endif
    return QStringLiteral("pkexec");
}

bool declined(int exitCode)
{
    return exitCode == kDismissed || exitCode == kNotAuthorized;
}

} // namespace

void Elevation::startInstallMode(const QString &program, const QString &installerPath, const QString &sha256,
                                 QObject *context, std::function<void(bool started)> done)
{
    auto *process = new QProcess(context);
    auto *bound = new QTimer(process);
    bound->setSingleShot(true);
    auto finish = std::make_shared<std::function<void(bool)>>(std::move(done));
    auto end = [process, finish](bool started) {
        if (!*finish)
            return;
        auto callback = std::move(*finish);
        *finish = nullptr;
        process->disconnect();
        process->deleteLater();
        callback(started);
    };
    QObject::connect(process, &QProcess::finished, context, [end](int exitCode, QProcess::ExitStatus status) {
        end(status == QProcess::NormalExit && exitCode == 0);
    });
    QObject::connect(process, &QProcess::errorOccurred, context, [end](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            end(false);
    });
    QObject::connect(bound, &QTimer::timeout, context, [process, end] {
        process->kill();
        end(false);
    });
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(command(), {QDir::toNativeSeparators(program), QStringLiteral("--install-update"),
                               QDir::toNativeSeparators(installerPath), sha256});
    bound->start(kInstallModeWaitMs);
}

Elevation::Outcome Elevation::runInstaller(const QString &package, const QString &installDir, quintptr ownerWindow,
                                           const std::function<void()> &running)
{
    Q_UNUSED(ownerWindow)
    Outcome outcome;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(command(), {package, QStringLiteral("/S"), QStringLiteral("/NOLAUNCH"),
                              QStringLiteral("/D=") + QDir::toNativeSeparators(installDir)});
    if (!process.waitForStarted(30000)) {
        outcome.systemError = 2; // the elevation command itself is missing
        return outcome;
    }
    outcome.started = true;
    if (running)
        running();
    process.waitForFinished(-1);
    if (process.exitStatus() != QProcess::NormalExit) {
        outcome.exitCode = 1;
        return outcome;
    }
    outcome.exitCode = process.exitCode();
    if (declined(outcome.exitCode)) {
        outcome.declined = true;
        outcome.started = false;
        outcome.exitCode = 1;
    }
    return outcome;
}

#ifdef KELVRA_TESTING
void Elevation::setCommandForTesting(const QString &command)
{
    testCommand() = command;
}
#endif
