#include "servers/NextServerPicker.h"

#include <QSet>

#include <algorithm>
#include <cmath>

namespace {

template<typename F> void forEachServer(const std::vector<std::unique_ptr<ServerRecord>> &locations, F f)
{
    for (const auto &location : locations) {
        for (const auto &server : location->children) {
            if (!f(server.get()))
                return;
        }
    }
}

} // namespace

bool NextServerPicker::isFavoritesCategory(const QString &name)
{
    static const char *const names[] = {"Favourite", "Favorite", "Favourites", "Favorites"};
    for (const char *favorites : names) {
        if (name.compare(QLatin1String(favorites), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QStringList NextServerPicker::allowList()
{
    QStringList allow;
#ifdef KELVRA_STAGING
    for (const QString &part : qEnvironmentVariable("KELVRA_SWITCH_ALLOW").split(QLatin1Char(','))) {
        const QString id = part.trimmed();
        if (!id.isEmpty())
            allow << id;
    }
#endif
    return allow;
}

NextServerPicker::Choice NextServerPicker::pick(const std::vector<std::unique_ptr<ServerRecord>> &locations,
                                                const ServerRecord *current, VpnProtocol::Protocol protocol,
                                                VpnProtocol::Protocol currentProtocol,
                                                const QStringList &excludedAddresses, const ApiDefault &apiDefault,
                                                const QStringList &allow)
{
    if (!current || current->ipAddress.isEmpty())
        return {};
    const QSet<QString> excluded(excludedAddresses.begin(), excludedAddresses.end());

    const VpnProtocol::Protocol wanted = protocol == VpnProtocol::Hysteria2 ? VpnProtocol::Stealth : protocol;
    auto groupOf = [](const ServerRecord *server) {
        if (server->category.compare(QLatin1String("Free"), Qt::CaseInsensitive) == 0)
            return QStringLiteral("High Speed");
        if (isFavoritesCategory(server->category))
            return QString();
        return server->category;
    };
    auto eligible = [currentProtocol, wanted](const ServerRecord *server) {
        if (isFavoritesCategory(server->category))
            return false;
        if (currentProtocol == VpnProtocol::Optimal)
            return true;
        return server->protocols.contains(wanted) && server->effectiveProtocol() == wanted;
    };
    auto isApiDefault = [&apiDefault](const ServerRecord *server) {
        if (!apiDefault.configId.isEmpty())
            return server->configId == apiDefault.configId;
        if (!apiDefault.ip.isEmpty())
            return server->ipAddress == apiDefault.ip;
        if (!apiDefault.id.isEmpty())
            return server->apiId == apiDefault.id;
        return false;
    };

    QString group = groupOf(current);
    if (group.isEmpty()) {
        forEachServer(locations, [&](ServerRecord *server) {
            if (server->configId == current->configId && !groupOf(server).isEmpty()) {
                group = groupOf(server);
                return false;
            }
            return true;
        });
    }

    auto distanceKm = [current](const ServerRecord *server) {
        if (!current->hasCoordinates || !server->hasCoordinates)
            return -1.0;
        const double toRad = 3.14159265358979323846 / 180.0;
        const double lat1 = current->latitude * toRad;
        const double lat2 = server->latitude * toRad;
        const double dLat = lat2 - lat1;
        const double dLon = (server->longitude - current->longitude) * toRad;
        const double h = std::sin(dLat / 2) * std::sin(dLat / 2)
                         + std::cos(lat1) * std::cos(lat2) * std::sin(dLon / 2) * std::sin(dLon / 2);
        return 12742.0 * std::asin(std::min(1.0, std::sqrt(std::max(0.0, h))));
    };

    ServerRecord *sameBest = nullptr;
    ServerRecord *otherBest = nullptr;
    double otherDistance = -1;
    forEachServer(locations, [&](ServerRecord *server) {
        // A server without an address could never be excluded and would be
        // picked again and again.
        if (!eligible(server) || (!group.isEmpty() && groupOf(server) != group) || server->ipAddress.isEmpty()
            || server->ipAddress == current->ipAddress || excluded.contains(server->ipAddress))
            return true;
        if (!allow.isEmpty()) {
            const int bar = server->configId.lastIndexOf(QLatin1Char('|'));
            if (!allow.contains(bar < 0 ? server->configId : server->configId.mid(bar + 1)))
                return true;
        }
        if (server->location()->name == current->location()->name) {
            if (!sameBest) {
                sameBest = server;
                return true;
            }
            const bool def = isApiDefault(server);
            const bool bestDef = isApiDefault(sameBest);
            if (def != bestDef) {
                if (def)
                    sameBest = server;
            } else if (server->speedScore != sameBest->speedScore) {
                if (server->speedScore > sameBest->speedScore)
                    sameBest = server;
            } else if (server->health > sameBest->health) {
                sameBest = server;
            }
            return true;
        }
        const double distance = distanceKm(server);
        if (!otherBest) {
            otherBest = server;
            otherDistance = distance;
            return true;
        }
        if ((distance < 0) != (otherDistance < 0)) {
            if (distance >= 0) {
                otherBest = server;
                otherDistance = distance;
            }
            return true;
        }
        if (distance >= 0 && distance != otherDistance) {
            if (distance < otherDistance) {
                otherBest = server;
                otherDistance = distance;
            }
            return true;
        }
        const int ping = server->estimatedPingMs;
        const int bestPing = otherBest->estimatedPingMs;
        if ((ping < 0) != (bestPing < 0)) {
            if (ping >= 0) {
                otherBest = server;
                otherDistance = distance;
            }
            return true;
        }
        if (ping != bestPing) {
            if (ping < bestPing) {
                otherBest = server;
                otherDistance = distance;
            }
            return true;
        }
        if (server->speedScore > otherBest->speedScore) {
            otherBest = server;
            otherDistance = distance;
        }
        return true;
    });

    Choice choice;
    if (sameBest) {
        choice.server = sameBest;
    } else if (otherBest) {
        choice.server = otherBest;
        choice.otherLocation = true;
    }
    return choice;
}
