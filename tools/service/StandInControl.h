#pragma once

#include <QHash>
#include <QJsonObject>
#include <QLocalServer>
#include <QObject>

class QLocalSocket;
class ServiceStandIn;
class StandInOpenVpnServer;

// A control socket for a stand-in run as a program: a test sends one JSON
// object per line and gets one JSON object per line back, {"ok": true, ...}
// or {"ok": false, "error": "..."}. The socket outlives stop(), start() and
// restart() of the service it drives.
//
// Commands ("cmd", then its keys):
//   "ping"                          -> {"ok", "pid"}
//   "state"                         -> {"ok", "state": ServiceStandIn::state()}
//   "dnsQueries"                    -> {"ok", "count"}  (queries the name server got)
//   "calls"   ["channel"] ["call"]  -> {"ok", "calls": [...]}   (ServiceStandIn::calls)
//   "clearCalls"
//   "lockdown" ["delayMs" int, < 0 never] ["reply" bool] ["release": true]
//   "script"  "script": {TunnelScript JSON}
//   "network" "network": {StandInNetwork JSON}   (the script's network alone;
//                                 the rest of the script stays)
//   "stall", "recover", "pushStatus", "connected", "disconnected", "drop", "tunnelUp"
//   "killTunnel"                    -> {"ok", "killed"}  (ServiceStandIn::killTunnel)
//   "openVpnServer" "answering": bool   (the program's OpenVPN server, setOpenVpnServer)
//   "outside" "reachable": bool "addresses": [texts]   (StandInOutside; only
//                                 inside the test network namespace)
//   "dropIpc"                       (the remote-object link drops alone)
//   "protection"                    -> {"ok", StandInProtection::report()}
//   "mark" "name": text             (a mark in the protection timeline)
//   "clearProtection"               (empties the timeline)
//   "noTunnel" ["value" bool, default true]
//   "error"   "code": int
//   "killSwitchBlock" "value": bool
//   "ignore"  "types": [texts]
//   "unavailable" "value": bool
//   "stop", "start", "restart" ["downMs" int]
//   "openVpnServerLog"              -> {"ok", "log"}  (with an OpenVPN server, setOpenVpnServer)
class StandInControl : public QObject
{
    Q_OBJECT
public:
    StandInControl(ServiceStandIn *service, QObject *parent = nullptr);

    bool listen(const QString &name);
    // The program's own OpenVPN server, whose log a failing test wants.
    void setOpenVpnServer(StandInOpenVpnServer *server) { m_openVpnServer = server; }

    // Runs one command; what the socket would answer.
    QJsonObject execute(const QJsonObject &command);

    // For tests: sends one command to the control socket `name` and waits
    // (blocking, up to timeoutMs) for the answer; {"ok": false, "error"} on
    // any failure.
    static QJsonObject request(const QString &name, const QJsonObject &command, int timeoutMs = 10000);

private:
    void onReadyRead(QLocalSocket *socket);

    ServiceStandIn *m_service;
    StandInOpenVpnServer *m_openVpnServer = nullptr;
    QLocalServer m_server;
    QHash<QLocalSocket *, QByteArray> m_buffers;
};
