#include "servers/ServerListCache.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

const QString ServerListCache::kFileName = QStringLiteral("server-list.json");

namespace {

// Appends text as a JSON string. The text is valid UTF-8 (it came through the
// JSON parser), so only quotes, backslashes and control characters need escapes.
void appendJsonString(QByteArray &out, const QByteArray &text)
{
    static const char hex[] = "0123456789abcdef";
    qsizetype extra = 0;
    for (const char c : text) {
        const uchar u = uchar(c);
        if (u < 0x20)
            extra += 5;
        else if (u == '"' || u == '\\')
            extra += 1;
    }
    const qsizetype start = out.size();
    out.resize(start + text.size() + extra + 2);
    char *d = out.data() + start;
    *d++ = '"';
    for (const char c : text) {
        const uchar u = uchar(c);
        if (u >= 0x20 && u != '"' && u != '\\') {
            *d++ = c;
        } else if (u >= 0x20) {
            *d++ = '\\';
            *d++ = c;
        } else {
            *d++ = '\\';
            *d++ = 'u';
            *d++ = '0';
            *d++ = '0';
            *d++ = hex[u >> 4];
            *d++ = hex[u & 0xf];
        }
    }
    *d++ = '"';
}} // namespace

QByteArray ServerListCache::encode(const QString &account, const QByteArray &body)
{
    // Written by hand: the body is megabytes of text that a QJsonDocument
    // would convert twice.
    QByteArray cache;
    cache.reserve(body.size() + body.size() / 8 + 256);
    cache += "{\"account\":";
    appendJsonString(cache, account.toUtf8());
    cache += ",\"body\":";
    appendJsonString(cache, body);
    cache += '}';
    return cache;
}

QByteArray ServerListCache::bodyFor(const QByteArray &file, const QString &email)
{
    const QJsonObject cache = QJsonDocument::fromJson(file).object();
    const QJsonValue account = cache.value(QLatin1String("account"));
    const QJsonValue body = cache.value(QLatin1String("body"));
    if (email.isEmpty() || !account.isString() || account.toString().compare(email, Qt::CaseInsensitive) != 0
        || !body.isString())
        return {};
    QByteArray saved = body.toString().toUtf8();
    return saved.isNull() ? QByteArray("") : saved;
}
