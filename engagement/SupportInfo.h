#pragma once

#include <QObject>
#include <QSharedPointer>
#include <QString>

class ServersModel;
class Settings;
class VpnConnection;

// What the support page offers besides the log folder: a diagnostics summary
// a person can paste into a support request, and the way to the help site.
// The summary says how this client is set up and what the tunnel is doing;
// it never carries what identifies the person or opens the account: no
// e-mail, token, IP address, Wi-Fi name, site or application name, and no
// configuration.
class SupportInfo : public QObject
{
    Q_OBJECT
public:
    SupportInfo(QSharedPointer<Settings> settings, QSharedPointer<VpnConnection> vpnConnection,
                QSharedPointer<ServersModel> servers, QObject *parent = nullptr);

    Q_INVOKABLE QString diagnostics() const;
    // Puts the summary on the clipboard; false when there is no clipboard.
    Q_INVOKABLE bool copyDiagnostics() const;
    Q_INVOKABLE void contactSupport() const;
    Q_INVOKABLE QString supportUrl() const;

private:
    QSharedPointer<Settings> m_settings;
    QSharedPointer<VpnConnection> m_vpnConnection;
    QSharedPointer<ServersModel> m_servers;
};
