#include "StandInRequest.h"

#include <QJsonDocument>

QByteArray StandInRequest::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return QByteArray();
}

bool StandInRequest::hasHeader(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QString StandInRequest::endpoint() const
{
    static const QString api = QStringLiteral("/api/");
    return path.startsWith(api) ? path.mid(api.size()) : path;
}

QString StandInRequest::bearerToken() const
{
    const QByteArray value = header("Authorization");
    if (!value.startsWith("Bearer "))
        return QString();
    return QString::fromUtf8(value.mid(7)).trimmed();
}

QJsonObject StandInRequest::json() const
{
    return QJsonDocument::fromJson(body).object();
}
