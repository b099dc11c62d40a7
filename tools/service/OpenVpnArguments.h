#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <functional>

// Vets the command line a client asks the service to run OpenVPN with.
//
// The service's own switches (which OpenVPN would refuse as unknown options)
// are taken out. Then every address OpenVPN would reach — "remote",
// "management" (the client's management server, which OpenVPN dials with
// --management-client), "http-proxy", "socks-proxy", on the command line or
// in the --config file — must be a literal address on this machine: loopback,
// or one put on a local interface (the test namespace puts the catalogue's
// addresses on lo). Host names are refused, since resolving them could
// already leave the machine; so is a nested "config", which would hide lines
// from this check. A refused command line is never run.
class OpenVpnArguments
{
public:
    using LocalTest = std::function<bool(const QHostAddress &)>;

    // `isLocal` defaults to loopback or an address of a local interface.
    OpenVpnArguments(const QStringList &arguments, const QString &workingDirectory, LocalTest isLocal = LocalTest());

    bool isAllowed() const { return m_error.isEmpty(); }
    QString error() const { return m_error; }
    // What OpenVPN is run with.
    QStringList arguments() const { return m_arguments; }
    // The service's own switches found on the command line.
    QStringList serviceSwitches() const { return m_serviceSwitches; }

    static bool isMachineLocal(const QHostAddress &address);
    static const QStringList &knownServiceSwitches();

private:
    void checkOption(const QString &option, const QStringList &values, const QString &where);
    void checkConfigFile(const QString &path);
    void refuse(const QString &reason);

    QStringList m_arguments;
    QStringList m_serviceSwitches;
    QString m_workingDirectory;
    LocalTest m_isLocal;
    QString m_error;
};
