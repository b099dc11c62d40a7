#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QMutex>
#include <QString>

// What the service's firewall would let through, and its history. A real
// service blocks everything outside a tunnel while its lockdown is on, or
// while a tunnel it runs was activated with the kill switch (an OpenVPN
// tunnel gets it through enableKillSwitch). Such a block outlives a crash of
// the service, as persistent firewall rules do; setLockdown(false) lifts
// every block.
//
// Updated from the remote-object thread (the lockdown, the OpenVPN kill
// switch) and from the daemon's thread (tunnels), in the order the service
// acts: a confirmed setLockdown(true) is in force before its reply leaves.
// Every change of "protected" goes into a timeline, with the marks a test
// puts there through the control socket, so a test can tell whether traffic
// could ever have left between two of its own steps.
class StandInProtection
{
public:
    void setLockdown(bool on, const QString &cause);
    void setOpenVpnKillSwitch(bool on, const QString &cause);
    // The daemon's tunnel: activated (with or without the kill switch), or gone.
    void tunnelActivated(bool killSwitch);
    void tunnelGone(const QString &cause);
    // The service stops as a crash would: a tunnel's kill switch stays as a
    // block of its own.
    void crashed();

    void mark(const QString &name);
    void clearTimeline();

    bool isProtected() const;
    bool lockdown() const;
    // {"protected", "lockdown", "tunnelKillSwitch", "openVpnKillSwitch",
    //  "timeline": [{"seq", "protected", "cause"} or {"seq", "mark"}]}
    QJsonObject report() const;

private:
    bool protectedLocked() const { return m_lockdown || m_tunnelKillSwitch || m_openVpnKillSwitch; }
    // Call with the mutex held, after changing the state.
    void noteLocked(bool wasProtected, const QString &cause);

    mutable QMutex m_mutex;
    bool m_lockdown = false;
    bool m_tunnelKillSwitch = false;
    bool m_openVpnKillSwitch = false;
    qint64 m_seq = 0;
    QJsonArray m_timeline;
};
