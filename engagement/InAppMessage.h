#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariantMap>

// One message the backend wants shown in the window, as read from an
// "in-app-messages/sync" answer. The answer comes from outside: what can't be
// shown safely (no id, nothing to say, a kind this client doesn't know, a
// link that is no web page) is left out rather than shown half.
struct InAppMessage
{
    enum Kind { Banner, Dialog };

    QString id;
    Kind kind = Banner;
    QString title;
    QString body;
    QString actionText;
    QString actionUrl;  // http(s) only; empty when the message has no button
    bool repeat = false; // may be shown again on a later sync

    static constexpr int kMaxMessages = 20;
    static constexpr int kMaxIdLength = 128;
    static constexpr int kMaxTitleLength = 120;
    static constexpr int kMaxBodyLength = 1000;

    // The messages of a sync answer ({"success": true, "data": {"messages":
    // [...]}}). *ok is false when the answer as a whole is not one; the
    // messages are then empty.
    static QList<InAppMessage> fromSyncAnswer(const QByteArray &answer, bool *ok);

    QVariantMap toVariant() const;
};
