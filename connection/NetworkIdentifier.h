#pragma once

#include <QList>
#include <QNetworkAddressEntry>
#include <QString>

// Names the local network the client is on, as 16 hex digits, so Smart
// Connect can remember per network what worked. Tunnels and other VPN-like
// interfaces are skipped: the network is what lies under them.
class NetworkIdentifier
{
public:
    struct Interface
    {
        QString name;
        QString humanReadableName;
        bool upAndRunning = false;
        bool loopback = false;
        bool isVirtual = false;
        QList<QNetworkAddressEntry> addresses;
    };

    // This machine's interfaces now (under test: the ones set for testing).
    static QList<Interface> interfaces();
    // The identifier of this machine's network now; empty when there is none.
    static QString current();
    static QString fromInterfaces(const QList<Interface> &interfaces, bool staging);

#ifdef KELVRA_TESTING
    // What interfaces() and current() see instead of the machine's interfaces (null: the
    // machine's again). The list must outlive its use.
    static void setInterfacesForTesting(const QList<Interface> *interfaces);
#endif
};
