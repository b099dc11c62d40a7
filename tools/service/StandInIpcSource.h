#pragma once

#include <QHash>
#include <QJsonArray>
#include <QString>

#include <atomic>

#include "rep_ipc_interface_source.h"

class QRemoteObjectHost;
class StandInProcessSource;
class StandInProtection;

// The stand-in's `IpcInterface` source, with the remote-object hosts it
// serves: the interface itself at the service URL, and one host per
// privileged process at "<url>_<n>".
//
// It runs on a thread of its own (ServiceStandIn arranges it): a slot's reply
// leaves only when the slot returns, so a delayed setLockdown(true) waits in
// a local event loop, and that wait must not hold up the thread the client
// (an in-process test) runs on. Like a busy service, it leaves the calls
// that come after it on the same link waiting until it answers (the socket
// is not read meanwhile); other links are served. Calls are reported through
// called(); the lockdown policy may be changed from any thread.
class StandInIpcSource : public IpcInterfaceSource
{
    Q_OBJECT
public:
    // `protection` (may be null) must outlive the source; it hears of every
    // lockdown and OpenVPN kill switch the service puts in force.
    StandInIpcSource(const QString &url, const QString &openVpnPath, StandInProtection *protection = nullptr,
                     QObject *parent = nullptr);
    ~StandInIpcSource() override;

    // On the source's own thread: listens at the URL; false when it can't.
    bool startHosting();
    // On the source's own thread: closes the interface's host and serves it
    // anew, so every client's link drops while processes and the daemon stay.
    // Not while a setLockdown(true) waits.
    bool rehost();

    // delayMs < 0: setLockdown(true) never answers (until releaseWaits() or
    // the thread ends). `reply` is what it answers.
    void setLockdownPolicy(int delayMs, bool reply);
    // Any thread: lets every waiting setLockdown(true) answer now.
    void releaseWaits();
    // On the source's own thread: every OpenVPN the processes run restarts
    // as after its keepalive ran out (StandInProcessSource::restartOpenVpn);
    // how many did.
    int restartOpenVpnProcesses();

    int createPrivilegedProcess() override;
    void cleanUp() override;
    void setLogsEnabled(bool enabled) override;
    void clearLogs() override;
    bool disableKillSwitch() override;
    bool enablePeerTraffic(const QJsonObject &vpnConfig) override;
    bool enableKillSwitch(int vpnAdapterIndex, const QJsonObject &configData) override;
    bool setLockdown(bool enabled) override;

signals:
    // channel "ipc" for the interface, "process" for process `process`.
    void called(const QString &channel, int process, const QString &name, const QJsonArray &arguments);
    void lockdownChanged(bool enabled);
    void waitsReleased();

private:
    void record(const QString &name, const QJsonArray &arguments = QJsonArray());

    const QString m_url;
    const QString m_openVpnPath;
    StandInProtection *const m_protection;
    QRemoteObjectHost *m_host = nullptr;
    QHash<int, QRemoteObjectHost *> m_processHosts;
    int m_nextProcess = 1;
    std::atomic<int> m_lockdownDelayMs{0};
    std::atomic<bool> m_lockdownReply{true};
};
