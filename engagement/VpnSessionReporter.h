#pragma once

#include <QObject>
#include <QSharedPointer>

class ServersModel;
class VpnConnection;

// Tells the backend about each tunnel's life (connected, still connected,
// disconnected). Not built yet: it is created with what it will need and
// sends nothing.
class VpnSessionReporter : public QObject
{
    Q_OBJECT
public:
    VpnSessionReporter(QSharedPointer<VpnConnection> vpnConnection, QSharedPointer<ServersModel> servers,
                       QObject *parent = nullptr);

private:
    QSharedPointer<VpnConnection> m_vpnConnection;
    QSharedPointer<ServersModel> m_servers;
};
