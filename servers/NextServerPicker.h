#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

#include "servers/ServerRecord.h"
#include "vpn/VpnProtocol.h"

// Ranks the servers the connection may move to when its server fails: a
// server in the same location first (the API's default, then the fastest,
// then the healthiest), else the nearest server elsewhere (then the lowest
// estimated ping, then the fastest). Pure: it reads the tree and chooses,
// the model makes the choice current.
class NextServerPicker
{
public:
    // The API's default server, as far as the answer named it.
    struct ApiDefault {
        QString configId;
        QString ip;
        QString id;
    };

    struct Choice {
        ServerRecord *server = nullptr;
        bool otherLocation = false;
    };

    // Category names that only collect favourites: never a group of their own.
    static bool isFavoritesCategory(const QString &name);

    // The best server after `current` for `protocol` (what the tunnel runs) while
    // the user's protocol is `currentProtocol`; none without a current server
    // with an address. `allow`, when not empty, limits the choice to config ids
    // whose part after the last "|" is listed.
    static Choice pick(const std::vector<std::unique_ptr<ServerRecord>> &locations, const ServerRecord *current,
                       VpnProtocol::Protocol protocol, VpnProtocol::Protocol currentProtocol,
                       const QStringList &excludedAddresses, const ApiDefault &apiDefault,
                       const QStringList &allow = {});

    // The staging builds' allow list ("KELVRA_SWITCH_ALLOW"); empty elsewhere.
    static QStringList allowList();
};
