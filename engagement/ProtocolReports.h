#pragma once

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include "connection/AttemptOutcome.h"

class QNetworkReply;

// How connection attempts fared, told to the backend so it learns which
// protocols work on which networks. The outcomes wait in a queue kept in the
// settings across runs (the newest 100, for 7 days) and go up in batches of
// at most 20, only those of the network the computer is on now, one upload
// at a time. Process-wide; GUI thread only.
class ProtocolReports : public QObject
{
    Q_OBJECT
public:
    struct Record
    {
        QString protocol;
        int locationId = -1;
        bool success = false;
        double connectSeconds = 0;
        QString failureStep;
        qint64 recordedAt = 0;
        QString network;
        int retries = 0;

        bool operator==(const Record &other) const;
        // The short keys the queue is stored with.
        QJsonObject toStored() const;
        static Record fromStored(const QJsonObject &stored);
    };

    static constexpr int kBatchSize = 20;
    static constexpr int kMaxQueued = 100;
    static constexpr qint64 kMaxAgeMs = 604800000;

    static ProtocolReports *instance();

    // Appends a finished run's outcomes to the stored queue.
    void add(const QList<AttemptOutcome> &outcomes);
    // Uploads the next batch of this network's reports, unless one is on its way.
    void send();
    bool isInFlight() const { return m_inFlight; }

    static QList<Record> load();
    // Keeps the newest kMaxQueued.
    static void save(QList<Record> records);
    static QJsonObject batchBody(const QList<Record> &batch, qint64 nowMs);

#ifdef KELVRA_TESTING
    // Moves the reports' clock, as if that much time had passed.
    void advanceClockForTesting(qint64 ms) { m_clockOffsetMs += ms; }
    void resetForTesting();
#endif

signals:
    // A batch's answer has been handled (status 0: no answer).
    void batchFinished(int statusCode);

private:
    ProtocolReports() = default;
    qint64 now() const;
    void post(const QList<Record> &batch);
    void onReply(QNetworkReply *reply, const QList<Record> &batch);

    bool m_inFlight = false;
    qint64 m_clockOffsetMs = 0;
};
