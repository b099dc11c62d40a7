// Choosing the current server: the API's recommendation, the default server,
// protocol changes, switching, moving away from a failing server, and the
// filter model of the server pages.

#include <QGuiApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QtTest>

#include "CatalogueFixture.h"
#include "servers/AppDataFile.h"
#include "servers/ServerFilterProxyModel.h"
#include "support/TestEnvironment.h"

using namespace fixture;

namespace {

QByteArray filterCatalogue()
{
    const QJsonObject probe{{"address", "198.51.100.10"}, {"sni", "cdn.example"}, {"path", "/ws"}};
    const QJsonArray free{
        country("Germany", "de",
                QJsonArray{server("Frankfurt 1", "Frankfurt", "203.0.113.10", "de-a", 1,
                                  {{"protocols", protocols({"wireguard", "openvpn"})}}),
                           server("Berlin 1", "Berlin", "203.0.113.11", "de-b", 2,
                                  {{"protocols", protocols({"wireguard", "amneziawg"})}})}),
        country("France", "fr",
                QJsonArray{server("Paris 1", "Paris", "203.0.113.12", "fr-a", 3,
                                  {{"protocols", protocols({"openvpn", "reality", "reality-cdn"})}, {"cdn_probe", probe}}),
                           server("Paris 2", "Paris", "203.0.113.13", "fr-b", 4,
                                  {{"protocols", protocols({"openvpn", "reality-cdn"})},
                                   {"cdn_probe", QJsonObject{{"address", "cdn.example"}, {"sni", "x"}, {"path", "/"}}}})}),
        country("Iceland", "is", QJsonArray{server("Reykjavik 1", "Reykjavik", "198.51.100.11", "is-a", 5,
                                                   {{"protocols", protocols({"hysteria2"})}})})};
    const QJsonArray streaming{country("Japan", "jp", QJsonArray{server("Tokyo 1", "Tokyo", "203.0.113.13", "jp-a", 6,
                                                                        {{"protocols", protocols({"wireguard"})}})})};
    return answer(QJsonArray{category("Free", free), category("Streaming", streaming)});
}

QStringList visibleLocations(const QAbstractItemModel &proxy)
{
    QStringList names;
    for (int row = 0; row < proxy.rowCount(); ++row)
        names << proxy.index(row, 0).data(ServersModel::CountryRole).toString();
    return names;
}

} // namespace

class TestServerSelection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { captureLog(); }

    void init() { resetState(); }

    void apiRecommendation_data()
    {
        QTest::addColumn<QJsonObject>("apiDefault");
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("fastest");
        QTest::newRow("by config id") << defaultServer("whatever", "fr-par-1") << 0 << "Paris 1";
        QTest::newRow("by name, any case") << defaultServer("TOKYO 1", "") << 0 << "Tokyo 1";
        QTest::newRow("unknown config id, known name") << defaultServer("Berlin 1", "gone") << 0 << "Berlin 1";
        QTest::newRow("not found") << defaultServer("Atlantis", "atl-1") << 0 << "";
        QTest::newRow("none given") << QJsonObject() << 0 << "";
        QTest::newRow("protocol not offered") << defaultServer("Paris 1", "fr-par-1") << 3 << "Berlin 1";
        QTest::newRow("protocol offered nowhere") << defaultServer("Paris 1", "fr-par-1") << 5 << "Paris 1";
    }

    void apiRecommendation()
    {
        QFETCH(QJsonObject, apiDefault);
        QFETCH(int, protocol);
        QFETCH(QString, fastest);
        Rig rig;
        rig.model->onProtocolChanged(protocol);
        QSignalSpy spy(rig.model.get(), &ServersModel::fastestServer);
        rig.model->parseResponse(standardAnswer({{"default_server", apiDefault}}), 200);
        if (fastest.isEmpty()) {
            QCOMPARE(spy.count(), 0);
            QCOMPARE(logged(QStringLiteral("API default_server not found in the list: Atlantis atl-1")),
                     !apiDefault.isEmpty());
            return;
        }
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.first().at(0).toString(), fastest);
        const ServersModel::Server *server = rig.model->serverByName(fastest);
        QCOMPARE(spy.first().at(1).toString(), server->parent->flag);
        QCOMPARE(spy.first().at(2).toString(), server->serverId);
        QCOMPARE(spy.first().at(3).toString(), server->city);
    }

    void currentServerChoice_data()
    {
        QTest::addColumn<QJsonObject>("apiDefault");
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("saved name in another case") << defaultServer("paris 1", "") << "Paris 1" << "";
        QTest::newRow("config id") << defaultServer("x", "jp-tyo-1") << "Tokyo 1" << "";
        QTest::newRow("vanished") << defaultServer("Atlantis", "atl-1") << "Frankfurt 1"
                                  << "Could not find default server: Atlantis - falling back to the first available server";
    }

    void currentServerChoice()
    {
        QFETCH(QJsonObject, apiDefault);
        QFETCH(QString, chosen);
        QFETCH(QString, logLine);
        Rig rig;
        QSignalSpy announced(rig.model.get(), &ServersModel::defaultServer);
        rig.model->parseResponse(standardAnswer({{"default_server", apiDefault}}), 200);
        QCOMPARE(announced.count(), 1);
        QCOMPARE(announced.first().at(0).toString(), chosen);
        QCOMPARE(rig.model->currentServer()->name, chosen);
        QCOMPARE(rig.model->currentServerName(), chosen);
        QCOMPARE(Settings().value("Settings/defaultServer").toString(), chosen);
        if (!logLine.isEmpty())
            QVERIFY(logged(logLine));
    }

    void currentServerSurvivesRebuilds()
    {
        Rig rig;
        rig.model->parseResponse(standardAnswer({{"default_server", defaultServer("Paris 1", "fr-par-1")}}), 200);
        rig.model->updateCurrentServer(rig.model->serverByName("Tokyo 1"));
        rig.model->parseResponse(standardAnswer({{"default_server", defaultServer("Paris 1", "fr-par-1")}}) + ' ', 200);
        QCOMPARE(rig.model->currentServer()->name, QStringLiteral("Tokyo 1"));
    }

    void emptyListChoosesNothing()
    {
        Rig rig;
        QSignalSpy announced(rig.model.get(), &ServersModel::defaultServer);
        rig.model->parseResponse(answer(QJsonArray{}), 200);
        rig.model->getDefaultServer();
        QCOMPARE(announced.count(), 0);
        QVERIFY(!rig.model->currentServer());
    }

    void defaultServerIsPrefetched()
    {
        Rig rig;
        QList<QUrl> fetched;
        rig.hooks.fetchConfigDirect = [&fetched, &rig](const QNetworkRequest &request,
                                                       std::function<void(const ServersModel::ConfigReply &)> done) {
            fetched << request.url();
            ServersModel::ConfigReply reply;
            reply.status = 200;
            reply.body = R"({"configuration":"[Interface]\nPrivateKey = k\n"})";
            QTimer::singleShot(0, rig.model.get(), [done, reply] { done(reply); });
        };
        rig.apply();
        QSignalSpy ready(rig.model.get(), &ServersModel::defaultServerReady);
        rig.model->parseResponse(standardAnswer({{"default_server", defaultServer("Paris 1", "")}}), 200);
        QVERIFY(ready.wait(5000));
        QCOMPARE(fetched.size(), 1);
        // Paris 1 offers OpenVPN first: its recommendation falls back to it.
        QCOMPARE(fetched.first().query(), QStringLiteral("vpn_type=OpenVPN"));
    }

    void protocolChangeMovesTheSelection()
    {
        Rig rig;
        rig.model->parseResponse(
            answer(QJsonArray{category("Free",
                                       QJsonArray{country("A", "a", QJsonArray{server("Plain", "p", "203.0.113.10", "p", 1)}),
                                                  country("B", "b",
                                                          QJsonArray{server("Weak AWG", "w", "203.0.113.11", "w", 2,
                                                                            {{"health", 10}, {"protocols", protocols({"amneziawg"})}}),
                                                                     server("Strong AWG", "s", "203.0.113.12", "s", 3,
                                                                            {{"health", 90}, {"protocols", protocols({"amneziawg"})}})})})},
                   {{"default_server", defaultServer("Plain", "p")}}),
            200);
        QCOMPARE(rig.model->currentServer()->name, QStringLiteral("Plain"));
        QSignalSpy changed(rig.model.get(), &ServersModel::serverChangedForProtocol);
        QSignalSpy announced(rig.model.get(), &ServersModel::defaultServer);
        rig.model->onProtocolChanged(VpnProtocol::AmneziaWg);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.first().at(0).toString(),
                 QStringLiteral("AmneziaWG isn't offered on your last server, so Strong AWG is selected."));
        QCOMPARE(announced.count(), 1);
        QCOMPARE(rig.model->currentServer()->name, QStringLiteral("Strong AWG"));
        QCOMPARE(rig.model->serverByName("Weak AWG")->selectedProtocol, VpnProtocol::AmneziaWg);
        QCOMPARE(rig.model->serverByName("Plain")->selectedProtocol, VpnProtocol::Optimal);
        QCOMPARE(rig.model->index(0, 0, rig.model->index(1, 0)).data(ServersModel::ProtocolRole).toInt(), 3);

        // Back to Optimal: nothing moves.
        rig.model->onProtocolChanged(VpnProtocol::Optimal);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(rig.model->serverByName("Weak AWG")->selectedProtocol, VpnProtocol::Optimal);
        // A value that is no protocol counts as Optimal.
        rig.model->onProtocolChanged(42);
        QCOMPARE(rig.model->currentProtocol(), VpnProtocol::Optimal);
    }

    void stealthThroughACloudflareRoute()
    {
        Rig rig;
        rig.model->parseResponse(
            answer(QJsonArray{category("Free", QJsonArray{country("A", "a", QJsonArray{server("Cdn", "c", "203.0.113.10", "c", 1,
                                                                                              {{"protocols", protocols({"openvpn", "wireguard", "reality-cdn"})}})})})}),
            200);
        QSignalSpy changed(rig.model.get(), &ServersModel::serverChangedForProtocol);
        QSignalSpy unavailable(rig.model.get(), &ServersModel::protocolUnavailable);
        rig.model->onProtocolChanged(VpnProtocol::Stealth);
        QCOMPARE(rig.model->serverByName("Cdn")->selectedProtocol, VpnProtocol::Stealth);
        QVERIFY(!rig.model->checkProtocolOffered(rig.model->serverByName("Cdn")));
        QCOMPARE(changed.count(), 0);
        QCOMPARE(unavailable.count(), 0);
    }

    void protocolCheck()
    {
        Rig rig;
        rig.model->parseResponse(standardAnswer(), 200);
        QSignalSpy unavailable(rig.model.get(), &ServersModel::protocolUnavailable);
        QVERIFY(!rig.model->checkProtocolOffered(rig.model->serverByName("Tokyo 1")));
        rig.model->onProtocolChanged(VpnProtocol::OpenVpnTcp);
        QVERIFY(rig.model->checkProtocolOffered(rig.model->serverByName("Tokyo 1")));
        QCOMPARE(unavailable.first().at(0).toString(),
                 QStringLiteral("OpenVPN TCP isn't offered on Tokyo 1. Pick a server that offers it, or choose another protocol."));
    }

    void switchConnection()
    {
        Rig rig;
        VpnProtocol::ConnectionState state = VpnProtocol::Connected;
        QList<VpnProtocol::Protocol> begun;
        QList<std::function<void(const ServersModel::ConfigReply &)>> pending;
        rig.hooks.vpnHasDriver = [] { return true; };
        rig.hooks.vpnDriverState = [&state] { return state; };
        rig.hooks.vpnBeginSwitch = [&begun](VpnProtocol::Protocol protocol) { begun << protocol; };
        rig.hooks.fetchConfigDirect = [&pending](const QNetworkRequest &,
                                                 std::function<void(const ServersModel::ConfigReply &)> done) {
            pending << done;
        };
        rig.apply();
        rig.model->parseResponse(standardAnswer({{"default_server", defaultServer("Paris 1", "fr-par-1")}}), 200);
        pending.clear();
        QSignalSpy announced(rig.model.get(), &ServersModel::defaultServer);
        QSignalSpy attempts(rig.model.get(), &ServersModel::newConnectAttempt);
        QSignalSpy connects(rig.model.get(), &ServersModel::connectToVpn);

        rig.model->switchConnection(QStringLiteral("{no-such-id}"));
        QVERIFY(logged(QStringLiteral("The tapped server is no longer in the list: nothing to switch to")));
        QCOMPARE(announced.count(), 1);
        QCOMPARE(announced.last().at(0).toString(), QStringLiteral("Paris 1"));

        rig.model->switchConnection(rig.model->serverByName("Paris 1")->serverId);
        QVERIFY(logged(QStringLiteral("Already connected to the selected server.")));
        QCOMPARE(announced.count(), 2);
        QCOMPARE(attempts.count(), 0);

        rig.model->onProtocolChanged(VpnProtocol::OpenVpnUdp);
        QSignalSpy unavailable(rig.model.get(), &ServersModel::protocolUnavailable);
        rig.model->switchConnection(rig.model->serverByName("Tokyo 1")->serverId);
        QCOMPARE(unavailable.count(), 1);
        QCOMPARE(announced.last().at(0).toString(), QStringLiteral("Paris 1"));
        QCOMPARE(attempts.count(), 0);

        rig.model->onProtocolChanged(VpnProtocol::Optimal);
        state = VpnProtocol::Disconnected;
        pending.clear();
        rig.model->switchConnection(rig.model->serverByName("Berlin 1")->serverId);
        QCOMPARE(attempts.count(), 1);
        QCOMPARE(begun, QList<VpnProtocol::Protocol>{VpnProtocol::WireGuard});
        QCOMPARE(pending.size(), 1);
        ServersModel::ConfigReply reply;
        reply.status = 200;
        reply.body = R"({"configuration":"[Interface]\nPrivateKey = k\n"})";
        pending.takeFirst()(reply);
        QCOMPARE(connects.count(), 1);
        QVERIFY(logged(QStringLiteral("Switching connection to: Berlin 1")));
        QCOMPARE(rig.model->currentServer()->name, QStringLiteral("Berlin 1"));
        QCOMPARE(Settings().value("Settings/defaultServer").toString(), QStringLiteral("Berlin 1"));

        // A target that vanished from the list meanwhile connects nothing.
        rig.model->switchConnection(rig.model->serverByName("Tokyo 1")->serverId);
        QCOMPARE(pending.size(), 1);
        rig.model->parseResponse(answer(QJsonArray{category("Free", QJsonArray{country("X", "x", QJsonArray{server("Only", "o", "203.0.113.10", "o", 1)})})}), 200);
        pending.takeFirst()(reply);
        QCOMPARE(connects.count(), 1);
        QVERIFY(logged(QStringLiteral("Server jp-tyo-1 disappeared during the switch")));
    }

    // The pages' choice while no tunnel runs: no fetch, no connect, the
    // choice remembered; a server without the protocol is refused.
    void selectServer()
    {
        Rig rig;
        int fetches = 0;
        rig.hooks.fetchConfigDirect = [&fetches](const QNetworkRequest &,
                                                 std::function<void(const ServersModel::ConfigReply &)>) { ++fetches; };
        rig.apply();
        rig.model->parseResponse(standardAnswer({{"default_server", defaultServer("Paris 1", "fr-par-1")}}), 200);
        fetches = 0;
        QSignalSpy announced(rig.model.get(), &ServersModel::defaultServer);
        QSignalSpy connects(rig.model.get(), &ServersModel::connectToVpn);

        const QString berlin = rig.model->serverByName("Berlin 1")->serverId;
        QVERIFY(rig.model->selectServer(berlin));
        QCOMPARE(rig.model->currentServer()->name, QStringLiteral("Berlin 1"));
        QCOMPARE(announced.last().at(0).toString(), QStringLiteral("Berlin 1"));
        QCOMPARE(Settings().value("Settings/defaultServer").toString(), QStringLiteral("Berlin 1"));
        QCOMPARE(fetches, 0);
        QCOMPARE(connects.count(), 0);

        const QVariantMap details = rig.model->serverDetails(berlin);
        QCOMPARE(details.value("country").toString(), QStringLiteral("Germany"));
        QCOMPARE(details.value("flag").toString(), QStringLiteral("qrc:/ui/icons/flags/de.svg"));
        QVERIFY(rig.model->serverDetails(QStringLiteral("{gone}")).isEmpty());

        rig.model->onProtocolChanged(VpnProtocol::OpenVpnTcp);
        QSignalSpy unavailable(rig.model.get(), &ServersModel::protocolUnavailable);
        QVERIFY(!rig.model->selectServer(rig.model->serverByName("Tokyo 1")->serverId));
        QCOMPARE(unavailable.count(), 1);
        QVERIFY(!rig.model->selectServer(QStringLiteral("{gone}")));
        // A location's own row is not a server.
        QVERIFY(!rig.model->selectServer(rig.model->locationByName("Japan")->serverId));
        QCOMPARE(rig.model->currentServer()->name, QStringLiteral("Berlin 1"));
    }

    void pickNextServer_data()
    {
        QTest::addColumn<QString>("current");
        QTest::addColumn<QStringList>("excluded");
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("apiDefault");
        QTest::addColumn<QByteArray>("allow");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("otherLocation");
        const QStringList none;
        QTest::newRow("best in the same location") << "Frankfurt 1" << none << 0 << "" << QByteArray() << "Munich 1" << false;
        QTest::newRow("same location, even slower") << "Frankfurt 1" << QStringList{"203.0.113.3"} << 0 << ""
                                                    << QByteArray() << "Frankfurt 2" << false;
        QTest::newRow("api default first") << "Frankfurt 1" << none << 0 << "de-b" << QByteArray() << "Frankfurt 2" << false;
        QTest::newRow("nearest other location") << "Frankfurt 1" << QStringList{"203.0.113.2", "203.0.113.3"} << 0 << ""
                                                << QByteArray() << "Paris 1" << true;
        QTest::newRow("a distance beats none") << "Frankfurt 1"
                                               << QStringList{"203.0.113.2", "203.0.113.3", "203.0.113.4"} << 0 << ""
                                               << QByteArray() << "Tokyo 1" << true;
        QTest::newRow("then the estimate") << "Frankfurt 1"
                                           << QStringList{"203.0.113.2", "203.0.113.3", "203.0.113.4", "203.0.113.5"}
                                           << 0 << "" << QByteArray() << "Rome 1" << true;
        QTest::newRow("then the score") << "Frankfurt 1"
                                        << QStringList{"203.0.113.2", "203.0.113.3", "203.0.113.4", "203.0.113.5",
                                                       "203.0.113.6"}
                                        << 0 << "" << QByteArray() << "Madrid 1" << true;
        QTest::newRow("free counts as high speed")
            << "Frankfurt 1"
            << QStringList{"203.0.113.2", "203.0.113.3", "203.0.113.4", "203.0.113.5", "203.0.113.6", "203.0.113.7"}
            << 0 << "" << QByteArray() << "Lyon 1" << true;
        QTest::newRow("nothing left")
            << "Frankfurt 1"
            << QStringList{"203.0.113.2", "203.0.113.3", "203.0.113.4", "203.0.113.5", "203.0.113.6", "203.0.113.7",
                           "203.0.113.8"}
            << 0 << "" << QByteArray() << "" << false;
        QTest::newRow("no address") << "Nowhere 1" << none << 0 << "" << QByteArray() << "" << false;
        QTest::newRow("protocol") << "Frankfurt 1" << none << 3 << "" << QByteArray() << "Frankfurt 2" << false;
        QTest::newRow("streaming stays streaming") << "Stream 1" << none << 0 << "" << QByteArray() << "" << false;
#ifdef KELVRA_STAGING
        QTest::newRow("allow list") << "Frankfurt 1" << none << 0 << "" << QByteArray(" fr-a , de-c,") << "Munich 1"
                                    << false;
        QTest::newRow("allow list, other location") << "Frankfurt 1" << none << 0 << "" << QByteArray("fr-a,it-a")
                                                    << "Paris 1" << true;
#endif
    }

    void pickNextServer()
    {
        QFETCH(QString, current);
        QFETCH(QStringList, excluded);
        QFETCH(int, protocol);
        QFETCH(QString, apiDefault);
        QFETCH(QByteArray, allow);
        QFETCH(QString, expected);
        QFETCH(bool, otherLocation);
        Rig rig;
        QJsonObject root = QJsonDocument::fromJson(switchingCatalogue()).object();
        QJsonObject data = root.value("data").toObject();
        data.insert("default_server", defaultServer("", apiDefault));
        root.insert("data", data);
        const QByteArray body = QJsonDocument(root).toJson(QJsonDocument::Compact);
        rig.model->parseResponse(body, 200);
        rig.model->onProtocolChanged(protocol);
        rig.model->updateCurrentServer(rig.model->serverByName(current));
        qputenv("KELVRA_SWITCH_ALLOW", allow);
        QSignalSpy announced(rig.model.get(), &ServersModel::defaultServer);
        const ServersModel::NextServer next =
            rig.model->pickNextServer(VpnProtocol::Protocol(protocol ? protocol : VpnProtocol::WireGuard), excluded);
        qunsetenv("KELVRA_SWITCH_ALLOW");
        if (expected.isEmpty()) {
            QVERIFY(!next.server);
            QCOMPARE(announced.count(), 0);
            QCOMPARE(rig.model->currentServer()->name, current);
            return;
        }
        QVERIFY(next.server);
        QCOMPARE(next.server->name, expected);
        QCOMPARE(next.otherLocation, otherLocation);
        QCOMPARE(rig.model->currentServer(), next.server);
        QCOMPARE(announced.count(), 1);
        QCOMPARE(Settings().value("Settings/defaultServer").toString(), expected);
    }

    void filter_data()
    {
        QTest::addColumn<QString>("category");
        QTest::addColumn<int>("protocol");
        QTest::addColumn<bool>("restricted");
        QTest::addColumn<QString>("search");
        QTest::addColumn<QStringList>("favourites");
        QTest::addColumn<QStringList>("visible");
        const QStringList none;
        QTest::newRow("default: Free") << "Free" << 0 << false << "" << none << QStringList{"France", "Germany", "Iceland"};
        QTest::newRow("a specialty") << "Streaming" << 0 << false << "" << none << QStringList{"Japan"};
        QTest::newRow("every category") << "" << 0 << false << "" << none
                                        << QStringList{"France", "Germany", "Iceland", "Japan"};
        QTest::newRow("category is exact") << "free" << 0 << false << "" << none << QStringList{};
        QTest::newRow("amneziawg") << "Free" << 3 << false << "" << none << QStringList{"Germany"};
        QTest::newRow("stealth, also through hysteria2 only") << "Free" << 4 << false << "" << none
                                                              << QStringList{"France", "Iceland"};
        QTest::newRow("hysteria2 itself") << "" << 6 << false << "" << none << QStringList{"Iceland"};
        QTest::newRow("restricted networks") << "" << 0 << true << "" << none << QStringList{"France"};
        QTest::newRow("search a city") << "" << 0 << false << "BERL" << none << QStringList{"Germany"};
        QTest::newRow("search a location") << "" << 0 << false << "ice" << none << QStringList{"Iceland"};
        QTest::newRow("search a server name") << "" << 0 << false << "tokyo 1" << none << QStringList{"Japan"};
        QTest::newRow("favourites ignore the other filters") << "Favorite" << 3 << true << "zzz"
                                                             << QStringList{"Tokyo 1"} << QStringList{"Japan"};
        QTest::newRow("no favourites") << "Favorite" << 0 << false << "" << none << QStringList{};
    }

    void filter()
    {
        QFETCH(QString, category);
        QFETCH(int, protocol);
        QFETCH(bool, restricted);
        QFETCH(QString, search);
        QFETCH(QStringList, favourites);
        QFETCH(QStringList, visible);
        for (const QString &name : favourites)
            Settings().addFavorite(name);
        Rig rig;
        rig.model->parseResponse(filterCatalogue(), 200);
        ServerFilterProxyModel proxy;
        QCOMPARE(proxy.filterCategory(), QStringLiteral("Free"));
        proxy.setSourceModel(rig.model.get());
        QSignalSpy categoryChanged(&proxy, &ServerFilterProxyModel::filterCategoryChanged);
        QSignalSpy protocolChanged(&proxy, &ServerFilterProxyModel::protocolFilterChanged);
        QSignalSpy restrictedChanged(&proxy, &ServerFilterProxyModel::restrictedOnlyChanged);
        proxy.setFilterCategory(category);
        proxy.setProtocolFilter(protocol);
        proxy.setRestrictedOnly(restricted);
        proxy.setSearchText(search);
        QCOMPARE(categoryChanged.count(), category == QLatin1String("Free") ? 0 : 1);
        QCOMPARE(protocolChanged.count(), protocol ? 1 : 0);
        QCOMPARE(restrictedChanged.count(), restricted ? 1 : 0);
        QCOMPARE(visibleLocations(proxy), visible);
        for (int row = 0; row < proxy.rowCount(); ++row) {
            const QModelIndex location = proxy.index(row, 0);
            QCOMPARE(proxy.data(location, ServerFilterProxyModel::FilteredChildCountRole).toInt(),
                     proxy.rowCount(location));
            QVERIFY(proxy.rowCount(location) > 0);
        }
    }

    void filterCountsAndRoles()
    {
        Rig rig;
        rig.model->parseResponse(filterCatalogue(), 200);
        ServerFilterProxyModel proxy;
        proxy.setSourceModel(rig.model.get());
        const QModelIndex germany = proxy.index(1, 0);
        QCOMPARE(germany.data(ServersModel::CountryRole).toString(), QStringLiteral("Germany"));
        QCOMPARE(proxy.data(germany, ServerFilterProxyModel::FilteredChildCountRole).toInt(), 2);
        proxy.setProtocolFilter(VpnProtocol::AmneziaWg);
        const QModelIndex onlyGermany = proxy.index(0, 0);
        QCOMPARE(proxy.data(onlyGermany, ServerFilterProxyModel::FavoriteChildCountRole).toInt(), 1);
        QVERIFY(!proxy.data(proxy.index(0, 0, onlyGermany), ServerFilterProxyModel::FilteredChildCountRole).isValid());
        QCOMPARE(proxy.roleNames().value(0), QByteArray("filteredChildCount"));
        QCOMPARE(proxy.roleNames().value(1), QByteArray("favoriteChildCount"));
        QCOMPARE(proxy.roleNames().value(ServersModel::RecencyRole), QByteArray("recency"));
        // Setting the same value again announces nothing.
        QSignalSpy protocolChanged(&proxy, &ServerFilterProxyModel::protocolFilterChanged);
        proxy.setProtocolFilter(VpnProtocol::AmneziaWg);
        QCOMPARE(protocolChanged.count(), 0);
    }

    void recentLocationsComeFirst()
    {
        Settings settings;
        settings.addRecentServer(QStringLiteral("Germany"));
        settings.addRecentServer(QStringLiteral("Iceland"));
        Rig rig;
        rig.model->parseResponse(filterCatalogue(), 200);
        ServerFilterProxyModel proxy;
        proxy.setSourceModel(rig.model.get());
        proxy.setFilterCategory(QString());
        QCOMPARE(visibleLocations(proxy), (QStringList{"Iceland", "Germany", "France", "Japan"}));
    }

    void registeredForQml()
    {
        ServerFilterProxyModel::registerQmlType();
        QQmlEngine engine;
        QQmlComponent component(&engine);
        component.setData("import com.qt.kelvra 1.0\nSFilterModel { filterCategory: \"Streaming\" }", QUrl());
        std::unique_ptr<QObject> object(component.create());
        QVERIFY2(object, qPrintable(component.errorString()));
        auto *proxy = qobject_cast<ServerFilterProxyModel *>(object.get());
        QVERIFY(proxy);
        QCOMPARE(proxy->filterCategory(), QStringLiteral("Streaming"));
    }
};

int main(int argc, char *argv[])
{
    return fixture::runTests<TestServerSelection, QGuiApplication>(argc, argv);
}

#include "tst_serverselection.moc"
