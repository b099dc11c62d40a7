#include "servers/ConfigRequest.h"

#include <QUrlQuery>

ConfigRequest::Names ConfigRequest::apiNames(VpnProtocol::Protocol protocol)
{
    switch (protocol) {
    case VpnProtocol::OpenVpnUdp:
        return {QStringLiteral("OpenVPN"), {}};
    case VpnProtocol::AmneziaWg:
        return {QStringLiteral("AmneziaWG"), {}};
    case VpnProtocol::Stealth:
        return {QStringLiteral("Reality"), {}};
    case VpnProtocol::OpenVpnTcp:
        return {QStringLiteral("OpenVPN"), QStringLiteral("tcp")};
    case VpnProtocol::Hysteria2:
        return {QStringLiteral("Hysteria2"), {}};
    case VpnProtocol::WireGuard:
    default:
        return {QStringLiteral("WireGuard"), {}};
    }
}

ConfigRequest::Names ConfigRequest::namesFor(VpnProtocol::Protocol protocol, const QString &serverVpnType,
                                             const QString &serverTransport, const QString &callerTransport)
{
    Names names = apiNames(protocol);
    if (!serverVpnType.isEmpty())
        names.vpnType = serverVpnType;
    if (!serverTransport.isEmpty())
        names.transport = serverTransport;
    if (!callerTransport.isEmpty())
        names.transport = callerTransport;
    return names;
}

bool ConfigRequest::isServerId(const QString &configId)
{
    return configId != QLatin1String(".") && configId != QLatin1String("..");
}

QUrl ConfigRequest::url(const QString &baseUrl, const QString &configId, const Names &names, bool recover)
{
    // The id is a single path segment: characters that would end it or start a
    // query are escaped too, so a hostile id cannot address another endpoint.
    QString id = configId;
    id.replace(QLatin1Char('%'), QLatin1String("%25"));
    id.replace(QLatin1Char('/'), QLatin1String("%2F"));
    id.replace(QLatin1Char('\\'), QLatin1String("%5C"));
    id.replace(QLatin1Char('?'), QLatin1String("%3F"));
    id.replace(QLatin1Char('#'), QLatin1String("%23"));
    id.replace(QLatin1Char(':'), QLatin1String("%3A"));
    QUrl url(baseUrl + QStringLiteral("client/configuration/") + id, QUrl::TolerantMode);
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("vpn_type"), names.vpnType);
    if (!names.transport.isEmpty())
        query.addQueryItem(QStringLiteral("transport"), names.transport);
    if (recover)
        query.addQueryItem(QStringLiteral("recover"), QStringLiteral("1"));
    url.setQuery(query);
    return url;
}
