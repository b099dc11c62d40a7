#include "servers/CdnRouteCache.h"

#include <QJsonDocument>

#include "servers/AppDataFile.h"

const QString CdnRouteCache::kFileName = QStringLiteral("cdn-configs.json");

namespace {

// The "servers" object of the file when it belongs to this account; empty otherwise.
QJsonObject accountServers(const QString &email)
{
    if (email.isEmpty())
        return {};
    const QJsonDocument doc = QJsonDocument::fromJson(AppDataFile::read(CdnRouteCache::kFileName));
    const QJsonObject root = doc.object();
    const QJsonValue account = root.value(QLatin1String("account"));
    if (!account.isString() || account.toString().compare(email, Qt::CaseInsensitive) != 0)
        return {};
    return root.value(QLatin1String("servers")).toObject();
}

// 2^53: the largest whole number of milliseconds a JSON number carries exactly.
constexpr double kLatestMs = 9007199254740992.0;

// An entry counts only with a numeric time and a configuration object.
bool readEntry(const QJsonValue &value, qint64 *savedMs, QJsonObject *config)
{
    const QJsonObject entry = value.toObject();
    const QJsonValue time = entry.value(QLatin1String("t"));
    const QJsonValue saved = entry.value(QLatin1String("config"));
    if (!time.isDouble() || !saved.isObject() || saved.toObject().isEmpty())
        return false;
    // Only a time a clock can read: one beyond the range of whole
    // milliseconds would wrap round when converted and look fresh.
    const double ms = time.toDouble();
    if (!(ms >= 0 && ms <= kLatestMs))
        return false;
    *savedMs = qint64(ms);
    if (config)
        *config = saved.toObject();
    return true;
}

} // namespace

QJsonObject CdnRouteCache::lookup(const QString &email, const QString &configId, qint64 nowMs)
{
    qint64 savedMs = 0;
    QJsonObject config;
    if (!readEntry(accountServers(email).value(configId), &savedMs, &config))
        return {};
    if (nowMs - savedMs > kMaxAgeMs)
        return {};
    return config;
}

void CdnRouteCache::save(const QString &email, const QString &configId, const QJsonObject &config, qint64 nowMs,
                         const QSet<QString> &listedConfigIds)
{
    if (email.isEmpty() || configId.isEmpty())
        return;
    const QJsonObject old = accountServers(email);
    QJsonObject servers;
    for (auto it = old.constBegin(); it != old.constEnd(); ++it) {
        qint64 savedMs = 0;
        if (listedConfigIds.contains(it.key()) && readEntry(it.value(), &savedMs, nullptr)
            && nowMs - savedMs <= kMaxAgeMs)
            servers.insert(it.key(), it.value());
    }
    servers.insert(configId, QJsonObject{{QStringLiteral("t"), double(nowMs)}, {QStringLiteral("config"), config}});
    const QJsonObject root{{QStringLiteral("account"), email}, {QStringLiteral("servers"), servers}};
    AppDataFile::write(kFileName, QJsonDocument(root).toJson(QJsonDocument::Compact));
}

QList<CdnRouteCache::Entry> CdnRouteCache::entries(const QString &email)
{
    QList<Entry> list;
    const QJsonObject servers = accountServers(email);
    for (auto it = servers.constBegin(); it != servers.constEnd(); ++it) {
        qint64 savedMs = 0;
        if (readEntry(it.value(), &savedMs, nullptr))
            list << Entry{it.key(), savedMs};
    }
    return list;
}

void CdnRouteCache::remove()
{
    AppDataFile::remove(kFileName);
}
