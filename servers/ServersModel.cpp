#include "servers/ServersModel.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QGuiApplication>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QPointer>
#include <QRandomGenerator>
#include <QUuid>

#include <cmath>
#include <limits>

#include "app/Logger.h"
#include "app/Settings.h"
#include "servers/AppDataFile.h"
#include "servers/CdnRouteCache.h"
#include "servers/ConfigRequest.h"
#include "servers/ConnectionConfig.h"
#include "servers/Pinger.h"
#include "servers/RecoveryBudget.h"
#include "servers/ServerLinks.h"
#include "vpn/VpnConnection.h"

namespace {

Logger logger(QStringLiteral("ServersModel"));

const QString kFlagPrefix = QStringLiteral("qrc:/ui/icons/flags/");

// Category names that are the interface's own tabs, never specialty sections.
bool isOrdinaryCategory(const QString &name)
{
    static const char *const names[] = {"Free", "High Speed", "Favourite", "Favorite", "Favourites", "Favorites"};
    for (const char *ordinary : names) {
        if (name.compare(QLatin1String(ordinary), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool isFavoritesCategory(const QString &name)
{
    static const char *const names[] = {"Favourite", "Favorite", "Favourites", "Favorites"};
    for (const char *favorites : names) {
        if (name.compare(QLatin1String(favorites), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// Numbers arrive as JSON numbers or as numeric text; anything else (objects,
// lists, text that is no number, values beyond a double) is not a number.
bool numberOf(const QJsonValue &value, double *out)
{
    double number = 0;
    if (value.isDouble()) {
        number = value.toDouble();
    } else if (value.isString()) {
        bool ok = false;
        number = value.toString().trimmed().toDouble(&ok);
        if (!ok)
            return false;
    } else {
        return false;
    }
    if (!std::isfinite(number))
        return false;
    *out = number;
    return true;
}

// Rounds halves away from zero and keeps the result inside int.
int roundedInt(double number)
{
    const double rounded = std::round(number);
    if (rounded >= double(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    if (rounded <= double(std::numeric_limits<int>::min()))
        return std::numeric_limits<int>::min();
    return int(rounded);
}

int roundedIntOf(const QJsonValue &value, int fallback)
{
    double number = 0;
    return numberOf(value, &number) ? roundedInt(number) : fallback;
}

int healthOf(const QJsonValue &value)
{
    if (value.isDouble())
        return roundedIntOf(value, 0);
    if (value.isString()) {
        bool ok = false;
        const int health = value.toString().trimmed().toInt(&ok, 10);
        return ok ? health : 0;
    }
    return 0;
}

// Ids come as text or as numbers; both are kept as text.
QString idText(const QJsonValue &value)
{
    if (value.isString())
        return value.toString();
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (std::floor(number) == number && std::fabs(number) < 9.0e15)
            return QString::number(qint64(number));
        return QString::number(number, 'g', 17);
    }
    return {};
}

QString textOf(const QJsonObject &object, QLatin1String key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

// "\A[A-Za-z0-9_-]{1,32}\z": the names the API may give for a protocol's type and transport.
bool isProtocolWord(const QString &text)
{
    if (text.isEmpty() || text.size() > 32)
        return false;
    for (QChar c : text) {
        const ushort u = c.unicode();
        const bool ok = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_'
                        || u == '-';
        if (!ok)
            return false;
    }
    return true;
}

// The protocol a "protocols" entry stands for; -1 for "reality-cdn", 0 for none.
int protocolOfId(const QString &id)
{
    static const struct {
        QLatin1String id;
        int protocol;
    } ids[] = {{QLatin1String("wireguard"), VpnProtocol::WireGuard},
               {QLatin1String("openvpn"), VpnProtocol::OpenVpnUdp},
               {QLatin1String("reality"), VpnProtocol::Stealth},
               {QLatin1String("amneziawg"), VpnProtocol::AmneziaWg},
               {QLatin1String("openvpn-tcp"), VpnProtocol::OpenVpnTcp},
               {QLatin1String("hysteria2"), VpnProtocol::Hysteria2},
               {QLatin1String("reality-cdn"), -1}};
    // The API writes them in lower case; other spellings take the slower road.
    for (const auto &entry : ids) {
        if (id == entry.id)
            return entry.protocol;
    }
    for (const auto &entry : ids) {
        if (id.size() == entry.id.size() && id.compare(entry.id, Qt::CaseInsensitive) == 0)
            return entry.protocol;
    }
    return 0;
}

QString lowered(const QString &text)
{
    for (QChar c : text) {
        if (c.unicode() >= 'A' && c.unicode() <= 'Z')
            return text.toLower();
        if (c.unicode() > 0x7f)
            return text.toLower();
    }
    return text;
}

bool isProtocol(int value)
{
    return value >= VpnProtocol::Optimal && value <= VpnProtocol::Hysteria2;
}

// The list of an answer counts only when it builds at least one server: a
// named category with a country that holds a server object, or a pool with a
// config id and a name. Entries that build none are no list, however many.
bool buildsServers(const QJsonArray &categories)
{
    for (const QJsonValue &item : categories) {
        const QJsonObject category = item.toObject();
        if (textOf(category, QLatin1String("name")).isEmpty())
            continue;
        for (const QJsonValue &countryValue : category.value(QLatin1String("countries")).toArray()) {
            const QJsonObject country = countryValue.toObject();
            for (const QJsonValue &server : country.value(QLatin1String("vpn_servers")).toArray()) {
                if (server.isObject())
                    return true;
            }
            for (const QJsonValue &poolValue : country.value(QLatin1String("pools")).toArray()) {
                const QJsonObject pool = poolValue.toObject();
                if (!textOf(pool, QLatin1String("config_id")).isEmpty() && !textOf(pool, QLatin1String("name")).isEmpty())
                    return true;
            }
        }
    }
    return false;
}

QString statusLabel(int status, const QJsonObject &answer)
{
    QString label = QStringLiteral("HTTP %1").arg(status);
    const QString message = answer.value(QLatin1String("message")).toString();
    if (!message.isEmpty())
        label += QStringLiteral(", \"%1\"").arg(message.left(120));
    return label;
}

// The "error" of a refusal as text: the string itself, or the error object.
QString errorText(const QJsonObject &answer)
{
    const QJsonValue error = answer.value(QLatin1String("error"));
    if (error.isString())
        return error.toString();
    if (error.isObject())
        return QString::fromUtf8(QJsonDocument(error.toObject()).toJson(QJsonDocument::Compact));
    return {};
}

// Record handles only need to be unique within the run: a version-4 UUID from
// the process's securely seeded generator, without a system call per record.
QString newServerId()
{
    quint32 words[4];
    QRandomGenerator::global()->fillRange(words);
    words[1] = (words[1] & 0xffff0fffu) | 0x00004000u;  // version 4
    words[2] = (words[2] & 0x3fffffffu) | 0x80000000u;  // RFC 4122 variant
    // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", as QUuid::toString() writes it.
    static const char hex[] = "0123456789abcdef";
    QString id(38, Qt::Uninitialized);
    QChar *d = id.data();
    int n = 0;
    auto put = [&](quint32 word, int digits) {
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
            d[n++] = QLatin1Char(hex[(word >> shift) & 0xf]);
    };
    d[n++] = QLatin1Char('{');
    put(words[0], 8);
    d[n++] = QLatin1Char('-');
    put(words[1] >> 16, 4);
    d[n++] = QLatin1Char('-');
    put(words[1] & 0xffff, 4);
    d[n++] = QLatin1Char('-');
    put(words[2] >> 16, 4);
    d[n++] = QLatin1Char('-');
    put(words[2] & 0xffff, 4);
    put(words[3], 8);
    d[n++] = QLatin1Char('}');
    return id;
}

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
}

} // namespace

const QString ServersModel::kListCacheFile = QStringLiteral("server-list.json");

QByteArray ServersModel::listDigest() const
{
    return m_listBody.isNull() ? QByteArray() : QCryptographicHash::hash(m_listBody, QCryptographicHash::Sha1);
}

// ---------------------------------------------------------------------------
// Server record

bool ServersModel::Server::offers(VpnProtocol::Protocol protocol) const
{
    if (protocols.contains(protocol))
        return true;
    return protocol == VpnProtocol::Stealth && (hasCdnRoute || protocols.contains(VpnProtocol::Hysteria2));
}

VpnProtocol::Protocol ServersModel::Server::effectiveProtocol() const
{
    return selectedProtocol == VpnProtocol::Optimal ? recommendedProtocol : selectedProtocol;
}

bool ServersModel::Server::usableCdnRoute() const
{
    QHostAddress address;
    return hasCdnRoute && address.setAddress(cdnProbeAddress) && !cdnProbeSni.isEmpty()
           && cdnProbePath.startsWith(QLatin1Char('/'));
}

QVariantList ServersModel::Server::supportedProtos() const
{
    QVariantList list;
    list.reserve(protocols.size() + 1);
    for (VpnProtocol::Protocol protocol : protocols)
        list << int(protocol);
    if (!protocols.contains(VpnProtocol::Stealth) && (hasCdnRoute || protocols.contains(VpnProtocol::Hysteria2)))
        list << int(VpnProtocol::Stealth);
    return list;
}

// ---------------------------------------------------------------------------
// Construction and links

ServersModel::ServersModel(QSharedPointer<Settings> settings, QSharedPointer<VpnConnection> vpnConnection,
                           QObject *parent)
    : QAbstractItemModel(parent), m_settings(std::move(settings)), m_vpnConnection(std::move(vpnConnection)),
      m_pinger(new Pinger(this))
{
    m_hooks = ServerLinks::requestLayer(this);
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

ServersModel::~ServersModel() = default;

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

QString ServersModel::sessionToken() const
{
    return m_hooks.sessionToken ? m_hooks.sessionToken() : QString();
}

bool ServersModel::signedOut() const
{
    return m_hooks.signedOut && m_hooks.signedOut();
}

bool ServersModel::vpnHasDriver() const
{
    return m_hooks.vpnHasDriver && m_hooks.vpnHasDriver();
}

bool ServersModel::firewallHeld() const
{
    return m_hooks.vpnFirewallHeld && m_hooks.vpnFirewallHeld();
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
    const QJsonObject cache = QJsonDocument::fromJson(AppDataFile::read(kListCacheFile)).object();
    const QString email = accountEmail();
    const QJsonValue account = cache.value(QLatin1String("account"));
    const QJsonValue body = cache.value(QLatin1String("body"));
    if (email.isEmpty() || !account.isString() || account.toString().compare(email, Qt::CaseInsensitive) != 0
        || !body.isString())
        return false;
    logger.info() << "No server list from the API: using the last one saved";
    m_loadingCache = true;
    parseResponse(body.toString().toUtf8(), 200);
    m_loadingCache = false;
    m_cacheUsed = !m_locations.empty();
    return m_cacheUsed;
}

void ServersModel::writeListCache(const QByteArray &body)
{
    // {"account": ..., "body": ...}, written by hand: the body is megabytes of
    // text that would otherwise be converted twice.
    QByteArray cache;
    cache.reserve(body.size() + body.size() / 8 + 256);
    cache += "{\"account\":";
    appendJsonString(cache, accountEmail().toUtf8());
    cache += ",\"body\":";
    appendJsonString(cache, body);
    cache += '}';
    AppDataFile::write(kListCacheFile, cache);
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

    const QJsonObject root = QJsonDocument::fromJson(data).object();
    const QJsonObject payload = root.value(QLatin1String("data")).toObject();
    const QJsonArray list = payload.value(QLatin1String("vpn_servers")).toArray();
    const bool hasList = buildsServers(list);

    if (!success || !hasList) {
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

    m_protocolOrders.clear();
    const QJsonObject orders = payload.value(QLatin1String("protocol_order")).toObject();
    for (auto it = orders.constBegin(); it != orders.constEnd(); ++it) {
        if (!it.value().isArray())
            continue;
        QStringList order;
        for (const QJsonValue &item : it.value().toArray()) {
            if (item.isString())
                order << item.toString();
        }
        m_protocolOrders.insert(it.key(), order);
    }

    const QJsonObject limits = payload.value(QLatin1String("ping_limits")).toObject();
    const QJsonValue good = limits.value(QLatin1String("good_ms"));
    const QJsonValue fair = limits.value(QLatin1String("fair_ms"));
    if (good.isDouble() && fair.isDouble()) {
        const double g = good.toDouble();
        const double f = fair.toDouble();
        if (std::floor(g) == g && std::floor(f) == f && g >= 1 && g < f && f <= 100000
            && (int(g) != m_goodPingMs || int(f) != m_fairPingMs)) {
            m_goodPingMs = int(g);
            m_fairPingMs = int(f);
            emit pingsChanged();
        }
    }

    const QJsonObject restricted = payload.value(QLatin1String("restricted_network")).toObject();
    m_restrictedLikely = restricted.value(QLatin1String("likely")).toBool(false);
    m_restrictedRaw.clear();
    for (const QJsonValue &item : restricted.value(QLatin1String("servers")).toArray()) {
        const QString id = idText(item);
        if (!id.isEmpty())
            m_restrictedRaw << id;
    }
    const QJsonObject apiDefault = payload.value(QLatin1String("default_server")).toObject();
    m_apiDefaultRawName = textOf(apiDefault, QLatin1String("name"));
    m_apiDefaultRawConfigId = textOf(apiDefault, QLatin1String("config_id"));
    m_apiDefaultIp = textOf(apiDefault, QLatin1String("ip_address"));
    m_apiDefaultId = idText(apiDefault.value(QLatin1String("id")));

    m_listBody = data.isNull() ? QByteArray("") : data;
    rebuild(list);
    // Only an answer that gave a tree replaces the saved one: a list of garbage
    // must not overwrite a good cache.
    if (success && hasList && !m_locations.empty() && !m_loadingCache)
        writeListCache(data);

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
    warmCdnConfigs();
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
    QStringList ids;
    for (const QString &id : std::as_const(m_restrictedRaw)) {
        const auto pool = m_poolMemberIds.constFind(id);
        const QString resolved = pool != m_poolMemberIds.constEnd() ? pool->id : id;
        if (!ids.contains(resolved))
            ids << resolved;
    }
    m_restrictedServers = ids;
}

void ServersModel::rebuild(const QJsonArray &categories)
{
    m_poolMemberNames.clear();
    m_poolMemberIds.clear();
    beginResetModel();
    m_currentServer = nullptr;
    m_byServerId.clear();
    m_byName.clear();
    m_byConfigId.clear();
    m_locations.clear();
    endResetModel();

    if (m_settings)
        m_recents = m_settings->recentServers();

    // One pass to size the lookups: growing them server by server costs more
    // than the whole count.
    qsizetype records = 0;
    for (const QJsonValue &item : categories) {
        for (const QJsonValue &country : item.toObject().value(QLatin1String("countries")).toArray()) {
            const QJsonObject object = country.toObject();
            records += 1 + object.value(QLatin1String("vpn_servers")).toArray().size()
                       + object.value(QLatin1String("pools")).toArray().size();
        }
    }
    m_byServerId.reserve(records);
    m_byName.reserve(records);
    m_byConfigId.reserve(records);

    QStringList sections;
    for (const QJsonValue &item : categories) {
        const QJsonObject category = item.toObject();
        const QString name = textOf(category, QLatin1String("name"));
        if (name.isEmpty())
            continue;
        if (!isOrdinaryCategory(name) && !sections.contains(name))
            sections << name;
        for (const QJsonValue &country : category.value(QLatin1String("countries")).toArray()) {
            if (country.isObject())
                addLocation(name, country.toObject());
        }
    }
    if (sections != m_specialtySections) {
        m_specialtySections = sections;
        emit specialtySectionsChanged();
    }
}

void ServersModel::addLocation(const QString &category, const QJsonObject &country)
{
    auto location = std::make_unique<Server>();
    location->serverId = newServerId();
    location->name = textOf(country, QLatin1String("name"));
    location->flag = kFlagPrefix + textOf(country, QLatin1String("country_code")).toLower() + QStringLiteral(".svg");
    location->category = category;
    location->selectedProtocol = m_currentProtocol;
    location->row = int(m_locations.size());

    // Pools stand for their members: a member is shown through its pool only.
    QList<QJsonObject> entries;
    const QJsonArray servers = country.value(QLatin1String("vpn_servers")).toArray();
    const QJsonArray pools = country.value(QLatin1String("pools")).toArray();
    entries.reserve(servers.size() + pools.size());
    QHash<QString, QString> memberOf;  // member id → pool name, this country only
    for (const QJsonValue &item : pools) {
        const QJsonObject pool = item.toObject();
        const QString configId = textOf(pool, QLatin1String("config_id"));
        const QString poolName = textOf(pool, QLatin1String("name"));
        if (configId.isEmpty() || poolName.isEmpty())
            continue;
        const PoolRef ref{configId, poolName, idText(pool.value(QLatin1String("id")))};
        for (const QJsonValue &member : pool.value(QLatin1String("members")).toArray()) {
            const QString memberId = idText(member);
            if (memberId.isEmpty())
                continue;
            memberOf.insert(memberId, poolName);
            m_poolMemberIds.insert(memberId, ref);
        }
        entries << pool;
    }
    for (const QJsonValue &item : servers) {
        if (!item.isObject())
            continue;
        const QJsonObject server = item.toObject();
        if (memberOf.isEmpty()) {
            entries << server;
            continue;
        }
        const QString id = idText(server.value(QLatin1String("id")));
        const auto pool = id.isEmpty() ? memberOf.constEnd() : memberOf.constFind(id);
        if (pool == memberOf.constEnd()) {
            entries << server;
            continue;
        }
        const QString memberName = textOf(server, QLatin1String("name"));
        if (!memberName.isEmpty())
            m_poolMemberNames.insert(memberName, *pool);
    }

    location->childServersCount = int(entries.size());
    location->children.reserve(size_t(entries.size()));
    for (const QJsonObject &entry : std::as_const(entries)) {
        auto server = std::make_unique<Server>();
        Server &s = *server;
        s.serverId = newServerId();
        s.parent = location.get();
        s.row = int(location->children.size());
        s.flag = location->flag;
        s.category = category;

        // One walk over the keys: looking each of them up costs a search per key.
        QJsonValue vpnType, offeredProtocols, recommendedValue, poolValue, speed, health, latitudeValue,
            longitudeValue, probeValue, estimateValue, idValue;
        for (auto it = entry.constBegin(); it != entry.constEnd(); ++it) {
            const QString key = it.key();
            switch (key.size()) {
            case 2:
                if (key == QLatin1String("id"))
                    idValue = it.value();
                break;
            case 3:
                if (key == QLatin1String("lat"))
                    latitudeValue = it.value();
                break;
            case 4:
                if (key == QLatin1String("name"))
                    s.name = it.value().toString();
                else if (key == QLatin1String("city"))
                    s.city = it.value().toString();
                else if (key == QLatin1String("long"))
                    longitudeValue = it.value();
                else if (key == QLatin1String("pool"))
                    poolValue = it.value();
                break;
            case 6:
                if (key == QLatin1String("health"))
                    health = it.value();
                break;
            case 8:
                if (key == QLatin1String("vpn_type"))
                    vpnType = it.value();
                break;
            case 9:
                if (key == QLatin1String("config_id"))
                    s.configId = it.value().toString();
                else if (key == QLatin1String("protocols"))
                    offeredProtocols = it.value();
                else if (key == QLatin1String("cdn_probe"))
                    probeValue = it.value();
                break;
            case 10:
                if (key == QLatin1String("ip_address"))
                    s.ipAddress = it.value().toString();
                break;
            case 11:
                if (key == QLatin1String("speed_score"))
                    speed = it.value();
                break;
            case 15:
                if (key == QLatin1String("recommended_vpn"))
                    recommendedValue = it.value();
                break;
            case 17:
                if (key == QLatin1String("estimated_ping_ms"))
                    estimateValue = it.value();
                break;
            default:
                break;
            }
        }

        // Protocols: the "protocols" entries win; the legacy names count only without them.
        s.protocols.reserve(4);
        QStringList legacy;
        for (const QJsonValue &name : vpnType.toArray()) {
            if (name.isString())
                legacy << name.toString();
        }
        if (legacy.isEmpty() && vpnType.isString())
            legacy = vpnType.toString().split(QLatin1Char(','), Qt::SkipEmptyParts);
        for (const QJsonValue &item : offeredProtocols.toArray()) {
            // Entries hold one to three keys: looking them up is cheaper than a walk.
            const QJsonObject offered = item.toObject();
            const QString id = offered.value(QLatin1String("id")).toString();
            if (id.isEmpty())
                continue;
            const int known = protocolOfId(id);
            if (known < 0) {
                s.hasCdnRoute = true;
                continue;
            }
            if (known == 0)
                continue;
            const auto protocol = VpnProtocol::Protocol(known);
            const QString type = offered.value(QLatin1String("vpn_type")).toString();
            const QString transport = lowered(offered.value(QLatin1String("transport")).toString());
            if (isProtocolWord(type))
                s.vpnTypes.insert(protocol, type);
            if (isProtocolWord(transport))
                s.transports.insert(protocol, transport);
            if (!s.protocols.contains(protocol))
                s.protocols << protocol;
        }
        if (s.protocols.isEmpty()) {
            for (const QString &raw : std::as_const(legacy)) {
                const QString name = raw.trimmed().toLower();
                if (name.contains(QLatin1String("openvpn"))) {
                    if (!s.protocols.contains(VpnProtocol::OpenVpnUdp))
                        s.protocols << VpnProtocol::OpenVpnUdp;
                } else if (name.contains(QLatin1String("wireguard")) && !s.protocols.contains(VpnProtocol::WireGuard)) {
                    s.protocols << VpnProtocol::WireGuard;
                }
            }
        }
        if (s.protocols.isEmpty())
            s.protocols = {VpnProtocol::OpenVpnUdp, VpnProtocol::WireGuard};

        const QString recommended = recommendedValue.toString();
        if (recommended.contains(QLatin1String("openvpn"), Qt::CaseInsensitive))
            s.recommendedProtocol = VpnProtocol::OpenVpnUdp;
        else if (recommended.contains(QLatin1String("wireguard"), Qt::CaseInsensitive))
            s.recommendedProtocol = VpnProtocol::WireGuard;
        else if (!recommended.isEmpty())
            logger.warning() << "unrecognised recommended_vpn:" << recommended.toLower()
                             << "- falling back to a supported protocol";
        if (!s.protocols.contains(s.recommendedProtocol)) {
            logger.info() << "recommended protocol" << int(s.recommendedProtocol) << "not supported by" << s.city
                          << "- using" << int(s.protocols.first());
            s.recommendedProtocol = s.protocols.first();
        }
        s.selectedProtocol = m_currentProtocol != VpnProtocol::Optimal && s.protocols.contains(m_currentProtocol)
                                 ? m_currentProtocol
                                 : VpnProtocol::Optimal;

        s.isPool = poolValue.toBool(false);
        if (s.name == location->name)
            s.name = s.name.toLower();
        s.speedScore = roundedIntOf(speed, 0);
        s.health = healthOf(health);
        s.apiId = idText(idValue);
        if (probeValue.isObject()) {
            const QJsonObject probe = probeValue.toObject();
            s.cdnProbeAddress = textOf(probe, QLatin1String("address"));
            s.cdnProbeSni = textOf(probe, QLatin1String("sni"));
            s.cdnProbePath = textOf(probe, QLatin1String("path"));
        }
        double latitude = 0;
        double longitude = 0;
        s.hasCoordinates = numberOf(latitudeValue, &latitude) && numberOf(longitudeValue, &longitude);
        if (s.hasCoordinates) {
            s.latitude = latitude;
            s.longitude = longitude;
        }
        const int estimate = roundedIntOf(estimateValue, -1);
        s.estimatedPingMs = estimate >= 0 ? estimate : -1;

        location->speedScore = qMax(location->speedScore, s.speedScore);
        location->health = qMax(location->health, s.health);
        m_byServerId.insert(s.serverId, server.get());
        if (!s.name.isEmpty() && !m_byName.contains(s.name))
            m_byName.insert(s.name, server.get());
        if (!s.configId.isEmpty() && !m_byConfigId.contains(s.configId))
            m_byConfigId.insert(s.configId, server.get());
        location->children.push_back(std::move(server));
    }

    const int row = int(m_locations.size());
    beginInsertRows(QModelIndex(), row, row);
    m_byServerId.insert(location->serverId, location.get());
    m_locations.push_back(std::move(location));
    endInsertRows();
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
    return m_byServerId.value(serverId);
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
    QStringList allow;
#ifdef KELVRA_STAGING
    for (const QString &part : qEnvironmentVariable("KELVRA_SWITCH_ALLOW").split(QLatin1Char(','))) {
        const QString id = part.trimmed();
        if (!id.isEmpty())
            allow << id;
    }
#endif
    if (!m_currentServer || m_currentServer->ipAddress.isEmpty())
        return {};

    const VpnProtocol::Protocol wanted = protocol == VpnProtocol::Hysteria2 ? VpnProtocol::Stealth : protocol;
    auto groupOf = [](const Server *server) {
        if (server->category.compare(QLatin1String("Free"), Qt::CaseInsensitive) == 0)
            return QStringLiteral("High Speed");
        if (isFavoritesCategory(server->category))
            return QString();
        return server->category;
    };
    auto eligible = [this, wanted](const Server *server) {
        if (isFavoritesCategory(server->category))
            return false;
        if (m_currentProtocol == VpnProtocol::Optimal)
            return true;
        return server->protocols.contains(wanted) && server->effectiveProtocol() == wanted;
    };
    auto isApiDefault = [this](const Server *server) {
        if (!m_apiDefaultConfigId.isEmpty())
            return server->configId == m_apiDefaultConfigId;
        if (!m_apiDefaultIp.isEmpty())
            return server->ipAddress == m_apiDefaultIp;
        if (!m_apiDefaultId.isEmpty())
            return server->apiId == m_apiDefaultId;
        return false;
    };

    const Server *current = m_currentServer;
    QString group = groupOf(current);
    if (group.isEmpty()) {
        forEachServer([&](Server *server) {
            if (server->configId == current->configId && !groupOf(server).isEmpty()) {
                group = groupOf(server);
                return false;
            }
            return true;
        });
    }

    auto distanceKm = [current](const Server *server) {
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

    Server *sameBest = nullptr;
    Server *otherBest = nullptr;
    double otherDistance = -1;
    forEachServer([&](Server *server) {
        // A server without an address could never be excluded and would be
        // picked again and again.
        if (!eligible(server) || (!group.isEmpty() && groupOf(server) != group) || server->ipAddress.isEmpty()
            || server->ipAddress == current->ipAddress || excludedAddresses.contains(server->ipAddress))
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

    NextServer next;
    if (sameBest) {
        next.server = sameBest;
    } else if (otherBest) {
        next.server = otherBest;
        next.otherLocation = true;
    }
    if (next.server) {
        setCurrent(next.server);
        announce(next.server);
    }
    return next;
}

// ---------------------------------------------------------------------------
// Configuration fetch

struct ServersModel::ConfigFetch {
    QString configId;
    VpnProtocol::Protocol protocol = VpnProtocol::Optimal;
    ConfigHandler onConfig;
    bool forConnect = false;
    int attempt = 0;
    ConfigErrorHandler onError;
    bool askRecover = false;
    QString transport;  // the caller's
    bool preferDirect = false;

    quint64 attemptNumber = 0;
    QNetworkRequest request;
    bool askedRecovery = false;
};

void ServersModel::bumpConnectAttempt()
{
    ++m_connectAttempt;
}

void ServersModel::getServerConfig(const QString &configId, VpnProtocol::Protocol protocol,
                                   const ConfigHandler &onConfig, bool forConnect, int attempt,
                                   const ConfigErrorHandler &onError, bool askRecover, const QString &transport,
                                   bool preferDirect)
{
    auto fetch = std::make_shared<ConfigFetch>();
    fetch->configId = configId;
    fetch->protocol = protocol;
    fetch->onConfig = onConfig;
    fetch->forConnect = forConnect;
    fetch->attempt = attempt;
    fetch->onError = onError;
    fetch->askRecover = askRecover;
    fetch->transport = transport;
    fetch->preferDirect = preferDirect;
    fetch->attemptNumber = forConnect ? m_connectAttempt : m_backgroundAttempt;
    m_lastFetchAskedRecovery = false;

    // Such an id would fetch another endpoint's answer as a configuration. It is
    // refused before anything of the request is spent, and the caller hears of it
    // the way it hears of any failed fetch: once the event loop turns.
    if (!ConfigRequest::isServerId(configId)) {
        logger.warning() << "Refusing config id" << configId << "- a path step, not a server";
        answerUnsent(fetch, QStringLiteral("not a config id"), false);
        return;
    }

    const Server *server = serverByConfigId(configId);
    const ConfigRequest::Names names =
        ConfigRequest::namesFor(protocol, server ? server->vpnTypes.value(protocol) : QString(),
                                server ? server->transports.value(protocol) : QString(), transport);

    bool usedSavedRoute = false;
    if (forConnect || onError) {
        usedSavedRoute = m_usedSavedCdnRoute;
        m_usedSavedCdnRoute = false;
    }
    const bool recoverable = protocol == VpnProtocol::WireGuard || protocol == VpnProtocol::AmneziaWg
                             || protocol == VpnProtocol::Stealth || protocol == VpnProtocol::Hysteria2;
    if (onError && askRecover && !usedSavedRoute && recoverable && m_settings)
        fetch->askedRecovery = RecoveryBudget::tryAsk(*m_settings, nowMs(), RecoveryBudget::perHourLimit());
    m_lastFetchAskedRecovery = fetch->askedRecovery;

    const QString baseUrl = m_hooks.apiBaseUrl ? m_hooks.apiBaseUrl() : QString();
    const QUrl url = ConfigRequest::url(baseUrl, configId, names, fetch->askedRecovery);
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setRawHeader("Authorization", "Bearer " + sessionToken().toUtf8());
    if (!baseUrl.isEmpty() && url.toString().startsWith(baseUrl)) {
        request.setRawHeader("X-App-Version", KELVRA_VERSION);
        request.setRawHeader("X-Platform", "windows");
    }
    fetch->request = request;
    sendConfigFetch(fetch);
}

void ServersModel::sendConfigFetch(const std::shared_ptr<ConfigFetch> &fetch)
{
    const bool held = firewallHeld();
    const bool onPrimary = !m_hooks.apiOnPrimaryHost || m_hooks.apiOnPrimaryHost();
    // While the firewall holds traffic only the service reaches the API; a
    // recovery fetch also goes through it while the primary host is in use.
    const bool throughService = (fetch->onError && held)
                                || (fetch->onError && !held && !fetch->preferDirect && onPrimary)
                                || (fetch->forConnect && held);
    if (throughService)
        sendConfigThroughService(fetch);
    else
        sendConfigDirect(fetch);
}

void ServersModel::sendConfigDirect(const std::shared_ptr<ConfigFetch> &fetch)
{
    QPointer<ServersModel> self(this);
    auto done = [self, fetch](const ConfigReply &reply) {
        if (self)
            self->handleConfigAnswer(fetch, reply);
    };
    if (m_hooks.fetchConfigDirect) {
        m_hooks.fetchConfigDirect(fetch->request, done);
        return;
    }
    logger.warning() << "No request layer to fetch the configuration with";
    answerUnsent(fetch, QStringLiteral("no request layer"), true);
}

void ServersModel::answerUnsent(const std::shared_ptr<ConfigFetch> &fetch, const QString &errorText,
                                bool hostUnreachable)
{
    QTimer::singleShot(0, this, [this, fetch, errorText, hostUnreachable] {
        ConfigReply reply;
        reply.error = true;
        reply.errorText = errorText;
        reply.hostUnreachable = hostUnreachable;
        handleConfigAnswer(fetch, reply);
    });
}

void ServersModel::sendConfigThroughService(const std::shared_ptr<ConfigFetch> &fetch)
{
    QPointer<ServersModel> self(this);
    QElapsedTimer elapsed;
    elapsed.start();
    auto done = [self, fetch, elapsed](int status, const QByteArray &body, const QByteArray &retryAfter) {
        if (!self)
            return;
        const bool held = self->firewallHeld();
        const QString outcome = status > 0 ? QStringLiteral("HTTP %1").arg(status) : QStringLiteral("no answer");
        if (status <= 0 && !held) {
            logger.info() << "Config fetch through the service:" << outcome << "in" << elapsed.elapsed() << "ms"
                          << "- the app's own fetch next";
            self->sendConfigDirect(fetch);
            return;
        }
        logger.info() << "Config fetch through the service:" << outcome << "in" << elapsed.elapsed() << "ms";
        ConfigReply reply;
        reply.status = qMax(0, status);
        reply.error = status <= 0 || status > 399;
        reply.body = body;
        reply.errorText = status > 0 ? QStringLiteral("HTTP %1").arg(status) : QStringLiteral("the service didn't fetch");
        reply.retryAfter = retryAfter;
        reply.hostUnreachable = status <= 0;
        self->handleConfigAnswer(fetch, reply);
    };
    if (m_hooks.fetchConfigThroughService) {
        m_hooks.fetchConfigThroughService(fetch->request.url(), sessionToken(), done);
        return;
    }
    logger.warning() << "No service link to fetch the configuration through";
    QTimer::singleShot(0, this, [done] { done(0, {}, {}); });
}

void ServersModel::handleConfigAnswer(const std::shared_ptr<ConfigFetch> &fetchPtr, const ConfigReply &reply)
{
    const ConfigFetch &fetch = *fetchPtr;
    if (fetch.askedRecovery && reply.status >= 1 && reply.status <= 499 && reply.status != 429 && m_settings)
        RecoveryBudget::noteAnswered(*m_settings, nowMs());

    const quint64 current = fetch.forConnect ? m_connectAttempt : m_backgroundAttempt;
    if (fetch.attemptNumber != current) {
        logger.info() << "Discarding config for a superseded attempt";
        return;
    }
    if (fetch.forConnect && !fetch.onError)
        m_lastConfigFailureStatus = reply.error ? reply.status : 0;

    if (reply.hostUnreachable && fetch.protocol == VpnProtocol::Stealth && (fetch.forConnect || fetch.onError)
        && serverByConfigId(fetch.configId)) {
        const QJsonObject saved = CdnRouteCache::lookup(accountEmail(), fetch.configId, nowMs());
        if (!saved.isEmpty()) {
            logger.info() << "No API host answered: Stealth over the server's saved Cloudflare route";
            m_usedSavedCdnRoute = true;
            if (fetch.onConfig)
                fetch.onConfig(saved);
            return;
        }
    }

    const QJsonObject answer = QJsonDocument::fromJson(reply.body).object();
    if (reply.error) {
        if (reply.status == 401) {
            if (m_hooks.check401)
                m_hooks.check401(fetch.request.rawHeader("Authorization"));
            return;
        }
        if (fetch.onError) {
            logger.warning() << "Recovery config fetch refused or failed: HTTP" << reply.status;
            const int code = answer.value(QLatin1String("error")).toObject().value(QLatin1String("code")).toInt();
            if (reply.status == 409 && (code == 99998 || code == 99999)) {
                if (m_hooks.deviceLimit)
                    m_hooks.deviceLimit(reply.body);
                fetch.onError(reply.status, reply.retryAfter, QStringLiteral("limit"));
            } else {
                fetch.onError(reply.status, reply.retryAfter, errorText(answer));
            }
            return;
        }
        if (reply.status == 403 || reply.status == 409) {
            if (!fetch.forConnect) {
                logger.warning() << "Background config prefetch refused:" << reply.status;
                return;
            }
            if (m_hooks.deviceLimit && m_hooks.deviceLimit(reply.body)) {
                if (m_hooks.vpnEndConnection)
                    m_hooks.vpnEndConnection();
                return;
            }
        }
        logger.warning() << "Failed to fetch server config, error:" << reply.errorText;
        failConfigFetch(fetch, reply.errorText);
        return;
    }

    const QString configuration = answer.value(QLatin1String("configuration")).toString();
    const QString label = statusLabel(reply.status, answer);
    if (configuration.isEmpty()) {
        if (fetch.onError) {
            logger.warning() << "Recovery config fetch returned no configuration:" << label;
            fetch.onError(reply.status, {}, {});
            return;
        }
        if (fetch.attempt + 1 < kEmptyConfigTries) {
            const int wait = qMin(2000 + 1000 * fetch.attempt, 5000);
            logger.warning() << QStringLiteral("Empty config received (%1), retrying in %2ms...").arg(label).arg(wait);
            const quint64 attemptNumber = fetch.attemptNumber;
            const bool forConnect = fetch.forConnect;
            QTimer::singleShot(delay(wait), this, [this, fetchPtr, attemptNumber, forConnect] {
                if (attemptNumber != (forConnect ? m_connectAttempt : m_backgroundAttempt))
                    return;
                const ConfigFetch &f = *fetchPtr;
                getServerConfig(f.configId, f.protocol, f.onConfig, f.forConnect, f.attempt + 1, {}, true, f.transport,
                                f.preferDirect);
            });
            return;
        }
        logger.warning() << "Giving up after" << kEmptyConfigTries << "empty configs for protocol"
                         << int(fetch.protocol) << "-" << label;
        failConfigFetch(fetch, QStringLiteral("no configuration returned"));
        return;
    }

    const QString answeredTransport = answer.value(QLatin1String("transport")).toString();
    if (!fetch.transport.isEmpty() && answeredTransport.compare(fetch.transport, Qt::CaseInsensitive) != 0) {
        logger.warning() << "The server has no" << fetch.transport << "route";
        if (fetch.onError)
            fetch.onError(reply.status, {}, {});
        else
            failConfigFetch(fetch, QStringLiteral("no %1 route").arg(fetch.transport));
        return;
    }
    if (answer.value(QLatin1String("recreated")).toBool(false))
        logger.info() << "The server recreated this device's peer";
    if (answer.contains(QLatin1String("pool"))) {
        const QJsonValue location = answer.value(QLatin1String("location_id"));
        logger.info() << "Pool" << answer.value(QLatin1String("pool")).toVariant().toString() << "gave location"
                      << (location.isString() ? location.toString() : idText(location));
    }

    const QJsonObject config = ConnectionConfig::build(fetch.protocol, configuration);
    const QJsonObject data = config.value(ConnectionConfig::dataKey(config.value(QLatin1String("protocol")).toString()))
                                 .toObject();
    if (fetch.protocol == VpnProtocol::AmneziaWg && !data.contains(QLatin1String("awg"))) {
        logger.warning() << "The AmneziaWG profile has no obfuscation parameters this app understands";
        failConfigFetch(fetch, QStringLiteral("no obfuscation parameters"));
        return;
    }
    if ((fetch.protocol == VpnProtocol::Stealth || fetch.protocol == VpnProtocol::Hysteria2)
        && !data.contains(QLatin1String("vless"))) {
        logger.warning() << "The stealth profile is not a vless:// or hysteria2:// link";
        failConfigFetch(fetch, QStringLiteral("not a stealth profile"));
        return;
    }
    if (fetch.protocol == VpnProtocol::Stealth && answeredTransport == QLatin1String("cdn")) {
        const QList<QString> ids = m_byConfigId.keys();
        CdnRouteCache::save(accountEmail(), fetch.configId, config, nowMs(), QSet<QString>(ids.begin(), ids.end()));
    }
    if (fetch.onConfig)
        fetch.onConfig(config);
}

void ServersModel::failConfigFetch(const ConfigFetch &fetch, const QString &reason)
{
    if (fetch.onError) {
        logger.warning() << "Recovery config fetch failed:" << reason;
        fetch.onError(0, {}, {});
    } else if (fetch.forConnect) {
        if (m_hooks.vpnFailConnection)
            m_hooks.vpnFailConnection();
    } else {
        logger.info() << "Background config prefetch failed:" << reason << "- not surfacing to the user";
    }
}

void ServersModel::warmCdnConfigs()
{
    const QString email = accountEmail();
    if (email.isEmpty())
        return;
    const qint64 now = nowMs();
    for (const CdnRouteCache::Entry &entry : CdnRouteCache::entries(email)) {
        const qint64 age = now - entry.savedMs;
        if (age <= CdnRouteCache::kRefreshAgeMs || age > CdnRouteCache::kMaxAgeMs)
            continue;
        const Server *server = serverByConfigId(entry.configId);
        if (m_warmedCdnRoutes.contains(entry.configId) || !server || !server->hasCdnRoute)
            continue;
        m_warmedCdnRoutes.insert(entry.configId);
        logger.info() << "Refreshing a saved Cloudflare route";
        getServerConfig(entry.configId, VpnProtocol::Stealth, [](const QJsonObject &) {}, false, 0, {}, false,
                        QStringLiteral("cdn"), false);
    }
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
    if (value < 0 && m_measuredPings.value(host, -1) >= 0)
        return;
    m_measuredPings.insert(host, value);
    rebuildPings();
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
    QVariantMap pings;
    forEachServer([&](Server *server) {
        const int measured = server->isPool ? -1 : m_measuredPings.value(server->ipAddress, -1);
        if (measured >= 0)
            pings.insert(server->serverId, entry(measuredEntries, measured, false));
        else if (server->estimatedPingMs >= 0)
            pings.insert(server->serverId, entry(estimatedEntries, server->estimatedPingMs, true));
        return true;
    });
    if (pings == m_pings)
        return;
    m_pings = pings;
    if (!m_pingsTimer.isActive())
        m_pingsTimer.start();
}
