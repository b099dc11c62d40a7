#include "StandInBlocklist.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
constexpr int kMaxEntries = 300000;
} // namespace

StandInBlocklist::StandInBlocklist()
{
    QFile file(QStringLiteral(":/kelvra-standin/seed/blocklist.json"));
    file.open(QIODevice::ReadOnly);
    const QJsonArray domains = QJsonDocument::fromJson(file.readAll()).object().value(QLatin1String("domains")).toArray();
    for (const QJsonValue &domain : domains)
        m_domains.append(domain.toString());
}

void StandInBlocklist::set(const QStringList &domains, Fault fault)
{
    m_domains = domains;
    m_fault = fault;
}

QByteArray StandInBlocklist::hashOf(const QStringList &domains)
{
    return QCryptographicHash::hash(domains.join(QLatin1Char('\n')).toLatin1(), QCryptographicHash::Sha256).toHex();
}

QStringList StandInBlocklist::generated(int count)
{
    QStringList names;
    names.reserve(count);
    for (int i = 0; i < count; ++i)
        names.append(QStringLiteral("n%1.ads.example.test").arg(i));
    return names;
}

QByteArray StandInBlocklist::documentFor(QStringList domains, Fault fault)
{
    if (fault == Fault::TooMany && domains.size() <= kMaxEntries)
        domains += generated(kMaxEntries + 1 - int(domains.size()));
    QByteArray hash = hashOf(domains);
    qsizetype count = domains.size();
    if (fault == Fault::CountOffByOne)
        --count;
    if (fault == Fault::UpperCaseHash)
        hash = hash.toUpper();
    const QJsonObject body{{QStringLiteral("domains"), QJsonArray::fromStringList(domains)},
                           {QStringLiteral("count"), count},
                           {QStringLiteral("sha256"), QString::fromLatin1(hash)}};
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

QByteArray StandInBlocklist::etag() const
{
    return '"' + hashOf(m_domains).left(16) + '"';
}

StandInReply StandInBlocklist::answer(const StandInRequest &request) const
{
    const QByteArray tag = etag();
    if (request.header("If-None-Match") == tag)
        return StandInReply::status(304, QByteArray(), {{"ETag", tag}});
    return StandInReply::status(200, document(), {{"ETag", tag}});
}
