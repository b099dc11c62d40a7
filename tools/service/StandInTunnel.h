#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QTimer>

#include "tools/service/TunnelScript.h"

// One scripted tunnel of the stand-in's daemon: brought up by "activate",
// taken down by "deactivate", and meanwhile the source of the daemon's
// "connected", "disconnected", "error" and pushed "status" messages.
// The live controls (stall(), recover(), ...) act at once, whatever the
// script's own events say. The script's network decides, per route family,
// whether an activation connects at all and whether DNS gets through.
class StandInTunnel : public QObject
{
    Q_OBJECT
public:
    enum class State { Down, Activating, Up };
    Q_ENUM(State)

    explicit StandInTunnel(QObject *parent = nullptr);

    void setScript(const TunnelScript &script) { m_script = script; }
    TunnelScript script() const { return m_script; }

    State state() const { return m_state; }
    bool isStalled() const { return m_stalled; }
    // Gone from the service without a "disconnected" (setNoTunnel).
    bool isLost() const { return m_noTunnel; }
    // The route family of the last activation; empty for a tunnel that came
    // up without one.
    QString family() const { return m_family; }
    // Whether a name server behind the tunnel would answer now: the tunnel is
    // up and carries traffic, and the network lets its family's DNS through.
    bool carriesDns() const;

    // `family` is the activation's route family (StandInNetwork::familyOf).
    void activate(const QString &family = QString());
    void deactivate();
    // A tunnel that is already up with no activation seen, as one kept by the
    // service from an earlier run of the client.
    void bringUpNow();

    void stall();
    void recover();
    void setNoTunnel(bool noTunnel);
    void sendError(int code);
    void sendConnected();
    void sendDisconnected();
    void setKillSwitchBlock(bool block) { m_killSwitchBlock = block; }

    // The "status" message as it stands now.
    QJsonObject status() const;
    void pushStatus();

signals:
    void message(const QJsonObject &message);
    void dropRequested();
    void restartRequested(int downMs);
    void stateChanged(StandInTunnel::State state);

private:
    void setState(State state);
    void becomeUp();
    void stopScript();
    void playEvent(const TunnelEvent &event);

    TunnelScript m_script;
    QString m_family;
    State m_state = State::Down;
    bool m_stalled = false;
    bool m_noTunnel = false;
    bool m_killSwitchBlock = false;
    qint64 m_rxBytes = 0;
    qint64 m_txBytes = 0;
    int m_probeFailures = 0;
    QElapsedTimer m_sinceHandshake;
    QElapsedTimer m_sinceStall;
    QTimer m_connectTimer;
    QTimer m_statusTimer;
    QList<QTimer *> m_eventTimers;
};
