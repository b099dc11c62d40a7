#include "vpn/WireGuardProtocol.h"

#include <QThread>

#include "ipc/LocalSocketController.h"

WireGuardProtocol::WireGuardProtocol(const QJsonObject &configuration, QObject *parent)
    : VpnProtocol(configuration, parent), m_controller(new LocalSocketController)
{
    connect(m_controller, &LocalSocketController::connected, this, [this] { setConnectionState(Connected); });
    connect(m_controller, &LocalSocketController::daemonErrorOccurred, this, &WireGuardProtocol::onDaemonError);
    connect(m_controller, &LocalSocketController::bytesChanged, this, &VpnProtocol::bytesChanged);
    connect(m_controller, &LocalSocketController::tunnelStalled, this, &VpnProtocol::tunnelStalled);
    connect(m_controller, &LocalSocketController::tunnelAlive, this, [this] { setConnectionState(Connected); });
    m_controller->initialize();
}

WireGuardProtocol::~WireGuardProtocol()
{
    m_controller->deactivate();
    setConnectionState(Disconnected);
    // Gives the service a moment to read "deactivate" before the pipe closes.
    QThread::msleep(200);
    delete m_controller;
}

void WireGuardProtocol::start()
{
    m_controller->activate(m_configuration);
}

void WireGuardProtocol::stop()
{
    m_controller->deactivate();
    setConnectionState(Disconnected);
}

void WireGuardProtocol::onDaemonError(VpnProtocol::Errors error)
{
    m_controller->deactivate();
    setConnectionState(Disconnected);
    emit vpnError(error);
}
