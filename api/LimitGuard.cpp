#include "api/LimitGuard.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

LimitGuard *LimitGuard::instance()
{
    static LimitGuard *guard = new LimitGuard;
    return guard;
}

bool LimitGuard::check(const QByteArray &body)
{
    // Ordinary answers never carry the codes; don't parse them.
    if (!body.contains("9999"))
        return false;

    const QJsonObject root = QJsonDocument::fromJson(body).object();
    const QJsonObject error = root.value(QLatin1String("error")).toObject();
    const QString message = error.value(QLatin1String("message")).toString();
    const int code = error.value(QLatin1String("code")).toInt();

    if (code == kConnectionLimitCode) {
        const QJsonArray devices =
            root.value(QLatin1String("data")).toObject().value(QLatin1String("connected_devices")).toArray();
        emit connectionLimitReached(message, devices.toVariantList());
        return true;
    }
    if (code == kDeviceLimitCode) {
        emit deviceLimitReached(message);
        return true;
    }
    return false;
}
