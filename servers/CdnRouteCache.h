#pragma once

#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>

// The saved Cloudflare-fronted Stealth configurations of the signed-in account
// ("cdn-configs.json"): used when no API host answers at all.
class CdnRouteCache
{
public:
    static constexpr qint64 kMaxAgeMs = 2592000000LL;  // 30 days
    static constexpr qint64 kRefreshAgeMs = 86399999;  // older than a day

    static const QString kFileName;

    struct Entry {
        QString configId;
        qint64 savedMs = 0;
    };

    // The saved configuration, or an empty object when the file belongs to
    // another account, has no usable entry, or the entry is older than 30 days.
    static QJsonObject lookup(const QString &email, const QString &configId, qint64 nowMs);
    // Saves a route, keeping only the account's entries whose server is still
    // listed and that are at most 30 days old. Nothing without a signed-in e-mail.
    static void save(const QString &email, const QString &configId, const QJsonObject &config, qint64 nowMs,
                     const QSet<QString> &listedConfigIds);
    // The account's entries with a usable time and configuration.
    static QList<Entry> entries(const QString &email);
    static void remove();
};
