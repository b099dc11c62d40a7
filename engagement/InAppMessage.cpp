#include "engagement/InAppMessage.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QUrl>

#include "api/AnswerText.h"

QList<InAppMessage> InAppMessage::fromSyncAnswer(const QByteArray &answer, bool *ok)
{
    *ok = false;
    const QJsonObject root = AnswerText::successObject(answer);
    const QJsonValue messages = root.value(QLatin1String("data")).toObject().value(QLatin1String("messages"));
    if (!messages.isArray())
        return {};
    *ok = true;
    QList<InAppMessage> list;
    QSet<QString> seen;
    for (const QJsonValue &value : messages.toArray()) {
        if (list.size() >= kMaxMessages)
            break;
        const QJsonObject object = value.toObject();
        InAppMessage message;
        message.id = AnswerText::id(object.value(QLatin1String("id")), kMaxIdLength);
        const QString kind = object.value(QLatin1String("kind")).toString();
        if (kind == QLatin1String("dialog"))
            message.kind = Dialog;
        else if (kind != QLatin1String("banner"))
            continue;
        message.title = AnswerText::text(object.value(QLatin1String("title")), kMaxTitleLength);
        message.body = AnswerText::text(object.value(QLatin1String("body")), kMaxBodyLength);
        if (message.id.isEmpty() || seen.contains(message.id) || (message.title.isEmpty() && message.body.isEmpty()))
            continue;
        const QJsonObject action = object.value(QLatin1String("action")).toObject();
        message.actionUrl = AnswerText::webLink(action.value(QLatin1String("url")));
        if (!message.actionUrl.isEmpty()) {
            message.actionText = AnswerText::text(action.value(QLatin1String("text")), kMaxTitleLength);
            if (message.actionText.isEmpty())
                message.actionText = QStringLiteral("Open");
        }
        message.repeat = object.value(QLatin1String("repeat")).toBool();
        seen.insert(message.id);
        list.append(message);
    }
    return list;
}

QVariantMap InAppMessage::toVariant() const
{
    return {{QStringLiteral("id"), id},
            {QStringLiteral("kind"), kind == Dialog ? QStringLiteral("dialog") : QStringLiteral("banner")},
            {QStringLiteral("title"), title},
            {QStringLiteral("body"), body},
            {QStringLiteral("actionText"), actionText},
            {QStringLiteral("actionUrl"), actionUrl}};
}
