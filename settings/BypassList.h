#pragma once

#include <QObject>
#include <QSharedPointer>

class Settings;
class VpnConnection;

// The sites that skip the tunnel, handed to the service on every tunnel.
// Until it is built the list reaches no service, and the page is told the
// feature is unavailable rather than shown as working.
class BypassList : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool unavailable READ unavailable NOTIFY unavailableChanged)
public:
    BypassList(QSharedPointer<Settings> settings, QSharedPointer<VpnConnection> vpnConnection,
               QObject *parent = nullptr);

    bool unavailable() const { return true; }

signals:
    void unavailableChanged();

public slots:
    void send();

private:
    QSharedPointer<Settings> m_settings;
    QSharedPointer<VpnConnection> m_vpnConnection;
};
