#pragma once

#include <QJsonObject>
#include <QObject>
#include <QSharedPointer>

class CoalescedSend;
class Settings;
class VpnConnection;

// The sites that skip the tunnel, handed to the service whenever the list or
// its switch changes and whenever a tunnel comes up, since the service
// applies them per connection. With the switch off the list sent is empty, so
// turning it off clears what the service holds.
class BypassList : public QObject
{
    Q_OBJECT
    // The service said it can't bypass sites on this connection.
    Q_PROPERTY(bool unavailable READ unavailable NOTIFY unavailableChanged)
public:
    BypassList(QSharedPointer<Settings> settings, QSharedPointer<VpnConnection> vpnConnection,
               QObject *parent = nullptr);

    bool unavailable() const { return m_unavailable; }

signals:
    void unavailableChanged();

public slots:
    void send();

private:
    QJsonObject message() const;
    void onReply(const QJsonObject &sent, const QJsonObject &reply);

    QSharedPointer<Settings> m_settings;
    QSharedPointer<VpnConnection> m_vpnConnection;
    CoalescedSend *m_sender = nullptr;
    bool m_unavailable = false;
};
