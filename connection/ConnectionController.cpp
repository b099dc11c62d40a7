#include "connection/ConnectionController.h"

#include "app/Logger.h"
#include "app/Settings.h"
#include "servers/ServersModel.h"
#include "vpn/VpnConnection.h"

namespace {
Logger logger(QStringLiteral("ConnectionController"));
constexpr int kConnectTimeoutMs = 45000;
} // namespace

ConnectionController::ConnectionController(QSharedPointer<ServersModel> servers, QSharedPointer<Settings> settings,
                                           QSharedPointer<VpnConnection> vpnConnection, QObject *parent)
    : QObject(parent), m_servers(std::move(servers)), m_settings(std::move(settings)), m_vpn(std::move(vpnConnection))
{
    m_connectTimer.setSingleShot(true);
    m_connectTimer.setInterval(kConnectTimeoutMs);
    m_attemptTimer.setSingleShot(true);
}

ConnectionController::~ConnectionController() = default;

void ConnectionController::setRecoveryHooks(const RecoveryHooks &hooks)
{
    m_recovery = hooks;
}

QString ConnectionController::recoveryText() const
{
    return QString();
}

void ConnectionController::setKillSwitchBlocking(bool blocking)
{
    if (m_killSwitchBlocking == blocking)
        return;
    m_killSwitchBlocking = blocking;
    emit connectionStateChanged();
}

void ConnectionController::setRestrictedNote(const QString &note)
{
    if (m_restrictedNote == note)
        return;
    m_restrictedNote = note;
    emit restrictedChanged();
}

bool ConnectionController::restrictedNetwork() const
{
    return false;
}

void ConnectionController::toggleConnection() {}
void ConnectionController::tryAnotherServer() {}
void ConnectionController::reconnectForSetting() {}

void ConnectionController::clearError()
{
    if (m_errorCode == 0 && m_errorText.isEmpty())
        return;
    m_errorCode = 0;
    m_errorText.clear();
    emit vpnErrorChanged();
}

void ConnectionController::openConnection() {}

void ConnectionController::closeConnection(QString reason)
{
    Q_UNUSED(reason)
}

void ConnectionController::closeConnection()
{
    closeConnection(QStringLiteral("app"));
}

void ConnectionController::onConnectionRequested()
{
    openConnection();
}

void ConnectionController::onVpnError(VpnProtocol::Errors error)
{
    Q_UNUSED(error)
}

void ConnectionController::onConnectionStateChanged(VpnProtocol::ConnectionState state)
{
    Q_UNUSED(state)
}

void ConnectionController::onBytesChanged(double download, double upload)
{
    emit bytesChanged(download, upload);
}

void ConnectionController::onProtocolUnavailable(const QString &message)
{
    m_errorCode = 400;
    m_errorText = message;
    emit vpnErrorChanged();
}
