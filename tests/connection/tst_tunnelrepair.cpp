// A tunnel that was up dies, end to end: the connection controller built by a
// real core controller, the backend stand-in in this process (scripting the
// backend's answers to recovery requests), and the service stand-in program,
// which kills live tunnels of both kinds (a real OpenVPN and a daemon-driven
// one), takes the servers' addresses off the test network for the ping
// outside the tunnel, and records every setLockdown. The repair's 20 s, 40 s
// and 16.5 s run faster through its time divisor; event times are read back
// at full scale.

#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QJsonArray>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include "app/CoreController.h"
#include "app/Settings.h"
#include "connection/ConnectionController.h"
#include "connection/TunnelRepair.h"
#include "engagement/Telemetry.h"
#include "ipc/IpcClient.h"
#include "servers/Pinger.h"
#include "servers/ServersModel.h"
#include "tests/api/ApiTestSupport.h"
#include "tests/vpn/StandInProgram.h"
#include "tools/backend/StandInReply.h"
#include "tools/service/StandInOpenVpnServer.h"
#include "vpn/VpnConnection.h"

using namespace ApiTestSupport;

namespace {
const QString kEmail = QStringLiteral("grace@example.com");
// Germany: Berlin, with Frankfurt 1 and 2 to move to.
const QString kBerlin = QStringLiteral("de-ber:1");
// United Kingdom: Manchester, whose address no other test serves anything
// on, so it may go off the test network; London to move to.
const QString kManchester = QStringLiteral("gb-man:1");
const QString kManchesterAddress = QStringLiteral("203.0.113.22");
// The only server of its group: nowhere to move.
const QString kZurich = QStringLiteral("ch-zrh:1");
// The only server of its location in its group (Streaming): a move goes to
// another location.
const QString kUsStreaming = QStringLiteral("us-nyc-stream:1");

// A WireGuard configuration answer of the backend.
StandInReply wireGuardAnswer(const QString &address)
{
    const QString text = QStringLiteral("[Interface]\nPrivateKey = bGF0ZS1hbnN3ZXIta2V5LW5ldmVyLXVzZWQ=\n"
                                        "Address = 10.64.9.9/32\nDNS = 10.64.0.1\n\n[Peer]\nPublicKey = cHVibGlj\n"
                                        "Endpoint = %1:51820\nAllowedIPs = 0.0.0.0/0, ::/0\nPersistentKeepalive = 25\n")
                             .arg(address);
    return StandInReply::json(200, QJsonObject { { QStringLiteral("success"), true },
                                                 { QStringLiteral("configuration"), text },
                                                 { QStringLiteral("transport"), QStringLiteral("udp") } });
}
} // namespace

class TstTunnelRepair : public QObject
{
    Q_OBJECT
private:
    BackendStandIn m_backend;
    QTemporaryDir m_dir;
    StandInProgram m_service;
    QString m_openVpnConfig; // empty without tun devices
    QSharedPointer<Settings> m_settings;
    QSharedPointer<VpnConnection> m_vpn;
    QScopedPointer<CoreController> m_core;
    int m_divisor = 1;

    ConnectionController *controller() const { return m_core->connectionController(); }
    ServersModel *servers() const { return m_core->serversModel(); }

    void useDivisor(int divisor)
    {
        m_divisor = divisor;
        TunnelRepair::setTimeDivisorForTesting(divisor);
    }

    QList<Telemetry::Event> repairEvents() const
    {
        QList<Telemetry::Event> found;
        for (const Telemetry::Event &event : Telemetry::instance()->eventsForTesting()) {
            if (event.name == QLatin1String("tunnel_recovery"))
                found << event;
        }
        return found;
    }

    // The repair's course: "outcome:try" per event.
    QStringList steps() const
    {
        QStringList list;
        for (const Telemetry::Event &event : repairEvents())
            list << QStringLiteral("%1:%2").arg(event.params.value(QStringLiteral("outcome")).toString())
                        .arg(event.params.value(QStringLiteral("try")).toInt());
        return list;
    }

    QString lastOutcome() const
    {
        const QList<Telemetry::Event> events = repairEvents();
        return events.isEmpty() ? QString() : events.last().params.value(QStringLiteral("outcome")).toString();
    }

    // Full-scale milliseconds between the first events with these steps.
    qint64 between(const QString &from, const QString &to, int fromOccurrence = 0, int toOccurrence = 0) const
    {
        const QList<Telemetry::Event> events = repairEvents();
        const QStringList list = steps();
        const auto nth = [&list](const QString &step, int occurrence) {
            int index = -1;
            for (int i = 0; i <= occurrence; ++i) {
                index = int(list.indexOf(step, index + 1));
                if (index < 0)
                    return -1;
            }
            return index;
        };
        const int a = nth(from, fromOccurrence);
        const int b = nth(to, toOccurrence);
        if (a < 0 || b < 0)
            return -1;
        return (events.at(b).atMs - events.at(a).atMs) * m_divisor;
    }

    // Waits a full-scale `ms` should take, with what running it took beyond.
    static bool tookAbout(qint64 measured, qint64 expected)
    {
        return measured >= expected * 95 / 100 && measured <= expected + 10000;
    }

    void network(const QJsonObject &rules)
    {
        QVERIFY(m_service.ok("network", { { QStringLiteral("network"), rules } }));
    }

    void outside(bool reachable)
    {
        const QJsonObject answer = m_service.control(
            "outside", { { QStringLiteral("reachable"), reachable },
                         { QStringLiteral("addresses"), QJsonArray { kManchesterAddress } } });
        QVERIFY2(answer.value(QLatin1String("ok")).toBool(), qPrintable(answer.value(QLatin1String("error")).toString()));
    }

    void killSwitch(bool on)
    {
        m_settings->setKillSwitch(on);
        m_vpn->onKillSwitchToggled(on);
    }

    QJsonArray activations() { return m_service.calls(QStringLiteral("daemon"), QStringLiteral("activate")); }

    // Connected through `configId` with `protocol`, the kill switch as given.
    void connectTo(const QString &configId, VpnProtocol::Protocol protocol, bool killSwitchOn)
    {
        killSwitch(killSwitchOn);
        servers()->onProtocolChanged(int(protocol));
        ServersModel::Server *server = servers()->serverByConfigId(configId);
        QVERIFY(server);
        servers()->updateCurrentServer(server);
        QCOMPARE(server->effectiveProtocol(), protocol);
        controller()->openConnection();
        // A real OpenVPN under the sanitizers on a busy machine can take longer
        // than the half minute it takes at worst otherwise.
        QTRY_VERIFY_WITH_TIMEOUT(controller()->isConnected(), 60000);
        QCOMPARE(m_vpn->connectionState(), VpnProtocol::Connected);
        // What the tunnel's coming up asks of the service (its release, the
        // leak guard) is not waited for: it lands before the record starts.
        QTest::qWait(300);
        Telemetry::instance()->clearForTesting();
        QVERIFY(m_service.ok("clearCalls"));
        m_backend.clearRequests();
    }

    void killTunnel()
    {
        QCOMPARE(m_service.control("killTunnel").value(QLatin1String("killed")).toInt(), 1);
    }

    // The service's record from the dead tunnel on: no setLockdown(false)
    // before the last tunnel started (an activation or an OpenVPN process),
    // and the hold asked for before the first one.
    QString holdBrokenBetweenTries()
    {
        const QJsonArray calls = m_service.control("calls").value(QLatin1String("calls")).toArray();
        int firstHold = -1;
        int firstStart = -1;
        int lastStart = -1;
        int firstRelease = -1;
        QStringList trail;
        for (int i = 0; i < calls.size(); ++i) {
            const QJsonObject call = calls.at(i).toObject();
            const QString name = call.value(QLatin1String("call")).toString();
            const QJsonArray args = call.value(QLatin1String("args")).toArray();
            trail << QStringLiteral("%1:%2").arg(i).arg(name);
            if (name == QLatin1String("setLockdown")) {
                const bool on = args.first().toBool();
                trail.last() += on ? QStringLiteral("(true)") : QStringLiteral("(false)");
                if (on && firstHold < 0)
                    firstHold = i;
                if (!on && firstRelease < 0)
                    firstRelease = i;
            } else if (name == QLatin1String("activate") || (name == QLatin1String("start")
                                                             && call.value(QLatin1String("channel")).toString() == QLatin1String("process"))) {
                if (firstStart < 0)
                    firstStart = i;
                lastStart = i;
            }
        }
        if (firstStart < 0)
            return QStringLiteral("no tunnel was started again");
        if (firstHold < 0 || firstHold > firstStart)
            return QStringLiteral("no hold before the first try");
        if (firstRelease >= 0 && firstRelease < lastStart)
            return QStringLiteral("released at call %1, before the tunnel of call %2: %3")
                .arg(firstRelease)
                .arg(lastStart)
                .arg(trail.join(QStringLiteral(", ")));
        return QString();
    }

private slots:
    void initTestCase()
    {
        // The stand-in build reads the recovery budget from here: every
        // recovery request of these cases asks.
        qputenv("KELVRA_RECOVER_PER_HOUR", "100");
        useOwnCredentialService("tunnelrepair");
        KELVRA_START_STAND_IN(m_backend);
        m_backend.setDeviceLimit(0);
        if (!StandInProgram::pointClientHere("kelvra-tr-", m_dir.path()))
            QSKIP("the service stand-in is not built");
        QStringList arguments { QStringLiteral("--api-base-url"), m_backend.baseUrl(), QStringLiteral("--ca-file"),
                                BackendStandIn::caCertificatePath(), QStringLiteral("--dns"), QStringLiteral("none") };
        const bool openVpn = TestEnvironment::inPrivateNetwork() && StandInOpenVpnServer::tunAvailable();
        const QString clientConfig = m_dir.path() + QStringLiteral("/client.ovpn");
        if (openVpn)
            arguments << StandInProgram::openVpnServerArguments(clientConfig, 40000);
        QVERIFY(m_service.start(QStringLiteral("kelvra-service-standin"), arguments));
        if (openVpn) {
            QFile file(clientConfig);
            QVERIFY(file.open(QIODevice::ReadOnly));
            m_openVpnConfig = QString::fromUtf8(file.readAll());
        }
        QVERIFY(m_service.ok("script", { { QStringLiteral("script"),
                                           QJsonObject { { QStringLiteral("connectDelayMs"), 50 },
                                                         { QStringLiteral("statusIntervalMs"), 0 } } } }));
        VpnConnection::Timings timings;
        timings.launchDelayMs = 200;
        timings.releaseWindowMs = 200;
        timings.holdWaitMs = 5000;
        timings.pipeOnlyBackMs = 300;
        VpnConnection::setTimingsForTesting(timings);
        IpcClient::setReconnectDelayForTesting(100);

        m_settings = QSharedPointer<Settings>::create();
        m_vpn = QSharedPointer<VpnConnection>::create(m_settings);
        m_core.reset(new CoreController(nullptr, m_vpn, m_settings));
        servers()->pingerForTesting()->setCommandForTesting(QStringLiteral("true"), {});
        QVERIFY(!signInAs(m_backend, kEmail).isEmpty());
        servers()->reconcileAccount(kEmail);
        servers()->fetchServers();
        QTRY_VERIFY_WITH_TIMEOUT(servers()->serverByConfigId(kBerlin), 20000);
    }

    // Each case starts disconnected, the network whole, the service willing.
    void init()
    {
        controller()->closeConnection(QStringLiteral("the test"));
        QTRY_VERIFY(!m_vpn->vpnProtocol());
        QTRY_VERIFY(!controller()->isConnectionInProgress());
        killSwitch(false);
        m_settings->setDnsLeakProtection(true);
        m_backend.clearScripts();
        m_backend.clearRequests();
        QVERIFY(m_service.ok("clearCalls"));
        QVERIFY(m_service.ok("lockdown", { { QStringLiteral("reply"), true } }));
        network({});
        outside(true);
        if (!m_openVpnConfig.isEmpty())
            QVERIFY(m_service.ok("openVpnServer", { { QStringLiteral("answering"), true } }));
        QSettings().remove(QStringLiteral("deadTunnel"));
        controller()->clearError();
        useDivisor(20);
    }

    void cleanupTestCase()
    {
        if (m_core)
            controller()->closeConnection(QStringLiteral("the test"));
        QTest::qWait(300);
        m_core.reset();
        m_vpn.reset();
    }

    // The real OpenVPN's server stops answering and the tunnel restarts: one
    // try at once, 16.5 s long, then a move to another server of the same
    // location, which gets three tries; the first one gets through. Traffic
    // stays held all along.
    void openVpnTunnelDiesAndMovesToAnotherServer()
    {
        if (m_openVpnConfig.isEmpty())
            QSKIP("needs the test network and /dev/net/tun for a real OpenVPN");
        m_backend.script(QString(), QStringLiteral("client/configuration/"), QUrlQuery(QStringLiteral("vpn_type=OpenVPN")),
                         StandInReply::json(200, QJsonObject { { QStringLiteral("success"), true },
                                                               { QStringLiteral("configuration"), m_openVpnConfig },
                                                               { QStringLiteral("transport"), QStringLiteral("udp") } }),
                         -1);
        connectTo(kBerlin, VpnProtocol::OpenVpnUdp, false);
        useDivisor(10);
        LogCapture log;

        QVERIFY(m_service.ok("openVpnServer", { { QStringLiteral("answering"), false } }));
        killTunnel();
        QTRY_VERIFY_WITH_TIMEOUT(steps().contains(QStringLiteral("gave_up:1")), 20000);
        QVERIFY(m_service.ok("openVpnServer", { { QStringLiteral("answering"), true } }));
        QTRY_COMPARE_WITH_TIMEOUT(lastOutcome(), QStringLiteral("recovered"), 30000);

        QCOMPARE(steps(), QStringList({ "started:0", "reconnecting:1", "attempt_failed:1", "gave_up:1", "started:0",
                                        "reconnecting:1", "recovered:1" }));
        for (const Telemetry::Event &event : repairEvents())
            QCOMPARE(event.params.value(QStringLiteral("protocol")).toString(), QStringLiteral("openvpn"));
        QVERIFY2(tookAbout(between(QStringLiteral("started:0"), QStringLiteral("attempt_failed:1")), 16500),
                 qPrintable(QString::number(between(QStringLiteral("started:0"), QStringLiteral("attempt_failed:1")))));
        QVERIFY(log.contains(QStringLiteral("Recovery try 1 of 1")));
        QVERIFY(log.contains(QStringLiteral("Recovery attempt timed out")));
        QVERIFY(log.contains(QStringLiteral("Moving to another server, OpenVPN UDP")));
        QVERIFY(log.contains(QStringLiteral("Recovery try 1 of 3")));
        QCOMPARE(servers()->currentServer()->location()->name, QStringLiteral("Germany"));
        QVERIFY(servers()->currentServer()->configId != kBerlin);
        QVERIFY(controller()->isConnected());
        QCOMPARE(controller()->connectionStateText(), QStringLiteral("Connected"));
        const QString broken = holdBrokenBetweenTries();
        QVERIFY2(broken.isEmpty(), qPrintable(broken));

        // An OpenVPN tunnel dying again soon after a move is repaired as
        // after that move: the moves made still count.
        Telemetry::instance()->clearForTesting();
        log.clear();
        killTunnel();
        QTRY_COMPARE_WITH_TIMEOUT(lastOutcome(), QStringLiteral("recovered"), 30000);
        QVERIFY(log.contains(QStringLiteral("Connecting to the new server, OpenVPN UDP")));
        QVERIFY(log.contains(QStringLiteral("Recovery try 1 of 3")));
    }

    // A WireGuard tunnel dies while the network is down: every try begins
    // with a ping outside the tunnel that gets no answer, at 0, 20 and 40 s;
    // then the repair gives up. The dead tunnel is kept (no move: the
    // network, not the server, is the trouble) and the offer is shown.
    void wireGuardTunnelDiesWithTheNetworkDown()
    {
        connectTo(kManchester, VpnProtocol::WireGuard, false);
        LogCapture log;
        outside(false);
        killTunnel();
        QTRY_COMPARE_WITH_TIMEOUT(lastOutcome(), QStringLiteral("gave_up"), 20000);
        QCOMPARE(steps(), QStringList({ "started:0", "network_down:1", "network_down:2", "network_down:3", "gave_up:3" }));
        const QList<qint64> expected { 0, 20000, 40000 };
        for (int i = 0; i < expected.size(); ++i) {
            const qint64 at = between(QStringLiteral("started:0"), QStringLiteral("network_down:%1").arg(i + 1));
            QVERIFY2(tookAbout(at, expected.at(i)), qPrintable(QStringLiteral("try %1 at %2 ms").arg(i + 1).arg(at)));
        }
        QCOMPARE(log.count(QStringLiteral("The server doesn't answer outside the tunnel either: waiting for the network")), 3);
        QVERIFY(log.contains(QStringLiteral("Recovery try 3 of 3")));
        QVERIFY(activations().isEmpty());
        QCOMPARE(servers()->currentServer()->configId, kManchester);
        QCOMPARE(controller()->recoveryText(), QStringLiteral("No connection — click to reconnect"));
        QCOMPARE(controller()->connectionStateText(), QStringLiteral("No connection"));
        QVERIFY(!controller()->isConnected());
    }

    // With the network up the server answers the ping: the tunnel is
    // reconnected at once with a configuration fetched with recovery, on the
    // same server, and traffic is held until it is up again.
    void wireGuardTunnelIsRepairedOnTheSameServer()
    {
        connectTo(kManchester, VpnProtocol::WireGuard, false);
        LogCapture log;
        QSignalSpy changed(controller(), &ConnectionController::connectionStateChanged);
        killTunnel();
        QTRY_VERIFY(steps().contains(QStringLiteral("started:0")));
        // The screen stays on "Connected".
        QVERIFY(controller()->isConnected());
        QCOMPARE(controller()->connectionStateText(), QStringLiteral("Connected"));
        QTRY_COMPARE_WITH_TIMEOUT(lastOutcome(), QStringLiteral("recovered"), 20000);
        QCOMPARE(steps(), QStringList({ "started:0", "reconnecting:1", "recovered:1" }));
        for (const Telemetry::Event &event : repairEvents())
            QCOMPARE(event.params.value(QStringLiteral("protocol")).toString(), QStringLiteral("wireguard"));
        QVERIFY(log.contains(QStringLiteral("The tunnel is dead: recovering on the same server, WireGuard")));
        const QList<StandInRequest> fetched = m_backend.requestsTo(QStringLiteral("client/configuration/gb-man"));
        QCOMPARE(fetched.size(), 1);
        QCOMPARE(fetched.first().query.queryItemValue(QStringLiteral("recover")), QStringLiteral("1"));
        QCOMPARE(servers()->currentServer()->configId, kManchester);
        QVERIFY(controller()->isConnected());
        QVERIFY(controller()->recoveryText().isEmpty());
        const QString broken = holdBrokenBetweenTries();
        QVERIFY2(broken.isEmpty(), qPrintable(broken));
    }

    void backendAnswersToRecovery_data()
    {
        QTest::addColumn<StandInReply>("reply");
        QTest::addColumn<int>("times");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<bool>("moved");
        QTest::addColumn<int>("waitMs"); // between the limit's wait and the next reconnect; -1: none
        QTest::addColumn<bool>("storedConfig"); // the tunnel is made with the stored configuration

        const QStringList moveAndRecover { "started:0", "reconnecting:1", "recovered:1" };
        QTest::newRow("429 for 90 s: rate_limited, a move follows")
            << StandInReply::recoverLimited("90") << -1
            << (QStringList { "started:0", "reconnecting:1", "rate_limited:0" } + moveAndRecover) << true << -1 << false;
        QTest::newRow("429 for 30 s: waited out, not a try")
            << StandInReply::recoverLimited("30") << 1
            << QStringList { "started:0", "reconnecting:1", "rate_limited_wait:0", "reconnecting:1", "recovered:1" }
            << false << 30000 << false;
        QTest::newRow("429 for 0 s: a second")
            << StandInReply::recoverLimited("0") << 1
            << QStringList { "started:0", "reconnecting:1", "rate_limited_wait:0", "reconnecting:1", "recovered:1" }
            << false << 1000 << false;
        QTest::newRow("409: peer_alive, a move follows")
            << StandInReply::peerAlive() << -1
            << (QStringList { "started:0", "reconnecting:1", "peer_alive:1" } + moveAndRecover) << true << -1 << false;
        QTest::newRow("503 Node unavailable: node_unavailable, a move follows")
            << StandInReply::nodeUnavailable() << -1
            << (QStringList { "started:0", "reconnecting:1", "node_unavailable:1" } + moveAndRecover) << true << -1 << false;
        QTest::newRow("500 Failed to fetch config: node_unavailable")
            << StandInReply::configFetchFailed() << -1
            << (QStringList { "started:0", "reconnecting:1", "node_unavailable:1" } + moveAndRecover) << true << -1 << false;
        QTest::newRow("limit: no move")
            << StandInReply::deviceLimit(409) << -1 << QStringList { "started:0", "reconnecting:1", "limit:1" } << false
            << -1 << false;
        QTest::newRow("no status: the old configuration is tried")
            << StandInReply::drop() << -1 << QStringList { "started:0", "reconnecting:1", "recovered:1" } << false << -1
            << true;
    }

    // What the backend answers to the recovery request decides the repair's
    // next step. The kill switch is on: no ping, the fetch goes through the
    // service.
    void backendAnswersToRecovery()
    {
        QFETCH(StandInReply, reply);
        QFETCH(int, times);
        QFETCH(QStringList, expected);
        QFETCH(bool, moved);
        QFETCH(int, waitMs);
        QFETCH(bool, storedConfig);
        connectTo(kBerlin, VpnProtocol::WireGuard, true);
        const QString storedKey = m_vpn->configuration()
                                      .value(QStringLiteral("wireguard_config_data"))
                                      .toObject()
                                      .value(QStringLiteral("client_private_key"))
                                      .toString();
        m_backend.scriptRecovery(reply, times);
        LogCapture log;
        killTunnel();
        QTRY_VERIFY_WITH_TIMEOUT(QStringList({ "recovered", "limit" }).contains(lastOutcome()), 20000);
        QCOMPARE(steps(), expected);
        QCOMPARE(servers()->currentServer()->configId != kBerlin, moved);
        if (moved) {
            QVERIFY(log.contains(QStringLiteral("- moved to another")));
            QCOMPARE(servers()->currentServer()->location()->name, QStringLiteral("Germany"));
        }
        if (waitMs >= 0) {
            const qint64 waited = between(QStringLiteral("rate_limited_wait:0"), QStringLiteral("reconnecting:1"), 0, 1);
            QVERIFY2(tookAbout(waited, waitMs), qPrintable(QString::number(waited)));
            QVERIFY(log.contains(QStringLiteral("The backend's recover limit: trying again in %1 s").arg(waitMs / 1000)));
        }
        if (lastOutcome() == QLatin1String("limit")) {
            QCOMPARE(controller()->recoveryText(), QStringLiteral("No connection — click to reconnect"));
            QCOMPARE(controller()->connectionStateText(), QStringLiteral("No connection"));
            QVERIFY(!log.contains(QStringLiteral("Moving to another server")));
        } else {
            QVERIFY(controller()->isConnected());
            const QJsonArray made = activations();
            QCOMPARE(made.size(), 1);
            QCOMPARE(made.first()[QStringLiteral("message")][QStringLiteral("privateKey")].toString() == storedKey,
                     storedConfig);
        }
    }

    // Moves whose reconnects all fail: two moves, never a third, and the
    // starting server is the current one again when the repair ends.
    void aThirdMoveNeverHappens()
    {
        connectTo(kBerlin, VpnProtocol::WireGuard, true);
        useDivisor(100);
        network({ { QStringLiteral("wireguard"), QStringLiteral("blocked") } });
        LogCapture log;
        killTunnel();
        QTRY_VERIFY_WITH_TIMEOUT(!controller()->recoveryText().isEmpty(), 30000);
        const QStringList oneServer { "started:0",      "reconnecting:1", "attempt_failed:1", "reconnecting:2",
                                      "attempt_failed:2", "reconnecting:3", "attempt_failed:3", "gave_up:3" };
        QCOMPARE(steps(), oneServer + oneServer + oneServer);
        QCOMPARE(log.count(QStringLiteral("Moving to another server, WireGuard")), 2);
        QCOMPARE(log.count(QStringLiteral("Recovery attempt timed out")), 9);
        QCOMPARE(servers()->currentServer()->configId, kBerlin);
        QCOMPARE(m_vpn->protocol(), VpnProtocol::WireGuard);
        QCOMPARE(controller()->connectionStateText(), QStringLiteral("No connection"));
    }

    // A move whose configuration fetch fails does not count: moves go on
    // until five reconnects after moves were made, then the repair ends on
    // the starting server.
    void movesWhoseFetchFailsAreNotCounted()
    {
        connectTo(kBerlin, VpnProtocol::WireGuard, true);
        useDivisor(50);
        m_backend.script(QString(), QStringLiteral("client/configuration/"), StandInReply::nodeUnavailable(), -1);
        LogCapture log;
        killTunnel();
        QTRY_VERIFY_WITH_TIMEOUT(!controller()->recoveryText().isEmpty(), 30000);
        QStringList expected { "started:0", "reconnecting:1", "node_unavailable:1" };
        for (int move = 0; move < TunnelRepair::kMaxReconnectsAfterMoves; ++move)
            expected << "started:0" << "reconnecting:1" << "switch_fetch_failed:1";
        QCOMPARE(steps(), expected);
        QCOMPARE(log.count(QStringLiteral("Moving to another server")), 5);
        QCOMPARE(servers()->currentServer()->configId, kBerlin);
        QCOMPARE(m_vpn->protocol(), VpnProtocol::WireGuard);
        QVERIFY(!controller()->isConnected());
    }

    // The service doesn't confirm the firewall hold the reconnect needs: the
    // repair ends at once, without a move.
    void unconfirmedHoldEndsTheRepairWithoutAMove()
    {
        connectTo(kBerlin, VpnProtocol::WireGuard, true);
        QVERIFY(m_service.ok("lockdown", { { QStringLiteral("reply"), false } }));
        LogCapture log;
        killTunnel();
        QTRY_COMPARE_WITH_TIMEOUT(lastOutcome(), QStringLiteral("hold_failed"), 20000);
        QTest::qWait(300);
        QCOMPARE(steps(), QStringList({ "started:0", "reconnecting:1", "hold_failed:1" }));
        QVERIFY(!log.contains(QStringLiteral("Moving to another server")));
        QCOMPARE(servers()->currentServer()->configId, kBerlin);
        QVERIFY(!controller()->recoveryText().isEmpty());
        QVERIFY(activations().isEmpty());
    }

    void userEndsTheRepair_data()
    {
        QTest::addColumn<bool>("duringPing");
        QTest::addColumn<bool>("newConnect");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("disconnect while the ping runs") << true << false << "cancelled";
        QTest::newRow("disconnect while the recovery fetch runs") << false << false << "cancelled";
        QTest::newRow("a new connect while the recovery fetch runs") << false << true << "superseded";
    }

    // The user disconnects, or connects anew, during a repair: it ends, and
    // the ping or the fetch that comes back later changes nothing.
    void userEndsTheRepair()
    {
        QFETCH(bool, duringPing);
        QFETCH(bool, newConnect);
        QFETCH(QString, outcome);
        // With the kill switch off the repair pings the server first.
        connectTo(duringPing ? kManchester : kBerlin, VpnProtocol::WireGuard, !duringPing);
        // The recovery fetch's answer, a good one, comes late.
        m_backend.scriptRecovery(wireGuardAnswer(QStringLiteral("203.0.113.21")).delayed(1500), 1);
        LogCapture log;
        killTunnel();
        if (duringPing)
            QTRY_VERIFY(log.contains(QStringLiteral("Recovery try 1 of 3")));
        else
            QTRY_VERIFY(steps().contains(QStringLiteral("reconnecting:1")));
        if (newConnect)
            controller()->openConnection();
        else
            controller()->closeConnection(QStringLiteral("the test"));
        QCOMPARE(lastOutcome(), outcome);
        const QStringList ended = steps();
        QTest::qWait(3000); // the ping (three echoes) and the late answer are back by now
        QCOMPARE(steps(), ended);
        if (newConnect) {
            QTRY_VERIFY_WITH_TIMEOUT(controller()->isConnected(), 20000);
            QCOMPARE(activations().size(), 1); // the new connect's own
            QVERIFY(m_backend.requestsTo(QStringLiteral("client/configuration/")).last().query.queryItemValue(
                        QStringLiteral("recover")).isEmpty());
        } else {
            QVERIFY(log.contains(QStringLiteral("Disconnect requested by the test during a repair")));
            QVERIFY(activations().isEmpty());
            QVERIFY(!controller()->isConnected());
            QVERIFY(!controller()->isConnectionInProgress());
            QCOMPARE(controller()->connectionStateText(), QStringLiteral("Not Connected"));
        }
        if (duringPing)
            QVERIFY(m_backend.requestsTo(QStringLiteral("client/configuration/")).isEmpty());
        QVERIFY(controller()->recoveryText().isEmpty());
    }

    void tryAnotherServer_data()
    {
        QTest::addColumn<QString>("configId");
        QTest::addColumn<bool>("killSwitchOn");
        QTest::addColumn<bool>("moves");
        QTest::addColumn<bool>("otherLocation");
        QTest::newRow("another server of the location") << kBerlin << true << true << false;
        QTest::newRow("the only server of its location") << kUsStreaming << true << true << true;
        QTest::newRow("the only server of its group, kill switch off") << kZurich << false << false << false;
    }

    // After a repair ended with the offer, "try another server" moves the
    // tunnel, or says that no other server offers the protocol.
    void tryAnotherServer()
    {
        QFETCH(QString, configId);
        QFETCH(bool, killSwitchOn);
        QFETCH(bool, moves);
        QFETCH(bool, otherLocation);
        connectTo(configId, VpnProtocol::WireGuard, killSwitchOn);
        const QString location = servers()->currentServer()->location()->name;
        QSignalSpy banners(controller(), &ConnectionController::bannerNote);
        m_backend.scriptRecovery(StandInReply::deviceLimit(409), 1);
        killTunnel();
        QTRY_COMPARE_WITH_TIMEOUT(lastOutcome(), QStringLiteral("limit"), 20000);
        // Traffic is held only while the kill switch asks for it.
        QCOMPARE(controller()->recoveryText(), killSwitchOn ? QStringLiteral("No connection — click to reconnect")
                                                            : QStringLiteral("Click to reconnect"));
        QCOMPARE(controller()->connectionStateText(),
                 killSwitchOn ? QStringLiteral("No connection") : QStringLiteral("Not protected"));
        QTRY_COMPARE(m_service.control("protection").value(QLatin1String("protected")).toBool(), killSwitchOn);
        QSignalSpy errors(controller(), &ConnectionController::vpnErrorChanged);
        controller()->tryAnotherServer();
        if (moves) {
            QTRY_COMPARE_WITH_TIMEOUT(lastOutcome(), QStringLiteral("recovered"), 20000);
            QCOMPARE(steps().mid(3), QStringList({ "started:0", "reconnecting:1", "recovered:1" }));
            QVERIFY(servers()->currentServer()->configId != configId);
            QCOMPARE(servers()->currentServer()->location()->name != location, otherLocation);
            QVERIFY(controller()->recoveryText().isEmpty());
            QVERIFY(controller()->isConnected());
            // Only a move to another location is told.
            if (otherLocation) {
                QCOMPARE(banners.size(), 1);
                QCOMPARE(banners.first().first().toString(),
                         QStringLiteral("Moved you to %1 for a stable connection.").arg(servers()->currentServer()->name));
            } else {
                QVERIFY(banners.isEmpty());
            }
        } else {
            QCOMPARE(controller()->vpnError(), 400);
            QCOMPARE(controller()->vpnErrorText(), QStringLiteral("No other server offers WireGuard."));
            QCOMPARE(errors.size(), 1);
            QCOMPARE(servers()->currentServer()->configId, configId);
            QVERIFY(!controller()->recoveryText().isEmpty());
        }
        // Pressing the button while the offer shows connects afresh.
        if (!moves) {
            controller()->toggleConnection();
            QTRY_VERIFY_WITH_TIMEOUT(controller()->isConnected(), 20000);
            QVERIFY(controller()->recoveryText().isEmpty());
        }
    }

    void retryWithRecoveryAfterAFailedFirstConnect_data()
    {
        QTest::addColumn<StandInReply>("reply"); // the retry's answer; status 0: the backend's own
        QTest::addColumn<bool>("connects");
        QTest::addColumn<bool>("sameKey");
        QTest::newRow("a new configuration") << StandInReply() << true << false;
        QTest::newRow("409: the stored one is good") << StandInReply::peerAlive() << true << true;
        QTest::newRow("503: the connect fails") << StandInReply::nodeUnavailable() << false << false;
    }

    // The first connect's tunnel fails with the configuration the backend
    // gave: one more fetch with recover=1, and what it answers decides.
    void retryWithRecoveryAfterAFailedFirstConnect()
    {
        QFETCH(StandInReply, reply);
        QFETCH(bool, connects);
        QFETCH(bool, sameKey);
        killSwitch(false);
        servers()->onProtocolChanged(int(VpnProtocol::WireGuard));
        servers()->updateCurrentServer(servers()->serverByConfigId(kBerlin));
        if (reply.statusCode != 200)
            m_backend.scriptRecovery(reply, 1);
        network({ { QStringLiteral("wireguard"), QStringLiteral("blocked") } });
        LogCapture log;
        QSignalSpy states(controller(), &ConnectionController::connectionStateChanged);
        controller()->openConnection();
        QTRY_COMPARE(activations().size(), 1);
        const QString firstKey = activations().first()[QStringLiteral("message")][QStringLiteral("privateKey")].toString();
        network({});
        QVERIFY(m_service.ok("error", { { QStringLiteral("code"), 400 } }));
        QTRY_VERIFY(log.contains(QStringLiteral("The connect failed with the stored config: once more with recover=1")));
        QTRY_COMPARE(m_backend.requestsTo(QStringLiteral("client/configuration/de-ber")).size(), 2);
        QCOMPARE(m_backend.requestsTo(QStringLiteral("client/configuration/de-ber")).last().query.queryItemValue(
                     QStringLiteral("recover")),
                 QStringLiteral("1"));
        if (connects) {
            QTRY_VERIFY_WITH_TIMEOUT(controller()->isConnected(), 20000);
            QCOMPARE(activations().size(), 2);
            QCOMPARE(activations().last()[QStringLiteral("message")][QStringLiteral("privateKey")].toString() == firstKey,
                     sameKey);
            QCOMPARE(controller()->vpnError(), 0);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(controller()->vpnError(), 400, 20000);
            QCOMPARE(controller()->vpnErrorText(), QStringLiteral("Couldn't connect over WireGuard. Try OpenVPN."));
            QCOMPARE(controller()->connectionStateText(), QStringLiteral("Not Connected"));
            QCOMPARE(activations().size(), 1);
        }
        // The failed tunnel's own Disconnected never showed meanwhile.
        QCOMPARE(log.count(QStringLiteral("Connection state changed to: Not Connected")), connects ? 0 : 1);
    }

    // The service crashed under a tunnel with the kill switch on: once it is
    // back the client connects again by itself.
    void reconnectAfterTheServiceCrashed()
    {
        connectTo(kBerlin, VpnProtocol::WireGuard, true);
        LogCapture log;
        QVERIFY(m_service.ok("restart", { { QStringLiteral("downMs"), 300 } }));
        QTRY_VERIFY_WITH_TIMEOUT(log.contains(QStringLiteral("Reconnecting after the service crashed (kill switch on)")), 20000);
        QTRY_VERIFY_WITH_TIMEOUT(controller()->isConnected(), 20000);
        QCOMPARE(activations().size(), 1);
        QVERIFY(repairEvents().isEmpty());
    }

    // A setting that lives in the tunnel's configuration changed: the tunnel
    // is made again with it, and only while connected.
    void reconnectForSettingRebuildsTheTunnel()
    {
        controller()->reconnectForSetting();
        QTest::qWait(200);
        QVERIFY(activations().isEmpty());

        connectTo(kBerlin, VpnProtocol::WireGuard, false);
        m_settings->setDnsLeakProtection(false);
        controller()->reconnectForSetting();
        QVERIFY(controller()->isConnectionInProgress());
        QTRY_VERIFY_WITH_TIMEOUT(controller()->isConnected(), 20000);
        QCOMPARE(activations().size(), 1);
        QCOMPARE(activations().first()[QStringLiteral("message")][QStringLiteral("dnsLeakProtection")].toBool(), false);
        QVERIFY(m_backend.requestsTo(QStringLiteral("client/configuration/")).isEmpty());
    }
};

KELVRA_API_TEST_MAIN(TstTunnelRepair, QGuiApplication)
#include "tst_tunnelrepair.moc"
