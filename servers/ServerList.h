#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonDocument>
#include <QMap>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

#include "servers/ServerRecord.h"

// Everything one server-list answer says, read and checked: the tree of
// locations and servers with its lookups and pool maps, and the list-wide
// settings that come with it. A plain value, so that an answer can be read
// (and fuzzed) without a model, and handed to the model in one move.
struct ServerList {
    // The body parsed as a JSON object.
    bool parsed = false;
    // The parsed body itself. Nothing in the list refers to it; it is kept so
    // that its holder decides where it is freed, which for a large list costs
    // about a third of parsing it.
    QJsonDocument source;
    // The answer builds at least one server; an answer that builds none is no list.
    bool hasList = false;

    // Named protocol orders: only array members, of each only its strings.
    QMap<QString, QStringList> protocolOrders;
    // The ping thresholds, when the answer gave an acceptable pair.
    bool hasPingLimits = false;
    int goodPingMs = 0;
    int fairPingMs = 0;
    bool restrictedLikely = false;
    // The restricted-network ids as the answer gives them (pool members not yet replaced).
    QStringList restrictedIds;
    // The API's default server as the answer gives it (a pool member not yet replaced).
    QString defaultName;
    QString defaultConfigId;
    QString defaultIp;
    QString defaultId;

    // The tree: locations in answer order, each owning its servers.
    std::vector<std::unique_ptr<ServerRecord>> locations;
    QStringList specialtySections;
    QHash<QString, QString> poolMemberNames;  // member name → pool name
    QHash<QString, PoolRef> poolMemberIds;    // member id → its pool
    // Locations and servers by handle, in handle order: the reader hands out
    // ascending handles along the rows, so this index is built by appending.
    using IdIndex = std::vector<std::pair<QString, ServerRecord *>>;
    IdIndex byServerId;
    QHash<QString, ServerRecord *> byName;      // first server of each name
    QHash<QString, ServerRecord *> byConfigId;  // first server of each config id

    static ServerRecord *find(const IdIndex &index, const QString &serverId)
    {
        const auto it = std::lower_bound(index.begin(), index.end(), serverId,
                                         [](const auto &entry, const QString &id) { return entry.first < id; });
        return it != index.end() && it->first == serverId ? it->second : nullptr;
    }
};
