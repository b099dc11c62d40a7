#pragma once

#include <QJsonObject>
#include <QObject>
#include <QString>

// The base of the tunnel drivers, one object per tunnel attempt. Also home of
// the protocol, state and error enumerations the whole client shares.
class VpnProtocol : public QObject
{
    Q_OBJECT
public:
    enum Protocol {
        Optimal = 0,
        OpenVpnUdp = 1,
        WireGuard = 2,
        AmneziaWg = 3,
        Stealth = 4,
        OpenVpnTcp = 5,
        Hysteria2 = 6,
    };
    Q_ENUM(Protocol)

    // Both carry numbers that come from outside (the service's daemon and its
    // remote objects): a fixed underlying type makes every int a valid value,
    // so an unknown code is handled as one instead of being undefined.
    enum ConnectionState : int {
        Connected = 0,
        Connecting = 1,
        Reconnecting = 2,
        Disconnecting = 3,
        Disconnected = 4,
        Preparing = 5,
    };
    Q_ENUM(ConnectionState)

    enum Errors : int {
        NoError = 0,
        TapAdapterMissing = 100,
        OpenVpnExecutableMissing = 101,
        AdaptersBusy = 102,
        ServiceLinkLost = 201,
        ServiceNotRunning = 300,
        ConnectionFailed = 400,
    };
    Q_ENUM(Errors)

    VpnProtocol(const QJsonObject &configuration, QObject *parent = nullptr);

    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void prepare();

    ConnectionState connectionState() const { return m_connectionState; }
    void setConnectionState(ConnectionState state);
    QJsonObject configuration() const { return m_configuration; }

    static QString displayName(Protocol protocol);
    static QString logName(Protocol protocol);
    static QString apiName(Protocol protocol);
    static QString stateName(ConnectionState state);
    static QString stateName(int state);

    // The driver for a protocol, owned by the caller; null for Optimal and for
    // values that are no protocol.
    static VpnProtocol *create(Protocol protocol, const QJsonObject &configuration);

signals:
    void connectionStateChanged(VpnProtocol::ConnectionState state);
    void bytesChanged(double download, double upload);
    void vpnError(VpnProtocol::Errors error);
    void tunnelStalled();

protected:
    ConnectionState m_connectionState = Disconnected;
    QJsonObject m_configuration;
};
