#include "engagement/ProtocolReports.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QTimer>

#include "account/TokenManager.h"
#include "account/UserManager.h"
#include "api/ApiHost.h"
#include "app/Logger.h"
#include "connection/NetworkIdentifier.h"

namespace {

Logger logger(QStringLiteral("ProtocolReports"));

const char kQueueKey[] = "smartConnect/reports";
constexpr int kUploadTimeoutMs = 10000;
constexpr double kMaxConnectSeconds = 120;
constexpr qint64 kMaxAgeSeconds = 604800;

bool sameRecord(const ProtocolReports::Record &a, const ProtocolReports::Record &b)
{
    return a.protocol == b.protocol && a.locationId == b.locationId && a.success == b.success
        && a.connectSeconds == b.connectSeconds && a.failureStep == b.failureStep && a.recordedAt == b.recordedAt
        && a.network == b.network && a.retries == b.retries;
}

} // namespace

bool ProtocolReports::Record::operator==(const Record &other) const
{
    return sameRecord(*this, other);
}

QJsonObject ProtocolReports::Record::toStored() const
{
    return QJsonObject{
        {QStringLiteral("p"), protocol},      {QStringLiteral("l"), locationId}, {QStringLiteral("s"), success},
        {QStringLiteral("c"), connectSeconds}, {QStringLiteral("f"), failureStep},
        {QStringLiteral("a"), recordedAt},    {QStringLiteral("n"), network},    {QStringLiteral("v"), retries},
    };
}

ProtocolReports::Record ProtocolReports::Record::fromStored(const QJsonObject &stored)
{
    Record record;
    record.protocol = stored.value(QLatin1String("p")).toString();
    record.locationId = stored.value(QLatin1String("l")).toInt(-1);
    record.success = stored.value(QLatin1String("s")).toBool();
    record.connectSeconds = stored.value(QLatin1String("c")).toDouble();
    record.failureStep = stored.value(QLatin1String("f")).toString();
    record.recordedAt = qint64(stored.value(QLatin1String("a")).toDouble());
    record.network = stored.value(QLatin1String("n")).toString();
    record.retries = stored.value(QLatin1String("v")).toInt(0);
    return record;
}

ProtocolReports *ProtocolReports::instance()
{
    static ProtocolReports *reports = new ProtocolReports;
    return reports;
}

qint64 ProtocolReports::now() const
{
    return QDateTime::currentMSecsSinceEpoch() + m_clockOffsetMs;
}

QList<ProtocolReports::Record> ProtocolReports::load()
{
    // An unreadable queue (an older format, a hand edit) is an empty one.
    const QJsonArray stored =
        QJsonDocument::fromJson(QSettings().value(QLatin1String(kQueueKey)).toString().toUtf8()).array();
    QList<Record> records;
    for (const QJsonValue &value : stored) {
        const Record record = Record::fromStored(value.toObject());
        if (!record.protocol.isEmpty())
            records.append(record);
    }
    return records;
}

void ProtocolReports::save(QList<Record> records)
{
    if (records.size() > kMaxQueued)
        records = records.mid(records.size() - kMaxQueued);
    QJsonArray stored;
    for (const Record &record : std::as_const(records))
        stored.append(record.toStored());
    QSettings settings;
    settings.setValue(QLatin1String(kQueueKey), QString::fromUtf8(QJsonDocument(stored).toJson(QJsonDocument::Compact)));
    settings.sync();
}

void ProtocolReports::add(const QList<AttemptOutcome> &outcomes)
{
    QList<Record> records = load();
    for (const AttemptOutcome &outcome : outcomes) {
        Record record;
        record.protocol = outcome.route;
        record.locationId = outcome.apiId;
        record.success = outcome.success;
        record.connectSeconds = outcome.seconds;
        record.failureStep = outcome.reason;
        record.recordedAt = outcome.atMs;
        record.network = outcome.network;
        records.append(record);
    }
    save(records);
}

QJsonObject ProtocolReports::batchBody(const QList<Record> &batch, qint64 nowMs)
{
    QJsonArray reports;
    for (const Record &record : batch) {
        const double seconds = record.connectSeconds > 0 ? qMin(record.connectSeconds, kMaxConnectSeconds) : 0.0;
        const qint64 age = qBound<qint64>(0, (nowMs - record.recordedAt) / 1000, kMaxAgeSeconds);
        reports.append(QJsonObject{
            {QStringLiteral("protocol"), record.protocol},
            {QStringLiteral("location_id"), record.locationId < 0 ? QJsonValue() : QJsonValue(record.locationId)},
            {QStringLiteral("success"), record.success},
            {QStringLiteral("connect_seconds"), seconds},
            {QStringLiteral("failure_step"), record.failureStep.isEmpty() ? QJsonValue() : QJsonValue(record.failureStep)},
            {QStringLiteral("age_seconds"), age},
        });
    }
    return QJsonObject{{QStringLiteral("platform"), QStringLiteral("qt-windows")},
                       {QStringLiteral("app_version"), QStringLiteral(KELVRA_VERSION)},
                       {QStringLiteral("reports"), reports}};
}

void ProtocolReports::send()
{
    if (m_inFlight || UserManager::state() != UserManager::SignedIn)
        return;
    const qint64 nowMs = now();
    QList<Record> records = load();
    records.removeIf([nowMs](const Record &record) { return nowMs - record.recordedAt > kMaxAgeMs; });

    const QString network = NetworkIdentifier::current();
    QList<Record> batch;
    for (const Record &record : std::as_const(records)) {
        if (record.network == network && batch.size() < kBatchSize)
            batch.append(record);
    }
    save(records);
    if (batch.isEmpty())
        return;
    m_inFlight = true;
    post(batch);
}

void ProtocolReports::post(const QList<Record> &batch)
{
    const QString token = TokenManager::instance()->getToken();
    const QString url = ApiHost::url(QStringLiteral("client/protocol-report"));
    QNetworkRequest request{QUrl(url)};
    request.setRawHeader("Content-Type", "application/json");
    request.setTransferTimeout(kUploadTimeoutMs);
    if (url.startsWith(ApiHost::baseUrl()))
        ApiHost::stampClient(request);
    if (!token.isEmpty())
        request.setRawHeader("Authorization", QByteArray("Bearer ") + token.toUtf8());
    const QByteArray body = QJsonDocument(batchBody(batch, now())).toJson(QJsonDocument::Compact);
    QNetworkReply *reply = ApiHost::sharedManager()->post(request, body);
    connect(reply, &QNetworkReply::finished, this, [this, reply, batch] { onReply(reply, batch); });
}

void ProtocolReports::onReply(QNetworkReply *reply, const QList<Record> &batch)
{
    reply->deleteLater();
    const QByteArray body = reply->isReadable() ? reply->readAll() : QByteArray();
    if (ApiHost::handleReply(reply, body)) {
        QTimer::singleShot(ApiHost::retryDelayMs(), this, [this, batch] { post(batch); });
        return;
    }
    m_inFlight = false;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString reason = QJsonDocument::fromJson(body).object().value(QLatin1String("reason")).toString();
    logger.debug() << batch.size() << "sent -> HTTP" << status << reason;

    enum { DropAll, KeepAll, RetryOnce } decision = KeepAll;
    if (status == 202 && reason == QLatin1String("via_vpn")) {
        // Sent through a VPN, the report says little about this network: one
        // more try from the network itself.
        decision = RetryOnce;
    } else if ((status >= 200 && status < 300) || (status >= 400 && status < 500 && status != 429)) {
        // Taken, or refused for good: a report the backend refuses must not
        // block the queue.
        decision = DropAll;
    }

    // The queue may have grown meanwhile: each sent record is settled where
    // it stands, and one kept is not stored twice.
    QList<Record> records = load();
    bool anyKept = false;
    for (const Record &sent : batch) {
        const qsizetype at = records.indexOf(sent);
        if (at < 0)
            continue;
        Record kept = sent;
        const bool keep = decision == KeepAll || (decision == RetryOnce && sent.retries < 1);
        if (decision == RetryOnce)
            ++kept.retries;
        if (!keep || (!(kept == sent) && records.contains(kept))) {
            records.removeAt(at);
        } else {
            records[at] = kept;
        }
        anyKept = anyKept || keep;
    }
    save(records);
    emit batchFinished(status);
    if (!anyKept)
        send();
}

#ifdef KELVRA_TESTING
void ProtocolReports::resetForTesting()
{
    m_inFlight = false;
    m_clockOffsetMs = 0;
    QSettings().remove(QLatin1String(kQueueKey));
}
#endif
