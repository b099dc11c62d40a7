#include "engagement/PushNotification.h"

#include <QJsonArray>
#include <QSet>

#include "api/AnswerText.h"

QList<PushNotification> PushNotification::listFromAnswer(const QByteArray &answer, bool *ok)
{
    *ok = false;
    const QJsonValue data = AnswerText::successObject(answer).value(QLatin1String("data"));
    if (!data.isArray())
        return {};
    *ok = true;
    QList<PushNotification> list;
    QSet<QString> seen;
    for (const QJsonValue &value : data.toArray()) {
        if (list.size() >= kMaxEntries)
            break;
        const PushNotification notification = fromJson(value.toObject());
        if (notification.id.isEmpty() || seen.contains(notification.id))
            continue;
        seen.insert(notification.id);
        list.append(notification);
    }
    return list;
}

PushNotification PushNotification::fromJson(const QJsonObject &object)
{
    PushNotification notification;
    notification.title = AnswerText::text(object.value(QLatin1String("title")), kMaxTitleLength);
    notification.body = AnswerText::text(object.value(QLatin1String("body")), kMaxBodyLength);
    if (notification.title.isEmpty() && notification.body.isEmpty())
        return {};
    notification.id = AnswerText::id(object.value(QLatin1String("id")), kMaxIdLength);
    notification.url = AnswerText::webLink(object.value(QLatin1String("url")));
    notification.createdAt =
        QDateTime::fromString(object.value(QLatin1String("created_at")).toString(), Qt::ISODate);
    notification.read = object.value(QLatin1String("read")).toBool();
    return notification;
}

QJsonObject PushNotification::toJson() const
{
    QJsonObject object{{QStringLiteral("id"), id},
                       {QStringLiteral("title"), title},
                       {QStringLiteral("body"), body},
                       {QStringLiteral("read"), read}};
    if (!url.isEmpty())
        object.insert(QStringLiteral("url"), url);
    if (createdAt.isValid())
        object.insert(QStringLiteral("created_at"), createdAt.toUTC().toString(Qt::ISODate));
    return object;
}

QVariantMap PushNotification::toVariant(bool readMark) const
{
    return {{QStringLiteral("id"), id},
            {QStringLiteral("title"), title},
            {QStringLiteral("body"), body},
            {QStringLiteral("url"), url},
            {QStringLiteral("createdAt"), createdAt},
            {QStringLiteral("read"), read || readMark}};
}
