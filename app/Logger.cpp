#include "app/Logger.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QRecursiveMutex>
#include <QStandardPaths>
#include <QTextStream>

#include <cstdio>

#include "ipc/IpcClient.h"

namespace {

const char kLogFileName[] = "%1.log";
const char kMessagePattern[] = "%{time yyyy-MM-dd hh:mm:ss} %{type} %{message}";
// The time as the pattern above writes it.
const char kLineTime[] = "yyyy-MM-dd hh:mm:ss";

// The sink shared by every thread that logs.
struct Sink
{
    QRecursiveMutex mutex;
    QFile file;
    QTextStream stream;
    bool fileLogOn = false;
    bool filterInstalled = false;
    QtMessageHandler previous = nullptr;
};

Sink &sink()
{
    static Sink s;
    return s;
}

Logger logger(QStringLiteral("AppManager"));

bool isFiltered(const QString &message)
{
    return message.contains(QLatin1String("TypeError")) || message.contains(QLatin1String("configString="));
}

QString levelTag(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("[DEBUG]");
    case QtWarningMsg:
        return QStringLiteral("[WARNING]");
    case QtCriticalMsg:
        return QStringLiteral("[CRITICAL]");
    case QtFatalMsg:
        return QStringLiteral("[FATAL]");
    default:
        return QStringLiteral("[INFO]");
    }
}

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (isFiltered(message))
        return;

    Sink &s = sink();
    QMutexLocker locker(&s.mutex);
    if (!s.fileLogOn) {
        if (s.previous)
            s.previous(type, context, message);
        return;
    }

    // Built here rather than by Qt's message pattern, which a QT_MESSAGE_PATTERN
    // in the environment would override: the file's lines must keep their
    // date, time and level wherever the client is started from.
    const QString line = QDateTime::currentDateTime().toString(QString::fromLatin1(kLineTime)) + QLatin1Char(' ')
        + levelTag(type) + QLatin1Char(' ') + message;

    s.stream << line << Qt::endl;
    s.stream.flush();
    const QByteArray raw = message.toUtf8();
    std::fwrite(raw.constData(), 1, size_t(raw.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void closeSink(Sink &s)
{
    s.stream.setDevice(nullptr);
    if (s.file.isOpen())
        s.file.close();
}

QString logFileIn(const QString &dir, const QString &name)
{
    return dir + QLatin1Char('/') + QString::fromLatin1(kLogFileName).arg(name);
}

} // namespace

Logger::Logger(const QString &module, QObject *parent)
    : QObject(parent), m_module(module)
{
}

void Logger::installFilter()
{
    Sink &s = sink();
    QMutexLocker locker(&s.mutex);
    if (s.filterInstalled)
        return;
    s.previous = qInstallMessageHandler(messageHandler);
    s.filterInstalled = true;
}

bool Logger::init(bool service)
{
    const QString dir = service ? serviceLogsDir() : userLogsDir();
    const QString path = service ? serviceLogsFilePath() : userLogsFilePath();

    if (!QDir().mkpath(dir)) {
        logger.warning() << "Could not make path" << dir;
        return false;
    }

    installFilter();
    Sink &s = sink();
    QMutexLocker locker(&s.mutex);
    s.fileLogOn = false;
    closeSink(s);

    const QFileInfo current(path);
    if (current.exists() && current.size() > 0) {
        const QString previous = path + QStringLiteral(".1");
        QFile::remove(previous);
        QFile::rename(path, previous);
    }

    s.file.setFileName(path);
    if (!s.file.open(QIODevice::Append | QIODevice::Text)) {
        locker.unlock();
        logger.warning() << "Could not open logs file" << path;
        return false;
    }
    s.file.resize(0);
    if (!service)
        s.file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    s.stream.setDevice(&s.file);
    qSetMessagePattern(QString::fromLatin1(kMessagePattern));
    s.fileLogOn = true;
    return true;
}

void Logger::deInit()
{
    Sink &s = sink();
    QMutexLocker locker(&s.mutex);
    // The filter itself stays: lines with a configuration must not reach the
    // console either once the file log is off.
    s.fileLogOn = false;
    qSetMessagePattern(QStringLiteral("%{message}"));
    closeSink(s);
}

bool Logger::isFileLogOpen()
{
    Sink &s = sink();
    QMutexLocker locker(&s.mutex);
    return s.fileLogOn && s.file.isOpen();
}

bool Logger::clear(bool service)
{
    const QString path = service ? serviceLogsFilePath() : userLogsFilePath();
    Sink &s = sink();
    QMutexLocker locker(&s.mutex);
    s.fileLogOn = false;
    closeSink(s);

    bool ok = true;
    QFile file(path);
    if (file.exists()) {
        ok = file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        if (ok) {
            file.resize(0);
            file.close();
        }
    }
    const QString previous = path + QStringLiteral(".1");
    if (QFile::exists(previous))
        ok = QFile::remove(previous) && ok;
    return ok;
}

namespace {
// The service link for a log call: the process-wide client, connected now if
// it is not; one is made (and kept for the rest of the run) when none exists,
// so repeated calls never pile up clients that each retry on their own.
QSharedPointer<IpcInterfaceReplica> serviceForLogs(Logger::ServiceCall *failure)
{
    IpcClient *client = IpcClient::Instance();
    if (!client)
        client = new IpcClient(QCoreApplication::instance());
    if (!client->isConnected() && !client->init()) {
        *failure = Logger::ServiceCall::NoLink;
        return {};
    }
    QSharedPointer<IpcInterfaceReplica> service = IpcClient::Interface();
    if (!service || !service->isReplicaValid()) {
        *failure = Logger::ServiceCall::NoRemote;
        return {};
    }
    return service;
}
} // namespace

Logger::ServiceCall Logger::requestServiceLogs(bool enabled)
{
    ServiceCall failure = ServiceCall::NoLink;
    const QSharedPointer<IpcInterfaceReplica> service = serviceForLogs(&failure);
    if (!service)
        return failure;
    service->setLogsEnabled(enabled);
    return ServiceCall::Done;
}

bool Logger::setServiceLogsEnabled(bool enabled)
{
    switch (requestServiceLogs(enabled)) {
    case ServiceCall::Done:
        return true;
    case ServiceCall::NoLink:
        logger.error() << "Logger - ipcClient init failed";
        return false;
    case ServiceCall::NoRemote:
        logger.error() << "Error occurred setting up service logs";
        return false;
    }
    return false;
}

bool Logger::clearServiceLogs()
{
    ServiceCall failure = ServiceCall::NoLink;
    const QSharedPointer<IpcInterfaceReplica> service = serviceForLogs(&failure);
    if (!service) {
        logger.error() << "Logger::clearServiceLogs Failed to init ipcClient";
        return false;
    }
    service->clearLogs();
    return true;
}

QString Logger::userLogsDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/logs");
}

QString Logger::userLogsFilePath()
{
    return logFileIn(userLogsDir(), QStringLiteral("Kelvra"));
}

QString Logger::serviceLogsDir()
{
    const QStringList locations = QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation);
    for (const QString &location : locations) {
        if (location.contains(QLatin1String("ProgramData")))
            return QStringLiteral("%1/%2/log").arg(location, QStringLiteral("Kelvra"));
    }
    // Elsewhere the service keeps its log where system services do.
    return QStringLiteral("/var/log/kelvra");
}

QString Logger::serviceLogsFilePath()
{
    return logFileIn(serviceLogsDir(), QStringLiteral("Kelvra Service"));
}
