#include "tools/service/ServiceStandIn.h"

#include <QLoggingCategory>
#include <QMetaEnum>
#include <QThread>
#include <QTimer>

#include "tools/service/StandInDaemon.h"
#include "tools/service/StandInIpcSource.h"

namespace {
Q_LOGGING_CATEGORY(lcService, "standin.service")
}

ServiceStandIn::ServiceStandIn(QObject *parent)
    : ServiceStandIn(Options(), parent)
{
}

ServiceStandIn::ServiceStandIn(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_tunnel(new StandInTunnel(this))
    , m_fetcher(new StandInApiFetcher(this))
    , m_daemon(new StandInDaemon(m_tunnel, m_fetcher, this))
    , m_dns(new StandInDnsResponder([this] { return m_tunnel->carriesDns(); }, this))
{
    m_tunnel->setScript(options.script);
    m_fetcher->setOptions(options.api);
    connect(m_daemon, &StandInDaemon::messageReceived, this, [this](const QJsonObject &message) {
        QJsonObject call{{QStringLiteral("channel"), QStringLiteral("daemon")},
                         {QStringLiteral("call"), message.value(QLatin1String("type"))},
                         {QStringLiteral("message"), message}};
        if (message.value(QLatin1String("type")).toString() == QLatin1String("activate")) {
            m_protection.tunnelActivated(message.value(QLatin1String("killswitch")).toBool());
            call.insert(QStringLiteral("family"), StandInNetwork::familyOf(message));
        }
        record(call);
    });
    connect(m_tunnel, &StandInTunnel::stateChanged, this, [this](StandInTunnel::State state) {
        if (state == StandInTunnel::State::Down)
            m_protection.tunnelGone(QStringLiteral("tunnel down"));
    });
    connect(m_tunnel, &StandInTunnel::dropRequested, this, &ServiceStandIn::dropDaemonClients);
    connect(m_tunnel, &StandInTunnel::restartRequested, this, &ServiceStandIn::restart);
}

ServiceStandIn::~ServiceStandIn()
{
    stop();
}

bool ServiceStandIn::start()
{
    if (m_running)
        return true;
    ++m_restartGeneration;
    m_ipcThread = new QThread(this);
    m_ipcThread->setObjectName(QStringLiteral("StandInIpc"));
    m_source = new StandInIpcSource(m_options.ipcUrl, m_options.openVpnPath, &m_protection);
    m_source->setLockdownPolicy(m_options.lockdownDelayMs, m_options.lockdownReply);
    m_source->moveToThread(m_ipcThread);
    connect(m_ipcThread, &QThread::finished, m_source, &QObject::deleteLater);
    connect(m_source, &StandInIpcSource::called, this,
            [this](const QString &channel, int process, const QString &name, const QJsonArray &arguments) {
                QJsonObject call{{QStringLiteral("channel"), channel},
                                 {QStringLiteral("call"), name},
                                 {QStringLiteral("args"), arguments}};
                if (channel == QLatin1String("process"))
                    call.insert(QStringLiteral("process"), process);
                record(call);
            });
    connect(m_source, &StandInIpcSource::lockdownChanged, this, [this](bool) {
        const bool enabled = m_protection.lockdown();
        if (m_lockdown == enabled)
            return;
        m_lockdown = enabled;
        updateKillSwitchBlock();
        emit lockdownChanged(enabled);
    });
    m_ipcThread->start();
    bool hosting = false;
    QMetaObject::invokeMethod(
        m_source, [this, &hosting] { hosting = m_source->startHosting(); }, Qt::BlockingQueuedConnection);
    if (!hosting || !m_daemon->listen(m_options.daemonSocket)) {
        stopIpc();
        m_daemon->close();
        return false;
    }
    m_running = true;
    if (!m_options.dnsAddress.isNull())
        m_dns->listen(m_options.dnsAddress);
    updateKillSwitchBlock();
    if (m_options.tunnelUpAtStart)
        m_tunnel->bringUpNow();
    qCInfo(lcService) << "The service stand-in is up";
    emit started();
    return true;
}

void ServiceStandIn::stopIpc()
{
    if (!m_ipcThread)
        return;
    // Ends every event loop of the thread, a waiting setLockdown's too; the
    // source and its hosts are deleted as the thread finishes.
    m_ipcThread->quit();
    m_ipcThread->wait();
    delete m_ipcThread;
    m_ipcThread = nullptr;
    m_source = nullptr;
}

void ServiceStandIn::stop()
{
    ++m_restartGeneration;
    if (!m_running)
        return;
    m_running = false;
    m_protection.crashed();
    m_daemon->close();
    m_dns->close();
    m_tunnel->deactivate();
    stopIpc();
    if (m_lockdown != m_protection.lockdown()) {
        m_lockdown = m_protection.lockdown();
        emit lockdownChanged(m_lockdown);
    }
    updateKillSwitchBlock();
    qCInfo(lcService) << "The service stand-in is down";
    emit stopped();
}

void ServiceStandIn::restart(int downMs)
{
    stop();
    const int generation = m_restartGeneration;
    QTimer::singleShot(qMax(0, downMs), this, [this, generation] {
        if (generation != m_restartGeneration)
            return;
        if (start())
            emit restarted();
        else
            qCWarning(lcService) << "The service stand-in could not come back";
    });
}

void ServiceStandIn::setLockdownDelay(int delayMs)
{
    m_options.lockdownDelayMs = delayMs;
    if (m_source)
        m_source->setLockdownPolicy(m_options.lockdownDelayMs, m_options.lockdownReply);
}

void ServiceStandIn::setLockdownReply(bool reply)
{
    m_options.lockdownReply = reply;
    if (m_source)
        m_source->setLockdownPolicy(m_options.lockdownDelayMs, m_options.lockdownReply);
}

void ServiceStandIn::releaseLockdownWaits()
{
    if (m_source)
        m_source->releaseWaits();
}

void ServiceStandIn::setScript(const TunnelScript &script)
{
    m_options.script = script;
    m_tunnel->setScript(script);
}

void ServiceStandIn::setNetwork(const StandInNetwork &network)
{
    m_options.script.network = network;
    m_tunnel->setScript(m_options.script);
}

void ServiceStandIn::stall()
{
    m_tunnel->stall();
}

int ServiceStandIn::killTunnel()
{
    int killed = 0;
    if (m_tunnel->state() == StandInTunnel::State::Up && !m_tunnel->isLost()) {
        m_tunnel->setNoTunnel(true);
        m_tunnel->pushStatus();
        ++killed;
    }
    if (m_source) {
        int restarted = 0;
        QMetaObject::invokeMethod(
            m_source, [this, &restarted] { restarted = m_source->restartOpenVpnProcesses(); },
            Qt::BlockingQueuedConnection);
        killed += restarted;
    }
    qCInfo(lcService) << "Tunnels killed:" << killed;
    return killed;
}

void ServiceStandIn::recover()
{
    m_tunnel->recover();
}

void ServiceStandIn::setNoTunnel(bool noTunnel)
{
    m_tunnel->setNoTunnel(noTunnel);
}

void ServiceStandIn::sendError(int code)
{
    m_tunnel->sendError(code);
}

void ServiceStandIn::sendConnected()
{
    m_tunnel->sendConnected();
}

void ServiceStandIn::sendDisconnected()
{
    m_tunnel->sendDisconnected();
}

void ServiceStandIn::pushStatus()
{
    m_tunnel->pushStatus();
}

void ServiceStandIn::dropDaemonClients()
{
    m_daemon->dropClients();
}

void ServiceStandIn::dropIpcClients()
{
    if (!m_source)
        return;
    bool hosting = false;
    QMetaObject::invokeMethod(
        m_source, [this, &hosting] { hosting = m_source->rehost(); }, Qt::BlockingQueuedConnection);
    if (!hosting)
        qCWarning(lcService) << "The interface could not be served again";
}

void ServiceStandIn::bringTunnelUp()
{
    m_tunnel->bringUpNow();
}

void ServiceStandIn::setKillSwitchBlock(bool block)
{
    m_forcedBlock = block;
    updateKillSwitchBlock();
}

void ServiceStandIn::setIgnoredTypes(const QStringList &types)
{
    m_daemon->setIgnoredTypes(types);
}

void ServiceStandIn::setFeaturesUnavailable(bool unavailable)
{
    m_daemon->setFeaturesUnavailable(unavailable);
}

void ServiceStandIn::setApiOptions(const StandInApiFetcher::Options &api)
{
    m_options.api = api;
    m_fetcher->setOptions(api);
}

QJsonArray ServiceStandIn::calls(const QString &channel, const QString &call) const
{
    QJsonArray matching;
    for (const QJsonValue &value : m_calls) {
        const QJsonObject entry = value.toObject();
        if ((channel.isEmpty() || entry.value(QLatin1String("channel")).toString() == channel)
            && (call.isEmpty() || entry.value(QLatin1String("call")).toString() == call))
            matching.append(entry);
    }
    return matching;
}

void ServiceStandIn::clearCalls()
{
    m_calls = QJsonArray();
}

StandInTunnel::State ServiceStandIn::tunnelState() const
{
    return m_tunnel->state();
}

int ServiceStandIn::daemonClientCount() const
{
    return m_daemon->clientCount();
}

QJsonObject ServiceStandIn::state() const
{
    const QMetaEnum states = QMetaEnum::fromType<StandInTunnel::State>();
    return QJsonObject{{QStringLiteral("running"), m_running},
                       {QStringLiteral("tunnel"), QString::fromLatin1(states.valueToKey(int(m_tunnel->state())))},
                       {QStringLiteral("family"), m_tunnel->family()},
                       {QStringLiteral("stalled"), m_tunnel->isStalled()},
                       {QStringLiteral("lockdown"), m_lockdown},
                       {QStringLiteral("daemonClients"), m_daemon->clientCount()},
                       {QStringLiteral("dns"), m_dns->isListening() ? m_dns->address().toString() : QString()}};
}

void ServiceStandIn::record(const QJsonObject &call)
{
    m_calls.append(call);
    emit callRecorded(call);
}

void ServiceStandIn::updateKillSwitchBlock()
{
    m_tunnel->setKillSwitchBlock(m_lockdown || m_forcedBlock);
}
