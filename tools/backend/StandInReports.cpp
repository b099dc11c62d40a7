#include "StandInReports.h"

#include <QJsonArray>

namespace {
constexpr double kMaxAgeSeconds = 604800;
constexpr double kMaxConnectSeconds = 120;

QString reportError(const QJsonValue &value)
{
    if (!value.isObject())
        return QStringLiteral("Each report must be an object.");
    const QJsonObject report = value.toObject();
    if (report.value(QLatin1String("protocol")).toString().isEmpty())
        return QStringLiteral("The protocol field is required.");
    if (!report.value(QLatin1String("success")).isBool())
        return QStringLiteral("The success field must be true or false.");
    const QJsonValue location = report.value(QLatin1String("location_id"));
    if (!location.isNull() && !(location.isDouble() && location.toDouble() >= 0))
        return QStringLiteral("The location id must be null or a number.");
    const QJsonValue seconds = report.value(QLatin1String("connect_seconds"));
    if (!seconds.isDouble() || seconds.toDouble() < 0 || seconds.toDouble() > kMaxConnectSeconds)
        return QStringLiteral("The connect seconds must be between 0 and 120.");
    const QJsonValue step = report.value(QLatin1String("failure_step"));
    if (!step.isNull() && !(step.isString() && !step.toString().isEmpty()))
        return QStringLiteral("The failure step must be null or a text.");
    const QJsonValue age = report.value(QLatin1String("age_seconds"));
    if (!age.isDouble() || age.toDouble() < 0 || age.toDouble() > kMaxAgeSeconds
        || age.toDouble() != double(qint64(age.toDouble())))
        return QStringLiteral("The age must be whole seconds between 0 and 604800.");
    return QString();
}
} // namespace

void StandInReports::recordSession(const QString &email, const QJsonObject &body)
{
    m_sessions.append({email, body});
}

void StandInReports::clear()
{
    m_sessions.clear();
    m_batches.clear();
    m_viaVpn = false;
}

QString StandInReports::formatError(const QJsonObject &body)
{
    if (body.value(QLatin1String("platform")).toString() != QLatin1String("qt-windows"))
        return QStringLiteral("The platform must be qt-windows.");
    if (body.value(QLatin1String("app_version")).toString().isEmpty())
        return QStringLiteral("The app version field is required.");
    const QJsonValue reports = body.value(QLatin1String("reports"));
    if (!reports.isArray() || reports.toArray().isEmpty())
        return QStringLiteral("The reports field must be a non-empty array.");
    for (const QJsonValue &report : reports.toArray()) {
        const QString error = reportError(report);
        if (!error.isEmpty())
            return error;
    }
    return QString();
}

StandInReply StandInReports::protocolReport(const StandInRequest &request, const QString &email)
{
    if (!request.header("Content-Type").startsWith("application/json"))
        return StandInReply::error(415, QStringLiteral("Reports are sent as JSON."));
    const QJsonObject body = request.json();
    const QString error = formatError(body);
    if (!error.isEmpty())
        return StandInReply::error(422, error);
    m_batches.append({email, body});
    const int accepted = int(body.value(QLatin1String("reports")).toArray().size());
    if (m_viaVpn) {
        return StandInReply::json(202, {{QStringLiteral("success"), true},
                                        {QStringLiteral("reason"), QStringLiteral("via_vpn")},
                                        {QStringLiteral("accepted"), accepted}});
    }
    return StandInReply::json(200, {{QStringLiteral("success"), true},
                                    {QStringLiteral("reason"), QStringLiteral("stored")},
                                    {QStringLiteral("accepted"), accepted}});
}
