#include "tools/service/StandInNetwork.h"

#include <QJsonValue>

const QString StandInNetwork::Works = QStringLiteral("works");
const QString StandInNetwork::Blocked = QStringLiteral("blocked");
const QString StandInNetwork::NoDns = QStringLiteral("noDns");

const QStringList &StandInNetwork::families()
{
    static const QStringList names{QStringLiteral("wireguard"), QStringLiteral("amneziawg"), QStringLiteral("reality"),
                                   QStringLiteral("reality-cdn"), QStringLiteral("hysteria2")};
    return names;
}

const QStringList &StandInNetwork::rules()
{
    static const QStringList names{Works, Blocked, NoDns};
    return names;
}

QString StandInNetwork::familyOf(const QJsonObject &activate)
{
    const QJsonValue vless = activate.value(QLatin1String("vless"));
    if (vless.isString()) {
        const QString link = vless.toString();
        if (link.startsWith(QLatin1String("hysteria2://")))
            return QStringLiteral("hysteria2");
        if (link.contains(QLatin1String("type=ws")))
            return QStringLiteral("reality-cdn");
        return QStringLiteral("reality");
    }
    if (activate.contains(QLatin1String("awg")))
        return QStringLiteral("amneziawg");
    return QStringLiteral("wireguard");
}

QString StandInNetwork::ruleFor(const QString &family) const
{
    return m_rules.value(family, Works);
}

bool StandInNetwork::fromJson(const QJsonObject &json, StandInNetwork *network, QString *error)
{
    StandInNetwork result;
    for (auto it = json.constBegin(); it != json.constEnd(); ++it) {
        if (!families().contains(it.key())) {
            if (error)
                *error = QStringLiteral("unknown route family \"%1\" (known: %2)")
                             .arg(it.key(), families().join(QStringLiteral(", ")));
            return false;
        }
        const QString rule = it.value().toString();
        if (!rules().contains(rule)) {
            if (error)
                *error = QStringLiteral("the rule for \"%1\" must be one of %2")
                             .arg(it.key(), rules().join(QStringLiteral(", ")));
            return false;
        }
        if (rule != Works)
            result.m_rules.insert(it.key(), rule);
    }
    *network = result;
    return true;
}

QJsonObject StandInNetwork::toJson() const
{
    QJsonObject json;
    for (auto it = m_rules.constBegin(); it != m_rules.constEnd(); ++it)
        json.insert(it.key(), it.value());
    return json;
}
