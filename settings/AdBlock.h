#pragma once

#include <QObject>
#include <QSharedPointer>

class Settings;
class VpnConnection;

// Ad and tracker blocking, which the service does with a list the backend
// publishes. Until it is built the switch reaches no service, and the page is
// told the feature is unavailable rather than shown as working.
class AdBlock : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool unavailable READ unavailable NOTIFY unavailableChanged)
public:
    AdBlock(QSharedPointer<Settings> settings, QSharedPointer<VpnConnection> vpnConnection, QObject *parent = nullptr);

    bool unavailable() const { return true; }

signals:
    void unavailableChanged();

public slots:
    void setEnabled(bool enabled);

private:
    QSharedPointer<Settings> m_settings;
    QSharedPointer<VpnConnection> m_vpnConnection;
};
