#include "StandInEngagement.h"

#include <QFile>
#include <QJsonDocument>
#include <QUrlQuery>

namespace {
QJsonObject seedFile(const QString &name)
{
    QFile file(QStringLiteral(":/kelvra-standin/seed/") + name);
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll()).object();
}

StandInReply okData(const QJsonValue &data)
{
    return StandInReply::json(200, QJsonObject{{QStringLiteral("success"), true}, {QStringLiteral("data"), data}});
}

const QString kSync = QStringLiteral("in-app-messages/sync");
const QString kEvents = QStringLiteral("in-app-messages/events");
const QString kPending = QStringLiteral("notifications/pending");
const QString kInbox = QStringLiteral("notifications/inbox");
const QString kAck = QStringLiteral("notifications/ack");
const QString kPlans = QStringLiteral("user/subscription-plans");
const QString kDownload = QStringLiteral("speed-test/download");
const QString kUpload = QStringLiteral("speed-test/upload");
} // namespace

StandInEngagement::StandInEngagement()
{
    const QJsonObject seed = seedFile(QStringLiteral("engagement.json"));
    m_messages = seed.value(QLatin1String("messages")).toArray();
    for (const QJsonValue &notification : seed.value(QLatin1String("notifications")).toArray())
        addNotification(notification.toObject());
    m_plans = seedFile(QStringLiteral("plans.json"));
}

bool StandInEngagement::serves(const QString &route)
{
    static const QStringList routes{kSync, kEvents, kPending, kInbox, kAck, kPlans, kDownload, kUpload};
    return routes.contains(route);
}

void StandInEngagement::setFault(const QString &route, Fault fault, int times)
{
    if (fault == Fault::None)
        m_faults.remove(route);
    else
        m_faults.insert(route, FaultScript{fault, times});
}

void StandInEngagement::clearRecords()
{
    m_syncs.clear();
    m_events.clear();
    m_acks.clear();
}

void StandInEngagement::addNotification(const QJsonObject &notification)
{
    const QString id = notification.value(QLatin1String("id")).toString();
    QJsonObject entry = notification;
    entry.insert(QStringLiteral("read"), false);
    m_inbox.prepend(entry);
    m_pendingIds.append(id);
}

void StandInEngagement::clearNotifications()
{
    m_inbox = QJsonArray();
    m_pendingIds.clear();
}

QJsonArray StandInEngagement::pending() const
{
    QJsonArray pending;
    for (const QJsonValue &entry : m_inbox) {
        QJsonObject notification = entry.toObject();
        if (!m_pendingIds.contains(notification.value(QLatin1String("id")).toString()))
            continue;
        notification.remove(QStringLiteral("read"));
        pending.prepend(notification); // oldest first
    }
    return pending;
}

StandInReply StandInEngagement::faultReply(Fault fault)
{
    switch (fault) {
    case Fault::Empty:
        return StandInReply::status(200, QByteArray());
    case Fault::Malformed:
        return StandInReply::status(200, "{\"success\": true, \"data\": [{\"id\": ");
    case Fault::WrongShape:
        return StandInReply::status(200, "{\"success\": true, \"data\": {\"messages\": 7, \"id\": [1]}}");
    case Fault::Unauthorized:
        return StandInReply::unauthorized();
    case Fault::TooMany:
        return StandInReply::tooManyRequests(120);
    case Fault::None:
        break;
    }
    return StandInReply::serverError();
}

StandInReply StandInEngagement::answer(const StandInRequest &request, const QString &route, const QString &endpoint)
{
    auto fault = m_faults.find(route);
    if (fault != m_faults.end()) {
        const Fault kind = fault->fault;
        if (fault->remaining > 0 && --fault->remaining == 0)
            m_faults.erase(fault);
        return faultReply(kind);
    }
    if (route == kSync)
        return sync(request);
    if (route == kEvents)
        return events(request);
    if (route == kPending)
        return okData(pending());
    if (route == kInbox)
        return okData(m_inbox);
    if (route == kAck)
        return ack(endpoint);
    if (route == kPlans)
        return StandInReply::json(200, m_plans);
    if (route == kDownload)
        return download(request);
    if (route == kUpload)
        return upload(request);
    return StandInReply::error(404, QStringLiteral("Not found."));
}

StandInReply StandInEngagement::sync(const StandInRequest &request)
{
    const QJsonObject body = request.json();
    m_syncs.append(body);
    const QString device = body.value(QLatin1String("device_id")).toString();
    const QString trigger = body.value(QLatin1String("trigger")).toString();
    if (device.isEmpty() || trigger.isEmpty())
        return StandInReply::error(422, QStringLiteral("The device_id and trigger fields are required."));
    QJsonArray messages;
    for (const QJsonValue &value : std::as_const(m_messages)) {
        QJsonObject message = value.toObject();
        const QJsonValue triggers = message.take(QStringLiteral("triggers"));
        if (triggers.isArray() && !triggers.toArray().contains(trigger))
            continue;
        messages.append(message);
    }
    return okData(QJsonObject{{QStringLiteral("messages"), messages}});
}

StandInReply StandInEngagement::events(const StandInRequest &request)
{
    const QJsonValue events = request.json().value(QLatin1String("events"));
    if (!events.isArray())
        return StandInReply::error(422, QStringLiteral("The events field must be an array."));
    for (const QJsonValue &event : events.toArray())
        m_events.append(event.toObject());
    return okData(QJsonObject{{QStringLiteral("accepted"), events.toArray().size()}});
}

StandInReply StandInEngagement::ack(const QString &endpoint)
{
    // "notifications/<id>/ack"
    const QString id = endpoint.section(QLatin1Char('/'), 1, 1);
    m_acks[id] += 1;
    if (!m_pendingIds.removeOne(id) && m_acks.value(id) == 1) {
        bool known = false;
        for (const QJsonValue &entry : std::as_const(m_inbox))
            known = known || entry.toObject().value(QLatin1String("id")).toString() == id;
        if (!known)
            return StandInReply::error(404, QStringLiteral("Notification not found."));
    }
    return okData(QJsonObject{{QStringLiteral("id"), id}});
}

StandInReply StandInEngagement::download(const StandInRequest &request)
{
    bool ok = false;
    const qint64 asked = request.query.queryItemValue(QStringLiteral("bytes")).toLongLong(&ok);
    if (!ok || asked <= 0)
        return StandInReply::error(422, QStringLiteral("The bytes field must be a positive number."));
    const qint64 size = qMin(asked, MaxDownloadBytes);
    // Bytes that no link can squeeze: a linear congruential sequence.
    QByteArray body(size, Qt::Uninitialized);
    quint32 state = 2463534242u;
    for (qint64 i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        body[i] = char(state >> 24);
    }
    m_downloaded += size;
    return StandInReply::status(200, body, {{"Content-Type", "application/octet-stream"}, {"Cache-Control", "no-store"}});
}

StandInReply StandInEngagement::upload(const StandInRequest &request)
{
    m_uploaded += request.body.size();
    return okData(QJsonObject{{QStringLiteral("received"), request.body.size()}});
}
