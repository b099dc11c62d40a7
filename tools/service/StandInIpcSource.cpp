#include "tools/service/StandInIpcSource.h"

#include <QEventLoop>
#include <QLocalServer>
#include <QLoggingCategory>
#include <QRemoteObjectHost>
#include <QTimer>

#include "tools/service/StandInProcessSource.h"
#include "tools/service/StandInProtection.h"

namespace {
Q_LOGGING_CATEGORY(lcIpc, "standin.ipc")

QString localName(const QString &url)
{
    return url.startsWith(QLatin1String("local:")) ? url.mid(6) : url;
}

// A host at `url`, replacing a stale socket left there by a process that died.
QRemoteObjectHost *makeHost(const QString &url, QObject *parent)
{
    QLocalServer::removeServer(localName(url));
    auto *host = new QRemoteObjectHost(parent);
    if (!host->setHostUrl(QUrl(url))) {
        qCWarning(lcIpc) << "Can't listen at" << url << host->lastError();
        delete host;
        return nullptr;
    }
    return host;
}
} // namespace

StandInIpcSource::StandInIpcSource(const QString &url, const QString &openVpnPath, StandInProtection *protection,
                                   QObject *parent)
    : IpcInterfaceSource(parent)
    , m_url(url)
    , m_openVpnPath(openVpnPath)
    , m_protection(protection)
{
}

StandInIpcSource::~StandInIpcSource()
{
    // Processes first (they stop their programs), then the hosts.
    for (QRemoteObjectHost *host : std::as_const(m_processHosts))
        delete host;
    delete m_host;
    QLocalServer::removeServer(localName(m_url));
}

bool StandInIpcSource::startHosting()
{
    m_host = makeHost(m_url, nullptr);
    if (!m_host || !m_host->enableRemoting(this)) {
        qCWarning(lcIpc) << "The interface is not served at" << m_url;
        return false;
    }
    qCInfo(lcIpc) << "Serving IpcInterface at" << m_url;
    return true;
}

bool StandInIpcSource::rehost()
{
    if (m_host) {
        m_host->disableRemoting(this);
        delete m_host;
        m_host = nullptr;
    }
    qCInfo(lcIpc) << "The interface's link drops: served anew";
    return startHosting();
}

void StandInIpcSource::setLockdownPolicy(int delayMs, bool reply)
{
    m_lockdownDelayMs = delayMs;
    m_lockdownReply = reply;
}

void StandInIpcSource::releaseWaits()
{
    QMetaObject::invokeMethod(this, &StandInIpcSource::waitsReleased, Qt::QueuedConnection);
}

int StandInIpcSource::restartOpenVpnProcesses()
{
    int restarted = 0;
    for (QRemoteObjectHost *host : std::as_const(m_processHosts)) {
        const auto processes = host->findChildren<StandInProcessSource *>(QString(), Qt::FindDirectChildrenOnly);
        for (StandInProcessSource *process : processes)
            restarted += process->restartOpenVpn() ? 1 : 0;
    }
    return restarted;
}

void StandInIpcSource::record(const QString &name, const QJsonArray &arguments)
{
    emit called(QStringLiteral("ipc"), 0, name, arguments);
}

int StandInIpcSource::createPrivilegedProcess()
{
    record(QStringLiteral("createPrivilegedProcess"));
    const int id = m_nextProcess++;
    const QString url = QStringLiteral("%1_%2").arg(m_url).arg(id);
    QRemoteObjectHost *host = makeHost(url, nullptr);
    if (!host)
        return 0;
    auto *process = new StandInProcessSource(id, {{0, m_openVpnPath}}, host);
    connect(process, &StandInProcessSource::called, this,
            [this](int process, const QString &name, const QJsonArray &arguments) {
                emit called(QStringLiteral("process"), process, name, arguments);
            });
    connect(process, &StandInProcessSource::refused, this, [this](int process, const QString &reason) {
        emit called(QStringLiteral("process"), process, QStringLiteral("refused"), QJsonArray{reason});
    });
    if (!host->enableRemoting(process)) {
        qCWarning(lcIpc) << "Process" << id << "is not served at" << url;
        delete host;
        return 0;
    }
    m_processHosts.insert(id, host);
    qCInfo(lcIpc) << "Process" << id << "served at" << url;
    return id;
}

void StandInIpcSource::cleanUp()
{
    record(QStringLiteral("cleanUp"));
}

void StandInIpcSource::setLogsEnabled(bool enabled)
{
    record(QStringLiteral("setLogsEnabled"), QJsonArray{enabled});
}

void StandInIpcSource::clearLogs()
{
    record(QStringLiteral("clearLogs"));
}

bool StandInIpcSource::disableKillSwitch()
{
    record(QStringLiteral("disableKillSwitch"));
    if (m_protection)
        m_protection->setOpenVpnKillSwitch(false, QStringLiteral("disableKillSwitch"));
    return true;
}

bool StandInIpcSource::enablePeerTraffic(const QJsonObject &vpnConfig)
{
    record(QStringLiteral("enablePeerTraffic"), QJsonArray{vpnConfig});
    return true;
}

bool StandInIpcSource::enableKillSwitch(int vpnAdapterIndex, const QJsonObject &configData)
{
    record(QStringLiteral("enableKillSwitch"), QJsonArray{vpnAdapterIndex, configData});
    // An empty configuration is the kill switch; one with guards is only the
    // leak guard, which blocks nothing else.
    if (m_protection && configData.isEmpty())
        m_protection->setOpenVpnKillSwitch(true, QStringLiteral("enableKillSwitch"));
    return true;
}

bool StandInIpcSource::setLockdown(bool enabled)
{
    record(QStringLiteral("setLockdown"), QJsonArray{enabled});
    if (!enabled) {
        if (m_protection)
            m_protection->setLockdown(false, QStringLiteral("setLockdown(false)"));
        emit lockdownChanged(false);
        return true;
    }
    const int delayMs = m_lockdownDelayMs;
    if (delayMs != 0) {
        qCInfo(lcIpc) << "setLockdown(true) answers" << (delayMs < 0 ? QStringLiteral("never") : QString::number(delayMs) + QStringLiteral(" ms later"));
        QEventLoop wait;
        connect(this, &StandInIpcSource::waitsReleased, &wait, &QEventLoop::quit);
        if (delayMs > 0)
            QTimer::singleShot(delayMs, &wait, &QEventLoop::quit);
        wait.exec();
    }
    const bool reply = m_lockdownReply;
    if (reply) {
        if (m_protection)
            m_protection->setLockdown(true, QStringLiteral("setLockdown(true)"));
        emit lockdownChanged(true);
    }
    return reply;
}
