#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include "tools/service/StandInApiFetcher.h"
#include "tools/service/StandInDnsResponder.h"
#include "tools/service/StandInNetwork.h"
#include "tools/service/StandInOutside.h"
#include "tools/service/StandInProtection.h"
#include "tools/service/StandInTunnel.h"
#include "tools/service/TunnelScript.h"

class QThread;
class StandInDaemon;
class StandInIpcSource;

// The Kelvra service, played on this machine for tests and the run command.
//
// What a client sees:
//   - remote objects at `Options::ipcUrl` ("local:KelvraIpcInterface"): the
//     `IpcInterface` source; createPrivilegedProcess() opens a process server
//     at "<ipcUrl>_<n>" (n = 1, 2, ...) whose program 0 is the real OpenVPN
//     (`Options::openVpnPath`), run with the client's arguments once they are
//     vetted to reach nothing beyond this machine (OpenVpnArguments);
//   - the JSON-lines daemon at `Options::daemonSocket`
//     ("/var/run/kelvra/daemon.socket"): "status", "activate", "deactivate",
//     "apiFetch" (fetched from the configured API, StandInApiFetcher),
//     "adBlock", "bypass"; tunnels follow `Options::script` (TunnelScript),
//     whose network may block route families or their DNS (StandInNetwork);
//   - with `Options::dnsAddress` set, a name server there, port 53
//     (StandInDnsResponder), answering only while the tunnel carries DNS:
//     the program serves 8.8.8.8 when the test network puts it on loopback.
//
// Use in-process (link kelvra_service_standin):
//
//     ServiceStandIn::Options options;
//     options.ipcUrl = "local:" + myIpcName;          // same names as the client's
//     options.daemonSocket = myDaemonSocketPath;      // KELVRA_TEST_* variables
//     options.script.connectDelayMs = 100;
//     ServiceStandIn service(options);
//     QVERIFY(service.start());
//     ... drive the client ...
//     QTRY_COMPARE(service.calls("ipc", "setLockdown").size(), 1);
//     service.stall();                                 // the tunnel stops answering
//     service.restart(500);                            // the service "crashes" for 0.5 s
//
// A real OpenVPN server for the OpenVPN the service runs to reach:
// StandInOpenVpnServer (in-process) or --openvpn-server address:port with
// --openvpn-client-config FILE (the program); its clientConfig() is what the
// backend stand-in hands out as the OpenVPN "configuration".
//
// Out of process: the program kelvra-service-standin takes the same options
// as flags (see main.cpp, --help) and, with --control NAME, a control socket
// that takes the scripting calls below as JSON lines (StandInControl).
//
// Every call the client makes is recorded, in order, as a JSON object:
//   {"channel": "ipc",     "call": "setLockdown", "args": [true]}
//   {"channel": "process", "process": 1, "call": "setArguments", "args": [["--config", ...]]}
//   {"channel": "process", "process": 1, "call": "refused", "args": ["remote 8.8.8.8 ... is not on this machine"]}
//   {"channel": "daemon",  "call": "activate", "family": "reality", "message": {...the message...}}
//
// The lockdown (setLockdown) survives stop(), start() and restart(), as a
// real firewall block survives a crash of the service; the tunnel does not,
// but a kill switch it had stays behind as the lockdown (StandInProtection
// tells what the firewall lets through, and when that changed).
// Status messages carry "killSwitchBlock": the lockdown in force, or the
// value forced with setKillSwitchBlock().
class ServiceStandIn : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QString ipcUrl = QStringLiteral("local:KelvraIpcInterface");
        QString daemonSocket = QStringLiteral("/var/run/kelvra/daemon.socket");
        QString openVpnPath = QStringLiteral("/usr/sbin/openvpn");
        // setLockdown(true): answer after this many ms; < 0: never.
        int lockdownDelayMs = 0;
        bool lockdownReply = true;
        StandInApiFetcher::Options api;
        TunnelScript script;
        // Start with a tunnel already up, as one kept from an earlier run.
        bool tunnelUpAtStart = false;
        // Where the name server behind the tunnel answers; none when null or
        // not an address of this machine. Tests running side by side each take
        // a loopback address of their own, since only one can hold a port.
        QHostAddress dnsAddress;
    };

    explicit ServiceStandIn(QObject *parent = nullptr);
    explicit ServiceStandIn(const Options &options, QObject *parent = nullptr);
    ~ServiceStandIn() override;

    Options options() const { return m_options; }

    // --- Life cycle -------------------------------------------------------
    // Serves both links; false (and nothing served) when either name can't
    // be taken.
    bool start();
    // Closes both links at once, as a crash would: clients see their
    // sockets drop; running processes are stopped; the tunnel is gone.
    void stop();
    // stop(), then start() after downMs (asynchronously; restarted() tells).
    void restart(int downMs = 1000);
    bool isRunning() const { return m_running; }

    // --- Scripting --------------------------------------------------------
    // While setLockdown(true) waits, later calls on the same link wait behind it.
    void setLockdownDelay(int delayMs);                  // < 0: never answer
    void setLockdownReply(bool reply);
    void releaseLockdownWaits();                         // answer every waiting setLockdown(true) now
    void setScript(const TunnelScript &script);          // for the next activation
    void setNetwork(const StandInNetwork &network);      // the script's network alone
    void stall();                                        // server stops answering through the tunnel
    // The live tunnel dies, of either kind: a daemon tunnel is gone from the
    // service without a word (its status says "connected": false at once),
    // and every OpenVPN the service runs restarts as after its keepalive
    // ran out (it reports RECONNECTING; with its server not answering,
    // StandInOpenVpnServer::setAnswering(false), it gets nowhere). Returns
    // how many tunnels died.
    int killTunnel();
    void recover();                                      // ... and answers again
    void setNoTunnel(bool noTunnel);                     // status says "connected": false
    void sendError(int code);                            // {"type":"error","error":code}
    void sendConnected();                                // {"type":"connected"}, tunnel up
    void sendDisconnected();                             // {"type":"disconnected"}, tunnel down
    void pushStatus();                                   // one status push now
    void dropDaemonClients();                            // close every daemon connection
    void dropIpcClients();                               // the remote-object link drops alone
    void bringTunnelUp();                                // a tunnel up without any activation
    void setKillSwitchBlock(bool block);                 // force "killSwitchBlock" true
    void setIgnoredTypes(const QStringList &types);      // leave these daemon types unanswered
    void setFeaturesUnavailable(bool unavailable);       // adBlock/bypass answer "unavailable"
    void setApiOptions(const StandInApiFetcher::Options &api);

    // --- Observation ------------------------------------------------------
    // Recorded calls, optionally only those of one channel and call name.
    QJsonArray calls(const QString &channel = QString(), const QString &call = QString()) const;
    void clearCalls();
    bool lockdown() const { return m_lockdown; }
    // What the firewall lets through, and its timeline (StandInProtection).
    StandInProtection &protection() { return m_protection; }
    StandInTunnel::State tunnelState() const;
    int daemonClientCount() const;
    StandInDnsResponder &dnsResponder() { return *m_dns; }
    // The server addresses outside the tunnels (StandInOutside).
    StandInOutside &outside() { return m_outside; }
    // {"running", "tunnel" ("Down"/"Activating"/"Up"), "family", "stalled", "lockdown",
    //  "daemonClients", "dns" (the name server's address, "" when none)}
    QJsonObject state() const;

signals:
    void callRecorded(const QJsonObject &call);
    void started();
    void stopped();
    void restarted();
    void lockdownChanged(bool enabled);

private:
    void record(const QJsonObject &call);
    void updateKillSwitchBlock();
    void stopIpc();

    Options m_options;
    StandInProtection m_protection;
    StandInOutside m_outside;
    StandInTunnel *m_tunnel;
    StandInApiFetcher *m_fetcher;
    StandInDaemon *m_daemon;
    StandInDnsResponder *m_dns;
    QThread *m_ipcThread = nullptr;
    StandInIpcSource *m_source = nullptr;
    QJsonArray m_calls;
    bool m_running = false;
    bool m_lockdown = false;
    bool m_forcedBlock = false;
    int m_restartGeneration = 0;
};
