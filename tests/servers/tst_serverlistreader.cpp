// Reading a server-list answer without a model: the tree, protocol
// resolution, numbers, pools, the lookups, and bytes of any shape.

#include <QUuid>
#include <QtTest>

#include "CatalogueFixture.h"
#include "servers/ServerListReader.h"

using namespace fixture;

namespace {

// Everything a list says except its random handles, with each lookup given as
// the rows of the record it finds.
QStringList describe(const ServerList &list)
{
    auto place = [](const ServerRecord *record) {
        if (!record)
            return QStringLiteral("none");
        return record->parent ? QStringLiteral("%1/%2").arg(record->parent->row).arg(record->row)
                              : QString::number(record->row);
    };
    auto protocolsOf = [](const ServerRecord &record) {
        QStringList names;
        for (VpnProtocol::Protocol protocol : record.protocols)
            names << QString::number(int(protocol));
        return names.join(QLatin1Char(','));
    };
    QStringList lines{QStringLiteral("parsed %1 list %2 sections %3")
                          .arg(list.parsed)
                          .arg(list.hasList)
                          .arg(list.specialtySections.join(QLatin1Char(',')))};
    for (const auto &location : list.locations) {
        lines << QStringLiteral("location %1 %2 %3 %4 %5 children %6")
                     .arg(place(location.get()), location->name, location->category, location->flag)
                     .arg(location->childServersCount)
                     .arg(location->children.size());
        for (const auto &server : location->children) {
            if (server->parent != location.get())
                lines << QStringLiteral("wrong parent");
            lines << QStringLiteral("server %1 %2 %3 %4 %5 %6 %7 %8 pool %9")
                         .arg(place(server.get()), server->name, server->city, server->ipAddress, server->configId,
                              server->apiId, protocolsOf(*server), QString::number(int(server->selectedProtocol)))
                         .arg(server->isPool);
        }
    }
    QStringList names;
    for (auto it = list.byName.cbegin(); it != list.byName.cend(); ++it)
        names << it.key() + QLatin1Char('=') + place(it.value());
    QStringList configIds;
    for (auto it = list.byConfigId.cbegin(); it != list.byConfigId.cend(); ++it)
        configIds << it.key() + QLatin1Char('=') + place(it.value());
    QStringList members;
    for (auto it = list.poolMemberNames.cbegin(); it != list.poolMemberNames.cend(); ++it)
        members << it.key() + QLatin1Char('>') + it.value();
    for (auto it = list.poolMemberIds.cbegin(); it != list.poolMemberIds.cend(); ++it)
        members << it.key() + QLatin1Char('>') + it->configId + QLatin1Char('|') + it->name + QLatin1Char('|') + it->id;
    names.sort();
    configIds.sort();
    members.sort();
    lines << names << configIds << members;
    // Every record is found by its handle, in ascending order.
    bool ascending = std::is_sorted(list.byServerId.begin(), list.byServerId.end(),
                                    [](const auto &a, const auto &b) { return a.first < b.first; });
    for (const auto &entry : list.byServerId)
        ascending = ascending && entry.second->serverId == entry.first;
    lines << QStringLiteral("handles %1 ascending %2").arg(list.byServerId.size()).arg(ascending);
    return lines;
}

const ServerRecord *onlyServer(const ServerList &list)
{
    return list.locations.empty() || list.locations.front()->children.empty()
               ? nullptr
               : list.locations.front()->children.front().get();
}

} // namespace

class TestServerListReader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { captureLog(); }

    void init() { capturedLog().clear(); }

    void treeAndLookups()
    {
        const ServerList list = ServerListReader::read(standardAnswer(), VpnProtocol::AmneziaWg);
        QVERIFY(list.parsed);
        QVERIFY(list.hasList);
        QCOMPARE(list.locations.size(), size_t(3));
        QCOMPARE(list.specialtySections, QStringList{"Streaming"});
        const ServerRecord &germany = *list.locations.front();
        QCOMPARE(germany.row, 0);
        QCOMPARE(germany.childServersCount, 2);
        QCOMPARE(germany.selectedProtocol, VpnProtocol::AmneziaWg);
        const ServerRecord &berlin = *germany.children.at(1);
        QCOMPARE(berlin.parent, &germany);
        QCOMPARE(berlin.row, 1);
        QCOMPARE(berlin.flag, QStringLiteral("qrc:/ui/icons/flags/de.svg"));
        // Only the servers that offer the user's protocol select it.
        QCOMPARE(berlin.selectedProtocol, VpnProtocol::AmneziaWg);
        QCOMPARE(germany.children.at(0)->selectedProtocol, VpnProtocol::Optimal);
        // Every record is found by its handle; servers by name and config id.
        QCOMPARE(list.byServerId.size(), size_t(3 + 4));
        QCOMPARE(ServerList::find(list.byServerId, germany.serverId), &germany);
        QCOMPARE(ServerList::find(list.byServerId, berlin.serverId), &berlin);
        QVERIFY(!ServerList::find(list.byServerId, QStringLiteral("{00000000-0000-4000-8000-000000000000}")));
        // Handles ascend along the rows.
        QVERIFY(germany.serverId < berlin.serverId);
        QVERIFY(berlin.serverId < list.locations.at(1)->serverId);
        QCOMPARE(list.byName.value(QStringLiteral("Berlin 1")), &berlin);
        QCOMPARE(list.byConfigId.value(QStringLiteral("de-ber-1")), &berlin);
        QVERIFY(!list.byName.contains(QStringLiteral("Germany")));
        QVERIFY(QUuid::fromString(berlin.serverId).version() == QUuid::Random);
    }

    void firstServerOfANameOrConfigIdIsTheOneFound()
    {
        const QJsonArray servers{server("Twin", "a", "203.0.113.10", "same", 1),
                                 server("Twin", "b", "203.0.113.11", "same", 2)};
        const ServerList list =
            ServerListReader::read(answer(QJsonArray{category("Free", QJsonArray{country("X", "x", servers)})}));
        const ServerRecord *first = list.locations.front()->children.front().get();
        QCOMPARE(list.byName.value(QStringLiteral("Twin")), first);
        QCOMPARE(list.byConfigId.value(QStringLiteral("same")), first);
    }

    // A large list is built in two halves at once; what it gives must be what
    // one pass gives, where the halves meet included: the first server of a
    // name or config id is the one found, a later pool entry replaces an
    // earlier one, and records of either half are found by their handles.
    void twoHalvesBuildWhatOnePassBuilds()
    {
        QJsonArray categories;
        for (int c = 0; c < 3; ++c) {
            QJsonArray countries;
            for (int l = 0; l < 4; ++l) {
                const int location = c * 4 + l;
                QJsonArray servers;
                for (int s = 0; s < 3; ++s) {
                    const int id = location * 10 + s;
                    // Names and config ids repeat across every location.
                    servers << server(QStringLiteral("Shared %1").arg(s), QStringLiteral("City %1").arg(location),
                                      QStringLiteral("203.0.113.%1").arg(id % 250), QStringLiteral("cfg-%1").arg(s),
                                      id, QJsonObject{{"protocols", protocols({"wireguard", s ? "openvpn" : "reality"})}});
                }
                // Every location pools its first server under one pool name and
                // one member id, so later locations replace earlier entries.
                const QJsonArray pools{QJsonObject{{"config_id", QStringLiteral("pool-%1").arg(location)},
                                                   {"name", QStringLiteral("Pool %1").arg(location)},
                                                   {"id", QStringLiteral("p%1").arg(location)},
                                                   {"pool", true},
                                                   {"members", QJsonArray{location * 10, QStringLiteral("shared")}}}};
                countries << country(QStringLiteral("Location %1").arg(location), QStringLiteral("l%1").arg(location),
                                     servers, l == 2 ? pools : QJsonArray{});
            }
            countries << QStringLiteral("not a country");
            categories << category(c == 1 ? QStringLiteral("Streaming") : QStringLiteral("Free"), countries);
        }
        const QByteArray body = answer(categories);
        const QStringList onePass = describe(ServerListReader::read(body, VpnProtocol::OpenVpnUdp));
        ServerListReader::setParallelMinimumForTesting(0);
        const QStringList twoHalves = describe(ServerListReader::read(body, VpnProtocol::OpenVpnUdp));
        ServerListReader::setParallelMinimumForTesting(ServerListReader::kParallelMinimum);
        QCOMPARE(twoHalves, onePass);
        QVERIFY(onePass.last().endsWith(QLatin1String("ascending 1")));
        QVERIFY(onePass.contains(QStringLiteral("Shared 1=0/1")));
        QVERIFY(onePass.contains(QStringLiteral("shared>pool-10|Pool 10|p10")));
    }

    void anyBytesGiveAList_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("parsed");
        QTest::addColumn<bool>("hasList");
        QTest::newRow("empty") << QByteArray() << false << false;
        QTest::newRow("not json") << QByteArray("<html>") << false << false;
        QTest::newRow("truncated") << standardAnswer().left(300) << false << false;
        QTest::newRow("binary") << QByteArray("\xff\xfe\x00\x00garbage", 11) << false << false;
        QTest::newRow("deep nesting") << QByteArray("{\"data\":{\"vpn_servers\":" + QByteArray(20000, '[')) << false
                                      << false;
        QTest::newRow("array") << QByteArray("[1,2]") << false << false;
        QTest::newRow("no data") << QByteArray("{}") << true << false;
        QTest::newRow("data of the wrong type") << QByteArray(R"({"data":[1]})") << true << false;
        QTest::newRow("list of garbage") << QByteArray(R"({"data":{"vpn_servers":[1,{"name":""},{"countries":[]}]}})")
                                         << true << false;
        QTest::newRow("a country without servers")
            << answer(QJsonArray{category("Free", QJsonArray{country("X", "x", QJsonArray{})})}) << true << false;
        QTest::newRow("a pool alone")
            << answer(QJsonArray{category(
                   "Free", QJsonArray{country("X", "x", QJsonArray{},
                                              QJsonArray{QJsonObject{{"config_id", "p"}, {"name", "P"}}})})})
            << true << true;
        QTest::newRow("standard") << standardAnswer() << true << true;
    }

    void anyBytesGiveAList()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, parsed);
        QFETCH(bool, hasList);
        const ServerList list = ServerListReader::read(body);
        QCOMPARE(list.parsed, parsed);
        QCOMPARE(list.hasList, hasList);
        int servers = 0;
        for (const auto &location : list.locations)
            servers += int(location->children.size());
        QCOMPARE(servers > 0, hasList);
    }

    void restrictedIdsResolveThroughPools_data()
    {
        QTest::addColumn<QStringList>("ids");
        QTest::addColumn<QStringList>("resolved");
        QTest::newRow("none") << QStringList() << QStringList();
        QTest::newRow("members become their pool once") << QStringList{"11", "13", "12", "11"}
                                                        << QStringList{"900", "13"};
        QTest::newRow("order of first sight") << QStringList{"13", "900", "12", "13"} << QStringList{"13", "900"};
    }

    void restrictedIdsResolveThroughPools()
    {
        QFETCH(QStringList, ids);
        QFETCH(QStringList, resolved);
        const QHash<QString, PoolRef> pools{{"11", PoolRef{"pool:de:1", "Germany Pool", "900"}},
                                            {"12", PoolRef{"pool:de:1", "Germany Pool", "900"}}};
        QCOMPARE(ServerListReader::resolveRestricted(ids, pools), resolved);
    }

    void protocolResolution_data()
    {
        QTest::addColumn<QJsonObject>("keys");
        QTest::addColumn<QVariantList>("protocols");
        QTest::addColumn<QVariantList>("supportedProtos");
        QTest::addColumn<bool>("cdn");
        QTest::newRow("reality-cdn only") << QJsonObject{{"protocols", protocols({"reality-cdn"})}} << QVariantList{1, 2}
                                          << QVariantList{1, 2, 4} << true;
        QTest::newRow("hysteria2 only") << QJsonObject{{"protocols", protocols({"hysteria2"})}} << QVariantList{6}
                                        << QVariantList{6, 4} << false;
        QTest::newRow("ids in any case, duplicates once")
            << QJsonObject{{"protocols", protocols({"WireGuard", "wireguard", "OpenVPN-TCP", "Reality"})}}
            << QVariantList{2, 5, 4} << QVariantList{2, 5, 4} << false;
        QTest::newRow("unknown ids") << QJsonObject{{"protocols", protocols({"xray", "stealth"})}}
                                     << QVariantList{1, 2} << QVariantList{1, 2} << false;
        QTest::newRow("protocols win over legacy")
            << QJsonObject{{"protocols", protocols({"amneziawg"})}, {"vpn_type", QJsonArray{"OpenVPN"}}}
            << QVariantList{3} << QVariantList{3} << false;
        QTest::newRow("legacy array") << QJsonObject{{"vpn_type", QJsonArray{" WireGuard ", "OpenVPN", "openvpn-x"}}}
                                      << QVariantList{2, 1} << QVariantList{2, 1} << false;
        QTest::newRow("legacy text") << QJsonObject{{"vpn_type", "openvpn,,wireguard"}} << QVariantList{1, 2}
                                     << QVariantList{1, 2} << false;
        QTest::newRow("protocols as numbers") << QJsonObject{{"protocols", QJsonArray{1, 2, 6}}} << QVariantList{1, 2}
                                              << QVariantList{1, 2} << false;
    }

    void protocolResolution()
    {
        QFETCH(QJsonObject, keys);
        QFETCH(QVariantList, protocols);
        QFETCH(QVariantList, supportedProtos);
        QFETCH(bool, cdn);
        const ServerList list = ServerListReader::read(oneServerAnswer(keys));
        const ServerRecord *server = onlyServer(list);
        QVERIFY(server);
        QVariantList actual;
        for (auto protocol : server->protocols)
            actual << int(protocol);
        QCOMPARE(actual, protocols);
        QCOMPARE(server->hasCdnRoute, cdn);
        QCOMPARE(server->supportedProtos(), supportedProtos);
    }

    void protocolNamesAreKeptOnlyWhenWellFormed()
    {
        const QJsonArray offered{
            QJsonObject{{"id", "openvpn-tcp"}, {"vpn_type", "OpenVPN_2"}, {"transport", "TCP"}},
            QJsonObject{{"id", "reality"}, {"vpn_type", "bad type!"}, {"transport", QString(33, QLatin1Char('x'))}}};
        const ServerList list = ServerListReader::read(oneServerAnswer({{"protocols", offered}}));
        const ServerRecord *server = onlyServer(list);
        QCOMPARE(server->vpnTypes.value(VpnProtocol::OpenVpnTcp), QStringLiteral("OpenVPN_2"));
        QCOMPARE(server->transports.value(VpnProtocol::OpenVpnTcp), QStringLiteral("tcp"));
        QVERIFY(!server->vpnTypes.contains(VpnProtocol::Stealth));
        QVERIFY(!server->transports.contains(VpnProtocol::Stealth));
    }

    void recommendedProtocol_data()
    {
        QTest::addColumn<QJsonObject>("keys");
        QTest::addColumn<int>("recommended");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("wireguard offered") << QJsonObject{{"recommended_vpn", "WireGuard"}} << 2 << QString();
        QTest::newRow("wireguard not offered")
            << QJsonObject{{"recommended_vpn", "WireGuard"}, {"protocols", protocols({"openvpn"})}} << 1
            << QStringLiteral("not supported by");
        QTest::newRow("unknown name") << QJsonObject{{"recommended_vpn", "Carrier Pigeon"}} << 2
                                      << QStringLiteral("unrecognised recommended_vpn:");
        QTest::newRow("openvpn") << QJsonObject{{"recommended_vpn", "openvpn-udp"}} << 1 << QString();
        QTest::newRow("default not offered") << QJsonObject{{"protocols", protocols({"reality"})}} << 4
                                             << QStringLiteral("- using 4");
    }

    void recommendedProtocol()
    {
        QFETCH(QJsonObject, keys);
        QFETCH(int, recommended);
        QFETCH(QString, logLine);
        const ServerList list = ServerListReader::read(oneServerAnswer(keys));
        QCOMPARE(int(onlyServer(list)->recommendedProtocol), recommended);
        if (!logLine.isEmpty())
            QVERIFY(logged(logLine));
    }

    void numbers_data()
    {
        QTest::addColumn<QJsonObject>("keys");
        QTest::addColumn<int>("speed");
        QTest::addColumn<int>("locationSpeed");
        QTest::addColumn<int>("health");
        QTest::addColumn<int>("estimate");
        QTest::addColumn<bool>("coordinates");
        QTest::newRow("text 7.5") << QJsonObject{{"speed_score", "7.5"}} << 8 << 8 << 0 << -1 << false;
        QTest::newRow("number -7.5") << QJsonObject{{"speed_score", -7.5}, {"health", -3}} << -8 << 0 << -3 << -1
                                     << false;
        QTest::newRow("not numbers") << QJsonObject{{"speed_score", "fast"}, {"health", "12.5"}, {"estimated_ping_ms", "?"}}
                                     << 0 << 0 << 0 << -1 << false;
        QTest::newRow("health text") << QJsonObject{{"health", " 42 "}, {"estimated_ping_ms", "17.5"}} << 0 << 0 << 42
                                     << 18 << false;
        QTest::newRow("negative estimate") << QJsonObject{{"estimated_ping_ms", -1}} << 0 << 0 << 0 << -1 << false;
        QTest::newRow("coordinates as numbers") << QJsonObject{{"lat", 1.5}, {"long", -2}} << 0 << 0 << 0 << -1 << true;
        QTest::newRow("coordinates as text") << QJsonObject{{"lat", "1.5"}, {"long", "-2"}} << 0 << 0 << 0 << -1 << true;
        QTest::newRow("one coordinate null") << QJsonObject{{"lat", 1.5}, {"long", QJsonValue()}} << 0 << 0 << 0 << -1
                                             << false;
        QTest::newRow("huge") << QJsonObject{{"speed_score", 1e300}} << std::numeric_limits<int>::max()
                              << std::numeric_limits<int>::max() << 0 << -1 << false;
    }

    void numbers()
    {
        QFETCH(QJsonObject, keys);
        QFETCH(int, speed);
        QFETCH(int, locationSpeed);
        QFETCH(int, health);
        QFETCH(int, estimate);
        QFETCH(bool, coordinates);
        const ServerList list = ServerListReader::read(oneServerAnswer(keys));
        const ServerRecord *server = onlyServer(list);
        QCOMPARE(server->speedScore, speed);
        QCOMPARE(server->parent->speedScore, locationSpeed);
        QCOMPARE(server->health, health);
        QCOMPARE(server->parent->health, qMax(0, health));
        QCOMPARE(server->estimatedPingMs, estimate);
        QCOMPARE(server->hasCoordinates, coordinates);
    }
};

int main(int argc, char *argv[])
{
    return fixture::runTests<TestServerListReader>(argc, argv);
}

#include "tst_serverlistreader.moc"
