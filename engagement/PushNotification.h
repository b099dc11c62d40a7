#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QVariantMap>

// One desktop notification from the backend, as the pending list and the
// inbox carry it ("notifications/pending", "notifications/inbox"), and as the
// inbox keeps it between runs. Entries that can't be shown safely (no usable
// id, nothing to say) are left out of a list rather than shown half.
struct PushNotification
{
    QString id;
    QString title;
    QString body;
    QString url;         // http(s) only, else empty
    QDateTime createdAt; // invalid when the answer gave none
    bool read = false;   // as the backend last said

    static constexpr int kMaxEntries = 200;
    static constexpr int kMaxIdLength = 64;
    static constexpr int kMaxTitleLength = 120;
    static constexpr int kMaxBodyLength = 1000;

    // The entries of an answer ({"success": true, "data": [...]}). *ok is
    // false when the answer as a whole is not one; the list is then empty.
    static QList<PushNotification> listFromAnswer(const QByteArray &answer, bool *ok);
    // One entry; an invalid one has an empty id.
    static PushNotification fromJson(const QJsonObject &object);
    QJsonObject toJson() const;
    QVariantMap toVariant(bool readMark) const;
};
