#include "StandInHeaderCheck.h"

#include <QSet>

namespace {
// The endpoints the client sends through its request object only, which
// stamps version, platform and content type on each of them. The silent
// sign-in at start-up asks for "subscription-info" on its own, without
// version and platform; that one must carry both or neither.
const char kAlsoSentDirectly[] = "subscription-info";

bool stampedByClient(const QString &route)
{
    static const QSet<QString> routes{
        QStringLiteral("client/servers"),        QStringLiteral("client/vpn-session"),
        QStringLiteral("me"),                    QStringLiteral("connected-device"),
        QStringLiteral("auth/logout"),
        QStringLiteral("auth/get-login-code"),   QStringLiteral("auth/code-login"),
        QStringLiteral("auth/sso-generate-login"), QStringLiteral("auth/sso-login-with-token"),
        QStringLiteral("user/subscription-plans"), QStringLiteral("app-version-check"),
    };
    return routes.contains(route);
}

bool isJsonType(const QByteArray &value)
{
    return value.split(';').value(0).trimmed().compare("application/json", Qt::CaseInsensitive) == 0;
}
} // namespace

QStringList StandInHeaderCheck::faults(const StandInRequest &request, const QString &route)
{
    QStringList faults;
    if (!request.header("Accept").toLower().contains("application/json"))
        faults << QStringLiteral("Accept");
    const bool stamped = request.hasHeader("X-App-Version") || request.hasHeader("X-Platform");
    if (stampedByClient(route) || (route == QLatin1String(kAlsoSentDirectly) && stamped)) {
        if (request.header("X-App-Version").trimmed().isEmpty())
            faults << QStringLiteral("X-App-Version");
        if (request.header("X-Platform") != "windows")
            faults << QStringLiteral("X-Platform");
        if (!isJsonType(request.header("Content-Type")))
            faults << QStringLiteral("Content-Type");
    } else if (!request.body.isEmpty() && !route.startsWith(QLatin1String("speed-test/"))
               && !isJsonType(request.header("Content-Type"))) {
        // Every body but the speed test's upload (raw bytes) is JSON.
        faults << QStringLiteral("Content-Type");
    }
    return faults;
}
