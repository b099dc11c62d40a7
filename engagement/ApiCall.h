#pragma once

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>

#include <functional>

// One request to the backend API on the shared access manager, the way the
// messages, notifications and their inbox send theirs: JSON headers, the
// session's bearer token, the retry the host manager asks for, the session
// guard told of a 401, and an answer never larger than kMaxAnswerBytes (a
// larger one is cut off and arrives empty). The callback runs once, with the
// outcome, unless the owner is gone by then.
class ApiCall
{
public:
    static constexpr qint64 kMaxAnswerBytes = 1024 * 1024;

    struct Result {
        int status = 0;          // HTTP status, 0 without an answer
        QByteArray body;
        int retryAfterSeconds = -1; // "Retry-After" in seconds, -1 when absent or no number
    };
    using Done = std::function<void(const Result &result)>;

    // path: relative to the API base ("notifications/pending"). A POST sends
    // `json` as its body.
    static void send(QObject *owner, QNetworkAccessManager::Operation operation, const QString &path,
                     const QByteArray &json, int timeoutMs, Done done);
};
