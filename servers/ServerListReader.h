#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonValue>
#include <QStringList>

#include <vector>

#include "servers/ServerList.h"
#include "vpn/VpnProtocol.h"

// Reads the body of a "client/servers" answer into a ServerList: the tree of
// locations and servers, the pools and the protocol each server offers. Pure:
// no model, no files, no network; any bytes give a list (malformed ones an
// empty one), so the same entry point serves the model, the cache and fuzzing.
class ServerListReader
{
public:
    // Lists of this many records or more are built in two halves at once: the
    // second on a thread of its own, the first on the caller's, which waits for
    // the other. Below it, a thread costs more than it saves.
    static constexpr qsizetype kParallelMinimum = 4000;

    // `currentProtocol` is the user's protocol: each server selects it when it
    // offers it, and every location carries it.
    static ServerList read(const QByteArray &body, VpnProtocol::Protocol currentProtocol = VpnProtocol::Optimal);

    // The restricted-network ids with pool members replaced by their pool's id,
    // duplicates dropped, in order.
    static QStringList resolveRestricted(const QStringList &ids, const QHash<QString, PoolRef> &poolMemberIds);

    // Ids come as text or as numbers; both are kept as text.
    static QString idText(const QJsonValue &value);

    // A version-4 UUID in braced text form: the handle of one record.
    static QString newServerId();
    // `count` of them, in ascending order.
    static std::vector<QString> newServerIds(qsizetype count);

#ifdef KELVRA_TESTING
    // From how many records on a list is built in two halves at once; 0 splits
    // every list of two locations or more.
    static void setParallelMinimumForTesting(qsizetype records);
#endif
};
