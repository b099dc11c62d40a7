#pragma once

#include <QJsonObject>
#include <QObject>
#include <QSharedPointer>

#include <functional>

#include "vpn/VpnProtocol.h"

class ServersModel;
class VpnConnection;

// The one retry after a first connect failed with the configuration the
// backend handed out: the backend may have dropped this device's peer on the
// server since it made that configuration, so it is fetched once more, asking
// the backend to restore the peer ("recover=1"). Made at most once per
// connect, only for the protocols whose peers the backend restores, and only
// while the connect's own time limit runs. The Disconnected of the failed
// tunnel waits for it, so the screen doesn't flash "Not Connected" meanwhile.
class RecoverRetry : public QObject
{
    Q_OBJECT
public:
    struct Hooks
    {
        // The connect flow's connect timer runs.
        std::function<bool()> connectTimerRunning;
        // "Connecting" is shown and the tunnel sent to the VPN connection.
        std::function<void(VpnProtocol::Protocol protocol, const QJsonObject &config)> connect;
        // The retry failed as well: the connect ends with error 400.
        std::function<void()> fail;
    };

    RecoverRetry(QSharedPointer<ServersModel> servers, QSharedPointer<VpnConnection> vpnConnection, Hooks hooks,
                 QObject *parent = nullptr);

    // The VPN connection reported `error` while a connect runs and no repair
    // does. True when the retry takes it (the error is not shown then).
    bool takeError(VpnProtocol::Errors error);
    // A Disconnected while the connect timer runs: true when it waits for
    // the retry. It is dropped while a retry is in flight, and handed to
    // `handleLater` one event-loop turn later when none was made yet (unless
    // one starts in between); that second time it passes.
    bool holdsBack(const std::function<void()> &handleLater);
    // A new connect or the user's disconnect: the retry may be made again,
    // and an answer still on its way is dropped.
    void reset();

    bool inFlight() const { return m_inFlight; }

private:
    QSharedPointer<ServersModel> m_servers;
    QSharedPointer<VpnConnection> m_vpn;
    Hooks m_hooks;
    bool m_done = false;
    bool m_inFlight = false;
    bool m_forced = false;
    int m_generation = 0; // of connects: bumped by reset() and by each retry
};
