#pragma once

#include "StandInReply.h"
#include "StandInRequest.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// What the backend says to a signed-in client besides the catalogue: in-app
// messages ("in-app-messages/sync", "in-app-messages/events"), desktop
// notifications ("notifications/pending", "notifications/inbox",
// "notifications/<id>/ack"), the plans ("user/subscription-plans") and the
// speed test's two endpoints ("speed-test/download?bytes=N",
// "speed-test/upload"). Seeded from seed/engagement.json and seed/plans.json;
// a test adds messages and notifications, breaks any endpoint on purpose
// (setFault) and reads back what the client sent: every sync, every event,
// every acknowledgement.
//
// A notification stays pending until it is acknowledged, like the real
// backend: a client that never acknowledges is sent the same one on every
// poll, which is what the client's own "shown once" has to cope with.
class StandInEngagement
{
public:
    enum class Fault {
        None,
        Empty,        // 200 with an empty body
        Malformed,    // 200 with a body that is no JSON
        WrongShape,   // 200 JSON whose fields have the wrong types
        Unauthorized, // 401 "Unauthenticated."
        TooMany,      // 429 with "Retry-After: 120"
    };

    // The most a download answer carries, whatever was asked.
    static constexpr qint64 MaxDownloadBytes = 32 * 1024 * 1024;

    StandInEngagement();

    // True for the routes answered here ("notifications/ack" for the
    // acknowledgements; see StandInApi's routes).
    static bool serves(const QString &route);
    StandInReply answer(const StandInRequest &request, const QString &route, const QString &endpoint);

    // Answers the route with the fault for the next `times` requests (-1:
    // until cleared). Fault::None clears it.
    void setFault(const QString &route, Fault fault, int times = -1);
    void clearFaults() { m_faults.clear(); }
    // Forgets the syncs, events and acknowledgements received so far.
    void clearRecords();

    // Messages: each {"id", "kind", "title", "body", "action", "repeat",
    // "triggers"}; a message without "triggers" is sent on every sync.
    void setMessages(const QJsonArray &messages) { m_messages = messages; }
    QJsonArray messages() const { return m_messages; }
    // A notification becomes pending and joins the inbox.
    void addNotification(const QJsonObject &notification);
    void clearNotifications();
    QJsonArray pending() const;
    QJsonArray inbox() const { return m_inbox; }
    // Acknowledgements received per notification id.
    QHash<QString, int> acks() const { return m_acks; }

    // The bodies of the syncs and of every event the client reported.
    QList<QJsonObject> syncs() const { return m_syncs; }
    QList<QJsonObject> events() const { return m_events; }

    // The plans answer ("success" and "data"), the seed until set.
    void setPlans(const QJsonObject &answer) { m_plans = answer; }
    QJsonObject plans() const { return m_plans; }

    // Bytes served by downloads and taken by uploads so far.
    qint64 downloadedBytes() const { return m_downloaded; }
    qint64 uploadedBytes() const { return m_uploaded; }

private:
    struct FaultScript {
        Fault fault = Fault::None;
        int remaining = -1;
    };
    StandInReply sync(const StandInRequest &request);
    StandInReply events(const StandInRequest &request);
    StandInReply ack(const QString &endpoint);
    StandInReply download(const StandInRequest &request);
    StandInReply upload(const StandInRequest &request);
    static StandInReply faultReply(Fault fault);

    QHash<QString, FaultScript> m_faults;
    QJsonArray m_messages;
    QJsonArray m_inbox;
    QList<QString> m_pendingIds;
    QHash<QString, int> m_acks;
    QList<QJsonObject> m_syncs;
    QList<QJsonObject> m_events;
    QJsonObject m_plans;
    qint64 m_downloaded = 0;
    qint64 m_uploaded = 0;
};
