#include "servers/Pinger.h"

#include <QHostAddress>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#include <cmath>

#include "app/Logger.h"
#include "app/NetAddress.h"
#include "platform/PingCommand.h"

namespace {

Logger logger(QStringLiteral("Pinger"));

} // namespace

Pinger::Pinger(QObject *parent)
    : QObject(parent)
{
}

Pinger::~Pinger()
{
    // Ping processes still running end with their owner, without reporting.
    const QList<QProcess *> processes = findChildren<QProcess *>(QString(), Qt::FindDirectChildrenOnly);
    for (QProcess *process : processes) {
        process->disconnect(this);
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(1000);
        }
    }
}

bool Pinger::isPingable(const QString &host)
{
    QHostAddress address;
    return address.setAddress(host) && NetAddress::isPublicIpv4(address);
}

int Pinger::parseOutput(const QByteArray &output)
{
    // Linux, as iputils writes it in the C locale (and busybox):
    // "64 bytes from 203.0.113.10: icmp_seq=1 ttl=64 time=12.3 ms".
    static const QRegularExpression linuxReply(QStringLiteral("\\btime\\s*([=<])\\s*(\\d+(?:\\.\\d+)?)\\s*ms\\b"),
                                               QRegularExpression::CaseInsensitiveOption);
    // The sequence field that only Linux reply lines carry.
    static const QRegularExpression linuxSequence(QStringLiteral("\\b(?:icmp_)?seq=\\d"));
    // Windows, in any language: the time field, then the TTL field
    // ("bytes=32 time=12ms TTL=117", "temps=14 ms TTL=117", "time<1ms TTL=128").
    static const QRegularExpression windowsReply(QStringLiteral("[=<]\\s*(\\d+)\\s*\\S{0,4}\\s+TTL="),
                                                 QRegularExpression::CaseInsensitiveOption);
    const QString text = QString::fromLocal8Bit(output);
    double best = -1;
    auto take = [&best](double ms) {
        if (best < 0 || ms < best)
            best = ms;
    };
    // Line by line, and only lines of a known form: a Linux reply line without
    // its English time field (translated, or a reply too short to be timed)
    // holds "icmp_seq=1 ttl=64", which the Windows form would read as 1 ms.
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch linuxMatch = linuxReply.match(line);
        if (linuxMatch.hasMatch()) {
            take(linuxMatch.captured(2).toDouble());
            continue;
        }
        if (linuxSequence.match(line).hasMatch())
            continue;
        const QRegularExpressionMatch windowsMatch = windowsReply.match(line);
        if (windowsMatch.hasMatch())
            take(windowsMatch.captured(1).toDouble());
    }
    if (best < 0)
        return -1;
    // A reply faster than half a millisecond is reported the way Windows writes
    // it ("<1ms"): 1, never 0, which would read as no answer.
    const double rounded = std::round(best);
    if (rounded > 1e6)
        return 1000000;
    return qMax(1, int(rounded));
}

void Pinger::measure(const QStringList &hosts)
{
    for (const QString &host : hosts) {
        if (!m_queued.contains(host) && isPingable(host)) {
            m_queued.insert(host);
            m_queue << host;
        }
    }
    scheduleStart();
}

void Pinger::clearQueue()
{
    const bool hadQueue = !m_queue.isEmpty();
    m_queue.clear();
    m_queued.clear();
    // A round cut before any process started still ends, for whoever waits on it;
    // later, so that a caller clearing the queue sees its round as running first.
    if (hadQueue && m_running == 0) {
        QTimer::singleShot(0, this, [this] {
            if (m_running == 0 && m_queue.isEmpty())
                emit idle();
        });
    }
}

#ifdef KELVRA_TESTING
void Pinger::setCommandForTesting(const QString &program, const QStringList &arguments)
{
    m_testProgram = program;
    m_testArguments = arguments;
}
#endif

// Starting a process forks this one, which costs more the more memory the list
// holds: each start has an event-loop turn of its own, so the window answers
// between them and the answer that queued the hosts is handled without them.
void Pinger::scheduleStart()
{
    if (m_startPending || m_queue.isEmpty() || m_running >= kMaxProcesses)
        return;
    m_startPending = true;
    QTimer::singleShot(0, this, &Pinger::startNext);
}

void Pinger::startNext()
{
    m_startPending = false;
    if (m_running < kMaxProcesses && !m_queue.isEmpty()) {
        const QString host = m_queue.takeFirst();
        m_queued.remove(host);
        start(host);
    }
    scheduleStart();
}

void Pinger::start(const QString &host)
{
    auto *process = new QProcess(this);
    ++m_running;
    auto done = std::make_shared<bool>(false);
    connect(process, &QProcess::finished, this, [this, process, host, done](int, QProcess::ExitStatus) {
        if (*done)
            return;
        *done = true;
        const int ms = parseOutput(process->readAllStandardOutput());
        process->deleteLater();
        finish(host, ms);
    });
    connect(process, &QProcess::errorOccurred, this, [this, process, host, done](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart || *done)
            return;
        *done = true;
        process->deleteLater();
        finish(host, -1);
    });
    auto *killTimer = new QTimer(process);
    killTimer->setSingleShot(true);
    killTimer->setTimerType(Qt::PreciseTimer);
    connect(killTimer, &QTimer::timeout, process, &QProcess::kill);
    killTimer->start(kKillAfterMs);

    QString program = PingCommand::program();
    QStringList arguments = PingCommand::arguments(host);
    if (!m_testProgram.isEmpty()) {
        program = m_testProgram;
        arguments = m_testArguments;
        arguments << host;
    }
    process->setProcessEnvironment(PingCommand::environment());
    process->start(program, arguments, QIODevice::ReadOnly);
}

void Pinger::finish(const QString &host, int ms)
{
    --m_running;
    emit result(host, ms);
    scheduleStart();
    if (m_running == 0 && m_queue.isEmpty())
        emit idle();
}
