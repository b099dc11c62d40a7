// The server-list answer: tree, roles, caches, favourites, recents, the home
// page rows and what hostile answers and cache files do.

#include <QAbstractItemModelTester>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

#include "CatalogueFixture.h"
#include "servers/AppDataFile.h"
#include "servers/CdnRouteCache.h"
#include "servers/ServerListCacheWriter.h"
#include "support/TestEnvironment.h"

using namespace fixture;

namespace {

const QFileDevice::Permissions kNotOwnerOnly = QFileDevice::ExeOwner | QFileDevice::ReadGroup | QFileDevice::WriteGroup
                                               | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                               | QFileDevice::WriteOther | QFileDevice::ExeOther;

// The saved list, once the model's writes have reached the disk.
QByteArray cacheFile(const ServersModel *model = nullptr)
{
    if (model)
        model->listCacheWriterForTesting()->waitForIdle();
    return AppDataFile::read(ServersModel::kListCacheFile);
}

QStringList serverIds(const ServersModel &model)
{
    QStringList ids;
    for (const auto &location : model.locations()) {
        ids << location->serverId;
        for (const auto &server : location->children)
            ids << server->serverId;
    }
    return ids;
}

ServersModel::Server *onlyServer(const ServersModel &model)
{
    return model.locations().empty() || model.locations().front()->children.empty()
               ? nullptr
               : model.locations().front()->children.front().get();
}

// Fifteen locations with one server each, named "Country 01" and on.
QByteArray manyCountries(int count)
{
    QJsonArray countries;
    for (int i = count; i >= 1; --i) {
        const QString name = QStringLiteral("Country %1").arg(i, 2, 10, QLatin1Char('0'));
        countries << country(name, QStringLiteral("c%1").arg(i),
                             QJsonArray{server(name + QStringLiteral(" A"), QStringLiteral("City %1").arg(i),
                                               QStringLiteral("203.0.113.10"), QStringLiteral("id-%1").arg(i), i)});
    }
    return answer(QJsonArray{category(QStringLiteral("Free"), countries)});
}

} // namespace

class TestServerList : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { captureLog(); }

    void init() { resetState(); }

    void freshAnswerBuildsTheTree()
    {
        Rig rig;
        QSignalSpy loaded(rig.model.get(), &ServersModel::serversLoaded);
        QSignalSpy sections(rig.model.get(), &ServersModel::specialtySectionsChanged);
        rig.model->parseResponse(standardAnswer(), 200);

        ServersModel &model = *rig.model;
        QCOMPARE(loaded.count(), 1);
        QCOMPARE(sections.count(), 1);
        QCOMPARE(model.specialtySections(), QStringList{QStringLiteral("Streaming")});
        QCOMPARE(model.rowCount(), 3);
        const QModelIndex germany = model.index(0, 0);
        QCOMPARE(germany.data(ServersModel::CountryRole).toString(), QStringLiteral("Germany"));
        QCOMPARE(germany.data(ServersModel::FlagRole).toString(), QStringLiteral("qrc:/ui/icons/flags/de.svg"));
        QCOMPARE(germany.data(ServersModel::ChildServersCountRole).toInt(), 2);
        QCOMPARE(germany.data(ServersModel::SpeedScoreRole).toInt(), 9);
        QCOMPARE(germany.data(ServersModel::HealthRole).toInt(), 80);
        QCOMPARE(model.rowCount(germany), 2);
        const QModelIndex berlin = model.index(1, 0, germany);
        QCOMPARE(berlin.parent(), germany);
        QCOMPARE(berlin.data(ServersModel::CityRole).toString(), QStringLiteral("Berlin"));
        QCOMPARE(berlin.data(ServersModel::FlagRole).toString(), QStringLiteral("qrc:/ui/icons/flags/de.svg"));
        QCOMPARE(berlin.data(ServersModel::CategoryRole).toString(), QStringLiteral("Free"));
        QCOMPARE(berlin.data(ServersModel::SupportedProtosRole).toList(), (QVariantList{2, 3}));
        QCOMPARE(berlin.data(ServersModel::ProtocolRole).toInt(), 2);
        QCOMPARE(berlin.data(ServersModel::RecencyRole).toInt(), -1);
        QVERIFY(!berlin.data(Qt::DisplayRole).isValid());
        QVERIFY(!model.index(7, 0).isValid());
        QCOMPARE(model.index(2, 0).data(ServersModel::CategoryRole).toString(), QStringLiteral("Streaming"));
        QCOMPARE(model.roleNames().value(ServersModel::CdnRouteRole), QByteArray("cdnRoute"));
        QCOMPARE(model.roleNames().value(256), QByteArray("server_country"));

        // setData renames the category of a server, never of a location.
        QVERIFY(model.setData(berlin, QStringLiteral("Gaming"), ServersModel::CityRole));
        QCOMPARE(berlin.data(ServersModel::CategoryRole).toString(), QStringLiteral("Gaming"));
        QVERIFY(!model.setData(germany, QStringLiteral("Gaming"), ServersModel::CategoryRole));

        // The cache keeps the raw body for this account, readable by the owner only.
        const QJsonObject cache = QJsonDocument::fromJson(cacheFile(rig.model.get())).object();
        QCOMPARE(cache.value(QLatin1String("account")).toString(), rig.email);
        QCOMPARE(cache.value(QLatin1String("body")).toString().toUtf8(), standardAnswer());
        QCOMPARE(QFile::permissions(AppDataFile::path(ServersModel::kListCacheFile)) & kNotOwnerOnly,
                 QFileDevice::Permissions());
    }

    void identicalAnswerRebuildsOnce()
    {
        Rig rig;
        QSignalSpy loaded(rig.model.get(), &ServersModel::serversLoaded);
        QSignalSpy resets(rig.model.get(), &QAbstractItemModel::modelReset);
        QSignalSpy fastest(rig.model.get(), &ServersModel::fastestServer);
        const QByteArray body = standardAnswer({{QStringLiteral("default_server"),
                                                 defaultServer(QStringLiteral("Paris 1"), QStringLiteral("fr-par-1"))}});
        rig.model->parseResponse(body, 200);
        const QStringList ids = serverIds(*rig.model);
        rig.model->parseResponse(body, 200);
        QCOMPARE(loaded.count(), 1);
        QCOMPARE(resets.count(), 1);
        QCOMPARE(serverIds(*rig.model), ids);
        // The recommendation is still announced for the second answer.
        QCOMPARE(fastest.count(), 2);
        QCOMPARE(fastest.last().at(0).toString(), QStringLiteral("Paris 1"));

        // Any other byte rebuilds and gives new ids.
        rig.model->parseResponse(body + ' ', 200);
        QCOMPARE(loaded.count(), 2);
        QCOMPARE(serverIds(*rig.model).size(), ids.size());
        QVERIFY(serverIds(*rig.model).at(0) != ids.at(0));
    }

    void refreshWithoutListKeepsTheShownList_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("server error with a list") << 500 << standardAnswer();
        QTest::newRow("empty list") << 200 << answer(QJsonArray{});
        QTest::newRow("no data") << 200 << QByteArray("{}");
        QTest::newRow("html") << 200 << QByteArray("<html>blocked</html>");
        QTest::newRow("truncated") << 200 << standardAnswer().left(300);
        QTest::newRow("list of numbers") << 200 << QByteArray(R"({"data":{"vpn_servers":[1,2,3]}})");
        QTest::newRow("list as object") << 200 << QByteArray(R"({"data":{"vpn_servers":{"name":"Free"}}})");
        QTest::newRow("no answer") << 0 << QByteArray();
        // Lists whose entries build no server at all are no list either.
        const QJsonArray countries{country("X", "xx", QJsonArray{server("A", "a", "203.0.113.10", "a", 1)})};
        QTest::newRow("categories without names")
            << 200 << answer(QJsonArray{category("", countries), QJsonObject{{"countries", countries}}});
        QTest::newRow("categories without countries")
            << 200 << answer(QJsonArray{category("Free", QJsonArray{}), QJsonObject{{"name", "Free"}, {"countries", "x"}}});
        QTest::newRow("countries of numbers") << 200 << answer(QJsonArray{category("Free", QJsonArray{1, "X"})});
        QTest::newRow("countries without servers")
            << 200 << answer(QJsonArray{category("Free", QJsonArray{country("X", "xx", QJsonArray{})})});
        QTest::newRow("servers as text, pools without ids")
            << 200
            << answer(QJsonArray{category(
                   "Free", QJsonArray{country("X", "xx", QJsonArray{"A", 1},
                                              QJsonArray{QJsonObject{{"name", "P"}, {"members", QJsonArray{1}}},
                                                         QJsonObject{{"config_id", "p"}, {"members", QJsonArray{1}}},
                                                         QJsonObject{{"config_id", 5}, {"name", "Q"}}})})});
    }

    void refreshWithoutListKeepsTheShownList()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        Rig rig;
        rig.model->parseResponse(standardAnswer(), 200);
        const QStringList ids = serverIds(*rig.model);
        const QByteArray cache = cacheFile(rig.model.get());
        const ServersModel::Server *current = rig.model->currentServer();
        QVERIFY(current);
        QSignalSpy loaded(rig.model.get(), &ServersModel::serversLoaded);

        rig.model->parseResponse(body, status);
        QCOMPARE(loaded.count(), 0);
        QCOMPARE(serverIds(*rig.model), ids);
        QCOMPARE(rig.model->currentServer(), current);
        QCOMPARE(rig.model->currentServerName(), current->name);
        QCOMPARE(cacheFile(rig.model.get()), cache);
        QVERIFY(logged(QStringLiteral("Server list refresh brought no list (HTTP %1) - keeping the current one").arg(status)));
        QVERIFY(rig.model->followUpTimerForTesting()->isActive());
        QCOMPARE(rig.model->followUpTimerForTesting()->interval(), ServersModel::kNoListRetryMs);
    }

    void rateLimitRetriesAfterThreeSeconds()
    {
        Rig rig;
        rig.model->parseResponse(QByteArray(R"({"error":{"message":"slow down","code":429}})"), 429);
        QTimer *followUp = rig.model->followUpTimerForTesting();
        QVERIFY(followUp->isActive());
        QVERIFY(followUp->isSingleShot());
        QCOMPARE(followUp->interval(), ServersModel::kRateLimitRetryMs);
        QCOMPARE(rig.model->rowCount(), 0);

        // And the timer really asks again, as often as the API says 429.
        rig.model->setDelayDivisorForTesting(100);
        rig.model->parseResponse(QByteArray(), 429);
        QTRY_COMPARE_WITH_TIMEOUT(rig.listFetches, 1, 5000);
        rig.model->parseResponse(QByteArray(), 429);
        QTRY_COMPARE_WITH_TIMEOUT(rig.listFetches, 2, 5000);
    }

    // A signed-out user has no list to keep fresh: whatever the last answer was,
    // nothing asks for the list again until the next sign-in's fetch.
    void signedOutStopsListPolling_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("session expired") << 401 << QByteArray(R"({"message":"Unauthenticated."})");
        QTest::newRow("rate limited") << 429 << QByteArray();
        QTest::newRow("no list") << 200 << answer(QJsonArray{});
        QTest::newRow("server error") << 503 << QByteArray("<html>");
    }

    void signedOutStopsListPolling()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        Rig rig;
        rig.model->setDelayDivisorForTesting(100);
        rig.model->parseResponse(standardAnswer(), 200);
        QVERIFY(rig.model->refreshTimerForTesting()->isActive());

        rig.signedOut = true;
        rig.model->parseResponse(body, status);
        QVERIFY(!rig.model->followUpTimerForTesting()->isActive());
        QVERIFY(!rig.model->retryTimerForTesting()->isActive());
        QVERIFY(!rig.model->refreshTimerForTesting()->isActive());
        QTest::qWait(300);
        QCOMPARE(rig.listFetches, 0);
        QCOMPARE(rig.model->rowCount(), 3);

        // The next sign-in's fetch starts the refreshes again.
        rig.signedOut = false;
        rig.model->fetchServers();
        QCOMPARE(rig.listFetches, 1);
        QVERIFY(rig.model->refreshTimerForTesting()->isActive());
        QCOMPARE(rig.model->refreshTimerForTesting()->interval(), ServersModel::kRefreshPeriodMs);
    }

    void signingOutCancelsWaitingRefreshes()
    {
        Rig rig;
        rig.model->setDelayDivisorForTesting(100);
        rig.model->parseResponse(standardAnswer(), 200);
        rig.model->parseResponse(QByteArray("<html>"), 502);
        QVERIFY(rig.model->followUpTimerForTesting()->isActive());

        // The follow-up and the periodic refresh fall due after the sign-out.
        rig.signedOut = true;
        rig.model->refreshTimerForTesting()->start(1);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.model->followUpTimerForTesting()->isActive(), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!rig.model->refreshTimerForTesting()->isActive(), 5000);
        QCOMPARE(rig.listFetches, 0);
    }

    void noAnswerFallsBackToTheCache()
    {
        {
            Rig first;
            first.model->parseResponse(standardAnswer(), 200);
        }
        Rig rig;
        rig.model->onNetworkRetryTimeout();
        QCOMPARE(rig.model->rowCount(), 3);
        QVERIFY(logged(QStringLiteral("No server list from the API: using the last one saved")));
        QVERIFY(rig.model->retryTimerForTesting()->isActive());
        QCOMPARE(rig.model->retryTimerForTesting()->interval(), ServersModel::kRetryMs);

        // The retry asks the API again, but not for a signed-out user.
        rig.model->setDelayDivisorForTesting(100);
        rig.model->onNetworkRetryTimeout();
        QTRY_COMPARE_WITH_TIMEOUT(rig.listFetches, 1, 5000);
        bool signedOut = true;
        rig.hooks.signedOut = [&signedOut] { return signedOut; };
        rig.apply();
        rig.model->onNetworkRetryTimeout();
        QTRY_VERIFY_WITH_TIMEOUT(!rig.model->retryTimerForTesting()->isActive(), 5000);
        QCOMPARE(rig.listFetches, 1);

        // An answer identical to the cached body does not rebuild.
        QSignalSpy loaded(rig.model.get(), &ServersModel::serversLoaded);
        rig.model->parseResponse(standardAnswer(), 200);
        QCOMPARE(loaded.count(), 0);
    }

    void errorAnswerOnAnEmptyModelUsesTheCache()
    {
        {
            Rig first;
            first.model->parseResponse(standardAnswer(), 200);
        }
        Rig rig;
        rig.model->parseResponse(QByteArray("<html>"), 502);
        QCOMPARE(rig.model->rowCount(), 3);
        QVERIFY(rig.model->retryTimerForTesting()->isActive());
    }

    void unusableCacheFilesAreIgnored_data()
    {
        QTest::addColumn<QByteArray>("file");
        const QString body = QString::fromUtf8(standardAnswer());
        auto cache = [](const QJsonValue &account, const QJsonValue &body) {
            return QJsonDocument(QJsonObject{{QStringLiteral("account"), account}, {QStringLiteral("body"), body}})
                .toJson(QJsonDocument::Compact);
        };
        QTest::newRow("another account") << cache(QStringLiteral("other@example.com"), body);
        QTest::newRow("no account") << cache(QJsonValue(), body);
        QTest::newRow("account as number") << cache(12, body);
        QTest::newRow("body as object") << cache(QStringLiteral("user@example.com"), QJsonObject{{"data", 1}});
        QTest::newRow("truncated file") << cache(QStringLiteral("user@example.com"), body).left(200);
        QTest::newRow("body of garbage") << cache(QStringLiteral("user@example.com"), QStringLiteral("{\"data\":"));
        QTest::newRow("body with an empty list") << cache(QStringLiteral("user@example.com"),
                                                          QString::fromUtf8(answer(QJsonArray{})));
        QTest::newRow("not json") << QByteArray("\x00\x01garbage", 9);
        QTest::newRow("array") << QByteArray("[1,2,3]");
    }

    void unusableCacheFilesAreIgnored()
    {
        QFETCH(QByteArray, file);
        QVERIFY(AppDataFile::write(ServersModel::kListCacheFile, file));
        Rig rig;
        rig.model->onNetworkRetryTimeout();
        rig.model->parseResponse(QByteArray(), 0);
        QCOMPARE(rig.model->rowCount(), 0);
        // The file was not replaced by anything the model made.
        QCOMPARE(cacheFile(rig.model.get()), file);
    }

    void noUsableCacheWithoutAnEmail()
    {
        {
            Rig first;
            first.model->parseResponse(standardAnswer(), 200);
        }
        Rig rig;
        rig.email.clear();
        rig.model->onNetworkRetryTimeout();
        QCOMPARE(rig.model->rowCount(), 0);
    }

    void hostileAnswers_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("locations");
        const QJsonObject good = server(QStringLiteral("A"), QStringLiteral("a"), QStringLiteral("203.0.113.10"),
                                        QStringLiteral("a-1"), 1);
        auto withServer = [](const QJsonValue &serverValue) {
            return answer(QJsonArray{category(QStringLiteral("Free"),
                                              QJsonArray{QJsonObject{{QStringLiteral("name"), QStringLiteral("X")},
                                                                     {QStringLiteral("vpn_servers"),
                                                                      QJsonArray{serverValue}}}})});
        };
        QTest::newRow("ids as objects") << withServer(QJsonObject{{"name", "A"}, {"id", QJsonObject{{"x", 1}}},
                                                                  {"config_id", QJsonArray{1}}})
                                        << 1;
        QTest::newRow("protocols as numbers") << withServer(QJsonObject{{"name", "A"}, {"protocols", QJsonArray{1, 2}},
                                                                        {"vpn_type", 7}, {"recommended_vpn", 3}})
                                              << 1;
        QTest::newRow("protocol ids as objects")
            << withServer(QJsonObject{{"protocols", QJsonArray{QJsonObject{{"id", QJsonObject{}}}, "reality"}}}) << 1;
        QTest::newRow("coordinates as text") << withServer(QJsonObject{{"lat", "north"}, {"long", "1e999"}}) << 1;
        QTest::newRow("huge numbers") << withServer(QJsonObject{{"speed_score", 1e308}, {"health", -1e308},
                                                                {"estimated_ping_ms", 1e300}, {"id", 1e300}})
                                      << 1;
        QTest::newRow("server as string") << withServer(QStringLiteral("server")) << 1;
        QTest::newRow("countries as string")
            << answer(QJsonArray{QJsonObject{{"name", "Free"}, {"countries", "everywhere"}}}) << 0;
        QTest::newRow("category as number") << answer(QJsonArray{1, QJsonValue(), "Free"}) << 0;
        QTest::newRow("category names as numbers")
            << answer(QJsonArray{QJsonObject{{"name", 5}, {"countries", QJsonArray{QJsonObject{{"name", "X"}}}}}})
            << 0;
        QTest::newRow("pool naming itself")
            << answer(QJsonArray{category(
                   "Free", QJsonArray{country("X", "xx", QJsonArray{good},
                                              QJsonArray{QJsonObject{{"config_id", "p"}, {"name", "P"}, {"id", "p1"},
                                                                     {"members", QJsonArray{"p1", 1}}}})})})
            << 1;
        QTest::newRow("pools in a cycle")
            << answer(QJsonArray{category(
                   "Free",
                   QJsonArray{country("X", "xx", QJsonArray{good},
                                      QJsonArray{QJsonObject{{"config_id", "p"}, {"name", "P"}, {"id", "p1"},
                                                             {"members", QJsonArray{"p2"}}},
                                                 QJsonObject{{"config_id", "q"}, {"name", "Q"}, {"id", "p2"},
                                                             {"members", QJsonArray{"p1"}}}})})})
            << 1;
        QTest::newRow("pool members as object")
            << answer(QJsonArray{category(
                   "Free", QJsonArray{country("X", "xx", QJsonArray{good},
                                              QJsonArray{QJsonObject{{"config_id", "p"}, {"name", "P"},
                                                                     {"members", QJsonObject{{"1", 1}}}}, 3})})})
            << 1;
        QTest::newRow("settings of wrong types")
            << answer(QJsonArray{category("Free", QJsonArray{country("X", "xx", QJsonArray{good})})},
                      QJsonObject{{"protocol_order", QJsonArray{1}},
                                  {"ping_limits", "fast"},
                                  {"restricted_network", QJsonObject{{"likely", "yes"}, {"servers", "all"}}},
                                  {"default_server", QJsonArray{"x"}}})
            << 1;
        QByteArray deep(20000, '[');
        QTest::newRow("deep nesting") << QByteArray("{\"data\":{\"vpn_servers\":" + deep) << 0;
        QTest::newRow("not an object") << QByteArray("[\"data\"]") << 0;
        QTest::newRow("binary") << QByteArray("\xff\xfe\x00\x00garbage", 11) << 0;
    }

    void hostileAnswers()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, locations);
        Rig rig;
        rig.model->parseResponse(body, 200);
        QCOMPARE(rig.model->rowCount(), locations);
        for (int row = 0; row < rig.model->rowCount(); ++row) {
            const QModelIndex location = rig.model->index(row, 0);
            for (int role = ServersModel::CountryRole; role <= ServersModel::CdnRouteRole; ++role)
                rig.model->data(location, role);
            for (int child = 0; child < rig.model->rowCount(location); ++child) {
                for (int role = ServersModel::CountryRole; role <= ServersModel::CdnRouteRole; ++role)
                    rig.model->data(rig.model->index(child, 0, location), role);
            }
        }
        rig.model->homeServersList(5);
        rig.model->pickNextServer(VpnProtocol::WireGuard, {});
    }

    void hostileAnswerNeverReplacesAGoodCache()
    {
        {
            Rig first;
            first.model->parseResponse(standardAnswer(), 200);
        }
        const QByteArray good = cacheFile();
        Rig rig;
        rig.model->parseResponse(QByteArray(R"({"data":{"vpn_servers":[1,{"name":""},{"countries":[]}]}})"), 200);
        QCOMPARE(cacheFile(rig.model.get()), good);
    }

    void specialtySections()
    {
        Rig rig;
        const QJsonArray countries{country("X", "xx", QJsonArray{server("A", "a", "203.0.113.10", "a", 1)})};
        rig.model->parseResponse(answer(QJsonArray{category("favorites", countries), category("FAVOURITES", countries),
                                                   category("Free", countries), category("high speed", countries),
                                                   category("Streaming", countries), category("Gaming", countries),
                                                   category("Streaming", countries), category("", countries)}),
                                 200);
        QCOMPARE(rig.model->specialtySections(), (QStringList{"Streaming", "Gaming"}));
        QCOMPARE(rig.model->rowCount(), 7);
    }

    void speedScoreOfAServerOnly()
    {
        Rig rig;
        rig.model->parseResponse(oneServerAnswer({{"speed_score", "7.5"}}), 200);
        const ServersModel::Server *server = onlyServer(*rig.model);
        QCOMPARE(rig.model->speedScoreOf(server->serverId), 8);
        QCOMPARE(rig.model->speedScoreOf(server->parent->serverId), 0);
        QCOMPARE(rig.model->speedScoreOf(QStringLiteral("{not-a-server}")), 0);
    }

    void pingLimits_data()
    {
        QTest::addColumn<QJsonValue>("good");
        QTest::addColumn<QJsonValue>("fair");
        QTest::addColumn<int>("expectedGood");
        QTest::addColumn<int>("expectedFair");
        QTest::newRow("equal") << QJsonValue(200) << QJsonValue(200) << 120 << 200;
        QTest::newRow("accepted") << QJsonValue(50) << QJsonValue(150) << 50 << 150;
        QTest::newRow("fraction") << QJsonValue(50.5) << QJsonValue(150) << 120 << 200;
        QTest::newRow("text") << QJsonValue("50") << QJsonValue("150") << 120 << 200;
        QTest::newRow("zero") << QJsonValue(0) << QJsonValue(10) << 120 << 200;
        QTest::newRow("too large") << QJsonValue(10) << QJsonValue(100001) << 120 << 200;
        QTest::newRow("largest") << QJsonValue(1) << QJsonValue(100000) << 1 << 100000;
    }

    void pingLimits()
    {
        QFETCH(QJsonValue, good);
        QFETCH(QJsonValue, fair);
        QFETCH(int, expectedGood);
        QFETCH(int, expectedFair);
        Rig rig;
        QSignalSpy changed(rig.model.get(), &ServersModel::pingsChanged);
        rig.model->parseResponse(
            standardAnswer({{QStringLiteral("ping_limits"), QJsonObject{{"good_ms", good}, {"fair_ms", fair}}}}), 200);
        const QVariantMap limits = rig.model->pingLimits();
        QCOMPARE(limits.value(QStringLiteral("good")).toInt(), expectedGood);
        QCOMPARE(limits.value(QStringLiteral("fair")).toInt(), expectedFair);
        // pingsChanged comes at once for new limits; the coalesced one of the
        // estimates would come later.
        QCOMPARE(changed.count(), expectedGood != 120 ? 1 : 0);
    }

    void listSettings()
    {
        Rig rig;
        const QJsonObject extra{
            {"protocol_order", QJsonObject{{"default", QJsonArray{"wireguard", 3, "reality"}}, {"bad", "x"}}},
            {"restricted_network", QJsonObject{{"likely", true}, {"servers", QJsonArray{31, "21", 31}}}},
            {"default_server", defaultServer("Paris 1", "fr-par-1", "203.0.113.12", 21)}};
        rig.model->parseResponse(standardAnswer(extra), 200);
        QCOMPARE(rig.model->protocolOrders().keys(), QStringList{"default"});
        QCOMPARE(rig.model->protocolOrders().value("default"), (QStringList{"wireguard", "reality"}));
        QVERIFY(rig.model->restrictedNetworkLikely());
        QCOMPARE(rig.model->restrictedNetworkServers(), (QStringList{"31", "21"}));
        QCOMPARE(rig.model->apiDefaultId(), QStringLiteral("21"));
        QCOMPARE(rig.model->apiDefaultIp(), QStringLiteral("203.0.113.12"));
        // With nothing chosen before, the API's default becomes the current server.
        QCOMPARE(rig.model->currentServerName(), QStringLiteral("Paris 1"));
        QCOMPARE(rig.model->currentServer()->configId, QStringLiteral("fr-par-1"));
    }

    void poolsHideTheirMembers()
    {
        Settings settings;
        settings.addFavorite(QStringLiteral("Frankfurt 1"));
        Rig rig;
        const QJsonArray servers{server("Frankfurt 1", "Frankfurt", "203.0.113.10", "de-fra-1", 11),
                                 server("Berlin 1", "Berlin", "203.0.113.11", "de-ber-1", "12"),
                                 server("Munich 1", "Munich", "203.0.113.12", "de-muc-1", 13)};
        const QJsonArray pools{QJsonObject{{"config_id", "pool:de:1"}, {"name", "Germany Pool"}, {"id", 900},
                                           {"pool", true}, {"members", QJsonArray{"11", 12}}},
                               QJsonObject{{"config_id", ""}, {"name", "Nameless"}, {"members", QJsonArray{13}}}};
        const QJsonObject extra{{"default_server", defaultServer("Frankfurt 1", "de-fra-1", "", 11)},
                                {"restricted_network", QJsonObject{{"servers", QJsonArray{11, 13, 12}}}}};
        QSignalSpy fastest(rig.model.get(), &ServersModel::fastestServer);
        rig.model->parseResponse(answer(QJsonArray{category("Free", QJsonArray{country("Germany", "de", servers, pools)})},
                                        extra),
                                 200);
        const auto &germany = rig.model->locations().front();
        QCOMPARE(germany->childServersCount, 2);
        QCOMPARE(germany->children.at(0)->name, QStringLiteral("Germany Pool"));
        QVERIFY(germany->children.at(0)->isPool);
        QCOMPARE(germany->children.at(1)->name, QStringLiteral("Munich 1"));
        QCOMPARE(rig.model->poolMemberNames().value("Frankfurt 1"), QStringLiteral("Germany Pool"));
        QCOMPARE(rig.model->poolMemberIds().value("12").configId, QStringLiteral("pool:de:1"));
        QCOMPARE(rig.model->apiDefaultName(), QStringLiteral("Germany Pool"));
        QCOMPARE(rig.model->apiDefaultConfigId(), QStringLiteral("pool:de:1"));
        QCOMPARE(rig.model->restrictedNetworkServers(), (QStringList{"900", "13"}));
        // The same answer again resolves to the same list.
        rig.model->parseResponse(answer(QJsonArray{category("Free", QJsonArray{country("Germany", "de", servers, pools)})},
                                        extra),
                                 200);
        QCOMPARE(rig.model->restrictedNetworkServers(), (QStringList{"900", "13"}));
        QCOMPARE(fastest.last().at(0).toString(), QStringLiteral("Germany Pool"));
        QCOMPARE(rig.model->currentServerName(), QStringLiteral("Germany Pool"));
        // The favourite moved from the member to its pool.
        QCOMPARE(settings.favorites(), QStringList{"Germany Pool"});
        QVERIFY(germany->children.at(0)->favorite);
        QVERIFY(germany->favorite);
    }

    void favoritesToggle()
    {
        Rig rig;
        rig.model->parseResponse(standardAnswer(), 200);
        const QModelIndex germany = rig.model->index(0, 0);
        const QModelIndex berlin = rig.model->index(1, 0, germany);
        QSignalSpy changed(rig.model.get(), &QAbstractItemModel::dataChanged);
        rig.model->toggleFavorite(berlin.data(ServersModel::ServerIdRole).toString());
        QVERIFY(berlin.data(ServersModel::FavoriteRole).toBool());
        QVERIFY(germany.data(ServersModel::FavoriteRole).toBool());
        QCOMPARE(Settings().favorites(), QStringList{"Berlin 1"});
        QCOMPARE(changed.count(), 2);
        QCOMPARE(changed.at(0).at(2).value<QList<int>>(), QList<int>{ServersModel::FavoriteRole});

        rig.model->toggleFavorite(berlin.data(ServersModel::ServerIdRole).toString());
        QVERIFY(!berlin.data(ServersModel::FavoriteRole).toBool());
        QVERIFY(Settings().favorites().isEmpty());
        // Toggling a location or an unknown id does nothing.
        rig.model->toggleFavorite(germany.data(ServersModel::ServerIdRole).toString());
        rig.model->toggleFavorite(QStringLiteral("{nothing}"));
        QVERIFY(Settings().favorites().isEmpty());

        // Saved favourites are applied to the next tree.
        Settings().addFavorite(QStringLiteral("Paris 1"));
        rig.model->parseResponse(standardAnswer() + ' ', 200);
        QVERIFY(rig.model->index(1, 0).data(ServersModel::FavoriteRole).toBool());
        QVERIFY(rig.model->index(0, 0, rig.model->index(1, 0)).data(ServersModel::FavoriteRole).toBool());
    }

    void recentsFollowConnections()
    {
        Rig rig;
        rig.model->parseResponse(standardAnswer(), 200);
        rig.model->updateCurrentServer(rig.model->locations().at(2)->children.front().get());
        QSignalSpy recents(rig.model.get(), &ServersModel::recentsChanged);
        QSignalSpy announced(rig.model.get(), &ServersModel::defaultServer);
        rig.model->onVpnStateChanged(VpnProtocol::Connecting);
        QCOMPARE(recents.count(), 0);
        rig.model->onVpnStateChanged(VpnProtocol::Connected);
        QCOMPARE(recents.count(), 1);
        QCOMPARE(Settings().recentServers(), QStringList{"Japan"});
        QCOMPARE(rig.model->index(2, 0).data(ServersModel::RecencyRole).toInt(), 0);
        QCOMPARE(rig.model->index(0, 0, rig.model->index(2, 0)).data(ServersModel::RecencyRole).toInt(), 0);
        QCOMPARE(rig.model->index(0, 0).data(ServersModel::RecencyRole).toInt(), -1);
        QCOMPARE(announced.count(), 1);
        QCOMPARE(announced.last().at(0).toString(), QStringLiteral("Tokyo 1"));
        QCOMPARE(announced.last().at(1).toString(), QStringLiteral("qrc:/ui/icons/flags/jp.svg"));
    }

    void homeServersList()
    {
        Settings settings;
        settings.addRecentServer(QStringLiteral("Country 07"));
        settings.addRecentServer(QStringLiteral("country 03"));
        settings.addRecentServer(QStringLiteral("Country 12"));
        Rig rig;
        rig.model->parseResponse(manyCountries(15), 200);
        const QVariantList rows = rig.model->homeServersList(12);
        QCOMPARE(rows.size(), 12);
        QStringList names;
        for (const QVariant &row : rows)
            names << row.toMap().value("country").toString();
        QCOMPARE(names, (QStringList{"Country 12", "Country 03", "Country 07", "Country 01", "Country 02", "Country 04",
                                     "Country 05", "Country 06", "Country 08", "Country 09", "Country 10",
                                     "Country 11"}));
        QVERIFY(rows.at(2).toMap().value("recent").toBool());
        QVERIFY(!rows.at(3).toMap().value("recent").toBool());
        QCOMPARE(rows.at(0).toMap().value("city").toString(), QStringLiteral("City 12"));
        QCOMPARE(rows.at(0).toMap().value("flag").toString(), QStringLiteral("qrc:/ui/icons/flags/c12.svg"));
        QVERIFY(rig.model->homeServersList(0).isEmpty());
        QCOMPARE(rig.model->homeServersList(2).size(), 2);
        QCOMPARE(rig.model->homeServersList(100).size(), 15);
    }

    void homeRowsPickTheBestServer()
    {
        Rig rig;
        const QJsonArray servers{server("A", "Slow", "203.0.113.10", "a", 1, {{"speed_score", 3}, {"health", 99}}),
                                 server("B", "Fast", "203.0.113.11", "b", 2, {{"speed_score", 8}, {"health", 10}}),
                                 server("C", "Healthy", "203.0.113.12", "c", 3, {{"speed_score", 8}, {"health", 50}}),
                                 server("D", "Late", "203.0.113.13", "d", 4, {{"speed_score", 8}, {"health", 50}})};
        rig.model->parseResponse(answer(QJsonArray{category("Free", QJsonArray{country("X", "x", servers),
                                                                               country("Empty", "e", QJsonArray{})})}),
                                 200);
        const QVariantList rows = rig.model->homeServersList(5);
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.at(0).toMap().value("country").toString(), QStringLiteral("Empty"));
        QCOMPARE(rows.at(0).toMap().value("id").toString(), QString());
        QCOMPARE(rows.at(1).toMap().value("city").toString(), QStringLiteral("Healthy"));
    }

    void countryWithCityMatch_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QString>("country");
        QTest::newRow("city") << "frank" << "Germany";
        QTest::newRow("city with spaces") << "  TOKYO " << "Japan";
        QTest::newRow("server name") << "paris 1" << "France";
        QTest::newRow("empty") << "   " << "";
        QTest::newRow("nothing") << "Lisbon" << "";
    }

    void countryWithCityMatch()
    {
        QFETCH(QString, query);
        QFETCH(QString, country);
        Rig rig;
        rig.model->parseResponse(standardAnswer(), 200);
        QCOMPARE(rig.model->countryWithCityMatch(query), country);
    }

    void serverNamedLikeItsLocation()
    {
        Rig rig;
        rig.model->parseResponse(
            answer(QJsonArray{category("Free", QJsonArray{country("Spain", "es", QJsonArray{server("Spain", "", "203.0.113.10", "s", 1)})})}),
            200);
        QCOMPARE(onlyServer(*rig.model)->name, QStringLiteral("spain"));
        // A name equal to the location's (ignoring case) is not searched as a name.
        QCOMPARE(rig.model->countryWithCityMatch("spa"), QString());
    }

    void reconcileAccount()
    {
        Settings settings;
        settings.setLastAccountEmail(QStringLiteral("old@example.com"));
        settings.addFavorite(QStringLiteral("Berlin 1"));
        settings.addRecentServer(QStringLiteral("Germany"));
        QVERIFY(AppDataFile::write(CdnRouteCache::kFileName, "{}"));
        Rig rig;
        rig.model->parseResponse(standardAnswer(), 200);
        QVERIFY(rig.model->index(0, 0).data(ServersModel::FavoriteRole).toBool());
        QCOMPARE(rig.model->index(0, 0).data(ServersModel::RecencyRole).toInt(), 0);

        // The same account in another case changes nothing.
        rig.model->reconcileAccount(QStringLiteral("OLD@example.com"));
        QCOMPARE(settings.favorites().size(), 1);

        QSignalSpy recents(rig.model.get(), &ServersModel::recentsChanged);
        QSignalSpy loaded(rig.model.get(), &ServersModel::serversLoaded);
        rig.model->reconcileAccount(QStringLiteral("new@example.com"));
        QCOMPARE(recents.count(), 1);
        QVERIFY(settings.favorites().isEmpty());
        QVERIFY(settings.recentServers().isEmpty());
        QVERIFY(!QFile::exists(AppDataFile::path(CdnRouteCache::kFileName)));
        QCOMPARE(settings.lastAccountEmail(), QStringLiteral("new@example.com"));
        QCOMPARE(settings.value("Settings/defaultServer").toString(), QString());
        QVERIFY(rig.model->currentServerName().isEmpty());
        QVERIFY(!rig.model->index(0, 0).data(ServersModel::FavoriteRole).toBool());
        QVERIFY(!rig.model->index(1, 0, rig.model->index(0, 0)).data(ServersModel::FavoriteRole).toBool());
        QCOMPARE(rig.model->index(0, 0).data(ServersModel::RecencyRole).toInt(), -1);
        // The next answer rebuilds even when identical.
        rig.model->parseResponse(standardAnswer(), 200);
        QCOMPARE(loaded.count(), 1);

        // A first account only gets stored.
        settings.setLastAccountEmail(QString());
        settings.addFavorite(QStringLiteral("Paris 1"));
        rig.model->reconcileAccount(QStringLiteral("first@example.com"));
        QCOMPARE(settings.favorites(), QStringList{"Paris 1"});
        QCOMPARE(settings.lastAccountEmail(), QStringLiteral("first@example.com"));
        rig.model->reconcileAccount(QString());
        QCOMPARE(settings.lastAccountEmail(), QStringLiteral("first@example.com"));
    }

    void refreshServers()
    {
        Rig rig;
        qint64 now = 1000000000;
        rig.model->setClockForTesting([&now] { return now; });
        rig.model->refreshServers();
        QCOMPARE(rig.listFetches, 1);
        now += 119000;
        rig.model->refreshServers();
        QCOMPARE(rig.listFetches, 1);
        now += 2000;
        rig.model->refreshServers();
        QCOMPARE(rig.listFetches, 2);
        now += 200000;
        rig.hooks.signedOut = [] { return true; };
        rig.apply();
        rig.model->refreshServers();
        QCOMPARE(rig.listFetches, 2);
        rig.model->fetchServers();
        QCOMPARE(rig.listFetches, 3);
    }

    void modelConsistency()
    {
        Rig rig;
        rig.model->parseResponse(standardAnswer(), 200);
        QAbstractItemModelTester tester(rig.model.get(), QAbstractItemModelTester::FailureReportingMode::QtTest);
        rig.model->parseResponse(manyCountries(4), 200);
        rig.model->parseResponse(answer(QJsonArray{}), 200);
        rig.model->parseResponse(standardAnswer(), 200);
    }
};

int main(int argc, char *argv[])
{
    return fixture::runTests<TestServerList>(argc, argv);
}

#include "tst_serverlist.moc"
