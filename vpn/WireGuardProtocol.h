#pragma once

#include "vpn/VpnProtocol.h"

class LocalSocketController;

// WireGuard, AmneziaWG, Stealth and Hysteria2: tunnels the service's daemon
// runs by itself. The driver describes the tunnel and follows what the daemon
// reports.
class WireGuardProtocol : public VpnProtocol
{
    Q_OBJECT
public:
    WireGuardProtocol(const QJsonObject &configuration, QObject *parent = nullptr);
    ~WireGuardProtocol() override;

    void start() override;
    void stop() override;

    LocalSocketController *controller() const { return m_controller; }

public slots:
    void onDaemonError(VpnProtocol::Errors error);

private:
    LocalSocketController *m_controller = nullptr;
};
