#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

#include "tools/service/StandInNetwork.h"

// How the stand-in's tunnels behave once a client sends "activate". The same
// description is read from a JSON file (the program's --script), from the
// control channel's "script" command, or filled in by an in-process test.
//
// JSON form (every key optional; the defaults are those below):
//   {
//     "connectDelayMs": 300,      // "activate" -> "connected" after this long
//     "activateError": 0,         // non-zero: answer "activate" with this error
//                                 //   code instead of connecting
//     "statusIntervalMs": 1000,   // pushed "status" while the tunnel is up; 0 = none
//     "rxStep": 250000,           // bytes added to rxBytes per pushed status
//     "txStep": 50000,            // bytes added to txBytes per pushed status
//     "blind": false,             // leave "handshakeAge"/"probeFailures" out
//     "probesToDead": -1,         // >= 0: send "probesToDead" with this value
//     "network": {                // per route family: "works", "blocked" or
//       "reality": "blocked",     //   "noDns" (StandInNetwork); left out: works
//       "wireguard": "noDns"
//     },
//     "events": [                 // played in order, "at" ms after "connected"
//       {"at": 5000, "do": "stall"},
//       {"at": 9000, "do": "recover"},
//       {"at": 12000, "do": "error", "code": 201},
//       {"at": 15000, "do": "noTunnel"},
//       {"at": 16000, "do": "disconnected"},
//       {"at": 17000, "do": "connected"},
//       {"at": 20000, "do": "drop"},
//       {"at": 25000, "do": "restart", "downMs": 1000}
//     ]
//   }
//
// Event actions:
//   "stall"        the server stops answering: rxBytes freezes, the handshake
//                  ages past 240 s and probeFailures reaches probesToDead (2)
//   "recover"      the tunnel answers again
//   "error"        sends {"type":"error","error":code}
//   "noTunnel"     status pushes say "connected": false (the tunnel is gone
//                  in the service without a "disconnected" message)
//   "disconnected" sends {"type":"disconnected"}; the tunnel is down
//   "connected"    sends {"type":"connected"}; the tunnel is up again
//   "drop"         the service closes every daemon connection (the tunnel stays)
//   "restart"      the whole service goes away (daemon and remote objects) for
//                  "downMs" and comes back without its tunnel, as after a crash;
//                  the firewall lockdown survives, like a real block would
struct TunnelEvent
{
    int atMs = 0;
    QString action;
    int code = 0;
    int downMs = 1000;
};

struct TunnelScript
{
    int connectDelayMs = 300;
    int activateError = 0;
    int statusIntervalMs = 1000;
    qint64 rxStep = 250000;
    qint64 txStep = 50000;
    bool blind = false;
    int probesToDead = -1;
    StandInNetwork network;
    QList<TunnelEvent> events;

    // Unknown actions and wrong types are reported in `error` (when given)
    // and the whole script is refused: a test must not silently run a
    // different script from the one it wrote.
    static bool fromJson(const QJsonObject &json, TunnelScript *script, QString *error = nullptr);
    QJsonObject toJson() const;

    static bool isKnownAction(const QString &action);
};
