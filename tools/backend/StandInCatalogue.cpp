#include "StandInCatalogue.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSet>
#include <QUrl>
#include <QUuid>

namespace {
QJsonObject readSeed(const QString &name)
{
    QFile file(QStringLiteral(":/kelvra-standin/seed/") + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("backend stand-in: seed %s missing from the resources", qPrintable(name));
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (!doc.isObject())
        qFatal("backend stand-in: seed %s is not a JSON object: %s", qPrintable(name), qPrintable(error.errorString()));
    return doc.object();
}

QString idText(const QJsonValue &value)
{
    return value.isDouble() ? QString::number(qint64(value.toDouble())) : value.toString();
}

QByteArray randomBytes(int count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    for (char &b : bytes)
        b = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

QString randomKey()
{
    return QString::fromLatin1(randomBytes(32).toBase64());
}

QString derivedKey(const QString &seed, QByteArray::Base64Options options = QByteArray::Base64Encoding)
{
    return QString::fromLatin1(QCryptographicHash::hash(seed.toUtf8(), QCryptographicHash::Sha256).toBase64(options));
}

QString staticKey()
{
    QString text = QStringLiteral("-----BEGIN OpenVPN Static key V1-----\n");
    for (int i = 0; i < 16; ++i)
        text += QString::fromLatin1(randomBytes(16).toHex()) + QLatin1Char('\n');
    return text + QStringLiteral("-----END OpenVPN Static key V1-----\n");
}

QString caPem()
{
    QFile file(QStringLiteral(":/kelvra-standin/certs/ca.pem"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()) : QString();
}

QString encoded(const QString &text)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(text));
}
} // namespace

StandInCatalogue::StandInCatalogue()
    : m_servers(readSeed(QStringLiteral("servers.json")))
    , m_templates(readSeed(QStringLiteral("configurations.json")))
{
    m_serversBody = QJsonDocument(m_servers).toJson(QJsonDocument::Compact);
    const QJsonArray categories = m_servers.value(QLatin1String("data")).toObject()
                                      .value(QLatin1String("vpn_servers")).toArray();
    for (const QJsonValue &category : categories) {
        for (const QJsonValue &countryValue : category.toObject().value(QLatin1String("countries")).toArray()) {
            const QJsonObject country = countryValue.toObject();
            QHash<QString, QString> configById;
            for (const QJsonValue &server : country.value(QLatin1String("vpn_servers")).toArray()) {
                const QJsonObject object = server.toObject();
                configById.insert(idText(object.value(QLatin1String("id"))), object.value(QLatin1String("config_id")).toString());
                m_entries.insert(object.value(QLatin1String("config_id")).toString(), Entry{object, {}});
            }
            for (const QJsonValue &pool : country.value(QLatin1String("pools")).toArray()) {
                const QJsonObject object = pool.toObject();
                Entry entry{object, {}};
                for (const QJsonValue &member : object.value(QLatin1String("members")).toArray()) {
                    const QString config = configById.value(idText(member));
                    if (!config.isEmpty())
                        entry.members.append(config);
                }
                m_entries.insert(object.value(QLatin1String("config_id")).toString(), entry);
            }
        }
    }
}

QStringList StandInCatalogue::addresses() const
{
    QSet<QString> seen;
    QStringList list;
    auto add = [&](const QString &address) {
        if (!address.isEmpty() && !seen.contains(address)) {
            seen.insert(address);
            list.append(address);
        }
    };
    for (const Entry &entry : m_entries) {
        add(entry.object.value(QLatin1String("ip_address")).toString());
        add(entry.object.value(QLatin1String("cdn_probe")).toObject().value(QLatin1String("address")).toString());
    }
    add(m_servers.value(QLatin1String("data")).toObject().value(QLatin1String("default_server")).toObject()
            .value(QLatin1String("ip_address")).toString());
    list.sort();
    return list;
}

QStringList StandInCatalogue::frontAddresses() const
{
    QStringList list;
    for (const Entry &entry : m_entries) {
        const QString address = entry.object.value(QLatin1String("cdn_probe")).toObject().value(QLatin1String("address")).toString();
        if (!address.isEmpty() && !list.contains(address))
            list.append(address);
    }
    list.sort();
    return list;
}

bool StandInCatalogue::hasConfigId(const QString &configId) const
{
    return m_entries.contains(configId);
}

QStringList StandInCatalogue::offered(const QJsonObject &server)
{
    QStringList ids;
    for (const QJsonValue &protocol : server.value(QLatin1String("protocols")).toArray())
        ids.append(protocol.toObject().value(QLatin1String("id")).toString().toLower());
    if (!ids.isEmpty())
        return ids;
    // Older entries only name their protocols in "vpn_type".
    for (const QString &name : server.value(QLatin1String("vpn_type")).toString().split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString lower = name.trimmed().toLower();
        if (lower.contains(QLatin1String("openvpn")))
            ids.append(QStringLiteral("openvpn"));
        else if (lower.contains(QLatin1String("wireguard")))
            ids.append(QStringLiteral("wireguard"));
    }
    return ids.isEmpty() ? QStringList{QStringLiteral("openvpn"), QStringLiteral("wireguard")} : ids;
}

StandInCatalogue::Result StandInCatalogue::configuration(const QString &configId, const QString &vpnType,
                                                         const QString &transport, bool recover)
{
    Result result;
    const auto found = m_entries.constFind(configId);
    if (found == m_entries.constEnd()) {
        result.status = 404;
        result.error = QStringLiteral("Server not found.");
        return result;
    }
    QJsonObject server = found->object;
    QJsonObject extra;
    if (!found->members.isEmpty()) {
        // A pool hands out one of its members in turn.
        int &turn = m_poolTurns[configId];
        const QString member = found->members.at(turn++ % found->members.size());
        server = m_entries.value(member).object;
        extra.insert(QStringLiteral("pool"), configId);
        extra.insert(QStringLiteral("location_id"), server.value(QLatin1String("id")));
    }

    const QStringList ids = offered(server);
    const QString type = vpnType.toLower();
    const QString wanted = transport.toLower();
    QString form;
    QString given;
    if (type == QLatin1String("openvpn")) {
        const bool tcp = wanted == QLatin1String("tcp");
        form = ids.contains(tcp ? QStringLiteral("openvpn-tcp") : QStringLiteral("openvpn")) ? QStringLiteral("openvpn") : QString();
        given = tcp ? QStringLiteral("tcp") : QStringLiteral("udp");
    } else if (type == QLatin1String("wireguard") || type == QLatin1String("amneziawg")
               || type == QLatin1String("hysteria2")) {
        form = ids.contains(type) ? type : QString();
        given = QStringLiteral("udp");
    } else if (type == QLatin1String("reality")) {
        const bool cdn = ids.contains(QLatin1String("reality-cdn"))
            && (wanted == QLatin1String("cdn") || !ids.contains(QLatin1String("reality")));
        form = cdn ? QStringLiteral("reality-cdn") : ids.contains(QLatin1String("reality")) ? QStringLiteral("reality") : QString();
        given = cdn ? QStringLiteral("cdn") : QStringLiteral("tcp");
    } else {
        result.status = 422;
        result.error = QStringLiteral("Unknown vpn_type.");
        return result;
    }
    if (form.isEmpty()) {
        result.status = 422;
        result.error = QStringLiteral("This server does not offer %1.").arg(vpnType);
        return result;
    }

    result.answer = QJsonObject{
        {QStringLiteral("success"), true},
        {QStringLiteral("message"), QStringLiteral("Configuration ready for %1").arg(server.value(QLatin1String("name")).toString())},
        {QStringLiteral("configuration"), fill(form, server, given)},
        {QStringLiteral("transport"), given},
        {QStringLiteral("recreated"), recover},
    };
    for (auto it = extra.constBegin(); it != extra.constEnd(); ++it)
        result.answer.insert(it.key(), it.value());
    return result;
}

QString StandInCatalogue::fill(const QString &form, const QJsonObject &server, const QString &transport) const
{
    const QString configId = server.value(QLatin1String("config_id")).toString();
    const QString name = server.value(QLatin1String("name")).toString();
    const QJsonObject probe = server.value(QLatin1String("cdn_probe")).toObject();
    const quint32 host = QRandomGenerator::global()->bounded(2u, 65000u);
    const auto header = [] { return QString::number(QRandomGenerator::global()->bounded(5u, 2147483647u)); };

    QHash<QString, QString> values{
        {QStringLiteral("address"), server.value(QLatin1String("ip_address")).toString()},
        {QStringLiteral("label"), encoded(QStringLiteral("Kelvra ") + name)},
        {QStringLiteral("client_private_key"), randomKey()},
        {QStringLiteral("preshared_key"), randomKey()},
        {QStringLiteral("server_public_key"), derivedKey(QStringLiteral("wg:") + configId)},
        {QStringLiteral("client_ip"), QStringLiteral("10.64.%1.%2/32").arg(host >> 8).arg(host & 0xff)},
        {QStringLiteral("h1"), header()},
        {QStringLiteral("h2"), header()},
        {QStringLiteral("h3"), header()},
        {QStringLiteral("h4"), header()},
        {QStringLiteral("uuid"), QUuid::createUuid().toString(QUuid::WithoutBraces)},
        {QStringLiteral("reality_public_key"),
         derivedKey(QStringLiteral("reality:") + configId, QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)},
        {QStringLiteral("short_id"), QString::fromLatin1(randomBytes(4).toHex())},
        {QStringLiteral("cdn_address"), probe.value(QLatin1String("address")).toString()},
        {QStringLiteral("cdn_sni"), probe.value(QLatin1String("sni")).toString()},
        {QStringLiteral("cdn_path"), encoded(probe.value(QLatin1String("path")).toString())},
        {QStringLiteral("password"), QString::fromLatin1(randomBytes(18).toBase64(QByteArray::Base64UrlEncoding))},
        {QStringLiteral("obfs_password"), QString::fromLatin1(randomBytes(12).toBase64(QByteArray::Base64UrlEncoding))},
        {QStringLiteral("proto"), transport == QLatin1String("tcp") ? QStringLiteral("tcp-client") : QStringLiteral("udp")},
        {QStringLiteral("port"), transport == QLatin1String("tcp") ? QStringLiteral("443") : QStringLiteral("1194")},
        {QStringLiteral("verify_name"), QStringLiteral("vpn-") + QString(configId).replace(QLatin1Char(':'), QLatin1Char('-'))},
    };
    QString text = m_templates.value(form).toString();
    if (text.contains(QLatin1String("{ca}")))
        values.insert(QStringLiteral("ca"), caPem());
    if (text.contains(QLatin1String("{static_key}")))
        values.insert(QStringLiteral("static_key"), staticKey());
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        text.replace(QLatin1Char('{') + it.key() + QLatin1Char('}'), it.value());
    return text;
}
