// Configuration fetches: request naming, routes, answer handling, empty-answer
// retries, the recovery budget, the saved Cloudflare routes and the building of
// the connection configuration from INI text and links.

#include <QJsonArray>
#include <QSignalSpy>
#include <QUrlQuery>
#include <QtTest>

#include "CatalogueFixture.h"
#include "servers/AppDataFile.h"
#include "servers/CdnRouteCache.h"
#include "servers/ConfigFetcher.h"
#include "servers/ConfigRequest.h"
#include "servers/ConnectionConfig.h"
#include "servers/RecoveryBudget.h"
#include "servers/ServerListReader.h"
#include "support/TestEnvironment.h"

using namespace fixture;

namespace {

constexpr qint64 kNow = 1800000000000LL;
constexpr qint64 kDayMs = 86400000LL;

const QString kWireGuardIni = QStringLiteral(
    "[Interface]\n"
    "PrivateKey = cHJpdmF0ZWtleQ==\n"
    "Address = 10.8.0.2/32\n"
    "DNS = 1.1.1.1, 8.8.8.8, 9.9.9.9\n"
    "\n"
    "[Peer]\n"
    "PublicKey = c2VydmVya2V5=\n"
    "Endpoint = 198.51.100.10:51820\n"
    "AllowedIPs = 10.0.0.0/8\n"
    "PersistentKeepalive = 25\n");

QByteArray configAnswer(const QString &configuration, const QJsonObject &extra = {})
{
    QJsonObject answer{{QStringLiteral("configuration"), configuration}, {QStringLiteral("message"), "ok"}};
    for (auto it = extra.constBegin(); it != extra.constEnd(); ++it)
        answer.insert(it.key(), it.value());
    return QJsonDocument(answer).toJson(QJsonDocument::Compact);
}

// A catalogue with one server per protocol family, and a Stealth server that
// has a Cloudflare route.
QByteArray catalogue()
{
    const QJsonArray servers{
        server("WG 1", "Frankfurt", "203.0.113.10", "wg-1", 1, {{"protocols", protocols({"wireguard", "amneziawg"})}}),
        server("Stealth 1", "Paris", "203.0.113.11", "st-1", 2,
               {{"protocols", protocols({"reality", "reality-cdn", "hysteria2"})}}),
        server("TCP 1", "Tokyo", "203.0.113.12", "tcp-1", 3,
               {{"protocols", QJsonArray{QJsonObject{{"id", "openvpn-tcp"}, {"vpn_type", "OpenVPN_X"}, {"transport", "TCP443"}},
                                         QJsonObject{{"id", "wireguard"}, {"vpn_type", "WG2"}}}}}),
        server("Plain 1", "Rome", "203.0.113.13", "plain-1", 4, {{"protocols", protocols({"wireguard"})}})};
    return answer(QJsonArray{category("Free", QJsonArray{country("Europe", "eu", servers)})});
}

struct Outcome {
    QList<QJsonObject> configs;
    QList<std::tuple<int, QByteArray, QString>> errors;
};

// Records the requests each route gets and answers them, a turn of the event
// loop later, with what the test queued.
struct ConfigRig : Rig {
    QList<QNetworkRequest> direct;
    QList<QUrl> service;
    QList<ServersModel::ConfigReply> directReplies;
    QList<int> serviceStatuses;
    QByteArray serviceBody;
    bool held = false;
    bool onPrimary = true;
    QList<QByteArray> checked401;
    QList<QByteArray> limitBodies;
    bool limitRecognised = false;
    int failedConnections = 0;
    int endedConnections = 0;
    qint64 now = kNow;

    ConfigRig()
    {
        model->setClockForTesting([this] { return now; });
        hooks.fetchConfigDirect = [this](const QNetworkRequest &request,
                                         std::function<void(const ServersModel::ConfigReply &)> done) {
            direct << request;
            const ServersModel::ConfigReply reply = directReplies.isEmpty() ? unreachable() : directReplies.takeFirst();
            QTimer::singleShot(0, model.get(), [done, reply] { done(reply); });
        };
        hooks.fetchConfigThroughService = [this](const QUrl &url, const QString &token,
                                                 std::function<void(int, const QByteArray &, const QByteArray &)> done) {
            QCOMPARE(token, QStringLiteral("token-1"));
            service << url;
            const int status = serviceStatuses.isEmpty() ? 0 : serviceStatuses.takeFirst();
            const QByteArray body = serviceBody;
            QTimer::singleShot(0, model.get(), [done, status, body] { done(status, body, "7"); });
        };
        hooks.vpnFirewallHeld = [this] { return held; };
        hooks.apiOnPrimaryHost = [this] { return onPrimary; };
        hooks.check401 = [this](const QByteArray &header) { checked401 << header; };
        hooks.deviceLimit = [this](const QByteArray &body) {
            limitBodies << body;
            return limitRecognised;
        };
        hooks.vpnFailConnection = [this] { ++failedConnections; };
        hooks.vpnEndConnection = [this] { ++endedConnections; };
        apply();
        model->parseResponse(catalogue(), 200);
        direct.clear();  // the default server's prefetch
    }

    static ServersModel::ConfigReply unreachable() { return reply(0, QByteArray(), true, true); }

    static ServersModel::ConfigReply reply(int status, const QByteArray &body, bool error = false,
                                           bool unreachable = false)
    {
        ServersModel::ConfigReply r;
        r.status = status;
        r.body = body;
        r.error = error || status == 0 || status > 399;
        r.errorText = QStringLiteral("failure %1").arg(status);
        r.retryAfter = "30";
        r.hostUnreachable = unreachable;
        return r;
    }

    ServersModel::ConfigHandler onConfig(Outcome &outcome)
    {
        return [&outcome](const QJsonObject &config) { outcome.configs << config; };
    }
    ServersModel::ConfigErrorHandler onError(Outcome &outcome)
    {
        return [&outcome](int status, const QByteArray &retryAfter, const QString &message) {
            outcome.errors << std::make_tuple(status, retryAfter, message);
        };
    }
};

QJsonObject wireGuardData(const QJsonObject &config)
{
    return config.value(QLatin1String("wireguard_config_data")).toObject();
}

void writeCdnCache(const QString &account, const QJsonObject &servers)
{
    QVERIFY(AppDataFile::write(CdnRouteCache::kFileName,
                               QJsonDocument(QJsonObject{{"account", account}, {"servers", servers}})
                                   .toJson(QJsonDocument::Compact)));
}

QJsonObject savedRoute(qint64 savedMs)
{
    return QJsonObject{{"t", double(savedMs)},
                       {"config", ConnectionConfig::build(VpnProtocol::Stealth,
                                                          QStringLiteral("vless://id@203.0.113.11:443?type=ws"))}};
}

} // namespace

class TestServerConfig : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { captureLog(); }

    void init() { resetState(); }

    // ---- building the configuration

    void fromIni_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QJsonObject>("expected");
        const QJsonArray all{"0.0.0.0/0", "::/0"};
        QTest::newRow("wireguard") << int(VpnProtocol::WireGuard) << kWireGuardIni
                                   << QJsonObject{{"client_private_key", "cHJpdmF0ZWtleQ=="},
                                                  {"client_ip", "10.8.0.2/32"},
                                                  {"dns", "1.1.1.1"},
                                                  {"dns_list", QJsonArray{"1.1.1.1", "8.8.8.8"}},
                                                  {"server_pub_key", "c2VydmVya2V5="},
                                                  {"hostName", "198.51.100.10"},
                                                  {"port", 51820},
                                                  {"allowed_ips", all},
                                                  {"keepalive", 25}};
        QTest::newRow("bracketed ipv6 endpoint, one dns")
            << int(VpnProtocol::WireGuard)
            << QStringLiteral("[Interface]\nDNS = ,10.0.0.1,\n[Peer]\nEndpoint = [2001:db8::1]:51820\n")
            << QJsonObject{{"dns", "10.0.0.1"}};
        QTest::newRow("no dns") << int(VpnProtocol::WireGuard) << QStringLiteral("[Interface]\nAddress=10.0.0.2\n")
                                << QJsonObject{{"client_ip", "10.0.0.2"}, {"dns", ""}};
        QTest::newRow("keys are case-sensitive and sectioned")
            << int(VpnProtocol::WireGuard)
            << QStringLiteral("PrivateKey = outside\n[INTERFACE]\nprivatekey = lower\nPublicKey = wrong\n"
                              "[peer]\nPrivateKey = wrong\n  PublicKey  =  a=b=  \nMTU = 1200\n")
            << QJsonObject{{"server_pub_key", "a=b="}, {"dns", ""}};
        QTest::newRow("amneziawg")
            << int(VpnProtocol::AmneziaWg)
            << QStringLiteral("[Interface]\r\nPrivateKey = k=\r\nMTU = 1280\r\nJc = 4\r\nJmin = 40\r\nH4 = 99\r\n"
                              "Other = 1\r\n[Peer]\r\nEndpoint = host.example:0\r\n")
            << QJsonObject{{"client_private_key", "k="},
                           {"dns", ""},
                           {"mtu", 1280},
                           {"awg", QJsonObject{{"jc", "4"}, {"jmin", "40"}, {"h4", "99"}}},
                           {"hostName", "host.example"},
                           {"port", 0}};
        QTest::newRow("amneziawg without parameters")
            << int(VpnProtocol::AmneziaWg) << QStringLiteral("[Interface]\nMTU = -5\n") << QJsonObject{{"dns", ""}};
        QTest::newRow("garbage") << int(VpnProtocol::WireGuard) << QStringLiteral("\x01\x02 ] [ = = \n[]\n=")
                                 << QJsonObject{{"dns", ""}};
    }

    void fromIni()
    {
        QFETCH(int, protocol);
        QFETCH(QString, text);
        QFETCH(QJsonObject, expected);
        const QJsonObject config = ConnectionConfig::build(VpnProtocol::Protocol(protocol), text);
        QCOMPARE(config.value("protocol").toString(), QStringLiteral("wireguard"));
        QCOMPARE(wireGuardData(config), expected);
    }

    void openVpnTextIsKept()
    {
        const QString text = QStringLiteral("client\nremote 203.0.113.10 1194\n<ca>\nx=\n</ca>\n");
        for (auto protocol : {VpnProtocol::OpenVpnUdp, VpnProtocol::OpenVpnTcp}) {
            const QJsonObject config = ConnectionConfig::build(protocol, text);
            QCOMPARE(config, (QJsonObject{{"protocol", "openvpn"}, {"openvpn_config_data", text}}));
        }
    }

    void fromLink_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::newRow("vless") << int(VpnProtocol::Stealth) << QStringLiteral("  vless://uuid@203.0.113.11:443?security=reality#x \n")
                               << QStringLiteral("203.0.113.11") << 443;
        QTest::newRow("hysteria2") << int(VpnProtocol::Hysteria2) << QStringLiteral("hysteria2://pass@hy.example:8443/?sni=a")
                                   << QStringLiteral("hy.example") << 8443;
        QTest::newRow("vless for hysteria2") << int(VpnProtocol::Hysteria2) << QStringLiteral("vless://u@h:443")
                                             << QString() << 0;
        QTest::newRow("hysteria2 for stealth") << int(VpnProtocol::Stealth) << QStringLiteral("hysteria2://u@h:443")
                                               << QString() << 0;
        QTest::newRow("no port") << int(VpnProtocol::Stealth) << QStringLiteral("vless://u@h") << QString() << 0;
        QTest::newRow("no host") << int(VpnProtocol::Stealth) << QStringLiteral("vless://:443") << QString() << 0;
        QTest::newRow("not a url") << int(VpnProtocol::Stealth) << QStringLiteral("vless://u@h:443/%zz bad")
                                   << QString() << 0;
        QTest::newRow("ini text") << int(VpnProtocol::Stealth) << kWireGuardIni << QString() << 0;
    }

    void fromLink()
    {
        QFETCH(int, protocol);
        QFETCH(QString, text);
        QFETCH(QString, host);
        QFETCH(int, port);
        const QJsonObject config = ConnectionConfig::build(VpnProtocol::Protocol(protocol), text);
        QCOMPARE(config.value("protocol").toString(), QStringLiteral("wireguard"));
        const QJsonObject data = wireGuardData(config);
        if (host.isEmpty()) {
            QCOMPARE(data, QJsonObject());
            return;
        }
        QCOMPARE(data, (QJsonObject{{"vless", text.trimmed()},
                                    {"hostName", host},
                                    {"port", port},
                                    {"dns", "8.8.8.8"},
                                    {"client_ip", "169.254.10.2/30"},
                                    {"allowed_ips", QJsonArray{"0.0.0.0/0", "::/0"}}}));
    }

    // ---- the request

    void requestUrl_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("configId");
        QTest::addColumn<QString>("serverType");
        QTest::addColumn<QString>("serverTransport");
        QTest::addColumn<QString>("transport");
        QTest::addColumn<bool>("recover");
        QTest::addColumn<QString>("url");
        const QString base = QStringLiteral("https://api.example.test/api/client/configuration/");
        QTest::newRow("two colons") << int(VpnProtocol::WireGuard) << "pool:de:1" << "" << "" << "" << false
                                    << base + "pool%3Ade%3A1?vpn_type=WireGuard";
        QTest::newRow("openvpn udp") << int(VpnProtocol::OpenVpnUdp) << "a" << "" << "" << "" << false
                                     << base + "a?vpn_type=OpenVPN";
        QTest::newRow("openvpn tcp") << int(VpnProtocol::OpenVpnTcp) << "a" << "" << "" << "" << false
                                     << base + "a?vpn_type=OpenVPN&transport=tcp";
        QTest::newRow("amneziawg") << int(VpnProtocol::AmneziaWg) << "a" << "" << "" << "" << false
                                   << base + "a?vpn_type=AmneziaWG";
        QTest::newRow("stealth, recover") << int(VpnProtocol::Stealth) << "a" << "" << "" << "" << true
                                          << base + "a?vpn_type=Reality&recover=1";
        QTest::newRow("hysteria2") << int(VpnProtocol::Hysteria2) << "a" << "" << "" << "" << false
                                   << base + "a?vpn_type=Hysteria2";
        QTest::newRow("server names") << int(VpnProtocol::OpenVpnTcp) << "a" << "OpenVPN_X" << "tcp443" << ""
                                      << false << base + "a?vpn_type=OpenVPN_X&transport=tcp443";
        QTest::newRow("caller transport") << int(VpnProtocol::OpenVpnTcp) << "a" << "OpenVPN_X" << "tcp443" << "cdn"
                                          << false << base + "a?vpn_type=OpenVPN_X&transport=cdn";
        QTest::newRow("hostile id") << int(VpnProtocol::WireGuard) << "../../me?x=1#y" << "" << "" << "" << false
                                    << base + "..%2F..%2Fme%3Fx=1%23y?vpn_type=WireGuard";
    }

    void requestUrl()
    {
        QFETCH(int, protocol);
        QFETCH(QString, configId);
        QFETCH(QString, serverType);
        QFETCH(QString, serverTransport);
        QFETCH(QString, transport);
        QFETCH(bool, recover);
        QFETCH(QString, url);
        const auto names = ConfigRequest::namesFor(VpnProtocol::Protocol(protocol), serverType, serverTransport,
                                                   transport);
        QCOMPARE(ConfigRequest::url(QStringLiteral("https://api.example.test/api/"), configId, names, recover)
                     .toString(QUrl::FullyEncoded),
                 url);
    }

    // "." and ".." would stand for this or the parent path segment, so the
    // request would go to another endpoint: such ids are never sent.
    void pathStepIdsAreRefused_data()
    {
        QTest::addColumn<QString>("configId");
        QTest::addColumn<bool>("forConnect");
        QTest::addColumn<bool>("withOnError");
        QTest::addColumn<bool>("refused");
        QTest::newRow("dot, connect") << "." << true << false << true;
        QTest::newRow("two dots, connect") << ".." << true << false << true;
        QTest::newRow("two dots, recovery") << ".." << false << true << true;
        QTest::newRow("two dots, background") << ".." << false << false << true;
        QTest::newRow("three dots are a name") << "..." << true << false << false;
        QTest::newRow("dotted name") << "..x" << true << false << false;
    }

    void pathStepIdsAreRefused()
    {
        QFETCH(QString, configId);
        QFETCH(bool, forConnect);
        QFETCH(bool, withOnError);
        QFETCH(bool, refused);
        ConfigRig rig;
        Outcome outcome;
        rig.model->getServerConfig(configId, VpnProtocol::WireGuard, rig.onConfig(outcome), forConnect, 0,
                                   withOnError ? rig.onError(outcome) : ServersModel::ConfigErrorHandler(), true);
        QTRY_VERIFY(rig.failedConnections + outcome.errors.size() > 0
                    || logged(QStringLiteral("Background config prefetch failed:")));
        QTest::qWait(20);
        if (!refused) {
            QCOMPARE(rig.direct.size(), 1);
            QVERIFY(rig.direct.first().url().path().endsWith(QStringLiteral("/client/configuration/") + configId));
            return;
        }
        QVERIFY(rig.direct.isEmpty());
        QVERIFY(rig.service.isEmpty());
        QVERIFY(logged(QStringLiteral("Refusing config id %1 - a path step, not a server").arg(configId)));
        QCOMPARE(rig.failedConnections, forConnect ? 1 : 0);
        QCOMPARE(outcome.errors.size(), withOnError ? 1 : 0);
        if (withOnError)
            QCOMPARE(std::get<0>(outcome.errors.first()), 0);
        if (!forConnect && !withOnError)
            QVERIFY(logged(QStringLiteral("Background config prefetch failed: not a config id")));
        QVERIFY(outcome.configs.isEmpty());
        // Nothing was asked, so nothing of the recovery budget is spent.
        QVERIFY(Settings().value(QStringLiteral("deadTunnel/recoverAsked")).toList().isEmpty());
    }

    void fetcherServesAnyCatalogue()
    {
        // No model: the fetcher learns the servers from a list read on its own.
        const ServerList list = ServerListReader::read(catalogue());
        CatalogueHooks hooks;
        QList<QNetworkRequest> sent;
        QList<std::function<void(const ConfigReply &)>> pending;
        hooks.sessionToken = [] { return QStringLiteral("token-9"); };
        hooks.apiBaseUrl = [] { return QStringLiteral("https://api.example.test/api/"); };
        hooks.fetchConfigDirect = [&](const QNetworkRequest &request, std::function<void(const ConfigReply &)> done) {
            sent << request;
            pending << done;
        };
        ConfigFetcher::Catalogue lookups;
        lookups.serverByConfigId = [&list](const QString &configId) -> const ServerRecord * {
            return list.byConfigId.value(configId);
        };
        lookups.listedConfigIds = [] { return QSet<QString>(); };
        lookups.nowMs = [] { return kNow; };
        lookups.delay = [](qint64 ms) { return int(ms); };
        ConfigFetcher fetcher(hooks, QSharedPointer<Settings>(), lookups);

        Outcome outcome;
        auto record = [&outcome](const QJsonObject &config) { outcome.configs << config; };
        fetcher.getServerConfig(QStringLiteral("tcp-1"), VpnProtocol::OpenVpnTcp, record, true);
        QCOMPARE(sent.size(), 1);
        const QUrlQuery query(sent.first().url());
        QCOMPARE(query.queryItemValue(QStringLiteral("vpn_type")), QStringLiteral("OpenVPN_X"));
        QCOMPARE(query.queryItemValue(QStringLiteral("transport")), QStringLiteral("tcp443"));
        QCOMPARE(sent.first().rawHeader("Authorization"), QByteArray("Bearer token-9"));

        // A newer attempt makes the older answer count for nothing.
        fetcher.getServerConfig(QStringLiteral("wg-1"), VpnProtocol::WireGuard, record, true);
        fetcher.bumpConnectAttempt();
        fetcher.getServerConfig(QStringLiteral("wg-1"), VpnProtocol::WireGuard, record, true);
        QCOMPARE(pending.size(), 3);
        pending.at(1)(ConfigRig::reply(200, configAnswer(kWireGuardIni)));
        QVERIFY(outcome.configs.isEmpty());
        pending.at(2)(ConfigRig::reply(200, configAnswer(kWireGuardIni)));
        QCOMPARE(outcome.configs.size(), 1);
        QCOMPARE(wireGuardData(outcome.configs.first()).value("hostName").toString(), QStringLiteral("198.51.100.10"));
        QCOMPARE(fetcher.lastConfigFailureStatus(), 0);
    }

    void requestCarriesTheServersNamesAndHeaders()
    {
        ConfigRig rig;
        Outcome outcome;
        rig.model->getServerConfig("tcp-1", VpnProtocol::OpenVpnTcp, rig.onConfig(outcome), false);
        rig.model->getServerConfig("tcp-1", VpnProtocol::WireGuard, rig.onConfig(outcome), false);
        QCOMPARE(rig.direct.size(), 2);
        const QNetworkRequest &request = rig.direct.at(0);
        QCOMPARE(request.url().query(), QStringLiteral("vpn_type=OpenVPN_X&transport=tcp443"));
        QCOMPARE(rig.direct.at(1).url().query(), QStringLiteral("vpn_type=WG2"));
        QCOMPARE(request.rawHeader("Authorization"), QByteArray("Bearer token-1"));
        QCOMPARE(request.header(QNetworkRequest::ContentTypeHeader).toString(), QStringLiteral("application/json"));
        QCOMPARE(request.rawHeader("X-App-Version"), QByteArray(KELVRA_VERSION));
        QCOMPARE(request.rawHeader("X-Platform"), QByteArray("windows"));
    }

    void route_data()
    {
        QTest::addColumn<bool>("withOnError");
        QTest::addColumn<bool>("forConnect");
        QTest::addColumn<bool>("held");
        QTest::addColumn<bool>("preferDirect");
        QTest::addColumn<bool>("onPrimary");
        QTest::addColumn<bool>("throughService");
        QTest::newRow("recovery, firewall held") << true << false << true << true << false << true;
        QTest::newRow("recovery on the primary host") << true << false << false << false << true << true;
        QTest::newRow("recovery preferring direct") << true << false << false << true << true << false;
        QTest::newRow("recovery on a backup host") << true << false << false << false << false << false;
        QTest::newRow("connect, firewall held") << false << true << true << false << true << true;
        QTest::newRow("connect") << false << true << false << false << true << false;
        QTest::newRow("background, firewall held") << false << false << true << false << true << false;
    }

    void route()
    {
        QFETCH(bool, withOnError);
        QFETCH(bool, forConnect);
        QFETCH(bool, held);
        QFETCH(bool, preferDirect);
        QFETCH(bool, onPrimary);
        QFETCH(bool, throughService);
        ConfigRig rig;
        rig.held = held;
        rig.onPrimary = onPrimary;
        rig.serviceStatuses << 200;
        rig.serviceBody = configAnswer(kWireGuardIni);
        rig.directReplies << ConfigRig::reply(200, configAnswer(kWireGuardIni));
        Outcome outcome;
        rig.model->getServerConfig("wg-1", VpnProtocol::WireGuard, rig.onConfig(outcome), forConnect, 0,
                                   withOnError ? rig.onError(outcome) : ServersModel::ConfigErrorHandler(), false, {},
                                   preferDirect);
        QTRY_COMPARE(outcome.configs.size(), 1);
        QCOMPARE(rig.service.size(), throughService ? 1 : 0);
        QCOMPARE(rig.direct.size(), throughService ? 0 : 1);
        if (throughService) {
            QCOMPARE(rig.service.first().toString(QUrl::FullyEncoded),
                     QStringLiteral("https://api.example.test/api/client/configuration/wg-1?vpn_type=WireGuard"));
            QVERIFY(logged(QStringLiteral("Config fetch through the service: HTTP 200 in")));
        }
        QCOMPARE(wireGuardData(outcome.configs.first()).value("hostName").toString(), QStringLiteral("198.51.100.10"));
    }

    void serviceWithoutAnswer()
    {
        ConfigRig rig;
        Outcome outcome;
        // Firewall not held: the app tries itself.
        rig.serviceStatuses << 0;
        rig.directReplies << ConfigRig::reply(200, configAnswer(kWireGuardIni));
        rig.model->getServerConfig("wg-1", VpnProtocol::WireGuard, rig.onConfig(outcome), false, 0,
                                   rig.onError(outcome));
        QTRY_COMPARE(outcome.configs.size(), 1);
        QCOMPARE(rig.direct.size(), 1);
        QVERIFY(logged(QStringLiteral("Config fetch through the service: no answer in")));
        QVERIFY(logged(QStringLiteral("- the app's own fetch next")));

        // Firewall held: the failure is the answer.
        rig.held = true;
        rig.serviceStatuses << 0;
        rig.model->getServerConfig("wg-1", VpnProtocol::WireGuard, rig.onConfig(outcome), false, 0,
                                   rig.onError(outcome));
        QTRY_COMPARE(outcome.errors.size(), 1);
        QCOMPARE(std::get<0>(outcome.errors.first()), 0);
        QCOMPARE(std::get<1>(outcome.errors.first()), QByteArray("7"));
        QCOMPARE(rig.direct.size(), 1);
    }

    void answers_data()
    {
        QTest::addColumn<QString>("configId");
        QTest::addColumn<int>("protocol");
        QTest::addColumn<bool>("forConnect");
        QTest::addColumn<bool>("withOnError");
        QTest::addColumn<QString>("transport");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("limitRecognised");
        QTest::addColumn<QString>("expect");  // config, error:<status>:<message>, failed, ended, 401, quiet
        QTest::addColumn<QString>("logLine");
        const QByteArray limit = R"({"error":{"message":"Too many devices","code":99998}})";
        QTest::newRow("wireguard") << "wg-1" << int(VpnProtocol::WireGuard) << true << false << "" << 200
                                   << configAnswer(kWireGuardIni, {{"recreated", true}, {"pool", "p"}, {"location_id", 7}})
                                   << false << "config" << "Pool p gave location 7";
        QTest::newRow("401") << "wg-1" << int(VpnProtocol::WireGuard) << true << false << "" << 401 << QByteArray("{}")
                             << false << "401" << "";
        QTest::newRow("device limit, recovery") << "wg-1" << int(VpnProtocol::WireGuard) << false << true << "" << 409
                                                << limit << true << "error:409:limit"
                                                << "Recovery config fetch refused or failed: HTTP 409";
        QTest::newRow("refused, recovery") << "wg-1" << int(VpnProtocol::WireGuard) << false << true << "" << 403
                                           << QByteArray(R"({"error":"not yours"})") << false
                                           << "error:403:not yours" << "";
        QTest::newRow("refused with an object") << "wg-1" << int(VpnProtocol::WireGuard) << false << true << "" << 409
                                                << QByteArray(R"({"error":{"code":5}})") << false
                                                << "error:409:{\"code\":5}" << "";
        QTest::newRow("refused, background") << "wg-1" << int(VpnProtocol::WireGuard) << false << false << "" << 403
                                             << QByteArray("{}") << false << "quiet"
                                             << "Background config prefetch refused: 403";
        QTest::newRow("device limit, connect") << "wg-1" << int(VpnProtocol::WireGuard) << true << false << "" << 409
                                               << limit << true << "ended" << "";
        QTest::newRow("refused, connect, no limit") << "wg-1" << int(VpnProtocol::WireGuard) << true << false << ""
                                                    << 403 << QByteArray("{}") << false << "failed"
                                                    << "Failed to fetch server config, error: failure 403";
        QTest::newRow("server error, connect") << "wg-1" << int(VpnProtocol::WireGuard) << true << false << "" << 500
                                               << QByteArray("oops") << false << "failed" << "";
        QTest::newRow("server error, background") << "wg-1" << int(VpnProtocol::WireGuard) << false << false << ""
                                                  << 500 << QByteArray() << false << "quiet"
                                                  << "Background config prefetch failed: failure 500";
        QTest::newRow("no cdn route") << "st-1" << int(VpnProtocol::Stealth) << true << false << "cdn" << 200
                                      << configAnswer("vless://u@h:443", {{"transport", "tcp"}}) << false << "failed"
                                      << "The server has no cdn route";
        QTest::newRow("no cdn route, recovery") << "st-1" << int(VpnProtocol::Stealth) << false << true << "cdn" << 200
                                                << configAnswer("vless://u@h:443") << false << "error:200:" << "";
        QTest::newRow("amneziawg without parameters")
            << "wg-1" << int(VpnProtocol::AmneziaWg) << true << false << "" << 200 << configAnswer(kWireGuardIni)
            << false << "failed" << "no obfuscation parameters this app understands";
        QTest::newRow("vless for hysteria2") << "st-1" << int(VpnProtocol::Hysteria2) << false << true << "" << 200
                                             << configAnswer("vless://u@h:443") << false << "error:0:"
                                             << "Recovery config fetch failed: not a stealth profile";
        QTest::newRow("hysteria2") << "st-1" << int(VpnProtocol::Hysteria2) << true << false << "" << 200
                                   << configAnswer("hysteria2://p@h:443") << false << "config" << "";
        QTest::newRow("empty, recovery") << "wg-1" << int(VpnProtocol::WireGuard) << false << true << "" << 200
                                         << configAnswer("", {{"message", QString(300, QLatin1Char('m'))}}) << false
                                         << "error:200:"
                                         << "Recovery config fetch returned no configuration: HTTP 200, ";
        QTest::newRow("configuration as number") << "wg-1" << int(VpnProtocol::WireGuard) << false << true << "" << 200
                                                 << QByteArray(R"({"configuration":5})") << false << "error:200:" << "";
        QTest::newRow("html") << "wg-1" << int(VpnProtocol::WireGuard) << false << true << "" << 200
                              << QByteArray("<html>") << false << "error:200:" << "";
        QTest::newRow("huge garbage") << "wg-1" << int(VpnProtocol::WireGuard) << false << true << "" << 200
                                      << QByteArray(8 * 1024 * 1024, '{') << false << "error:200:" << "";
        QTest::newRow("error as list") << "wg-1" << int(VpnProtocol::WireGuard) << false << true << "" << 409
                                       << QByteArray(R"({"error":[1,2]})") << false << "error:409:" << "";
    }

    void answers()
    {
        QFETCH(QString, configId);
        QFETCH(int, protocol);
        QFETCH(bool, forConnect);
        QFETCH(bool, withOnError);
        QFETCH(QString, transport);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, limitRecognised);
        QFETCH(QString, expect);
        QFETCH(QString, logLine);
        ConfigRig rig;
        rig.limitRecognised = limitRecognised;
        rig.onPrimary = false;  // recovery fetches go direct here
        rig.directReplies << ConfigRig::reply(status, body);
        Outcome outcome;
        rig.model->getServerConfig(configId, VpnProtocol::Protocol(protocol), rig.onConfig(outcome), forConnect, 0,
                                   withOnError ? rig.onError(outcome) : ServersModel::ConfigErrorHandler(), false,
                                   transport);
        QTRY_VERIFY(rig.direct.size() == 1);
        QTest::qWait(20);
        if (expect == QLatin1String("config")) {
            QCOMPARE(outcome.configs.size(), 1);
            QCOMPARE(rig.model->lastConfigFailureStatus(), 0);
        } else {
            QCOMPARE(outcome.configs.size(), 0);
        }
        if (expect.startsWith(QLatin1String("error:"))) {
            QCOMPARE(outcome.errors.size(), 1);
            const QStringList parts = expect.split(QLatin1Char(':')).mid(1);
            QCOMPARE(std::get<0>(outcome.errors.first()), parts.at(0).toInt());
            QCOMPARE(std::get<2>(outcome.errors.first()), parts.mid(1).join(QLatin1Char(':')));
        } else {
            QCOMPARE(outcome.errors.size(), 0);
        }
        QCOMPARE(rig.failedConnections, expect == QLatin1String("failed") ? 1 : 0);
        QCOMPARE(rig.endedConnections, expect == QLatin1String("ended") ? 1 : 0);
        QCOMPARE(rig.checked401, expect == QLatin1String("401") ? QList<QByteArray>{"Bearer token-1"}
                                                                 : QList<QByteArray>());
        if (status == 409 && limitRecognised)
            QCOMPARE(rig.limitBodies.size(), 1);
        if (forConnect && !withOnError && expect == QLatin1String("failed") && status > 399)
            QCOMPARE(rig.model->lastConfigFailureStatus(), status);
        if (!logLine.isEmpty())
            QVERIFY2(logged(logLine), qPrintable(logLine));
        // Messages are cut to 120 characters in the log.
        QVERIFY(!logged(QString(121, QLatin1Char('m'))));
    }

    void emptyAnswersAreRetried()
    {
        ConfigRig rig;
        rig.model->setDelayDivisorForTesting(100);
        for (int i = 0; i < 6; ++i)
            rig.directReplies << ConfigRig::reply(200, configAnswer(QString()));
        Outcome outcome;
        rig.model->getServerConfig("wg-1", VpnProtocol::WireGuard, rig.onConfig(outcome), true);
        QTRY_COMPARE_WITH_TIMEOUT(rig.failedConnections, 1, 10000);
        QCOMPARE(rig.direct.size(), 6);
        QVERIFY(logged(QStringLiteral("Empty config received (HTTP 200, ")));
        for (int wait : {2000, 3000, 4000, 5000})
            QVERIFY(logged(QStringLiteral("), retrying in %1ms...").arg(wait)));
        QVERIFY(logged(QStringLiteral("Giving up after 6 empty configs for protocol 2 - HTTP 200")));
        QVERIFY(outcome.configs.isEmpty());

        // A retry that finds its attempt superseded is dropped.
        rig.direct.clear();
        rig.directReplies << ConfigRig::reply(200, configAnswer(QString()));
        rig.model->getServerConfig("wg-1", VpnProtocol::WireGuard, rig.onConfig(outcome), true);
        QTRY_COMPARE(rig.direct.size(), 1);
        QTest::qWait(5);
        rig.model->bumpConnectAttempt();
        QTest::qWait(100);
        QCOMPARE(rig.direct.size(), 1);
    }

    void supersededAnswersAreDropped()
    {
        ConfigRig rig;
        rig.directReplies << ConfigRig::reply(200, configAnswer(kWireGuardIni))
                          << ConfigRig::reply(200, configAnswer(kWireGuardIni));
        Outcome connect;
        Outcome background;
        rig.model->getServerConfig("wg-1", VpnProtocol::WireGuard, rig.onConfig(connect), true);
        rig.model->getServerConfig("wg-1", VpnProtocol::WireGuard, rig.onConfig(background), false);
        rig.model->bumpConnectAttempt();
        QTRY_COMPARE(background.configs.size(), 1);
        QTest::qWait(10);
        QCOMPARE(connect.configs.size(), 0);
        QVERIFY(logged(QStringLiteral("Discarding config for a superseded attempt")));
    }

    void recoveryBudget_data()
    {
        QTest::addColumn<QVariantList>("answered");
        QTest::addColumn<QVariantList>("asked");
        QTest::addColumn<bool>("recover");
        QTest::newRow("nothing yet") << QVariantList{} << QVariantList{} << true;
        QTest::newRow("three answers in the hour")
            << QVariantList{kNow - 3599999, kNow - 60000, kNow - 1} << QVariantList{} << false;
        QTest::newRow("an answer an hour old no longer counts")
            << QVariantList{kNow - 3600000, kNow - 60000, kNow - 1} << QVariantList{} << true;
        QVariantList tenAsks;
        for (int i = 0; i < 10; ++i)
            tenAsks << kNow - 1000 * i;
        QTest::newRow("ten asks") << QVariantList{} << tenAsks << false;
        QTest::newRow("hand-edited values") << QVariantList{"x", QVariantMap{}, kNow - 5}
                                            << QVariantList{"garbage"} << true;
    }

    void recoveryBudget()
    {
        QFETCH(QVariantList, answered);
        QFETCH(QVariantList, asked);
        QFETCH(bool, recover);
        Settings settings;
        settings.setValue(QStringLiteral("deadTunnel/recoverAnswered"), answered);
        settings.setValue(QStringLiteral("deadTunnel/recoverAsked"), asked);
        ConfigRig rig;
        rig.onPrimary = false;
        rig.directReplies << ConfigRig::reply(200, configAnswer(kWireGuardIni));
        Outcome outcome;
        rig.model->getServerConfig("wg-1", VpnProtocol::WireGuard, rig.onConfig(outcome), false, 0,
                                   rig.onError(outcome), true);
        QTRY_COMPARE(outcome.configs.size(), 1);
        QCOMPARE(QUrlQuery(rig.direct.first().url()).queryItemValue("recover"), recover ? "1" : "");
        // An answered ask is counted; only the last hour is kept.
        const QList<qint64> answers = RecoveryBudget::answered(settings);
        QCOMPARE(answers.contains(kNow), recover);
        for (qint64 time : answers)
            QVERIFY(kNow - time < RecoveryBudget::kWindowMs);
    }

    void recoveryIsAskedOnlyWhenAllowed()
    {
        ConfigRig rig;
        rig.onPrimary = false;
        Outcome outcome;
        // Without onError, for OpenVPN, or without askRecover, nothing is asked.
        rig.model->getServerConfig("wg-1", VpnProtocol::WireGuard, rig.onConfig(outcome), true, 0, {}, true);
        rig.model->getServerConfig("tcp-1", VpnProtocol::OpenVpnTcp, rig.onConfig(outcome), false, 0,
                                   rig.onError(outcome), true);
        rig.model->getServerConfig("wg-1", VpnProtocol::WireGuard, rig.onConfig(outcome), false, 0,
                                   rig.onError(outcome), false);
        for (const QNetworkRequest &request : std::as_const(rig.direct))
            QVERIFY(!QUrlQuery(request.url()).hasQueryItem("recover"));
        QVERIFY(RecoveryBudget::asked(Settings()).isEmpty());
        // A 429 answer to an ask is not counted as answered.
        rig.directReplies << ConfigRig::reply(429, QByteArray("{}"));
        rig.model->getServerConfig("wg-1", VpnProtocol::WireGuard, rig.onConfig(outcome), false, 0,
                                   rig.onError(outcome), true);
        QVERIFY(QUrlQuery(rig.direct.last().url()).hasQueryItem("recover"));
        QTRY_COMPARE(outcome.errors.size(), 3);
        QCOMPARE(std::get<0>(outcome.errors.last()), 429);
        QCOMPARE(RecoveryBudget::asked(Settings()).size(), 1);
        QVERIFY(RecoveryBudget::answered(Settings()).isEmpty());
    }

    void recoveryPerHourFromTheEnvironment_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("limit");
        QTest::newRow("unset") << QByteArray() << 3;
        QTest::newRow("below") << QByteArray("2") << 3;
#ifdef KELVRA_STAGING
        QTest::newRow("above") << QByteArray("7") << 7;
        QTest::newRow("capped") << QByteArray("1000") << 100;
#else
        QTest::newRow("above, production") << QByteArray("7") << 3;
#endif
        QTest::newRow("garbage") << QByteArray("many") << 3;
    }

    void recoveryPerHourFromTheEnvironment()
    {
        QFETCH(QByteArray, value);
        QFETCH(int, limit);
        qputenv("KELVRA_RECOVER_PER_HOUR", value);
        QCOMPARE(RecoveryBudget::perHourLimit(), limit);
        qunsetenv("KELVRA_RECOVER_PER_HOUR");
    }

    void savedCloudflareRouteDuringAnOutage_data()
    {
        QTest::addColumn<qint64>("age");
        QTest::addColumn<QString>("account");
        QTest::addColumn<bool>("used");
        QTest::newRow("29 days") << 29 * kDayMs << "user@example.com" << true;
        QTest::newRow("30 days exactly") << CdnRouteCache::kMaxAgeMs << "USER@example.com" << true;
        QTest::newRow("31 days") << 31 * kDayMs << "user@example.com" << false;
        QTest::newRow("another account") << kDayMs << "other@example.com" << false;
    }

    void savedCloudflareRouteDuringAnOutage()
    {
        QFETCH(qint64, age);
        QFETCH(QString, account);
        QFETCH(bool, used);
        writeCdnCache(account, QJsonObject{{"st-1", savedRoute(kNow - age)}});
        ConfigRig rig;
        rig.directReplies << ConfigRig::reply(0, QByteArray(), true, true);
        Outcome outcome;
        rig.model->getServerConfig("st-1", VpnProtocol::Stealth, rig.onConfig(outcome), true);
        QTRY_VERIFY(outcome.configs.size() + rig.failedConnections > 0);
        QCOMPARE(outcome.configs.size(), used ? 1 : 0);
        QCOMPARE(rig.failedConnections, used ? 0 : 1);
        QCOMPARE(logged(QStringLiteral("No API host answered: Stealth over the server's saved Cloudflare route")), used);
        if (!used)
            return;
        QCOMPARE(wireGuardData(outcome.configs.first()).value("hostName").toString(), QStringLiteral("203.0.113.11"));
        // Having just used the saved route, the next user-facing fetch does not ask for recovery.
        rig.directReplies << ConfigRig::reply(200, configAnswer("vless://u@h:443"));
        rig.model->getServerConfig("st-1", VpnProtocol::Stealth, rig.onConfig(outcome), false, 0,
                                   rig.onError(outcome), true, {}, true);
        QTRY_COMPARE(outcome.configs.size(), 2);
        QVERIFY(!QUrlQuery(rig.direct.last().url()).hasQueryItem("recover"));
    }

    void savedRouteOnlyForStealthAndWaitedForFetches()
    {
        writeCdnCache("user@example.com", QJsonObject{{"st-1", savedRoute(kNow)}});
        ConfigRig rig;
        Outcome outcome;
        rig.directReplies << ConfigRig::reply(0, QByteArray(), true, true) << ConfigRig::reply(0, QByteArray(), true, true);
        rig.model->getServerConfig("st-1", VpnProtocol::Hysteria2, rig.onConfig(outcome), true);
        rig.model->getServerConfig("st-1", VpnProtocol::Stealth, rig.onConfig(outcome), false);
        QTRY_COMPARE(rig.failedConnections, 1);
        QTest::qWait(10);
        QCOMPARE(outcome.configs.size(), 0);
    }

    void cloudflareRoutesAreSaved()
    {
        const QJsonObject unlisted = savedRoute(kNow - kDayMs);
        writeCdnCache("user@example.com", QJsonObject{{"gone-1", unlisted},
                                                      {"wg-1", savedRoute(kNow - 2 * kDayMs)},
                                                      {"plain-1", savedRoute(kNow - 31 * kDayMs)},
                                                      {"tcp-1", QJsonObject{{"t", "yesterday"}, {"config", 1}}}});
        ConfigRig rig;
        rig.directReplies << ConfigRig::reply(200, configAnswer("vless://u@203.0.113.11:443", {{"transport", "cdn"}}));
        Outcome outcome;
        rig.model->getServerConfig("st-1", VpnProtocol::Stealth, rig.onConfig(outcome), true, 0, {}, false, "cdn");
        QTRY_COMPARE(outcome.configs.size(), 1);
        const QJsonObject file = QJsonDocument::fromJson(AppDataFile::read(CdnRouteCache::kFileName)).object();
        QCOMPARE(file.value("account").toString(), QStringLiteral("user@example.com"));
        const QJsonObject servers = file.value("servers").toObject();
        QCOMPARE(servers.keys(), (QStringList{"st-1", "wg-1"}));
        QCOMPARE(servers.value("st-1").toObject().value("t").toDouble(), double(kNow));
        QCOMPARE(servers.value("st-1").toObject().value("config").toObject(), outcome.configs.first());

        // Another account starts a file of its own.
        rig.email = QStringLiteral("second@example.com");
        rig.directReplies << ConfigRig::reply(200, configAnswer("vless://u@203.0.113.11:443", {{"transport", "cdn"}}));
        rig.model->getServerConfig("st-1", VpnProtocol::Stealth, rig.onConfig(outcome), true, 0, {}, false, "cdn");
        QTRY_COMPARE(outcome.configs.size(), 2);
        const QJsonObject second = QJsonDocument::fromJson(AppDataFile::read(CdnRouteCache::kFileName)).object();
        QCOMPARE(second.value("account").toString(), QStringLiteral("second@example.com"));
        QCOMPARE(second.value("servers").toObject().keys(), QStringList{"st-1"});
    }

    void unwiredLinksFailCleanly()
    {
        ServersModel model(QSharedPointer<Settings>::create(), nullptr);
        model.setHooks(ServersModel::Hooks());
        model.pingerForTesting()->setCommandForTesting(QStringLiteral("true"), {});
        model.fetchServers();
        QVERIFY(logged(QStringLiteral("No request layer to fetch the server list with")));
        model.parseResponse(catalogue(), 200);
        Outcome outcome;
        ConfigRig rig;  // only for its handlers
        model.getServerConfig("wg-1", VpnProtocol::WireGuard, rig.onConfig(outcome), false, 0, rig.onError(outcome));
        QTRY_COMPARE(outcome.errors.size(), 1);
        QVERIFY(logged(QStringLiteral("No service link to fetch the configuration through")));
        QVERIFY(logged(QStringLiteral("No request layer to fetch the configuration with")));
        QVERIFY(outcome.configs.isEmpty());
    }

    void unusableRouteFiles_data()
    {
        QTest::addColumn<QByteArray>("file");
        const QByteArray route = QJsonDocument(savedRoute(kNow)).toJson(QJsonDocument::Compact);
        QTest::newRow("not json") << QByteArray("{\"account\":\"user@example.com\",\"servers\":{\"st-1\":");
        QTest::newRow("another account") << "{\"account\":\"x@example.com\",\"servers\":{\"st-1\":" + route + "}}";
        QTest::newRow("account as number") << "{\"account\":1,\"servers\":{\"st-1\":" + route + "}}";
        QTest::newRow("servers as list") << QByteArray("{\"account\":\"user@example.com\",\"servers\":[1]}");
        QTest::newRow("time as text")
            << QByteArray("{\"account\":\"user@example.com\",\"servers\":{\"st-1\":{\"t\":\"now\",\"config\":{\"a\":1}}}}");
        QTest::newRow("config as text")
            << QByteArray("{\"account\":\"user@example.com\",\"servers\":{\"st-1\":{\"t\":1,\"config\":\"x\"}}}");
        // No clock reads such times; taken as whole milliseconds they would
        // wrap round and look fresh.
        QTest::newRow("time beyond any clock")
            << QByteArray("{\"account\":\"user@example.com\",\"servers\":{\"st-1\":{\"t\":1e308,\"config\":{\"a\":1}}}}");
        QTest::newRow("time far before the epoch")
            << QByteArray("{\"account\":\"user@example.com\",\"servers\":{\"st-1\":{\"t\":-1e19,\"config\":{\"a\":1}}}}");
    }

    void unusableRouteFiles()
    {
        QFETCH(QByteArray, file);
        QVERIFY(AppDataFile::write(CdnRouteCache::kFileName, file));
        QVERIFY(CdnRouteCache::lookup(QStringLiteral("user@example.com"), QStringLiteral("st-1"), kNow).isEmpty());
        QVERIFY(CdnRouteCache::entries(QStringLiteral("user@example.com")).isEmpty());
        // Saving starts a clean file for the account, readable by its owner only.
        const QJsonObject config{{"protocol", "wireguard"}};
        CdnRouteCache::save(QStringLiteral("user@example.com"), QStringLiteral("st-1"), config, kNow, {"st-1"});
        QCOMPARE(CdnRouteCache::lookup(QStringLiteral("USER@example.com"), QStringLiteral("st-1"), kNow), config);
        QCOMPARE(QFile::permissions(AppDataFile::path(CdnRouteCache::kFileName))
                     & (QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther),
                 QFileDevice::Permissions());
        // Nothing is saved without a signed-in account.
        CdnRouteCache::remove();
        CdnRouteCache::save(QString(), QStringLiteral("st-1"), config, kNow, {"st-1"});
        QVERIFY(!QFile::exists(AppDataFile::path(CdnRouteCache::kFileName)));
    }

    void savedRoutesAreRefreshedOncePerRun()
    {
        writeCdnCache("user@example.com", QJsonObject{{"st-1", savedRoute(kNow - 2 * kDayMs)},
                                                      {"wg-1", savedRoute(kNow - 2 * kDayMs)},
                                                      {"gone-1", savedRoute(kNow - 2 * kDayMs)}});
        ConfigRig rig;  // its rebuild warmed the routes; the requests were recorded then cleared
        QVERIFY(logged(QStringLiteral("Refreshing a saved Cloudflare route")));
        rig.model->parseResponse(catalogue() + ' ', 200);
        QList<QUrl> warm;
        for (const QNetworkRequest &request : std::as_const(rig.direct)) {
            if (QUrlQuery(request.url()).queryItemValue("transport") == QLatin1String("cdn"))
                warm << request.url();
        }
        QCOMPARE(warm.size(), 0);  // already refreshed in this run

        // A fresh run refreshes exactly the listed server with a Cloudflare route.
        capturedLog().clear();
        ConfigRig second;
        int refreshes = 0;
        for (const QString &line : capturedLog())
            refreshes += line.contains(QStringLiteral("Refreshing a saved Cloudflare route")) ? 1 : 0;
        QCOMPARE(refreshes, 1);
    }

    void savedRoutesYoungerThanADayAreNotRefreshed()
    {
        writeCdnCache("user@example.com", QJsonObject{{"st-1", savedRoute(kNow - kDayMs + 1000)}});
        ConfigRig rig;
        QVERIFY(!logged(QStringLiteral("Refreshing a saved Cloudflare route")));
        writeCdnCache("user@example.com", QJsonObject{{"st-1", savedRoute(kNow - 31 * kDayMs)}});
        ConfigRig old;
        QVERIFY(!logged(QStringLiteral("Refreshing a saved Cloudflare route")));
    }
};

int main(int argc, char *argv[])
{
    return fixture::runTests<TestServerConfig>(argc, argv);
}

#include "tst_serverconfig.moc"
