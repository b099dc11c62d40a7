#include "servers/ServersModel.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QGuiApplication>
#include <QJsonObject>
#include <QPointer>

#include <map>

#include "app/Logger.h"
#include "app/Settings.h"
#include "servers/AppDataFile.h"
#include "servers/CdnRouteCache.h"
#include "servers/NextServerPicker.h"
#include "servers/Pinger.h"
#include "servers/ServerLinks.h"
#include "servers/ServerListCache.h"
#include "servers/ServerListCacheWriter.h"
#include "servers/ServerListDisposer.h"
#include "servers/ServerListReader.h"
#include "vpn/VpnConnection.h"

namespace {

Logger logger(QStringLiteral("ServersModel"));

bool isProtocol(int value)
{
    return value >= VpnProtocol::Optimal && value <= VpnProtocol::Hysteria2;
}

} // namespace

const QString &ServersModel::kListCacheFile = ServerListCache::kFileName;

QByteArray ServersModel::listDigest() const
{
    return m_listBody.isNull() ? QByteArray() : QCryptographicHash::hash(m_listBody, QCryptographicHash::Sha1);
}

// ---------------------------------------------------------------------------
// Construction and links

ServersModel::ServersModel(QSharedPointer<Settings> settings, QSharedPointer<VpnConnection> vpnConnection,
                           QObject *parent)
    : QAbstractItemModel(parent), m_settings(std::move(settings)), m_vpnConnection(std::move(vpnConnection)),
      m_pinger(new Pinger(this)), m_cacheWriter(std::make_unique<ServerListCacheWriter>(ServerListCache::kFileName)),
      m_disposer(std::make_unique<ServerListDisposer>())
{
    m_hooks = ServerLinks::requestLayer(this);
    ConfigFetcher::Catalogue catalogue;
    catalogue.serverByConfigId = [this](const QString &configId) -> const Server * {
        return serverByConfigId(configId);
    };
    catalogue.listedConfigIds = [this] {
        QSet<QString> ids;
        ids.reserve(m_byConfigId.size());
        for (auto it = m_byConfigId.constBegin(); it != m_byConfigId.constEnd(); ++it)
            ids.insert(it.key());
        return ids;
    };
    catalogue.nowMs = [this] { return nowMs(); };
    catalogue.delay = [this](qint64 ms) { return delay(ms); };
    m_configFetcher = new ConfigFetcher(m_hooks, m_settings, std::move(catalogue), this);
    m_retryTimer.setSingleShot(true);
    m_retryTimer.setInterval(kRetryMs);
    connect(&m_retryTimer, &QTimer::timeout, this, [this] {
        if (!stopPollingWhenSignedOut())
            fetchServers();
    });
    m_followUpTimer.setSingleShot(true);
    connect(&m_followUpTimer, &QTimer::timeout, this, [this] {
        if (!stopPollingWhenSignedOut())
            fetchServers();
    });
    m_refreshTimer.setInterval(kRefreshPeriodMs);
    connect(&m_refreshTimer, &QTimer::timeout, this, [this] {
        if (!stopPollingWhenSignedOut())
            refreshServers();
    });
    m_refreshTimer.start();

    m_pingsTimer.setSingleShot(true);
    m_pingsTimer.setInterval(kPingsCoalesceMs);
    connect(&m_pingsTimer, &QTimer::timeout, this, &ServersModel::pingsChanged);
    connect(m_pinger, &Pinger::result, this, &ServersModel::onPingResult);
    connect(m_pinger, &Pinger::idle, this, &ServersModel::onPingsIdle);

    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
            if (state == Qt::ApplicationActive)
                refreshServers();
        });
    }
    if (m_settings)
        m_recents = m_settings->recentServers();
}

ServersModel::~ServersModel()
{
    // The fetcher reads the hooks, which go before the children do.
    delete m_configFetcher;
}

void ServersModel::setHooks(const Hooks &hooks)
{
    m_hooks = hooks;
}

qint64 ServersModel::nowMs() const
{
    return m_clock ? m_clock() : QDateTime::currentMSecsSinceEpoch();
}

QString ServersModel::accountEmail() const
{
    return m_hooks.accountEmail ? m_hooks.accountEmail() : QString();
}

bool ServersModel::signedOut() const
{
    return m_hooks.signedOut && m_hooks.signedOut();
}

bool ServersModel::vpnHasDriver() const
{
    return m_hooks.vpnHasDriver && m_hooks.vpnHasDriver();
}

// ---------------------------------------------------------------------------
// Item model

QModelIndex ServersModel::index(int row, int column, const QModelIndex &parent) const
{
    if (column != 0 || row < 0)
        return {};
    if (!parent.isValid()) {
        if (size_t(row) >= m_locations.size())
            return {};
        return createIndex(row, 0, m_locations[size_t(row)].get());
    }
    auto *location = static_cast<Server *>(parent.internalPointer());
    if (!location || location->parent || size_t(row) >= location->children.size())
        return {};
    return createIndex(row, 0, location->children[size_t(row)].get());
}

QModelIndex ServersModel::parent(const QModelIndex &child) const
{
    if (!child.isValid())
        return {};
    auto *server = static_cast<Server *>(child.internalPointer());
    if (!server || !server->parent)
        return {};
    return createIndex(server->parent->row, 0, server->parent);
}

int ServersModel::rowCount(const QModelIndex &parent) const
{
    if (!parent.isValid())
        return int(m_locations.size());
    if (parent.column() != 0)
        return 0;
    auto *server = static_cast<Server *>(parent.internalPointer());
    return server && !server->parent ? int(server->children.size()) : 0;
}

int ServersModel::columnCount(const QModelIndex &parent) const
{
    Q_UNUSED(parent)
    return 1;
}

QVariant ServersModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.model() != this)
        return {};
    const auto *server = static_cast<const Server *>(index.internalPointer());
    if (!server)
        return {};
    switch (role) {
    case CountryRole:
        return server->name;
    case SupportedProtosRole:
        return server->supportedProtos();
    case ProtocolRole:
        return int(server->selectedProtocol != VpnProtocol::Optimal ? server->selectedProtocol
                                                                    : server->recommendedProtocol);
    case ChildServersCountRole:
        return server->childServersCount;
    case FlagRole:
        return server->flag;
    case CategoryRole:
        return server->category;
    case FavoriteRole:
        return server->favorite;
    case ServerIdRole:
        return server->serverId;
    case CityRole:
        return server->city;
    case SpeedScoreRole:
        return server->speedScore;
    case RecencyRole:
        return int(m_recents.indexOf(server->location()->name));
    case HealthRole:
        return server->health;
    case CdnRouteRole:
        return server->usableCdnRoute();
    default:
        return {};
    }
}

bool ServersModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    Q_UNUSED(role)
    if (!index.isValid() || index.model() != this)
        return false;
    auto *server = static_cast<Server *>(index.internalPointer());
    if (!server || !server->parent)
        return false;
    server->category = value.toString();
    emit dataChanged(index, index, {CategoryRole});
    return true;
}

QHash<int, QByteArray> ServersModel::roleNames() const
{
    return {
        {CountryRole, "server_country"}, {SupportedProtosRole, "supportedProtos"},
        {ProtocolRole, "protocol"},      {ChildServersCountRole, "child_servers_count"},
        {FlagRole, "flag"},              {CategoryRole, "category"},
        {FavoriteRole, "favorite"},      {ServerIdRole, "server_id"},
        {CityRole, "city"},              {SpeedScoreRole, "speed_score"},
        {RecencyRole, "recency"},        {HealthRole, "health"},
        {CdnRouteRole, "cdnRoute"},
    };
}

QVariantMap ServersModel::pingLimits() const
{
    return {{QStringLiteral("good"), m_goodPingMs}, {QStringLiteral("fair"), m_fairPingMs}};
}

template<typename F> void ServersModel::forEachServer(F f) const
{
    for (const auto &location : m_locations) {
        for (const auto &server : location->children) {
            if (!f(server.get()))
                return;
        }
    }
}

// ---------------------------------------------------------------------------
// Fetching the list

void ServersModel::fetchServers()
{
    // The fetch of a new session brings the periodic refresh back.
    if (!m_refreshTimer.isActive() && !signedOut())
        m_refreshTimer.start();
    m_lastFetchMs = nowMs();
    if (m_hooks.fetchServerList)
        m_hooks.fetchServerList();
    else
        logger.warning() << "No request layer to fetch the server list with";
}

void ServersModel::refreshServers()
{
    if (signedOut())
        return;
    if (m_lastFetchMs >= 0 && nowMs() - m_lastFetchMs < kRefreshMinAgeMs)
        return;
    fetchServers();
}

void ServersModel::scheduleFollowUp(int ms)
{
    if (!stopPollingWhenSignedOut())
        m_followUpTimer.start(delay(ms));
}

void ServersModel::retryLater()
{
    if (!stopPollingWhenSignedOut())
        m_retryTimer.start(delay(kRetryMs));
}

bool ServersModel::stopPollingWhenSignedOut()
{
    // The answer that ended the session (a 401) would otherwise be asked for
    // again and again with no session at all.
    if (!signedOut())
        return false;
    if (m_refreshTimer.isActive() || m_followUpTimer.isActive() || m_retryTimer.isActive())
        logger.info() << "Signed out: the server list is no longer refreshed";
    m_refreshTimer.stop();
    m_followUpTimer.stop();
    m_retryTimer.stop();
    return true;
}

void ServersModel::onNetworkRetryTimeout()
{
    useCache();
    retryLater();
}

bool ServersModel::useCache()
{
    if (!m_locations.empty() || m_cacheUsed || m_loadingCache || !m_settings)
        return false;
    // A list this run saved may still be on its way to the disk.
    m_cacheWriter->waitForIdle(kCacheWaitMs);
    const QByteArray body = ServerListCache::bodyFor(AppDataFile::read(kListCacheFile), accountEmail());
    if (body.isNull())
        return false;
    logger.info() << "No server list from the API: using the last one saved";
    m_loadingCache = true;
    parseResponse(body, 200);
    m_loadingCache = false;
    m_cacheUsed = !m_locations.empty();
    return m_cacheUsed;
}

void ServersModel::parseResponse(QByteArray data, int statusCode)
{
    m_retryTimer.stop();
    const bool success = statusCode >= 200 && statusCode <= 299;

    if (statusCode == 429) {
        scheduleFollowUp(kRateLimitRetryMs);
        return;
    }

    // A byte-identical answer carries exactly the settings already in force
    // (every answer that reached them also became the listed body), so it needs
    // neither parsing nor a rebuild. The body itself is kept rather than only its
    // SHA-1: comparing two shared buffers is cheaper than hashing every answer.
    if (success && !m_listBody.isNull() && data == m_listBody && !m_locations.empty()) {
        resolvePooledDefaults();
        checkApiDefaultServer();
        getDefaultServer();
        applyFavorites();
        return;
    }

    ServerList list = ServerListReader::read(data, m_currentProtocol);

    if (!success || !list.hasList) {
        if (m_locations.empty() && useCache()) {
            retryLater();
            return;
        }
        if (!m_locations.empty()) {
            logger.warning() << QStringLiteral("Server list refresh brought no list (HTTP %1) - keeping the current one")
                                    .arg(statusCode);
            scheduleFollowUp(kNoListRetryMs);
            return;
        }
    }

    m_protocolOrders = std::move(list.protocolOrders);
    if (list.hasPingLimits && (list.goodPingMs != m_goodPingMs || list.fairPingMs != m_fairPingMs)) {
        m_goodPingMs = list.goodPingMs;
        m_fairPingMs = list.fairPingMs;
        emit pingsChanged();
    }
    m_restrictedLikely = list.restrictedLikely;
    m_restrictedRaw = std::move(list.restrictedIds);
    m_apiDefaultRawName = list.defaultName;
    m_apiDefaultRawConfigId = list.defaultConfigId;
    m_apiDefaultIp = list.defaultIp;
    m_apiDefaultId = list.defaultId;

    m_listBody = data.isNull() ? QByteArray("") : data;
    adoptTree(list);
    m_disposer->dispose(std::move(list.source));
    // Only an answer that gave a tree replaces the saved one: a list of garbage
    // must not overwrite a good cache.
    if (success && list.hasList && !m_locations.empty() && !m_loadingCache)
        m_cacheWriter->write(accountEmail(), data);

    if (!m_currentServerName.isEmpty() && m_poolMemberNames.contains(m_currentServerName)) {
        m_currentServerName = m_poolMemberNames.value(m_currentServerName);
        m_currentConfigId.clear();
    }
    emit serversLoaded();

    resolvePooledDefaults();
    checkApiDefaultServer();
    bool currentListed = false;
    forEachServer([this, &currentListed](Server *server) {
        currentListed = server->name.compare(m_currentServerName, Qt::CaseInsensitive) == 0;
        return !currentListed;
    });
    if (!m_currentChosen || m_currentServerName.isEmpty() || !currentListed) {
        m_currentServerName = m_apiDefaultName;
        m_currentConfigId = m_apiDefaultConfigId;
    }
    getDefaultServer();
    applyFavorites();
    rebuildPings();
    measurePings();
    m_configFetcher->warmCdnConfigs();
}

void ServersModel::resolvePooledDefaults()
{
    m_apiDefaultName = m_apiDefaultRawName;
    m_apiDefaultConfigId = m_apiDefaultRawConfigId;
    const auto pooled = m_poolMemberIds.constFind(m_apiDefaultId);
    if (!m_apiDefaultId.isEmpty() && pooled != m_poolMemberIds.constEnd()) {
        m_apiDefaultName = pooled->name;
        m_apiDefaultConfigId = pooled->configId;
    }
    // Always from the answer's own list: pools may name each other, so resolving
    // an already resolved list again could keep changing it.
    m_restrictedServers = ServerListReader::resolveRestricted(m_restrictedRaw, m_poolMemberIds);
}

void ServersModel::adoptTree(ServerList &list)
{
    m_poolMemberNames.clear();
    m_poolMemberIds.clear();
    beginResetModel();
    m_currentServer = nullptr;
    // The old tree goes to the disposer whole; nothing here may point into it
    // once the views have been reset.
    struct OldTree {
        std::vector<std::unique_ptr<Server>> locations;
        ServerList::IdIndex byServerId;
        QHash<QString, Server *> byName;
        QHash<QString, Server *> byConfigId;
    } old{std::exchange(m_locations, {}), std::exchange(m_byServerId, {}), std::exchange(m_byName, {}),
          std::exchange(m_byConfigId, {})};
    m_firstServerOfAddress.clear();
    m_pingServers.clear();
    m_nextServerOfAddress.clear();
    endResetModel();
    if (!old.locations.empty())
        m_disposer->dispose(std::move(old));

    if (m_settings)
        m_recents = m_settings->recentServers();

    m_poolMemberNames = std::move(list.poolMemberNames);
    m_poolMemberIds = std::move(list.poolMemberIds);
    m_byServerId = std::move(list.byServerId);
    m_byName = std::move(list.byName);
    m_byConfigId = std::move(list.byConfigId);
    m_locations.reserve(list.locations.size());
    for (auto &location : list.locations) {
        const int row = int(m_locations.size());
        beginInsertRows(QModelIndex(), row, row);
        m_locations.push_back(std::move(location));
        endInsertRows();
    }
    list.locations.clear();

    if (list.specialtySections != m_specialtySections) {
        m_specialtySections = std::move(list.specialtySections);
        emit specialtySectionsChanged();
    }
}

// ---------------------------------------------------------------------------
// Favourites, recents and the home page

void ServersModel::applyFavorites()
{
    if (!m_settings)
        return;
    const QStringList saved = m_settings->favorites();
    for (QString name : saved) {
        const auto pool = m_poolMemberNames.constFind(name);
        if (pool != m_poolMemberNames.constEnd() && *pool != name) {
            m_settings->removeFavorite(name);
            m_settings->addFavorite(*pool);
            name = *pool;
        }
        Server *server = m_byName.value(name);
        if (!server)
            continue;
        server->favorite = true;
        server->parent->favorite = true;
        const QModelIndex serverIndex = createIndex(server->row, 0, server);
        const QModelIndex locationIndex = createIndex(server->parent->row, 0, server->parent);
        emit dataChanged(serverIndex, serverIndex, {FavoriteRole});
        emit dataChanged(locationIndex, locationIndex, {FavoriteRole});
    }
}

void ServersModel::toggleFavorite(const QString &serverId)
{
    Server *server = serverById(serverId);
    if (!server || !server->parent)
        return;
    server->favorite = !server->favorite;
    if (m_settings) {
        if (server->favorite)
            m_settings->addFavorite(server->name);
        else
            m_settings->removeFavorite(server->name);
    }
    if (server->favorite)
        server->parent->favorite = true;
    const QModelIndex serverIndex = createIndex(server->row, 0, server);
    const QModelIndex locationIndex = createIndex(server->parent->row, 0, server->parent);
    emit dataChanged(serverIndex, serverIndex, {FavoriteRole});
    emit dataChanged(locationIndex, locationIndex, {FavoriteRole});
}

int ServersModel::speedScoreOf(const QString &serverId) const
{
    const Server *server = serverById(serverId);
    return server && server->parent ? server->speedScore : 0;
}

void ServersModel::reportRecency()
{
    if (m_locations.empty())
        return;
    emit dataChanged(index(0, 0), index(int(m_locations.size()) - 1, 0), {RecencyRole});
}

QVariantList ServersModel::homeServersList(int max) const
{
    QVariantList rows;
    if (max <= 0)
        return rows;
    QSet<QString> taken;  // lower-cased names
    auto firstLocation = [this](const QString &name) -> const Server * {
        for (const auto &location : m_locations) {
            if (location->name.compare(name, Qt::CaseInsensitive) == 0)
                return location.get();
        }
        return nullptr;
    };
    auto addRow = [&rows](const Server *location, bool recent) {
        const Server *best = nullptr;
        for (const auto &server : location->children) {
            if (!best || server->speedScore > best->speedScore
                || (server->speedScore == best->speedScore && server->health > best->health))
                best = server.get();
        }
        rows << QVariantMap{{QStringLiteral("country"), location->name},
                            {QStringLiteral("flag"), location->flag},
                            {QStringLiteral("score"), location->speedScore},
                            {QStringLiteral("health"), location->health},
                            {QStringLiteral("recent"), recent},
                            {QStringLiteral("id"), best ? best->serverId : QString()},
                            {QStringLiteral("city"), best ? best->city : QString()}};
    };
    for (const QString &name : m_recents) {
        if (rows.size() >= max)
            return rows;
        const QString key = name.toLower();
        if (taken.contains(key))
            continue;
        if (const Server *location = firstLocation(name)) {
            taken.insert(key);
            addRow(location, true);
        }
    }
    QList<const Server *> others;
    for (const auto &location : m_locations) {
        const QString key = location->name.toLower();
        if (taken.contains(key))
            continue;
        taken.insert(key);
        others << location.get();
    }
    std::stable_sort(others.begin(), others.end(), [](const Server *a, const Server *b) {
        return a->name.compare(b->name, Qt::CaseInsensitive) < 0;
    });
    for (const Server *location : std::as_const(others)) {
        if (rows.size() >= max)
            break;
        addRow(location, false);
    }
    return rows;
}

QString ServersModel::countryWithCityMatch(const QString &query) const
{
    const QString needle = query.trimmed();
    if (needle.isEmpty())
        return {};
    for (const auto &location : m_locations) {
        for (const auto &server : location->children) {
            if (server->city.contains(needle, Qt::CaseInsensitive))
                return location->name;
            if (server->name.compare(location->name, Qt::CaseInsensitive) != 0
                && server->name.contains(needle, Qt::CaseInsensitive))
                return location->name;
        }
    }
    return {};
}

void ServersModel::reconcileAccount(const QString &email)
{
    if (email.isEmpty() || !m_settings)
        return;
    const QString stored = m_settings->lastAccountEmail();
    if (email.compare(stored, Qt::CaseInsensitive) == 0)
        return;
    if (!stored.isEmpty()) {
        CdnRouteCache::remove();
        m_settings->clearFavorites();
        m_settings->clearRecentServers();
        m_recents.clear();
        m_settings->setDefaultServer(QString());
        m_currentServerName.clear();
        m_currentConfigId.clear();
        for (const auto &location : m_locations) {
            location->favorite = false;
            for (const auto &server : location->children)
                server->favorite = false;
            const QModelIndex locationIndex = createIndex(location->row, 0, location.get());
            emit dataChanged(locationIndex, locationIndex, {FavoriteRole});
            if (!location->children.empty())
                emit dataChanged(index(0, 0, locationIndex),
                                 index(int(location->children.size()) - 1, 0, locationIndex), {FavoriteRole});
        }
        reportRecency();
        emit recentsChanged();
        m_listBody = QByteArray();
    }
    m_settings->setLastAccountEmail(email);
}

void ServersModel::onVpnStateChanged(VpnProtocol::ConnectionState state)
{
    m_pinger->clearQueue();
    m_stateChangeTimer.restart();
    if (m_measuring) {
        m_roundInvalidated = true;
        m_roundTimer.invalidate();
    }
    if (state != VpnProtocol::Connected || !m_currentServer)
        return;
    if (m_settings) {
        m_settings->addRecentServer(m_currentServer->location()->name);
        m_recents = m_settings->recentServers();
    }
    reportRecency();
    emit recentsChanged();
    announce(m_currentServer);
}

// ---------------------------------------------------------------------------
// Lookups

ServersModel::Server *ServersModel::serverById(const QString &serverId) const
{
    return ServerList::find(m_byServerId, serverId);
}

ServersModel::Server *ServersModel::serverByName(const QString &name, Server **location) const
{
    Server *server = m_byName.value(name);
    if (location)
        *location = server ? server->parent : nullptr;
    return server;
}

ServersModel::Server *ServersModel::serverByConfigId(const QString &configId) const
{
    return m_byConfigId.value(configId);
}

ServersModel::Server *ServersModel::locationByName(const QString &name) const
{
    for (const auto &location : m_locations) {
        if (location->name == name)
            return location.get();
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Current server, default server, protocol changes and switching

void ServersModel::setCurrent(Server *server)
{
    m_currentServer = server;
    m_currentServerName = server->name;
    m_currentConfigId = server->configId;
    m_currentChosen = true;
    // Every write is synced to disk: the same name is not written again.
    if (m_settings && m_settings->value(QStringLiteral("Settings/defaultServer")).toString() != server->name)
        m_settings->setDefaultServer(server->name);
}

void ServersModel::updateCurrentServer(Server *childServer)
{
    if (!childServer)
        return;
    setCurrent(childServer);
}

void ServersModel::announce(const Server *server)
{
    if (server)
        emit defaultServer(server->name, server->location()->flag, server->serverId, server->city);
}

ServersModel::Server *ServersModel::bestServerFor(VpnProtocol::Protocol protocol) const
{
    Server *best = nullptr;
    forEachServer([&best, protocol](Server *server) {
        if (server->offers(protocol) && (!best || server->health > best->health))
            best = server;
        return true;
    });
    return best;
}

void ServersModel::checkApiDefaultServer()
{
    Server *found = m_apiDefaultConfigId.isEmpty() ? nullptr : serverByConfigId(m_apiDefaultConfigId);
    if (!found && !m_apiDefaultName.isEmpty()) {
        forEachServer([this, &found](Server *server) {
            if (server->name.compare(m_apiDefaultName, Qt::CaseInsensitive) == 0)
                found = server;
            return !found;
        });
    }
    if (!found) {
        if (!m_apiDefaultName.isEmpty() || !m_apiDefaultConfigId.isEmpty())
            logger.warning() << "API default_server not found in the list:" << m_apiDefaultName
                             << m_apiDefaultConfigId;
        return;
    }
    if (m_currentProtocol != VpnProtocol::Optimal && !found->offers(m_currentProtocol)) {
        if (Server *best = bestServerFor(m_currentProtocol))
            found = best;
    }
    emit fastestServer(found->name, found->location()->flag, found->serverId, found->city);
}

void ServersModel::getDefaultServer()
{
    Server *server = m_currentConfigId.isEmpty() ? nullptr : serverByConfigId(m_currentConfigId);
    if (!server) {
        forEachServer([this, &server](Server *candidate) {
            if (candidate->name.compare(m_currentServerName, Qt::CaseInsensitive) == 0)
                server = candidate;
            return !server;
        });
    }
    if (!server) {
        logger.info() << "Could not find default server:" << m_currentServerName
                      << "- falling back to the first available server";
        for (const auto &location : m_locations) {
            if (!location->children.empty()) {
                server = location->children.front().get();
                break;
            }
        }
        if (!server)
            return;
    }
    if (m_currentProtocol != VpnProtocol::Optimal && !server->offers(m_currentProtocol)) {
        if (Server *best = bestServerFor(m_currentProtocol))
            server = best;
    }
    setCurrent(server);
    const VpnProtocol::Protocol protocol = server->effectiveProtocol();
    QPointer<ServersModel> self(this);
    getServerConfig(
        server->configId, protocol,
        [self](const QJsonObject &) {
            if (self)
                emit self->defaultServerReady();
        },
        false, 0, {}, true);
    announce(server);
}

void ServersModel::changeSelectedServer(const QString &flag, const QString &country)
{
    emit updateSelectedServer(flag, country);
}

bool ServersModel::checkProtocolOffered(const Server *server)
{
    if (!server || m_currentProtocol == VpnProtocol::Optimal || server->offers(m_currentProtocol))
        return false;
    emit protocolUnavailable(
        tr("%1 isn't offered on %2. Pick a server that offers it, or choose another protocol.")
            .arg(VpnProtocol::displayName(m_currentProtocol), server->name));
    return true;
}

void ServersModel::onProtocolChanged(int protocol)
{
    m_currentProtocol = isProtocol(protocol) ? VpnProtocol::Protocol(protocol) : VpnProtocol::Optimal;
    for (const auto &location : m_locations) {
        location->selectedProtocol = m_currentProtocol;
        for (const auto &server : location->children)
            server->selectedProtocol = server->offers(m_currentProtocol) ? m_currentProtocol : VpnProtocol::Optimal;
        const QModelIndex locationIndex = createIndex(location->row, 0, location.get());
        if (!location->children.empty())
            emit dataChanged(index(0, 0, locationIndex), index(int(location->children.size()) - 1, 0, locationIndex),
                             {ProtocolRole});
    }
    if (!m_locations.empty()) {
        emit dataChanged(index(0, 0), index(int(m_locations.size()) - 1, 0), {ProtocolRole});
        checkApiDefaultServer();
    }
    if (m_currentProtocol == VpnProtocol::Optimal || !m_currentServer || m_currentServer->offers(m_currentProtocol))
        return;
    Server *best = bestServerFor(m_currentProtocol);
    if (!best)
        return;
    updateCurrentServer(best);
    announce(best);
    emit serverChangedForProtocol(tr("%1 isn't offered on your last server, so %2 is selected.")
                                      .arg(VpnProtocol::displayName(m_currentProtocol), best->name));
}

bool ServersModel::selectServer(const QString &serverId)
{
    Server *target = serverById(serverId);
    if (!target || !target->parent) {
        logger.info() << "The chosen server is no longer in the list";
        announce(m_currentServer);
        return false;
    }
    // A server without the chosen protocol is refused here with the same
    // message a connect would give, and the current one stays.
    if (checkProtocolOffered(target)) {
        announce(m_currentServer);
        return false;
    }
    setCurrent(target);
    announce(target);
    return true;
}

QVariantMap ServersModel::serverDetails(const QString &serverId) const
{
    const Server *server = serverById(serverId);
    if (!server)
        return {};
    const Server *location = server->location();
    return {{QStringLiteral("name"), server->name},
            {QStringLiteral("city"), server->city},
            {QStringLiteral("country"), location->name},
            {QStringLiteral("flag"), location->flag},
            {QStringLiteral("category"), server->category},
            {QStringLiteral("favorite"), server->favorite}};
}

void ServersModel::switchConnection(const QString &serverId)
{
    Server *target = serverById(serverId);
    if (target && !target->parent)
        target = nullptr;
    if (!target) {
        logger.info() << "The tapped server is no longer in the list: nothing to switch to";
        announce(m_currentServer);
        return;
    }
    const VpnProtocol::ConnectionState state =
        m_hooks.vpnDriverState ? m_hooks.vpnDriverState() : VpnProtocol::Disconnected;
    if (vpnHasDriver() && (state == VpnProtocol::Connected || state == VpnProtocol::Connecting)
        && !target->configId.isEmpty() && target->configId == m_currentConfigId) {
        logger.info() << "Already connected to the selected server.";
        announce(m_currentServer);
        return;
    }
    if (checkProtocolOffered(target)) {
        announce(m_currentServer);
        return;
    }
    emit newConnectAttempt();
    const VpnProtocol::Protocol protocol = target->effectiveProtocol();
    if (m_hooks.vpnBeginSwitch)
        m_hooks.vpnBeginSwitch(protocol);
    const QString configId = target->configId;
    QPointer<ServersModel> self(this);
    getServerConfig(
        configId, protocol,
        [self, configId](const QJsonObject &) {
            if (!self)
                return;
            if (Server *server = self->serverByConfigId(configId)) {
                logger.info() << "Switching connection to:" << server->name;
                self->updateCurrentServer(server);
                emit self->connectToVpn();
            } else {
                logger.warning() << "Server" << configId << "disappeared during the switch";
            }
        },
        true, 0, {}, true);
}

ServersModel::NextServer ServersModel::pickNextServer(VpnProtocol::Protocol protocol,
                                                      const QStringList &excludedAddresses)
{
    const NextServerPicker::Choice choice =
        NextServerPicker::pick(m_locations, m_currentServer, protocol, m_currentProtocol, excludedAddresses,
                               {m_apiDefaultConfigId, m_apiDefaultIp, m_apiDefaultId}, NextServerPicker::allowList());
    if (choice.server) {
        setCurrent(choice.server);
        announce(choice.server);
    }
    return {choice.server, choice.otherLocation};
}

// ---------------------------------------------------------------------------
// Configuration fetch

void ServersModel::getServerConfig(const QString &configId, VpnProtocol::Protocol protocol,
                                   const ConfigHandler &onConfig, bool forConnect, int attempt,
                                   const ConfigErrorHandler &onError, bool askRecover, const QString &transport,
                                   bool preferDirect)
{
    m_configFetcher->getServerConfig(configId, protocol, onConfig, forConnect, attempt, onError, askRecover,
                                     transport, preferDirect);
}

void ServersModel::bumpConnectAttempt()
{
    m_configFetcher->bumpConnectAttempt();
}

// ---------------------------------------------------------------------------
// Latency

void ServersModel::measurePings()
{
    if (vpnHasDriver())
        return;
    if (m_stateChangeTimer.isValid() && m_stateChangeTimer.elapsed() < delay(kStateSettleMs)) {
        const qint64 wait = delay(kStateSettleRetryMs) - m_stateChangeTimer.elapsed();
        QTimer::singleShot(int(qMax<qint64>(1, wait)), this, &ServersModel::measurePings);
        return;
    }
    if (m_roundTimer.isValid() && m_roundTimer.elapsed() < kPingRoundMs)
        return;
    QStringList hosts;
    forEachServer([&hosts](Server *server) {
        if (!server->isPool && !server->ipAddress.isEmpty())
            hosts << server->ipAddress;
        return true;
    });
    if (hosts.isEmpty())
        return;
    m_roundTimer.start();
    m_measuring = true;
    m_roundAnswered = false;
    m_roundInvalidated = false;
    m_pinger->measure(hosts);
}

void ServersModel::onPingResult(const QString &host, int ms)
{
    if (m_roundInvalidated || vpnHasDriver())
        return;
    const int value = ms == 0 ? -1 : ms;
    if (value > 0)
        m_roundAnswered = true;
    const auto stored = m_measuredPings.constFind(host);
    if (stored != m_measuredPings.constEnd() && (*stored == value || (value < 0 && *stored >= 0)))
        return;
    m_measuredPings.insert(host, value);
    // Only the servers behind this address can show something new.
    indexPingAddresses();
    bool changed = false;
    const auto first = m_firstServerOfAddress.constFind(host);
    for (int index = first == m_firstServerOfAddress.constEnd() ? -1 : *first; index >= 0;
         index = m_nextServerOfAddress[size_t(index)]) {
        const Server *server = m_pingServers[size_t(index)];
        const QVariant entry = pingEntry(server);
        const auto shown = m_pings.find(server->serverId);
        if (!entry.isValid()) {
            if (shown != m_pings.end()) {
                m_pings.erase(shown);
                changed = true;
            }
        } else if (shown == m_pings.end()) {
            m_pings.insert(server->serverId, entry);
            changed = true;
        } else if (*shown != entry) {
            *shown = entry;
            changed = true;
        }
    }
    if (changed && !m_pingsTimer.isActive())
        m_pingsTimer.start();
}

QVariant ServersModel::pingEntry(const Server *server) const
{
    const int measured = server->isPool ? -1 : m_measuredPings.value(server->ipAddress, -1);
    if (measured >= 0)
        return QVariantMap{{QStringLiteral("ms"), measured}, {QStringLiteral("estimated"), false}};
    if (server->estimatedPingMs >= 0)
        return QVariantMap{{QStringLiteral("ms"), server->estimatedPingMs}, {QStringLiteral("estimated"), true}};
    return {};
}

void ServersModel::onPingsIdle()
{
    m_measuring = false;
    if (!m_roundAnswered)
        m_roundTimer.invalidate();
}

void ServersModel::rebuildPings()
{
    // Many servers share a value: their entries share one map.
    QHash<int, QVariant> measuredEntries;
    QHash<int, QVariant> estimatedEntries;
    auto entry = [](QHash<int, QVariant> &entries, int ms, bool estimated) {
        auto it = entries.find(ms);
        if (it == entries.end())
            it = entries.insert(ms, QVariantMap{{QStringLiteral("ms"), ms}, {QStringLiteral("estimated"), estimated}});
        return *it;
    };
    // The reader hands out record handles in ascending order along the rows:
    // each entry goes in at the end of the map, without a search.
    std::map<QString, QVariant> map;
    forEachServer([&](Server *server) {
        const int measured = server->isPool ? -1 : m_measuredPings.value(server->ipAddress, -1);
        if (measured >= 0)
            map.emplace_hint(map.end(), server->serverId, entry(measuredEntries, measured, false));
        else if (server->estimatedPingMs >= 0)
            map.emplace_hint(map.end(), server->serverId, entry(estimatedEntries, server->estimatedPingMs, true));
        return true;
    });
    QVariantMap pings(std::move(map));
    if (pings == m_pings)
        return;
    m_disposer->dispose(std::exchange(m_pings, std::move(pings)));
    if (!m_pingsTimer.isActive())
        m_pingsTimer.start();
}

void ServersModel::indexPingAddresses()
{
    if (!m_pingServers.empty())
        return;
    forEachServer([this](Server *server) {
        if (server->isPool || server->ipAddress.isEmpty())
            return true;
        const int index = int(m_pingServers.size());
        m_pingServers.push_back(server);
        const auto first = m_firstServerOfAddress.find(server->ipAddress);
        if (first == m_firstServerOfAddress.end()) {
            m_firstServerOfAddress.insert(server->ipAddress, index);
            m_nextServerOfAddress.push_back(-1);
        } else {
            m_nextServerOfAddress.push_back(*first);
            *first = index;
        }
        return true;
    });
}
