#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QPair>

// What a scripted request gets instead of the stand-in's normal answer.
// Build one with the static helpers and hand it to BackendStandIn::script().
class StandInReply
{
public:
    enum class Kind {
        Answer,  // an HTTP answer: status, headers, body
        Refuse,  // the address stops listening: connections are refused
        Stall,   // the request is read and never answered
        Drop,    // the connection is closed without an answer
    };
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    // Stop listening on the scripted host's address (every address when the
    // host is empty) and close its open connections, so the client sees a real
    // ConnectionRefused. The path and the count are ignored: the address stays
    // closed until BackendStandIn::clearScripts() or resumeListening().
    static StandInReply refuse();
    // Read the request and never answer; the connection stays open until the
    // client gives up (its transfer time-out) or the stand-in is destroyed.
    static StandInReply stall();
    // Close the connection after reading the request, without any answer.
    static StandInReply drop();
    // A captive portal's login page: 200, "text/html", an HTML body.
    static StandInReply captivePage();
    // Any answer: status code, raw body (sent as "application/json" unless the
    // extra headers name a "Content-Type") and extra headers.
    static StandInReply status(int code, const QByteArray &body = QByteArray(),
                               const Headers &extraHeaders = Headers());
    static StandInReply json(int code, const QJsonObject &body, const Headers &extraHeaders = Headers());
    // The API's refusal object: {"success": false, "error": {"message", "code"}}.
    static StandInReply error(int code, const QString &message, int errorCode = 0);
    // 401 with the API's "Unauthenticated." refusal.
    static StandInReply unauthorized();
    // 429 with "Retry-After" set to the given number of seconds.
    static StandInReply tooManyRequests(int retryAfterSeconds);
    // 5xx (or any status) with a short JSON refusal.
    static StandInReply serverError(int code = 500);
    // The device-limit refusal (error code 99999), 409 unless told otherwise.
    static StandInReply deviceLimit(int code = 409);
    // The too-many-devices-connected refusal (error code 99998) carrying the
    // connected devices under "data"."connected_devices".
    static StandInReply connectionLimit(const QJsonArray &connectedDevices, int code = 409);
    // A configuration answer whose "configuration" is empty (200).
    static StandInReply emptyConfiguration();

    // How the backend turns down a recovery request (a configuration fetch
    // with "recover=1"), "error" given as a plain text where it is one:
    // the server behind the location is down (503 "Node unavailable");
    static StandInReply nodeUnavailable();
    // the server could not make the configuration (500 "Failed to fetch config");
    static StandInReply configFetchFailed();
    // the device's peer on the server is alive, nothing to restore (409);
    static StandInReply peerAlive();
    // the backend's recovery limit: 429 with "Retry-After" exactly as given
    // ("90", "0", or text that is no number at all).
    static StandInReply recoverLimited(const QByteArray &retryAfter);

    // The same reply sent only after the given delay (Answer and Drop kinds).
    StandInReply delayed(int milliseconds) const;

    // How an answer travels; the faults a path through the Internet adds.
    enum class Transfer {
        Whole,             // head and body, as announced
        CutBody,           // the head announces the whole body, `cutAfter` bytes of it come, then the connection closes
        ResetAfterHeaders, // the head, then a TCP reset
        Drip,              // the head, then the body `dripBytes` at a time, one piece every `dripIntervalMs`
    };
    // The same answer, its body cut off after `bytes` bytes.
    StandInReply cutAfter(int bytes) const;
    // The same answer's head, then the connection reset.
    StandInReply resetAfterHeaders() const;
    // The same answer sent a few bytes at a time.
    StandInReply dripped(int bytes, int intervalMs) const;

    Kind kind = Kind::Answer;
    int statusCode = 200;
    QByteArray body;
    Headers headers;
    int delayMs = 0;
    Transfer transfer = Transfer::Whole;
    int cutAfterBytes = 0;
    int dripBytes = 1;
    int dripIntervalMs = 0;
};

Q_DECLARE_METATYPE(StandInReply)
