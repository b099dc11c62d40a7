#include "StandInReply.h"

#include <QJsonDocument>

namespace {
StandInReply ofKind(StandInReply::Kind kind)
{
    StandInReply reply;
    reply.kind = kind;
    reply.statusCode = 0;
    return reply;
}

// A refusal whose "error" is a plain text, as some of the backend's are.
StandInReply plainRefusal(int code, const QString &message)
{
    return StandInReply::json(code, QJsonObject{{QStringLiteral("success"), false}, {QStringLiteral("error"), message}});
}
} // namespace

StandInReply StandInReply::refuse()
{
    return ofKind(Kind::Refuse);
}

StandInReply StandInReply::stall()
{
    return ofKind(Kind::Stall);
}

StandInReply StandInReply::drop()
{
    return ofKind(Kind::Drop);
}

StandInReply StandInReply::captivePage()
{
    return status(200,
                  "<!DOCTYPE html>\n<html><head><title>Welcome to Airport Wi-Fi</title></head>\n"
                  "<body><h1>Sign in to continue</h1>\n"
                  "<form method=\"post\" action=\"/login\"><input type=\"checkbox\" name=\"terms\"> "
                  "I accept the terms<button>Connect</button></form></body></html>\n",
                  {{"Content-Type", "text/html; charset=utf-8"}});
}

StandInReply StandInReply::status(int code, const QByteArray &body, const Headers &extraHeaders)
{
    StandInReply reply;
    reply.kind = Kind::Answer;
    reply.statusCode = code;
    reply.body = body;
    reply.headers = extraHeaders;
    return reply;
}

StandInReply StandInReply::json(int code, const QJsonObject &body, const Headers &extraHeaders)
{
    return status(code, QJsonDocument(body).toJson(QJsonDocument::Compact), extraHeaders);
}

StandInReply StandInReply::error(int code, const QString &message, int errorCode)
{
    return json(code, QJsonObject{{QStringLiteral("success"), false},
                                  {QStringLiteral("error"),
                                   QJsonObject{{QStringLiteral("message"), message},
                                               {QStringLiteral("code"), errorCode ? errorCode : code}}}});
}

StandInReply StandInReply::unauthorized()
{
    return error(401, QStringLiteral("Unauthenticated."));
}

StandInReply StandInReply::tooManyRequests(int retryAfterSeconds)
{
    StandInReply reply = error(429, QStringLiteral("Too many requests. Please slow down."));
    reply.headers.append({"Retry-After", QByteArray::number(retryAfterSeconds)});
    return reply;
}

StandInReply StandInReply::serverError(int code)
{
    return error(code, QStringLiteral("The server could not handle the request."));
}

StandInReply StandInReply::deviceLimit(int code)
{
    return error(code,
                 QStringLiteral("You have reached the device limit of your plan. "
                                "Remove a device from your account to sign in here."),
                 99999);
}

StandInReply StandInReply::connectionLimit(const QJsonArray &connectedDevices, int code)
{
    return json(code, QJsonObject{
        {QStringLiteral("success"), false},
        {QStringLiteral("error"),
         QJsonObject{{QStringLiteral("message"),
                      QStringLiteral("Too many of your devices are connected at once. "
                                     "Disconnect one of them to connect here.")},
                     {QStringLiteral("code"), 99998}}},
        {QStringLiteral("data"), QJsonObject{{QStringLiteral("connected_devices"), connectedDevices}}}});
}

StandInReply StandInReply::emptyConfiguration()
{
    return json(200, QJsonObject{{QStringLiteral("success"), true},
                                 {QStringLiteral("configuration"), QString()},
                                 {QStringLiteral("message"), QStringLiteral("No free slot on this server right now")}});
}

StandInReply StandInReply::delayed(int milliseconds) const
{
    StandInReply reply = *this;
    reply.delayMs = milliseconds;
    return reply;
}

StandInReply StandInReply::nodeUnavailable()
{
    return plainRefusal(503, QStringLiteral("Node unavailable"));
}

StandInReply StandInReply::configFetchFailed()
{
    return plainRefusal(500, QStringLiteral("Failed to fetch config"));
}

StandInReply StandInReply::peerAlive()
{
    return plainRefusal(409, QStringLiteral("The peer is connected; nothing to recover."));
}

StandInReply StandInReply::recoverLimited(const QByteArray &retryAfter)
{
    StandInReply reply = error(429, QStringLiteral("Too many recovery requests."));
    reply.headers.append({"Retry-After", retryAfter});
    return reply;
}

StandInReply StandInReply::cutAfter(int bytes) const
{
    StandInReply reply = *this;
    reply.transfer = Transfer::CutBody;
    reply.cutAfterBytes = qBound(0, bytes, int(body.size()));
    return reply;
}

StandInReply StandInReply::resetAfterHeaders() const
{
    StandInReply reply = *this;
    reply.transfer = Transfer::ResetAfterHeaders;
    return reply;
}

StandInReply StandInReply::dripped(int bytes, int intervalMs) const
{
    StandInReply reply = *this;
    reply.transfer = Transfer::Drip;
    reply.dripBytes = qMax(1, bytes);
    reply.dripIntervalMs = qMax(0, intervalMs);
    return reply;
}
