#pragma once

#include <QByteArray>
#include <QString>

// The format of the saved server list ("server-list.json"): the last good
// answer body with the account it belongs to, {"account": ..., "body": ...}.
// Both directions work on bytes only, so they can be tested and fuzzed
// without files; ServerListCacheWriter puts the bytes on disk.
class ServerListCache
{
public:
    static const QString kFileName;

    // The file's content for this account and answer body.
    static QByteArray encode(const QString &account, const QByteArray &body);
    // The saved answer body when the file belongs to `email` (ignoring case);
    // a null array for another account, no e-mail, or a malformed file.
    static QByteArray bodyFor(const QByteArray &file, const QString &email);
};
