// The catalogue as the core controller builds it, talking to the backend
// stand-in over the real request layer: list answers, the per-account cache,
// configuration fetches across a host fallback, and session expiry.

#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlApplicationEngine>
#include <QQmlComponent>
#include <QQmlContext>
#include <QSignalSpy>
#include <QTest>

#include "account/LogoutManager.h"
#include "account/TokenManager.h"
#include "account/UserManager.h"
#include "api/NetworkManager.h"
#include "app/CoreController.h"
#include "app/Settings.h"
#include "servers/AppDataFile.h"
#include "servers/CdnRouteCache.h"
#include "servers/ConnectionConfig.h"
#include "servers/ServerListCacheWriter.h"
#include "servers/Pinger.h"
#include "servers/ServersModel.h"
#include "tests/api/ApiTestSupport.h"
#include "tests/servers/CatalogueFixture.h"

using namespace ApiTestSupport;

namespace {

const QString kEmail = QStringLiteral("ada@example.com");
const QString kPrimary = QStringLiteral("127.0.0.1");
const QString kFirstBackup = QStringLiteral("cdn1.testapi.kelvra.test");
const int kWaitMs = 20000;
// A server that offers every form of configuration.
const QString kConfigId = QStringLiteral("gb-lon:1");

// Every server name of the tree, by location row, with its serverId.
QMap<QString, QString> serverIds(const ServersModel &model)
{
    QMap<QString, QString> ids;
    for (const auto &location : model.locations()) {
        for (const auto &server : location->children)
            ids.insert(location->category + QLatin1Char('/') + server->name, server->serverId);
    }
    return ids;
}

} // namespace

Q_DECLARE_METATYPE(VpnProtocol::Protocol)

class TestCatalogueBackend : public QObject
{
    Q_OBJECT
    BackendStandIn m_standIn;
    QScopedPointer<CoreController> m_controller;
    QString m_token;

    ServersModel *model() const { return m_controller->serversModel(); }
    NetworkManager *listRequest() const { return model()->findChild<NetworkManager *>(); }

    // Signs in the way a sign-in answer does, then enters the home page,
    // which asks for the list with the new session.
    void signIn()
    {
        m_token = signInAs(m_standIn, kEmail);
        QVERIFY(!m_token.isEmpty());
        model()->reconcileAccount(kEmail);
        model()->fetchServers();
    }

    // Signs in and waits for the list and the default server's configuration,
    // which the model fetches ahead of a connection.
    void signInAndLoad()
    {
        QSignalSpy ready(model(), &ServersModel::defaultServerReady);
        signIn();
        QVERIFY(ready.wait(kWaitMs));
        m_standIn.clearRequests();
    }

private slots:
    void initTestCase()
    {
        useOwnCredentialService("cataloguebackend");
        KELVRA_START_STAND_IN(m_standIn);
        m_standIn.setDeviceLimit(0);
    }

    void init()
    {
        m_controller.reset();
        UserManager::setState(UserManager::SignedOut);
        forgetCredentials(kEmail);
        resetStandIn(m_standIn);
        fixture::resetState();
        m_controller.reset(new CoreController(nullptr, nullptr, QSharedPointer<Settings>::create()));
        model()->pingerForTesting()->setCommandForTesting(QStringLiteral("true"), {});
    }

    void cleanup() { m_controller.reset(); }

    // The seed builds the tree; the same bytes again leave it alone; answers
    // without a list never take the shown list away.
    void theShownListSurvivesRefreshes()
    {
        QSignalSpy loaded(model(), &ServersModel::serversLoaded);
        QSignalSpy resets(model(), &QAbstractItemModel::modelReset);
        QSignalSpy answered(listRequest(), &NetworkManager::requestFinished);
        signIn();
        QVERIFY(loaded.wait(kWaitMs));

        const QList<StandInRequest> sent = m_standIn.requestsTo(QStringLiteral("client/servers"));
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent.first().bearerToken(), m_token);

        // Every category and country of the seed, in its order, with its servers.
        QStringList expected;
        QStringList shown;
        for (const QJsonValue &category : m_standIn.catalogue()[QLatin1String("data")][QLatin1String("vpn_servers")].toArray()) {
            for (const QJsonValue &country : category[QLatin1String("countries")].toArray())
                expected << category[QLatin1String("name")].toString() + QLatin1Char('/') + country[QLatin1String("name")].toString();
        }
        for (const auto &location : model()->locations()) {
            shown << location->category + QLatin1Char('/') + location->name;
            QVERIFY2(!location->children.empty(), qPrintable(location->name));
        }
        QCOMPARE(shown, expected);
        QVERIFY(model()->serverByConfigId(QStringLiteral("gb-lon:1")));
        QVERIFY(!model()->apiDefaultName().isEmpty());
        const QMap<QString, QString> ids = serverIds(*model());
        QVERIFY(model()->listCacheWriterForTesting()->waitForIdle());
        const QJsonObject cache = QJsonDocument::fromJson(AppDataFile::read(ServersModel::kListCacheFile)).object();
        QCOMPARE(cache[QLatin1String("account")].toString(), kEmail);

        const int resetsAfterBuild = resets.count();
        model()->fetchServers();
        QTRY_COMPARE_WITH_TIMEOUT(answered.count(), 2, kWaitMs);
        QCOMPARE(loaded.count(), 1);
        QCOMPARE(resets.count(), resetsAfterBuild);
        QCOMPARE(serverIds(*model()), ids);

        const QByteArray noList = R"({"success":true,"data":{"vpn_servers":[]}})";
        m_standIn.script(QString(), QStringLiteral("client/servers"), StandInReply::status(200, noList));
        m_standIn.script(QString(), QStringLiteral("client/servers"), StandInReply::serverError(503));
        for (int answers = 3; answers <= 4; ++answers) {
            model()->fetchServers();
            QTRY_COMPARE_WITH_TIMEOUT(answered.count(), answers, kWaitMs);
            QCOMPARE(serverIds(*model()), ids);
        }
        QCOMPARE(LogCapture::instance().count(QStringLiteral("keeping the current one")), 2);
        QCOMPARE(loaded.count(), 1);
    }

    // What the pages bind to: the list under its context name and the filter
    // model type over it, until shutdown takes the name away.
    void publishedToTheInterface()
    {
        QQmlApplicationEngine engine;
        m_controller.reset(new CoreController(&engine, nullptr, QSharedPointer<Settings>::create()));
        model()->pingerForTesting()->setCommandForTesting(QStringLiteral("true"), {});
        QCOMPARE(engine.rootContext()->contextProperty(QStringLiteral("MServers")).value<QObject *>(), model());
        signInAndLoad();

        QQmlComponent component(&engine);
        component.setData("import QtQml\nimport com.qt.kelvra 1.0\n"
                          "SFilterModel { sourceModel: MServers; filterCategory: \"Streaming\" }",
                          QUrl());
        QScopedPointer<QObject> filter(component.create());
        QVERIFY2(filter, qPrintable(component.errorString()));
        auto *proxy = qobject_cast<QAbstractItemModel *>(filter.data());
        QVERIFY(proxy);
        int streaming = 0;
        for (const auto &location : model()->locations())
            streaming += location->category == QLatin1String("Streaming") ? 1 : 0;
        QVERIFY(streaming > 0);
        QCOMPARE(proxy->rowCount(), streaming);

        filter.reset();
        m_controller->clearContextObjects();
        QCOMPARE(engine.rootContext()->contextProperty(QStringLiteral("MServers")).value<QObject *>(), nullptr);
        m_controller.reset();
    }

    void savedListServesOnlyItsAccount_data()
    {
        QTest::addColumn<QString>("cacheAccount");
        QTest::addColumn<bool>("used");
        QTest::newRow("this account, other case") << kEmail.toUpper() << true;
        QTest::newRow("another account") << QStringLiteral("someone.else@example.com") << false;
    }

    void savedListServesOnlyItsAccount()
    {
        QFETCH(QString, cacheAccount);
        QFETCH(bool, used);
        const QByteArray body = QJsonDocument(m_standIn.catalogue()).toJson(QJsonDocument::Compact);
        const QByteArray cache = QJsonDocument(QJsonObject{{QStringLiteral("account"), cacheAccount},
                                                           {QStringLiteral("body"), QString::fromUtf8(body)}})
                                     .toJson(QJsonDocument::Compact);
        QVERIFY(AppDataFile::write(ServersModel::kListCacheFile, cache));
        m_standIn.script(QString(), QStringLiteral("client/servers"), StandInReply::serverError(503), -1);

        QSignalSpy answered(listRequest(), &NetworkManager::requestFinished);
        signIn();
        QVERIFY(answered.wait(kWaitMs));
        QCOMPARE(answered.first().at(1).toInt(), 503);
        QCOMPARE(!model()->locations().empty(), used);
        QCOMPARE(LogCapture::instance().anyContains(QStringLiteral("using the last one saved")), used);
        // The file stays as it was: a failed answer never replaces it.
        QVERIFY(model()->listCacheWriterForTesting()->waitForIdle());
        QCOMPARE(AppDataFile::read(ServersModel::kListCacheFile), cache);
    }

    void rateLimitedListIsAskedForAgainAfterThreeSeconds()
    {
        m_standIn.script(QString(), QStringLiteral("client/servers"), StandInReply::tooManyRequests(3));
        QSignalSpy answered(listRequest(), &NetworkManager::requestFinished);
        QSignalSpy loaded(model(), &ServersModel::serversLoaded);
        signIn();
        QVERIFY(answered.wait(kWaitMs));
        QCOMPARE(answered.first().at(1).toInt(), 429);
        QElapsedTimer waited;
        waited.start();
        const QTimer *followUp = model()->followUpTimerForTesting();
        QVERIFY(followUp->isActive());
        QCOMPARE(followUp->interval(), ServersModel::kRateLimitRetryMs);
        const int remaining = followUp->remainingTime();
        QVERIFY(loaded.wait(kWaitMs));
        QVERIFY2(waited.elapsed() >= remaining - 50, qPrintable(QString::number(waited.elapsed())));
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("client/servers")).size(), 2);
    }

    // The primary host refuses; the first backup host hands out each form the
    // seed offers, and each becomes the configuration the tunnel reads.
    void configurationOverTheBackupHost_data()
    {
        QTest::addColumn<VpnProtocol::Protocol>("protocol");
        QTest::addColumn<QString>("transport");
        QTest::addColumn<QString>("vpnType");
        QTest::addColumn<QString>("protocolValue");
        QTest::addColumn<QString>("marker");

        QTest::newRow("WireGuard INI") << VpnProtocol::WireGuard << QString() << "WireGuard" << "wireguard"
                                       << "server_pub_key";
        QTest::newRow("AmneziaWG INI") << VpnProtocol::AmneziaWg << QString() << "AmneziaWG" << "wireguard" << "awg";
        QTest::newRow("OpenVPN UDP") << VpnProtocol::OpenVpnUdp << QString() << "OpenVPN" << "openvpn"
                                     << "proto udp\n";
        QTest::newRow("OpenVPN TCP") << VpnProtocol::OpenVpnTcp << QString() << "OpenVPN" << "openvpn"
                                     << "proto tcp-client\n";
        QTest::newRow("vless REALITY") << VpnProtocol::Stealth << QString() << "Reality" << "wireguard"
                                       << "vless://";
        QTest::newRow("vless over Cloudflare") << VpnProtocol::Stealth << "cdn" << "Reality" << "wireguard"
                                               << "vless://";
        QTest::newRow("hysteria2") << VpnProtocol::Hysteria2 << QString() << "Hysteria2" << "wireguard"
                                   << "hysteria2://";
    }

    void configurationOverTheBackupHost()
    {
        QFETCH(VpnProtocol::Protocol, protocol);
        QFETCH(QString, transport);
        QFETCH(QString, vpnType);
        QFETCH(QString, protocolValue);
        QFETCH(QString, marker);

        signInAndLoad();
        QCOMPARE(ApiHost::backupIndex(), -1);
        m_standIn.script(kPrimary, QString(), StandInReply::refuse());

        QJsonObject config;
        bool answered = false;
        model()->bumpConnectAttempt();
        model()->getServerConfig(
            kConfigId, protocol,
            [&](const QJsonObject &received) {
                config = received;
                answered = true;
            },
            true, 0, {}, false, transport);
        QTRY_VERIFY_WITH_TIMEOUT(answered, kWaitMs);

        const QList<StandInRequest> sent =
            m_standIn.requestsTo(QStringLiteral("client/configuration/") + kConfigId);
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent.first().host, kFirstBackup);
        QCOMPARE(sent.first().bearerToken(), m_token);
        QCOMPARE(sent.first().query.queryItemValue(QStringLiteral("vpn_type")), vpnType);
        QCOMPARE(ApiHost::backupIndex(), 0);

        QCOMPARE(config[QLatin1String("protocol")].toString(), protocolValue);
        const QJsonValue data = config[ConnectionConfig::dataKey(protocolValue)];
        if (data.isString()) {
            QVERIFY2(data.toString().contains(marker), qPrintable(data.toString()));
        } else if (marker.endsWith(QLatin1String("://"))) {
            QVERIFY2(data[QLatin1String("vless")].toString().startsWith(marker), qPrintable(data[QLatin1String("vless")].toString()));
            QVERIFY(!data[QLatin1String("hostName")].toString().isEmpty());
            QCOMPARE(data[QLatin1String("vless")].toString().contains(QLatin1String("type=ws")), transport == QLatin1String("cdn"));
        } else {
            QVERIFY2(data.toObject().contains(marker), qPrintable(QJsonDocument(data.toObject()).toJson()));
            QCOMPARE(data[QLatin1String("hostName")].toString(), QStringLiteral("203.0.113.13"));
        }
    }

    void emptyConfigurationIsAskedForAgain_data()
    {
        QTest::addColumn<int>("empties");
        QTest::addColumn<bool>("configured");
        QTest::newRow("two empty, then one") << 2 << true;
        QTest::newRow("empty every time") << ServersModel::kEmptyConfigTries << false;
    }

    void emptyConfigurationIsAskedForAgain()
    {
        QFETCH(int, empties);
        QFETCH(bool, configured);
        signInAndLoad();
        model()->setDelayDivisorForTesting(20);
        int failures = 0;
        ServersModel::Hooks hooks = model()->hooks();
        hooks.vpnFailConnection = [&failures] { ++failures; };
        model()->setHooks(hooks);
        m_standIn.script(QString(), QStringLiteral("client/configuration/"), StandInReply::emptyConfiguration(),
                         empties);

        bool answered = false;
        model()->bumpConnectAttempt();
        model()->getServerConfig(kConfigId, VpnProtocol::WireGuard,
                                 [&answered](const QJsonObject &) { answered = true; }, true);
        QTRY_VERIFY_WITH_TIMEOUT(answered || failures > 0, kWaitMs);
        QCOMPARE(answered, configured);
        QCOMPARE(failures, configured ? 0 : 1);
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("client/configuration/")).size(),
                 configured ? empties + 1 : empties);
        QCOMPARE(LogCapture::instance().count(QStringLiteral("Empty config received")),
                 configured ? empties : empties - 1);
    }

    // A session that expires while a list is shown ends the list polling: the
    // list is asked for again only by the next sign-in.
    void expiredSessionStopsListPolling()
    {
        signInAndLoad();
        QVERIFY(model()->refreshTimerForTesting()->isActive());
        model()->setDelayDivisorForTesting(50);  // follow-ups after 100 ms and less
        QSignalSpy answered(listRequest(), &NetworkManager::requestFinished);
        QSignalSpy loggedOut(m_controller->logoutManager(), &LogoutManager::logout);
        m_standIn.revokeToken(m_token);

        model()->fetchServers();
        QVERIFY(answered.wait(kWaitMs));
        QCOMPARE(answered.first().at(1).toInt(), 401);
        QTRY_COMPARE_WITH_TIMEOUT(loggedOut.count(), 1, kWaitMs);
        QCOMPARE(UserManager::state(), UserManager::SignedOut);
        QTest::qWait(1500);
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("client/servers")).size(), 1);
        QVERIFY(!model()->refreshTimerForTesting()->isActive());
        QVERIFY(!model()->followUpTimerForTesting()->isActive());
        QVERIFY(!model()->locations().empty());

        signIn();
        QTRY_COMPARE_WITH_TIMEOUT(m_standIn.requestsTo(QStringLiteral("client/servers")).size(), 2, kWaitMs);
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("client/servers")).last().bearerToken(), m_token);
        QVERIFY(model()->refreshTimerForTesting()->isActive());
    }

    // Config ids that are path steps never leave the client: the fetch fails
    // the connection attempt instead of asking another endpoint.
    void pathStepConfigIdsNeverReachTheApi_data()
    {
        QTest::addColumn<QString>("configId");
        QTest::newRow("dot") << QStringLiteral(".");
        QTest::newRow("two dots") << QStringLiteral("..");
    }

    void pathStepConfigIdsNeverReachTheApi()
    {
        QFETCH(QString, configId);
        signInAndLoad();
        int failures = 0;
        ServersModel::Hooks hooks = model()->hooks();
        hooks.vpnFailConnection = [&failures] { ++failures; };
        model()->setHooks(hooks);

        bool configured = false;
        model()->bumpConnectAttempt();
        model()->getServerConfig(configId, VpnProtocol::WireGuard,
                                 [&configured](const QJsonObject &) { configured = true; }, true);
        QTRY_COMPARE_WITH_TIMEOUT(failures, 1, kWaitMs);
        QTest::qWait(200);
        QVERIFY(!configured);
        QStringList sent;
        for (const StandInRequest &request : m_standIn.requests())
            sent << QString::fromUtf8(request.target);
        QVERIFY2(sent.isEmpty(), qPrintable(sent.join(QLatin1Char(' '))));
    }

    // A 401 on the list ends the session it was sent with, never a newer one.
    void unauthorizedListEndsOnlyItsOwnSession_data()
    {
        QTest::addColumn<bool>("tokenReplaced");
        QTest::newRow("session in use") << false;
        QTest::newRow("session replaced meanwhile") << true;
    }

    void unauthorizedListEndsOnlyItsOwnSession()
    {
        QFETCH(bool, tokenReplaced);
        QVERIFY(AppDataFile::write(CdnRouteCache::kFileName, "{}"));
        m_standIn.script(QString(), QStringLiteral("client/servers"), StandInReply::unauthorized().delayed(500));
        QSignalSpy answered(listRequest(), &NetworkManager::requestFinished);
        QSignalSpy loggedOut(m_controller->logoutManager(), &LogoutManager::logout);
        signIn();
        QTRY_COMPARE_WITH_TIMEOUT(m_standIn.requestsTo(QStringLiteral("client/servers")).size(), 1, kWaitMs);
        const QString newer = m_standIn.issueToken(kEmail);
        QSignalSpy stored(TokenManager::instance(), &TokenManager::tokenStored);
        if (tokenReplaced)
            TokenManager::instance()->storeCredentials(kEmail, newer);

        QVERIFY(answered.wait(kWaitMs));
        QCOMPARE(answered.first().at(1).toInt(), 401);
        if (tokenReplaced) {
            QCOMPARE(UserManager::state(), UserManager::SignedIn);
            QCOMPARE(TokenManager::instance()->getToken(), newer);
            QCOMPARE(loggedOut.count(), 0);
            QVERIFY(LogCapture::instance().anyContains(QStringLiteral("another session's token")));
            QVERIFY(!AppDataFile::read(CdnRouteCache::kFileName).isEmpty());
            QVERIFY(stored.count() > 0 || stored.wait(kWaitMs));
        } else {
            QCOMPARE(UserManager::state(), UserManager::SignedOut);
            QTRY_COMPARE_WITH_TIMEOUT(loggedOut.count(), 1, kWaitMs);
            QCOMPARE(readStored().second, QString());
            QVERIFY(!QFile::exists(AppDataFile::path(CdnRouteCache::kFileName)));
        }
    }
};

KELVRA_API_TEST_MAIN(TestCatalogueBackend, QGuiApplication)
#include "tst_cataloguebackend.moc"
