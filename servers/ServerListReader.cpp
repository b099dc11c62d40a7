#include "servers/ServerListReader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QRandomGenerator>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "app/Logger.h"

namespace {

// The model's name: these lines have always been the catalogue's.
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

// Numbers arrive as JSON numbers or as numeric text; anything else (objects,
// lists, text that is no number, values beyond a double) is not a number.
template<typename Value> bool numberOf(const Value &value, double *out)
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

template<typename Value> int roundedIntOf(const Value &value, int fallback)
{
    double number = 0;
    return numberOf(value, &number) ? roundedInt(number) : fallback;
}

template<typename Value> int healthOf(const Value &value)
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

QString textOf(const QJsonObject &object, QLatin1String key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

// A member of an object read in place, without a QJsonValue made for it;
// a missing member reads as undefined.
class Member
{
public:
    Member(const QJsonObject &object, QLatin1String key)
        : m_it(object.constFind(key)), m_found(m_it != object.constEnd())
    {
    }

    bool isDouble() const { return m_found && m_it.value().isDouble(); }
    bool isString() const { return m_found && m_it.value().isString(); }
    double toDouble() const { return m_found ? m_it.value().toDouble() : 0; }
    QString toString() const { return m_found ? m_it.value().toString() : QString(); }
    bool toBool(bool fallback) const { return m_found ? m_it.value().toBool(fallback) : fallback; }
    QString text() const { return isString() ? toString() : QString(); }
    QJsonValue value() const { return m_found ? QJsonValue(m_it.value()) : QJsonValue(QJsonValue::Undefined); }

private:
    QJsonObject::const_iterator m_it;
    bool m_found;
};

// Ids come as text or as numbers; both are kept as text.
template<typename Value> QString idTextOf(const Value &value)
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

// One location of the answer to build: its category, its country object, its
// row, and the first of the record handles set aside for it.
struct LocationJob {
    QString category;
    QJsonObject country;
    int row = 0;
    size_t firstId = 0;
};

// Builds locations of one answer into a ServerList, location by location.
class TreeBuilder
{
public:
    // `ids` holds the record handles of the whole answer; each job takes its
    // own from job.firstId on, so builders of different jobs share nothing.
    TreeBuilder(ServerList &list, VpnProtocol::Protocol currentProtocol, std::vector<QString> &ids)
        : m_list(list), m_currentProtocol(currentProtocol), m_ids(ids)
    {
    }

    void build(const LocationJob *begin, const LocationJob *end)
    {
        for (const LocationJob *job = begin; job != end; ++job) {
            m_nextId = job->firstId;
            addLocation(job->category, job->country, job->row);
        }
    }

private:
    // Handed out in model order, so the handles ascend with the rows.
    QString nextServerId()
    {
        if (m_nextId < m_ids.size())
            return std::move(m_ids[m_nextId++]);
        return ServerListReader::newServerId();
    }

    void addLocation(const QString &category, const QJsonObject &country, int row)
    {
        auto location = std::make_unique<ServerRecord>();
        location->serverId = nextServerId();
        m_list.byServerId.emplace_back(location->serverId, location.get());
        location->name = textOf(country, QLatin1String("name"));
        location->flag =
            kFlagPrefix + textOf(country, QLatin1String("country_code")).toLower() + QStringLiteral(".svg");
        location->category = category;
        location->selectedProtocol = m_currentProtocol;
        location->row = row;

        // Pools stand for their members: a member is shown through its pool only.
        const QJsonArray servers = country.value(QLatin1String("vpn_servers")).toArray();
        const QJsonArray pools = country.value(QLatin1String("pools")).toArray();
        m_entries.clear();
        m_entries.reserve(servers.size() + pools.size());
        m_memberOf.clear();  // member id → pool name, this country only
        for (const QJsonValue &item : pools) {
            const QJsonObject pool = item.toObject();
            const QString configId = textOf(pool, QLatin1String("config_id"));
            const QString poolName = textOf(pool, QLatin1String("name"));
            if (configId.isEmpty() || poolName.isEmpty())
                continue;
            const PoolRef ref{configId, poolName, ServerListReader::idText(pool.value(QLatin1String("id")))};
            for (const QJsonValue &member : pool.value(QLatin1String("members")).toArray()) {
                const QString memberId = ServerListReader::idText(member);
                if (memberId.isEmpty())
                    continue;
                m_memberOf.insert(memberId, poolName);
                m_list.poolMemberIds.insert(memberId, ref);
            }
            m_entries << pool;
        }
        for (const QJsonValue &item : servers) {
            if (!item.isObject())
                continue;
            const QJsonObject server = item.toObject();
            if (m_memberOf.isEmpty()) {
                m_entries << server;
                continue;
            }
            const QString id = ServerListReader::idText(server.value(QLatin1String("id")));
            const auto pool = id.isEmpty() ? m_memberOf.constEnd() : m_memberOf.constFind(id);
            if (pool == m_memberOf.constEnd()) {
                m_entries << server;
                continue;
            }
            const QString memberName = textOf(server, QLatin1String("name"));
            if (!memberName.isEmpty())
                m_list.poolMemberNames.insert(memberName, *pool);
        }

        location->childServersCount = int(m_entries.size());
        location->children.reserve(size_t(m_entries.size()));
        for (const QJsonObject &entry : std::as_const(m_entries)) {
            auto server = std::make_unique<ServerRecord>();
            readServer(entry, *location, *server);
            ServerRecord &s = *server;
            location->speedScore = qMax(location->speedScore, s.speedScore);
            location->health = qMax(location->health, s.health);
            m_list.byServerId.emplace_back(s.serverId, server.get());
            // The first server of a name or config id is the one found.
            if (!s.name.isEmpty()) {
                ServerRecord *&byName = m_list.byName[s.name];
                if (!byName)
                    byName = server.get();
            }
            if (!s.configId.isEmpty()) {
                ServerRecord *&byConfigId = m_list.byConfigId[s.configId];
                if (!byConfigId)
                    byConfigId = server.get();
            }
            location->children.push_back(std::move(server));
        }
        if (!location->children.empty())
            m_list.hasList = true;

        m_list.locations.push_back(std::move(location));
    }

    void readServer(const QJsonObject &entry, ServerRecord &location, ServerRecord &s)
    {
        s.serverId = nextServerId();
        s.parent = &location;
        s.row = int(location.children.size());
        s.flag = location.flag;
        s.category = location.category;

        // The parser keeps an object's keys sorted: each lookup is a binary
        // search over the stored keys, with no text made for any of them.
        s.name = Member(entry, QLatin1String("name")).text();
        s.city = shared(Member(entry, QLatin1String("city")).text());
        s.ipAddress = Member(entry, QLatin1String("ip_address")).text();
        s.configId = Member(entry, QLatin1String("config_id")).text();
        const Member latitudeValue(entry, QLatin1String("lat"));
        const Member longitudeValue(entry, QLatin1String("long"));

        resolveProtocols(s, Member(entry, QLatin1String("vpn_type")).value(),
                         Member(entry, QLatin1String("protocols")).value(),
                         Member(entry, QLatin1String("recommended_vpn")));

        s.isPool = Member(entry, QLatin1String("pool")).toBool(false);
        if (s.name == location.name)
            s.name = s.name.toLower();
        s.speedScore = roundedIntOf(Member(entry, QLatin1String("speed_score")), 0);
        s.health = healthOf(Member(entry, QLatin1String("health")));
        s.apiId = idTextOf(Member(entry, QLatin1String("id")));
        const QJsonValue probeValue = Member(entry, QLatin1String("cdn_probe")).value();
        if (probeValue.isObject()) {
            const QJsonObject probe = probeValue.toObject();
            s.cdnProbeAddress = shared(textOf(probe, QLatin1String("address")));
            s.cdnProbeSni = shared(textOf(probe, QLatin1String("sni")));
            s.cdnProbePath = shared(textOf(probe, QLatin1String("path")));
        }
        double latitude = 0;
        double longitude = 0;
        s.hasCoordinates = numberOf(latitudeValue, &latitude) && numberOf(longitudeValue, &longitude);
        if (s.hasCoordinates) {
            s.latitude = latitude;
            s.longitude = longitude;
        }
        const int estimate = roundedIntOf(Member(entry, QLatin1String("estimated_ping_ms")), -1);
        s.estimatedPingMs = estimate >= 0 ? estimate : -1;
    }

    // Protocols: the "protocols" entries win; the legacy names count only without them.
    void resolveProtocols(ServerRecord &s, const QJsonValue &vpnType, const QJsonValue &offeredProtocols,
                          const Member &recommendedValue)
    {
        readOffered(offeredProtocols.toArray(), s);
        if (s.protocols.isEmpty()) {
            QStringList legacy;
            for (const QJsonValue &name : vpnType.toArray()) {
                if (name.isString())
                    legacy << name.toString();
            }
            if (legacy.isEmpty() && vpnType.isString())
                legacy = vpnType.toString().split(QLatin1Char(','), Qt::SkipEmptyParts);
            for (const QString &raw : std::as_const(legacy)) {
                const QString name = raw.trimmed().toLower();
                if (name.contains(QLatin1String("openvpn"))) {
                    if (!s.protocols.contains(VpnProtocol::OpenVpnUdp))
                        s.protocols << VpnProtocol::OpenVpnUdp;
                } else if (name.contains(QLatin1String("wireguard"))
                           && !s.protocols.contains(VpnProtocol::WireGuard)) {
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
        s.protocols = shared(s.protocols, m_protocolLists);
    }

    // What one "protocols" array offers.
    struct Offered {
        QJsonArray source;
        QList<VpnProtocol::Protocol> protocols;
        ProtocolTexts vpnTypes;
        ProtocolTexts transports;
        bool hasCdnRoute = false;
    };

    // Servers of a list repeat a handful of "protocols" arrays: an array equal
    // to one read lately gives the same result without reading its entries.
    void readOffered(const QJsonArray &array, ServerRecord &s)
    {
        if (array.isEmpty())
            return;
        auto known = std::find_if(m_offered.begin(), m_offered.end(),
                                  [&array](const Offered &offered) { return offered.source == array; });
        if (known == m_offered.end()) {
            if (m_offered.size() < kMaxSharedLists)
                m_offered.emplace_back();
            known = m_offered.end() - 1;
            *known = resolveOffered(array);
        }
        // The latest first: neighbours tend to offer the same.
        std::rotate(m_offered.begin(), known, known + 1);
        const Offered &offered = m_offered.front();
        s.protocols = offered.protocols;
        s.vpnTypes = offered.vpnTypes;
        s.transports = offered.transports;
        s.hasCdnRoute = offered.hasCdnRoute;
    }

    static Offered resolveOffered(const QJsonArray &array)
    {
        Offered offered;
        offered.source = array;
        for (const QJsonValue &item : array) {
            // Entries hold one to three keys: looking them up is cheaper than a walk.
            const QJsonObject entry = item.toObject();
            const QString id = entry.value(QLatin1String("id")).toString();
            if (id.isEmpty())
                continue;
            const int known = protocolOfId(id);
            if (known < 0) {
                offered.hasCdnRoute = true;
                continue;
            }
            if (known == 0)
                continue;
            const auto protocol = VpnProtocol::Protocol(known);
            const QString type = entry.value(QLatin1String("vpn_type")).toString();
            const QString transport = lowered(entry.value(QLatin1String("transport")).toString());
            if (isProtocolWord(type))
                offered.vpnTypes.insert(protocol, type);
            if (isProtocolWord(transport))
                offered.transports.insert(protocol, transport);
            if (!offered.protocols.contains(protocol))
                offered.protocols << protocol;
        }
        return offered;
    }

    // Most servers repeat a few texts and protocol lists: records that hold
    // equal values share one copy, so the tree holds (and later frees) far
    // fewer blocks of memory.
    QString shared(const QString &text)
    {
        if (text.isEmpty())
            return text;
        const auto known = m_texts.constFind(text);
        if (known != m_texts.constEnd())
            return *known;
        if (m_texts.size() < kMaxShared)
            m_texts.insert(text);
        return text;
    }

    template<typename List> static List shared(const List &list, QList<List> &known)
    {
        if (list.isEmpty())
            return list;
        for (const List &candidate : std::as_const(known)) {
            if (candidate == list)
                return candidate;
        }
        if (known.size() < kMaxSharedLists)
            known << list;
        return list;
    }

    static constexpr qsizetype kMaxShared = 4096;
    static constexpr qsizetype kMaxSharedLists = 16;

    ServerList &m_list;
    const VpnProtocol::Protocol m_currentProtocol;
    // Reused from country to country.
    QList<QJsonObject> m_entries;
    QHash<QString, QString> m_memberOf;
    QSet<QString> m_texts;
    QList<QList<VpnProtocol::Protocol>> m_protocolLists;
    std::vector<Offered> m_offered;
    std::vector<QString> &m_ids;
    size_t m_nextId = 0;
};

qsizetype parallelMinimum = ServerListReader::kParallelMinimum;

// The second half's lookups and pools joined to the first's, as one pass over
// all of them would have left them: the first server of a name or config id
// is the one found, and a later pool entry replaces an earlier one.
void join(ServerList &list, ServerList &second)
{
    for (auto &location : second.locations)
        list.locations.push_back(std::move(location));
    list.byServerId.insert(list.byServerId.end(), second.byServerId.begin(), second.byServerId.end());
    auto keepFirst = [](QHash<QString, ServerRecord *> &into, const QHash<QString, ServerRecord *> &later) {
        for (auto it = later.cbegin(); it != later.cend(); ++it) {
            ServerRecord *&first = into[it.key()];
            if (!first)
                first = it.value();
        }
    };
    keepFirst(list.byName, second.byName);
    keepFirst(list.byConfigId, second.byConfigId);
    list.poolMemberNames.insert(second.poolMemberNames);
    list.poolMemberIds.insert(second.poolMemberIds);
    list.hasList = list.hasList || second.hasList;
}

void buildTree(ServerList &list, const QJsonArray &categories, VpnProtocol::Protocol currentProtocol)
{
    // One pass to list the locations and size the lookups: growing them server
    // by server costs more than the whole count.
    std::vector<LocationJob> jobs;
    QSet<QString> listed;
    size_t records = 0;
    for (const QJsonValue &item : categories) {
        const QJsonObject category = item.toObject();
        const QString name = textOf(category, QLatin1String("name"));
        if (name.isEmpty())
            continue;
        if (!isOrdinaryCategory(name) && !listed.contains(name)) {
            listed.insert(name);
            list.specialtySections << name;
        }
        for (const QJsonValue &country : category.value(QLatin1String("countries")).toArray()) {
            if (!country.isObject())
                continue;
            const QJsonObject object = country.toObject();
            jobs.push_back({name, object, int(jobs.size()), records});
            records += size_t(1 + object.value(QLatin1String("vpn_servers")).toArray().size()
                              + object.value(QLatin1String("pools")).toArray().size());
        }
    }
    std::vector<QString> ids = ServerListReader::newServerIds(qsizetype(records));
    const LocationJob *const first = jobs.data();
    const LocationJob *const last = first + jobs.size();

    // The halves split at the location where half the records have gone.
    const LocationJob *middle = last;
    if (records >= size_t(parallelMinimum) && jobs.size() > 1) {
        middle = std::find_if(first, last, [records](const LocationJob &job) { return job.firstId >= records / 2; });
        if (middle == first)
            middle = first + 1;
    }
    const size_t firstHalfRecords = middle == last ? records : middle->firstId;
    list.byServerId.reserve(records);
    list.byName.reserve(qsizetype(firstHalfRecords));
    list.byConfigId.reserve(qsizetype(firstHalfRecords));

    // The jobs, the ids and the answer's values are only read by the two
    // builders, each through its own halves; Qt's shared values count their
    // users atomically, so reading one document from two threads is safe.
    ServerList second;
    std::unique_ptr<QThread> worker;
    if (middle != last) {
        second.byServerId.reserve(records - firstHalfRecords);
        second.byName.reserve(qsizetype(records - firstHalfRecords));
        second.byConfigId.reserve(qsizetype(records - firstHalfRecords));
        worker.reset(QThread::create([&second, &ids, currentProtocol, middle, last] {
            TreeBuilder(second, currentProtocol, ids).build(middle, last);
        }));
        worker->setObjectName(QStringLiteral("ServerListReader"));
        worker->start();
    }
    TreeBuilder(list, currentProtocol, ids).build(first, middle);
    if (worker) {
        worker->wait();
        join(list, second);
    }
    auto byId = [](const auto &a, const auto &b) { return a.first < b.first; };
    if (!std::is_sorted(list.byServerId.begin(), list.byServerId.end(), byId))
        std::sort(list.byServerId.begin(), list.byServerId.end(), byId);
}

// The list-wide settings that come with the list.
void readSettings(const QJsonObject &payload, ServerList &list)
{
    const QJsonObject orders = payload.value(QLatin1String("protocol_order")).toObject();
    for (auto it = orders.constBegin(); it != orders.constEnd(); ++it) {
        if (!it.value().isArray())
            continue;
        QStringList order;
        for (const QJsonValue &item : it.value().toArray()) {
            if (item.isString())
                order << item.toString();
        }
        list.protocolOrders.insert(it.key(), order);
    }

    const QJsonObject limits = payload.value(QLatin1String("ping_limits")).toObject();
    const QJsonValue good = limits.value(QLatin1String("good_ms"));
    const QJsonValue fair = limits.value(QLatin1String("fair_ms"));
    if (good.isDouble() && fair.isDouble()) {
        const double g = good.toDouble();
        const double f = fair.toDouble();
        if (std::floor(g) == g && std::floor(f) == f && g >= 1 && g < f && f <= 100000) {
            list.hasPingLimits = true;
            list.goodPingMs = int(g);
            list.fairPingMs = int(f);
        }
    }

    const QJsonObject restricted = payload.value(QLatin1String("restricted_network")).toObject();
    list.restrictedLikely = restricted.value(QLatin1String("likely")).toBool(false);
    for (const QJsonValue &item : restricted.value(QLatin1String("servers")).toArray()) {
        const QString id = ServerListReader::idText(item);
        if (!id.isEmpty())
            list.restrictedIds << id;
    }
    const QJsonObject apiDefault = payload.value(QLatin1String("default_server")).toObject();
    list.defaultName = textOf(apiDefault, QLatin1String("name"));
    list.defaultConfigId = textOf(apiDefault, QLatin1String("config_id"));
    list.defaultIp = textOf(apiDefault, QLatin1String("ip_address"));
    list.defaultId = ServerListReader::idText(apiDefault.value(QLatin1String("id")));
}

} // namespace

// Ids come as text or as numbers; both are kept as text.
QString ServerListReader::idText(const QJsonValue &value)
{
    return idTextOf(value);
}

QString ServerListReader::newServerId()
{
    return newServerIds(1).front();
}

// Record handles only need to be unique within the run: version-4 UUIDs from
// the process's securely seeded generator, without a system call per record.
std::vector<QString> ServerListReader::newServerIds(qsizetype count)
{
    using Words = std::array<quint32, 4>;
    std::vector<Words> values(size_t(qMax<qsizetype>(0, count)));
    if (!values.empty())
        QRandomGenerator::global()->fillRange(values.front().data(), qsizetype(values.size() * 4));
    for (Words &words : values) {
        words[1] = (words[1] & 0xffff0fffu) | 0x00004000u;  // version 4
        words[2] = (words[2] & 0x3fffffffu) | 0x80000000u;  // RFC 4122 variant
    }
    // In ascending order their texts are in ascending order too (fixed width,
    // lower-case hex), so maps keyed by them are built front to back.
    std::sort(values.begin(), values.end());
    std::vector<QString> ids;
    ids.reserve(values.size());
    static const char hex[] = "0123456789abcdef";
    for (const Words &words : values) {
        // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", as QUuid::toString() writes it.
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
        ids.push_back(std::move(id));
    }
    return ids;
}

ServerList ServerListReader::read(const QByteArray &body, VpnProtocol::Protocol currentProtocol)
{
    ServerList list;
    list.source = QJsonDocument::fromJson(body);
    list.parsed = list.source.isObject();
    const QJsonObject payload = list.source.object().value(QLatin1String("data")).toObject();
    readSettings(payload, list);
    buildTree(list, payload.value(QLatin1String("vpn_servers")).toArray(), currentProtocol);
    return list;
}

#ifdef KELVRA_TESTING
void ServerListReader::setParallelMinimumForTesting(qsizetype records)
{
    parallelMinimum = records;
}
#endif

QStringList ServerListReader::resolveRestricted(const QStringList &ids, const QHash<QString, PoolRef> &poolMemberIds)
{
    QStringList resolved;
    QSet<QString> seen;
    seen.reserve(ids.size());
    for (const QString &id : ids) {
        const auto pool = poolMemberIds.constFind(id);
        const QString &value = pool != poolMemberIds.constEnd() ? pool->id : id;
        if (!seen.contains(value)) {
            seen.insert(value);
            resolved << value;
        }
    }
    return resolved;
}
