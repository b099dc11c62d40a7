#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QPair>
#include <QString>
#include <QUrlQuery>

// One HTTP request as the backend stand-in received it. Tests read these to
// check what the client sent (headers, bodies, which host it went to).
struct StandInRequest
{
    // Local address the connection arrived on, as text ("127.0.0.2").
    QString address;
    // Address the connection came from.
    QString peer;
    // Host name from the "Host" header (HTTP/2: ":authority"), without the
    // port, lower-cased.
    QString host;
    // "HTTP/1.1", "HTTP/1.0" or "HTTP/2": what the client spoke.
    QByteArray version;
    // The HTTP/2 stream the request came on; 0 over HTTP/1.
    qint32 stream = 0;
    QByteArray method;
    // Decoded path without the query ("/api/client/configuration/de:1").
    QString path;
    // Path and query exactly as sent on the request line.
    QByteArray target;
    QUrlQuery query;
    // Header names as sent (HTTP/2: lower-case, without the pseudo-headers);
    // look them up with header(), which ignores case.
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    // The value of a header (case-insensitive name), empty when absent.
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;
    // The path under "/api/" ("client/servers"), or the whole path when the
    // request was not for the API.
    QString endpoint() const;
    // The bearer token of the "Authorization" header, empty when none.
    QString bearerToken() const;
    // The body parsed as a JSON object (empty when it is not one).
    QJsonObject json() const;
};

Q_DECLARE_METATYPE(StandInRequest)
