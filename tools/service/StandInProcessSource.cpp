#include "tools/service/StandInProcessSource.h"

#include <QLoggingCategory>

#include "tools/service/OpenVpnArguments.h"

#ifdef Q_OS_UNIX
#include <csignal>
#endif
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {
Q_LOGGING_CATEGORY(lcProcess, "standin.process")

constexpr int OpenVpnProgram = 0;
} // namespace

StandInProcessSource::StandInProcessSource(int id, const QHash<int, QString> &programs, QObject *parent)
    : IpcProcessInterfaceSource(parent)
    , m_id(id)
    , m_programs(programs)
{
    connect(&m_process, &QProcess::errorOccurred, this, &IpcProcessInterfaceSource::errorOccurred);
    connect(&m_process, &QProcess::finished, this, &IpcProcessInterfaceSource::finished);
    connect(&m_process, &QProcess::readyRead, this, &IpcProcessInterfaceSource::readyRead);
    connect(&m_process, &QProcess::readyReadStandardError, this, &IpcProcessInterfaceSource::readyReadStandardError);
    connect(&m_process, &QProcess::readyReadStandardOutput, this,
            &IpcProcessInterfaceSource::readyReadStandardOutput);
    connect(&m_process, &QProcess::started, this, &IpcProcessInterfaceSource::started);
    connect(&m_process, &QProcess::stateChanged, this, &IpcProcessInterfaceSource::stateChanged);
    connect(&m_process, &QProcess::finished, this, [this](int exitCode, QProcess::ExitStatus status) {
        qCInfo(lcProcess) << "Process" << m_id << "finished:" << exitCode << status;
        if (exitCode != 0 || status != QProcess::NormalExit)
            logUnreadOutput();
    });
#ifdef Q_OS_LINUX
    // A tunnel must not outlive the service that runs it.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
#endif
}

StandInProcessSource::~StandInProcessSource()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.disconnect(this);
    m_process.terminate();
    if (!m_process.waitForFinished(3000)) {
        m_process.kill();
        m_process.waitForFinished(1000);
    }
}

void StandInProcessSource::logUnreadOutput()
{
    // What a tunnel that was killed or failed said last is what tells why;
    // peeked, so a client that reads it after the end still gets it.
    constexpr qint64 tailBytes = 64 * 1024;
    const QByteArray unread = m_process.peek(m_process.bytesAvailable());
    if (unread.isEmpty())
        return;
    qCWarning(lcProcess).noquote() << "Process" << m_id << "output before its end:";
    for (const QByteArray &line : unread.right(tailBytes).split('\n')) {
        if (!line.trimmed().isEmpty())
            qCWarning(lcProcess).noquote() << "  " << QString::fromLocal8Bit(line).trimmed();
    }
}

void StandInProcessSource::record(const QString &name, const QJsonArray &arguments)
{
    emit called(m_id, name, arguments);
}

void StandInProcessSource::refuseStart(const QString &reason)
{
    qCWarning(lcProcess) << "Process" << m_id << "not started:" << reason;
    emit refused(m_id, reason);
    emit errorOccurred(QProcess::FailedToStart);
}

void StandInProcessSource::start()
{
    record(QStringLiteral("start"));
    if (m_process.state() != QProcess::NotRunning) {
        qCWarning(lcProcess) << "Process" << m_id << "is already running";
        return;
    }
    const QString executable = m_programs.value(m_programId);
    if (executable.isEmpty()) {
        refuseStart(QStringLiteral("no program %1").arg(m_programId));
        return;
    }
    QStringList arguments = m_arguments;
    if (m_programId == OpenVpnProgram) {
        const OpenVpnArguments vetted(m_arguments, m_process.workingDirectory());
        if (!vetted.isAllowed()) {
            refuseStart(vetted.error());
            return;
        }
        arguments = vetted.arguments();
        if (!vetted.serviceSwitches().isEmpty())
            qCInfo(lcProcess) << "Service switches:" << vetted.serviceSwitches();
    }
    qCInfo(lcProcess) << "Starting process" << m_id << executable;
    m_process.start(executable, arguments);
}

bool StandInProcessSource::restartOpenVpn()
{
    if (m_programId != OpenVpnProgram || m_process.state() != QProcess::Running)
        return false;
#ifdef Q_OS_UNIX
    qCInfo(lcProcess) << "Process" << m_id << "restarts as after its keepalive ran out";
    return ::kill(pid_t(m_process.processId()), SIGUSR1) == 0;
#else
    return false;
#endif
}

void StandInProcessSource::close()
{
    record(QStringLiteral("close"));
    m_process.close();
}

void StandInProcessSource::kill()
{
    record(QStringLiteral("kill"));
    m_process.kill();
}

void StandInProcessSource::setArguments(const QStringList &arguments)
{
    // The list is the call's one argument (QJsonArray{list} would be the list
    // itself under clang).
    record(QStringLiteral("setArguments"), QJsonArray() << QJsonArray::fromStringList(arguments));
    m_arguments = arguments;
}

void StandInProcessSource::setInputChannelMode(QProcess::InputChannelMode mode)
{
    record(QStringLiteral("setInputChannelMode"), QJsonArray{int(mode)});
    m_process.setInputChannelMode(mode);
}

void StandInProcessSource::setNativeArguments(const QString &arguments)
{
    // Only Windows has a native command line; elsewhere it is noted, not used.
    record(QStringLiteral("setNativeArguments"), QJsonArray{arguments});
}

void StandInProcessSource::setProcessChannelMode(QProcess::ProcessChannelMode mode)
{
    record(QStringLiteral("setProcessChannelMode"), QJsonArray{int(mode)});
    m_process.setProcessChannelMode(mode);
}

void StandInProcessSource::setProgram(int programId)
{
    record(QStringLiteral("setProgram"), QJsonArray{programId});
    m_programId = programId;
}

void StandInProcessSource::setWorkingDirectory(const QString &dir)
{
    record(QStringLiteral("setWorkingDirectory"), QJsonArray{dir});
    m_process.setWorkingDirectory(dir);
}

QByteArray StandInProcessSource::readAll()
{
    return m_process.readAll();
}

QByteArray StandInProcessSource::readAllStandardError()
{
    return m_process.readAllStandardError();
}

QByteArray StandInProcessSource::readAllStandardOutput()
{
    return m_process.readAllStandardOutput();
}
