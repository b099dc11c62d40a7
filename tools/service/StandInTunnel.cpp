#include "tools/service/StandInTunnel.h"

#include <QLoggingCategory>

namespace {
Q_LOGGING_CATEGORY(lcTunnel, "standin.tunnel")

// WireGuard renews its handshake every two minutes on a live tunnel.
constexpr qint64 RekeyMs = 120000;
// What a stalled tunnel reports: well past the client's 240 s limit.
constexpr qint64 StalledHandshakeAgeS = 300;
constexpr int DefaultProbesToDead = 2;
} // namespace

StandInTunnel::StandInTunnel(QObject *parent)
    : QObject(parent)
{
    m_connectTimer.setSingleShot(true);
    connect(&m_connectTimer, &QTimer::timeout, this, [this] {
        if (m_script.activateError != 0) {
            qCInfo(lcTunnel) << "Activation fails by script with" << m_script.activateError;
            setState(State::Down);
            sendError(m_script.activateError);
            return;
        }
        becomeUp();
        emit message(QJsonObject{{QStringLiteral("type"), QStringLiteral("connected")}});
    });
    connect(&m_statusTimer, &QTimer::timeout, this, &StandInTunnel::pushStatus);
}

void StandInTunnel::activate(const QString &family)
{
    stopScript();
    m_connectTimer.stop();
    m_family = family;
    m_noTunnel = false;
    setState(State::Activating);
    if (m_script.network.ruleFor(family) == StandInNetwork::Blocked) {
        qCInfo(lcTunnel) << "The network blocks" << family << "- this activation never connects";
        return;
    }
    m_connectTimer.start(m_script.connectDelayMs);
}

bool StandInTunnel::carriesDns() const
{
    return m_state == State::Up && !m_stalled && !m_noTunnel
        && m_script.network.ruleFor(m_family) != StandInNetwork::NoDns;
}

void StandInTunnel::deactivate()
{
    stopScript();
    m_connectTimer.stop();
    m_noTunnel = false;
    setState(State::Down);
}

void StandInTunnel::bringUpNow()
{
    m_connectTimer.stop();
    m_family.clear();
    becomeUp();
}

void StandInTunnel::becomeUp()
{
    stopScript();
    m_stalled = false;
    m_noTunnel = false;
    m_probeFailures = 0;
    m_sinceHandshake.start();
    setState(State::Up);
    if (m_script.statusIntervalMs > 0)
        m_statusTimer.start(m_script.statusIntervalMs);
    for (const TunnelEvent &event : std::as_const(m_script.events)) {
        auto *timer = new QTimer(this);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, event] { playEvent(event); });
        timer->start(event.atMs);
        m_eventTimers.append(timer);
    }
}

void StandInTunnel::stopScript()
{
    m_statusTimer.stop();
    // An event may be what stops the script: its timer is still emitting.
    for (QTimer *timer : std::as_const(m_eventTimers)) {
        timer->stop();
        timer->deleteLater();
    }
    m_eventTimers.clear();
}

void StandInTunnel::playEvent(const TunnelEvent &event)
{
    qCInfo(lcTunnel) << "Script event:" << event.action;
    if (event.action == QLatin1String("stall"))
        stall();
    else if (event.action == QLatin1String("recover"))
        recover();
    else if (event.action == QLatin1String("error"))
        sendError(event.code);
    else if (event.action == QLatin1String("noTunnel"))
        setNoTunnel(true);
    else if (event.action == QLatin1String("disconnected"))
        sendDisconnected();
    else if (event.action == QLatin1String("connected"))
        sendConnected();
    else if (event.action == QLatin1String("drop"))
        emit dropRequested();
    else if (event.action == QLatin1String("restart"))
        emit restartRequested(event.downMs);
}

void StandInTunnel::stall()
{
    if (m_stalled)
        return;
    m_stalled = true;
    m_sinceStall.start();
    m_probeFailures = m_script.probesToDead >= 0 ? m_script.probesToDead : DefaultProbesToDead;
}

void StandInTunnel::recover()
{
    m_stalled = false;
    m_noTunnel = false;
    m_probeFailures = 0;
    m_sinceHandshake.start();
}

void StandInTunnel::setNoTunnel(bool noTunnel)
{
    m_noTunnel = noTunnel;
}

void StandInTunnel::sendError(int code)
{
    emit message(QJsonObject{{QStringLiteral("type"), QStringLiteral("error")}, {QStringLiteral("error"), code}});
}

void StandInTunnel::sendConnected()
{
    // Keeps the counters: the service's tunnel came back, it was not replaced.
    const qint64 rx = m_rxBytes, tx = m_txBytes;
    becomeUp();
    m_rxBytes = rx;
    m_txBytes = tx;
    emit message(QJsonObject{{QStringLiteral("type"), QStringLiteral("connected")}});
}

void StandInTunnel::sendDisconnected()
{
    stopScript();
    setState(State::Down);
    emit message(QJsonObject{{QStringLiteral("type"), QStringLiteral("disconnected")}});
}

QJsonObject StandInTunnel::status() const
{
    QJsonObject status{{QStringLiteral("type"), QStringLiteral("status")},
                       {QStringLiteral("killSwitchBlock"), m_killSwitchBlock}};
    if (m_state != State::Up || m_noTunnel) {
        status.insert(QStringLiteral("connected"), false);
        return status;
    }
    status.insert(QStringLiteral("rxBytes"), double(m_rxBytes));
    status.insert(QStringLiteral("txBytes"), double(m_txBytes));
    if (!m_script.blind) {
        const qint64 age = m_stalled ? StalledHandshakeAgeS + m_sinceStall.elapsed() / 1000
                                     : (m_sinceHandshake.elapsed() % RekeyMs) / 1000;
        status.insert(QStringLiteral("handshakeAge"), double(age));
        status.insert(QStringLiteral("probeFailures"), m_probeFailures);
    }
    if (m_script.probesToDead >= 0)
        status.insert(QStringLiteral("probesToDead"), m_script.probesToDead);
    return status;
}

void StandInTunnel::pushStatus()
{
    if (m_state == State::Up && !m_stalled && !m_noTunnel) {
        m_rxBytes += m_script.rxStep;
        m_txBytes += m_script.txStep;
    }
    if (m_state == State::Up && m_stalled && !m_script.blind)
        ++m_probeFailures;
    emit message(status());
}

void StandInTunnel::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    emit stateChanged(state);
}
