#include "servers/ConnectionConfig.h"

#include <QJsonArray>
#include <QStringList>
#include <QUrl>

namespace {

const QString kOpenVpn = QStringLiteral("openvpn");
const QString kWireGuard = QStringLiteral("wireguard");

QJsonArray allTraffic()
{
    return QJsonArray{QStringLiteral("0.0.0.0/0"), QStringLiteral("::/0")};
}

bool isLinkProtocol(VpnProtocol::Protocol protocol)
{
    return protocol == VpnProtocol::Stealth || protocol == VpnProtocol::Hysteria2;
}

// A port in the configuration text is only usable when it is a real port.
int portOf(const QString &text)
{
    bool ok = false;
    const int port = text.trimmed().toInt(&ok);
    return ok && port > 0 && port <= 65535 ? port : 0;
}

int intOf(const QString &text)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    return ok ? value : 0;
}

const char *const kObfuscationKeys[] = {"jc", "jmin", "jmax", "s1", "s2", "h1", "h2", "h3", "h4"};

} // namespace

QString ConnectionConfig::dataKey(const QString &protocolValue)
{
    return protocolValue + QStringLiteral("_config_data");
}

QJsonObject ConnectionConfig::build(VpnProtocol::Protocol protocol, const QString &text)
{
    return isLinkProtocol(protocol) ? fromLink(protocol, text) : fromIni(protocol, text);
}

QJsonObject ConnectionConfig::fromLink(VpnProtocol::Protocol protocol, const QString &text)
{
    const QString link = text.trimmed();
    const QUrl url(link, QUrl::StrictMode);
    const QString scheme = protocol == VpnProtocol::Hysteria2 ? QStringLiteral("hysteria2") : QStringLiteral("vless");
    QJsonObject data;
    if (url.isValid() && url.scheme() == scheme && !url.host().isEmpty() && url.port() > 0) {
        data.insert(QStringLiteral("vless"), link);
        data.insert(QStringLiteral("hostName"), url.host());
        data.insert(QStringLiteral("port"), url.port());
        data.insert(QStringLiteral("dns"), QStringLiteral("8.8.8.8"));
        data.insert(QStringLiteral("client_ip"), QStringLiteral("169.254.10.2/30"));
        data.insert(QStringLiteral("allowed_ips"), allTraffic());
    }
    return QJsonObject{{QStringLiteral("protocol"), kWireGuard}, {dataKey(kWireGuard), data}};
}

QJsonObject ConnectionConfig::fromIni(VpnProtocol::Protocol protocol, const QString &text)
{
    if (protocol == VpnProtocol::OpenVpnUdp || protocol == VpnProtocol::OpenVpnTcp)
        return QJsonObject{{QStringLiteral("protocol"), kOpenVpn}, {dataKey(kOpenVpn), text}};

    const bool amnezia = protocol == VpnProtocol::AmneziaWg;
    QJsonObject data;
    QJsonObject awg;
    QString section;
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (line.isEmpty())
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            section = line.mid(1, line.size() - 2).toLower();
            continue;
        }
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        // Only the first "=" separates: Base64 keys end in "=" themselves.
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (section == QLatin1String("interface")) {
            if (key == QLatin1String("PrivateKey")) {
                data.insert(QStringLiteral("client_private_key"), value);
            } else if (key == QLatin1String("Address")) {
                data.insert(QStringLiteral("client_ip"), value);
            } else if (key == QLatin1String("DNS")) {
                QStringList servers;
                for (const QString &entry : value.split(QLatin1Char(','))) {
                    const QString server = entry.trimmed();
                    if (!server.isEmpty() && servers.size() < 2)
                        servers << server;
                }
                data.insert(QStringLiteral("dns"), servers.value(0));
                if (servers.size() == 2)
                    data.insert(QStringLiteral("dns_list"), QJsonArray::fromStringList(servers));
            } else if (amnezia && key == QLatin1String("MTU")) {
                const int mtu = intOf(value);
                if (mtu > 0)
                    data.insert(QStringLiteral("mtu"), mtu);
            } else if (amnezia) {
                const QString lowered = key.toLower();
                for (const char *name : kObfuscationKeys) {
                    if (lowered == QLatin1String(name))
                        awg.insert(lowered, value);
                }
            }
        } else if (section == QLatin1String("peer")) {
            if (key == QLatin1String("PublicKey")) {
                data.insert(QStringLiteral("server_pub_key"), value);
            } else if (key == QLatin1String("Endpoint")) {
                // A bracketed IPv6 endpoint splits into more parts and is not used.
                const QStringList parts = value.split(QLatin1Char(':'));
                if (parts.size() == 2) {
                    data.insert(QStringLiteral("hostName"), parts.at(0));
                    data.insert(QStringLiteral("port"), portOf(parts.at(1)));
                }
            } else if (key == QLatin1String("AllowedIPs")) {
                data.insert(QStringLiteral("allowed_ips"), allTraffic());
            } else if (key == QLatin1String("PersistentKeepalive")) {
                data.insert(QStringLiteral("keepalive"), intOf(value));
            }
        }
    }
    if (amnezia && !awg.isEmpty())
        data.insert(QStringLiteral("awg"), awg);
    if (!data.contains(QStringLiteral("dns")))
        data.insert(QStringLiteral("dns"), QString());
    return QJsonObject{{QStringLiteral("protocol"), kWireGuard}, {dataKey(kWireGuard), data}};
}
