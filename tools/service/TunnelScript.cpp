#include "tools/service/TunnelScript.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QStringList>

namespace {
const QStringList &knownActions()
{
    static const QStringList actions{QStringLiteral("stall"),        QStringLiteral("recover"),
                                     QStringLiteral("error"),        QStringLiteral("noTunnel"),
                                     QStringLiteral("disconnected"), QStringLiteral("connected"),
                                     QStringLiteral("drop"),         QStringLiteral("restart")};
    return actions;
}

bool readInt(const QJsonObject &json, const char *key, qint64 minimum, qint64 *out, QString *error)
{
    const QJsonValue value = json.value(QLatin1String(key));
    if (value.isUndefined())
        return true;
    if (!value.isDouble() || value.toDouble() != double(qint64(value.toDouble())) || value.toDouble() < minimum) {
        if (error)
            *error = QStringLiteral("\"%1\" must be an integer of at least %2").arg(QLatin1String(key)).arg(minimum);
        return false;
    }
    *out = qint64(value.toDouble());
    return true;
}

template<typename T>
bool readField(const QJsonObject &json, const char *key, qint64 minimum, T *field, QString *error)
{
    qint64 value = *field;
    if (!readInt(json, key, minimum, &value, error))
        return false;
    *field = T(value);
    return true;
}
} // namespace

bool TunnelScript::isKnownAction(const QString &action)
{
    return knownActions().contains(action);
}

bool TunnelScript::fromJson(const QJsonObject &json, TunnelScript *script, QString *error)
{
    TunnelScript result;
    if (!readField(json, "connectDelayMs", 0, &result.connectDelayMs, error)
        || !readField(json, "activateError", 0, &result.activateError, error)
        || !readField(json, "statusIntervalMs", 0, &result.statusIntervalMs, error)
        || !readField(json, "rxStep", 0, &result.rxStep, error) || !readField(json, "txStep", 0, &result.txStep, error)
        || !readField(json, "probesToDead", -1, &result.probesToDead, error))
        return false;
    const QJsonValue blind = json.value(QLatin1String("blind"));
    if (!blind.isUndefined() && !blind.isBool()) {
        if (error)
            *error = QStringLiteral("\"blind\" must be a bool");
        return false;
    }
    result.blind = blind.toBool(false);

    const QJsonValue network = json.value(QLatin1String("network"));
    if (!network.isUndefined() && !network.isObject()) {
        if (error)
            *error = QStringLiteral("\"network\" must be an object");
        return false;
    }
    if (!StandInNetwork::fromJson(network.toObject(), &result.network, error))
        return false;

    const QJsonValue events = json.value(QLatin1String("events"));
    if (!events.isUndefined() && !events.isArray()) {
        if (error)
            *error = QStringLiteral("\"events\" must be an array");
        return false;
    }
    for (const QJsonValue &item : events.toArray()) {
        const QJsonObject object = item.toObject();
        TunnelEvent event;
        event.action = object.value(QLatin1String("do")).toString();
        if (!isKnownAction(event.action)) {
            if (error)
                *error = QStringLiteral("unknown event action \"%1\"").arg(event.action);
            return false;
        }
        if (!readField(object, "at", 0, &event.atMs, error) || !readField(object, "code", 0, &event.code, error)
            || !readField(object, "downMs", 0, &event.downMs, error))
            return false;
        result.events.append(event);
    }
    *script = result;
    return true;
}

QJsonObject TunnelScript::toJson() const
{
    QJsonArray eventArray;
    for (const TunnelEvent &event : events) {
        QJsonObject object{{QStringLiteral("at"), event.atMs}, {QStringLiteral("do"), event.action}};
        if (event.action == QLatin1String("error"))
            object.insert(QStringLiteral("code"), event.code);
        if (event.action == QLatin1String("restart"))
            object.insert(QStringLiteral("downMs"), event.downMs);
        eventArray.append(object);
    }
    return QJsonObject{{QStringLiteral("connectDelayMs"), connectDelayMs},
                       {QStringLiteral("activateError"), activateError},
                       {QStringLiteral("statusIntervalMs"), statusIntervalMs},
                       {QStringLiteral("rxStep"), rxStep},
                       {QStringLiteral("txStep"), txStep},
                       {QStringLiteral("blind"), blind},
                       {QStringLiteral("probesToDead"), probesToDead},
                       {QStringLiteral("network"), network.toJson()},
                       {QStringLiteral("events"), eventArray}};
}
