#pragma once

#include <QObject>
#include <QSharedPointer>

class Settings;

// Owns the active tunnel driver, the kill switch and the firewall hold.
// The drivers and the service link arrive with the tunnel work; until then the
// connection only knows its settings.
class VpnConnection : public QObject
{
    Q_OBJECT
public:
    explicit VpnConnection(QSharedPointer<Settings> settings, QObject *parent = nullptr);

    void cleanUpLeftoverTunnel(int attempts);

private:
    QSharedPointer<Settings> m_settings;
};
