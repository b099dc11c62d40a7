#pragma once

#include <QJsonObject>
#include <QSharedPointer>
#include <QString>

#include "vpn/ManagementServer.h"
#include "vpn/VpnProtocol.h"

class PrivilegedProcess;
class QTemporaryFile;
class Settings;

// OpenVPN over UDP and TCP. The service runs OpenVPN with the configuration
// written to a temporary file; the driver follows it over the management
// interface, whose client OpenVPN becomes.
class OpenVpnProtocol : public VpnProtocol
{
    Q_OBJECT
public:
    OpenVpnProtocol(const QJsonObject &configuration, QObject *parent = nullptr);
    ~OpenVpnProtocol() override;

    void prepare() override;
    void start() override;
    void stop() override;
    // Takes the tunnel down at once, without asking OpenVPN.
    void forceShutdown();

    int managementPort() const { return m_managementPort; }
    QString configPath() const { return m_configPath; }
    QJsonObject driverConfiguration() const { return m_driverConfiguration; }
    QString localAddress() const { return m_localAddress; }
    QString gateway() const { return m_gateway; }

#ifdef KELVRA_TESTING
    // Reads one line as if OpenVPN had written it on the management link.
    bool receiveManagementLineForTesting(const QString &line) { return handleManagementLine(line.trimmed()); }
    // How long the driver waits for the adapter to take its pushed address (300 ms).
    static void setAdapterWaitForTesting(int ms);
#endif

public slots:
    void onManagmenServerReadyRead();

private:
    static int pickManagementPort();
    void writeConfig(const QString &text);
    // False when the rest of what was read must not be looked at.
    bool handleManagementLine(const QString &line);
    static bool isStateHistoryLine(const QString &line);
    void handleByteCount(const QString &line);
    void handlePushedAddresses(const QString &line);
    void dropLeakGuard();
    bool waitForProcessFinished(int ms);

    int m_managementPort = 0;
    QTemporaryFile *m_configFile = nullptr;
    QString m_configPath;
    QString m_localAddress;
    QString m_gateway;
    QJsonObject m_driverConfiguration;
    Settings *m_settings = nullptr;
    QSharedPointer<PrivilegedProcess> m_process;
    int m_reconnectCount = 0;
    bool m_connectedOnce = false;
    bool m_serviceWatch = false;
    bool m_leakGuard = false;
    ManagementServer m_managementServer;
};
