#pragma once

#include <QString>
#include <QUrl>

#include "vpn/VpnProtocol.h"

// The naming and addressing of a configuration request ("client/configuration/").
class ConfigRequest
{
public:
    struct Names {
        QString vpnType;
        QString transport;
    };

    // The API's own names for a protocol ("vpn_type" and "transport").
    static Names apiNames(VpnProtocol::Protocol protocol);
    // The names to send: the server's own names for the protocol replace the
    // table's, and a transport the caller asks for replaces both transports.
    static Names namesFor(VpnProtocol::Protocol protocol, const QString &serverVpnType,
                          const QString &serverTransport, const QString &callerTransport);

    // Whether the id can name a server at all: "." and ".." would be read as
    // this or the parent path segment, whatever escaping is done.
    static bool isServerId(const QString &configId);

    // The configuration URL under the API base URL. Every ":" of the config id is
    // written as "%3A" (pool ids carry colons that some proxies mangle).
    static QUrl url(const QString &baseUrl, const QString &configId, const Names &names, bool recover);
};
