#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QString>

// The ad and tracker names the backend publishes, as one JSON document
// {"domains": [...], "count": n, "sha256": "..."}, and its copy on disk. A
// document is taken whole or not at all: a list cut short in transit, or
// altered on disk, would block the wrong names, so the count and the hash
// over the names must both agree.
class Blocklist
{
public:
    static constexpr int kMaxEntries = 300000;
    static constexpr int kMaxNameLength = 253;
    // No whole list is larger: every name at full length, quoted, with a comma.
    static constexpr qint64 kMaxDocumentBytes = qint64(kMaxEntries) * (kMaxNameLength + 3) + 4096;

    // The names of a whole, valid document; an empty array for anything else.
    static QJsonArray domainsOf(const QByteArray &document);

    // "blocklist.json" in the per-user application data folder.
    static QString cachePath();
    // The cached document; empty when missing, unreadable or too large.
    static QByteArray readCache();
    // Replaces the cache in one step; false with the file's error text.
    static bool writeCache(const QByteArray &document, QString *error);
};
