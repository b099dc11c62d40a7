// Which way a connection's configuration travels: the app's own request while
// traffic flows; the service's "apiFetch" while the firewall hold is in force
// and for a while after it is released; and what happens when the service's
// way fails. A real core controller and VPN connection against the backend
// stand-in and the service stand-in, both hosted in this process.

#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include "account/TokenManager.h"
#include "account/UserManager.h"
#include "app/CoreController.h"
#include "app/Settings.h"
#include "ipc/IpcClient.h"
#include "ipc/ServiceNames.h"
#include "servers/ConnectionConfig.h"
#include "servers/Pinger.h"
#include "servers/ServersModel.h"
#include "tests/api/ApiTestSupport.h"
#include "tests/servers/CatalogueFixture.h"
#include "tools/service/ServiceStandIn.h"
#include "vpn/VpnConnection.h"

using namespace ApiTestSupport;

namespace {

const QString kEmail = QStringLiteral("grace@example.com");
const QString kConfigId = QStringLiteral("gb-lon:1");
const QString kApiHost = QStringLiteral("testapi.kelvra.test");
const int kWaitMs = 20000;
// Short enough to wait out, long enough that a fetch sent right after the
// release is still inside it on a loaded machine.
const int kReleaseWindowMs = 3000;

// What a configuration fetch ended in.
struct Outcome
{
    bool configured = false;
    QJsonObject config;
    bool refused = false; // the recovery caller's error handler was called
    int refusedStatus = -1;
    bool answered() const { return configured || refused; }
};

// The app marks every request to its own API with its version and platform;
// the service's fetch carries nothing of the app's but the session token.
bool sentByTheApp(const StandInRequest &request)
{
    return request.header("X-Platform") == "windows" && request.hasHeader("X-App-Version");
}

// A loopback port nothing listens on.
quint16 closedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost))
        return 0;
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

} // namespace

class TestConfigRoute : public QObject
{
    Q_OBJECT

public:
    enum class Hold { None, Held, JustReleased, ReleaseOver, ReleasedWhileFetching };
    Q_ENUM(Hold)
    enum class Failure { ApiUnreachable, DaemonDrops, ApiRefuses };
    Q_ENUM(Failure)

private:
    BackendStandIn m_backend;
    QScopedPointer<ServiceStandIn> m_service;
    QScopedPointer<IpcClient> m_link;
    QSharedPointer<Settings> m_settings;
    QSharedPointer<VpnConnection> m_vpn;
    QScopedPointer<CoreController> m_controller;
    QString m_token;

    ServersModel *model() const { return m_controller->serversModel(); }

    StandInApiFetcher::Options serviceApi() const
    {
        StandInApiFetcher::Options api;
        api.baseUrl = QUrl(m_backend.baseUrl());
        api.caFile = BackendStandIn::caCertificatePath();
        return api;
    }

    QList<StandInRequest> configRequests() const
    {
        return m_backend.requestsTo(QStringLiteral("client/configuration/") + kConfigId);
    }

    QJsonArray apiFetches() const { return m_service->calls(QStringLiteral("daemon"), QStringLiteral("apiFetch")); }

    // Signs in as a sign-in answer does, enters the home page (which asks for
    // the list) and waits for the list and the default server's prefetched
    // configuration, so only the test's fetches follow.
    void signInAndLoad()
    {
        QSignalSpy ready(model(), &ServersModel::defaultServerReady);
        m_token = signInAs(m_backend, kEmail);
        QVERIFY(!m_token.isEmpty());
        model()->reconcileAccount(kEmail);
        model()->fetchServers();
        QVERIFY(ready.wait(kWaitMs));
        QVERIFY(model()->serverByConfigId(kConfigId));
        m_backend.clearRequests();
        m_service->clearCalls();
        LogCapture::instance().clear();
    }

    // The hold as a switch takes it: asked of the service and confirmed.
    void holdFirewall()
    {
        QVERIFY(m_vpn->holdFirewall());
        QVERIFY(m_service->lockdown());
        const QJsonArray holds = m_service->calls(QStringLiteral("ipc"), QStringLiteral("setLockdown"));
        QVERIFY(!holds.isEmpty());
        QCOMPARE(holds.last()[QLatin1String("args")].toArray(), QJsonArray{true});
        QVERIFY(m_vpn->isFirewallHeld());
    }

    void releaseFirewall()
    {
        m_vpn->releaseFirewall(false);
        QTRY_VERIFY_WITH_TIMEOUT(!m_service->lockdown(), kWaitMs);
    }

    void waitOutTheReleaseWindow()
    {
        QTRY_VERIFY_WITH_TIMEOUT(!m_vpn->isFirewallHeld(), kReleaseWindowMs + kWaitMs);
    }

    // A WireGuard configuration for a connection attempt; a recovery fetch
    // (the tunnel repair's) brings its own error handler.
    QSharedPointer<Outcome> fetch(bool recovery = false)
    {
        auto outcome = QSharedPointer<Outcome>::create();
        ServersModel::ConfigErrorHandler onError;
        if (recovery) {
            onError = [outcome](int status, const QByteArray &, const QString &) {
                outcome->refused = true;
                outcome->refusedStatus = status;
            };
        }
        model()->bumpConnectAttempt();
        model()->getServerConfig(
            kConfigId, VpnProtocol::WireGuard,
            [outcome](const QJsonObject &config) {
                outcome->config = config;
                outcome->configured = true;
            },
            true, 0, onError);
        return outcome;
    }

    // The configuration the tunnel reads, built from what the backend handed out.
    static void verifyBuilt(const QJsonObject &config)
    {
        QCOMPARE(config[QLatin1String("protocol")].toString(), QStringLiteral("wireguard"));
        const QJsonObject data = config[ConnectionConfig::dataKey(QStringLiteral("wireguard"))].toObject();
        QVERIFY(!data[QLatin1String("client_private_key")].toString().isEmpty());
        QVERIFY(!data[QLatin1String("server_pub_key")].toString().isEmpty());
        QCOMPARE(data[QLatin1String("hostName")].toString(), QStringLiteral("203.0.113.13"));
        QVERIFY(data[QLatin1String("port")].toInt() > 0);
    }

    // The service was asked with the URL's host and path and the session
    // token, and the backend saw its request: the same target, no app marks.
    void verifyAskedOfTheService(const StandInRequest &request)
    {
        const QJsonArray asked = apiFetches();
        QCOMPARE(asked.size(), 1);
        const QJsonObject message = asked.first()[QLatin1String("message")].toObject();
        QCOMPARE(message[QLatin1String("host")].toString(), kApiHost);
        const QString path = message[QLatin1String("path")].toString();
        QVERIFY2(path.startsWith(QStringLiteral("/api/client/configuration/gb-lon%3A1?")), qPrintable(path));
        QVERIFY2(path.contains(QStringLiteral("vpn_type=WireGuard")), qPrintable(path));
        QCOMPARE(message[QLatin1String("token")].toString(), m_token);

        QVERIFY(!sentByTheApp(request));
        QCOMPARE(request.bearerToken(), m_token);
        QCOMPARE(QString::fromLatin1(request.target), path);
    }

    void verifySentByTheApp(const StandInRequest &request)
    {
        QVERIFY(sentByTheApp(request));
        QCOMPARE(request.host, kApiHost);
        QCOMPARE(request.bearerToken(), m_token);
        QCOMPARE(request.query.queryItemValue(QStringLiteral("vpn_type")), QStringLiteral("WireGuard"));
    }

private slots:
    void initTestCase()
    {
        useOwnCredentialService("configroute");
        KELVRA_START_STAND_IN(m_backend);
        m_backend.setDeviceLimit(0);

        // The service runs in this process, under names of this test's own.
        const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid());
        qputenv("KELVRA_TEST_IPC_NAME", "kelvra-route-" + pid);
        qputenv("KELVRA_TEST_DAEMON_SOCKET", (TestEnvironment::home() + QStringLiteral("/run/daemon.socket")).toUtf8());
        qputenv("KELVRA_TEST_SERVICE_BINARY", QCoreApplication::applicationFilePath().toUtf8());
        VpnConnection::Timings timings;
        timings.releaseWindowMs = kReleaseWindowMs;
        timings.holdWaitMs = 10000;
        VpnConnection::setTimingsForTesting(timings);

        ServiceStandIn::Options options;
        options.ipcUrl = ServiceNames::ipcUrl();
        options.daemonSocket = ServiceNames::daemonSocket();
        options.api = serviceApi();
        m_service.reset(new ServiceStandIn(options));
        QVERIFY(m_service->start());
        // The link a first connection opens; the hold travels over it.
        m_link.reset(new IpcClient);
        QVERIFY(m_link->init());
    }

    void cleanupTestCase()
    {
        m_controller.reset();
        m_vpn.reset();
        m_link.reset();
        m_service.reset();
    }

    void init()
    {
        UserManager::setState(UserManager::SignedOut);
        forgetCredentials(kEmail);
        resetStandIn(m_backend);
        fixture::resetState();
        m_service->setApiOptions(serviceApi());
        m_service->setIgnoredTypes({});

        m_settings = QSharedPointer<Settings>::create();
        m_vpn = QSharedPointer<VpnConnection>::create(m_settings);
        m_controller.reset(new CoreController(nullptr, m_vpn, m_settings));
        model()->pingerForTesting()->setCommandForTesting(QStringLiteral("true"), {});
        signInAndLoad();
    }

    void cleanup()
    {
        if (m_vpn)
            releaseFirewall();
        m_controller.reset();
        m_vpn.reset();
    }

    // The route follows the hold, and the release window counts as held.
    void routeFollowsTheHold_data()
    {
        QTest::addColumn<Hold>("hold");
        QTest::addColumn<bool>("throughService");
        QTest::newRow("traffic flows") << Hold::None << false;
        QTest::newRow("firewall held") << Hold::Held << true;
        QTest::newRow("just released") << Hold::JustReleased << true;
        QTest::newRow("release window over") << Hold::ReleaseOver << false;
    }

    void routeFollowsTheHold()
    {
        QFETCH(Hold, hold);
        QFETCH(bool, throughService);
        if (hold != Hold::None)
            holdFirewall();
        if (hold == Hold::JustReleased || hold == Hold::ReleaseOver)
            m_vpn->releaseFirewall(false);
        if (hold == Hold::ReleaseOver)
            waitOutTheReleaseWindow();
        QCOMPARE(m_vpn->isFirewallHeld(), throughService);

        const QSharedPointer<Outcome> outcome = fetch();
        QTRY_VERIFY_WITH_TIMEOUT(outcome->answered(), kWaitMs);
        QVERIFY(outcome->configured);
        verifyBuilt(outcome->config);

        const QList<StandInRequest> sent = configRequests();
        QCOMPARE(sent.size(), 1);
        if (throughService) {
            verifyAskedOfTheService(sent.first());
            QVERIFY(LogCapture::instance().anyContains(QStringLiteral("Config fetch through the service: HTTP 200")));
        } else {
            verifySentByTheApp(sent.first());
            QVERIFY(apiFetches().isEmpty());
        }
        // The release reached the service although the fetch still took its way.
        if (hold == Hold::JustReleased)
            QTRY_VERIFY_WITH_TIMEOUT(!m_service->lockdown(), kWaitMs);
    }

    // The service's way fails: a connection attempt under the hold fails (its
    // traffic could not leave), while a fetch whose hold has ended by the time
    // the service gives up, and a tunnel repair's fetch sent through the
    // service with traffic flowing, go on with the app's own request. An HTTP
    // answer the service did get is the API's and is never sent again.
    void serviceRouteFails_data()
    {
        QTest::addColumn<Hold>("hold");
        QTest::addColumn<bool>("recovery");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<bool>("fallsBack");
        QTest::addColumn<QString>("logged");

        const QString failed = QStringLiteral("Failed to fetch server config, error: ");
        const QString next = QStringLiteral("Config fetch through the service: no answer in");
        QTest::newRow("held, the service can't reach the API")
            << Hold::Held << false << Failure::ApiUnreachable << false << failed + "the service didn't fetch";
        QTest::newRow("held, the daemon drops the request")
            << Hold::Held << false << Failure::DaemonDrops << false << failed + "the service didn't fetch";
        QTest::newRow("held, the API refuses the service")
            << Hold::Held << false << Failure::ApiRefuses << false << failed + "HTTP 503";
        QTest::newRow("released while the service fetched, the daemon drops it")
            << Hold::ReleasedWhileFetching << false << Failure::DaemonDrops << true << next;
        QTest::newRow("repair, the service can't reach the API")
            << Hold::None << true << Failure::ApiUnreachable << true << next;
        QTest::newRow("repair, the daemon drops the request")
            << Hold::None << true << Failure::DaemonDrops << true << next;
        QTest::newRow("repair, the API refuses the service")
            << Hold::None << true << Failure::ApiRefuses << false
            << QStringLiteral("Recovery config fetch refused or failed: HTTP 503");
    }

    void serviceRouteFails()
    {
        QFETCH(Hold, hold);
        QFETCH(bool, recovery);
        QFETCH(Failure, failure);
        QFETCH(bool, fallsBack);
        QFETCH(QString, logged);

        if (failure == Failure::ApiUnreachable) {
            StandInApiFetcher::Options api = serviceApi();
            const quint16 port = closedPort();
            QVERIFY(port > 0);
            api.baseUrl.setPort(port);
            m_service->setApiOptions(api);
        } else if (failure == Failure::DaemonDrops) {
            m_service->setIgnoredTypes({QStringLiteral("apiFetch")});
        } else {
            m_backend.script(QString(), QStringLiteral("client/configuration/"), StandInReply::serverError(503));
        }
        if (hold != Hold::None)
            holdFirewall();
        QSignalSpy errors(m_vpn.data(), &VpnConnection::vpnError);
        QSignalSpy states(m_vpn.data(), &VpnConnection::connectionStateChanged);

        const QSharedPointer<Outcome> outcome = fetch(recovery);
        QTRY_COMPARE_WITH_TIMEOUT(apiFetches().size(), 1, kWaitMs);
        if (failure == Failure::DaemonDrops) {
            if (hold == Hold::ReleasedWhileFetching) {
                m_vpn->releaseFirewall(false);
                waitOutTheReleaseWindow();
            }
            m_service->dropDaemonClients();
        }

        if (fallsBack) {
            QTRY_VERIFY_WITH_TIMEOUT(outcome->answered(), kWaitMs);
            QVERIFY(outcome->configured);
            verifyBuilt(outcome->config);
            const QList<StandInRequest> sent = configRequests();
            QVERIFY(!sent.isEmpty());
            verifySentByTheApp(sent.last());
            QCOMPARE(sent.size(), 1);
            QVERIFY(LogCapture::instance().anyContains(QStringLiteral("- the app's own fetch next")));
            QVERIFY(errors.isEmpty());
        } else if (recovery) {
            // The repair hears the API's answer and decides itself.
            QTRY_VERIFY_WITH_TIMEOUT(outcome->answered(), kWaitMs);
            QVERIFY(outcome->refused);
            QCOMPARE(outcome->refusedStatus, 503);
            QCOMPARE(configRequests().size(), 1);
            QVERIFY(!sentByTheApp(configRequests().first()));
            QVERIFY(errors.isEmpty());
        } else {
            // The attempt ends as a failed connection, with nothing sent past the hold.
            QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, kWaitMs);
            QCOMPARE(errors.first().first().value<VpnProtocol::Errors>(), VpnProtocol::ConnectionFailed);
            QTRY_VERIFY_WITH_TIMEOUT(!states.isEmpty(), kWaitMs);
            QCOMPARE(states.last().first().value<VpnProtocol::ConnectionState>(), VpnProtocol::Disconnected);
            QVERIFY(!outcome->answered());
            for (const StandInRequest &request : configRequests())
                QVERIFY(!sentByTheApp(request));
            QCOMPARE(configRequests().size(), failure == Failure::ApiRefuses ? 1 : 0);
        }
        QVERIFY2(LogCapture::instance().anyContains(logged), qPrintable(LogCapture::instance().lines().join('\n')));
        QCOMPARE(apiFetches().size(), 1);
    }
};

KELVRA_API_TEST_MAIN(TestConfigRoute, QGuiApplication)
#include "tst_configroute.moc"
