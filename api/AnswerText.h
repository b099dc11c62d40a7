#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// The checks the fields of an API answer go through before anything of
// them reaches the window: the answer comes from outside, so texts are
// bounded and made plain, ids are short and printable, links are web pages.
class AnswerText
{
public:
    // The answer's top object when it is JSON with "success" true, else empty.
    static QJsonObject successObject(const QByteArray &answer);
    // A string (or integer) id of at most maxLength printable characters,
    // else empty.
    static QString id(const QJsonValue &value, int maxLength);
    // A string without control characters (line breaks kept), trimmed and
    // cut at maxLength; empty for anything that is no string.
    static QString text(const QJsonValue &value, int maxLength);
    // An absolute http(s) link with a host, else empty.
    static QString webLink(const QJsonValue &value);
};
