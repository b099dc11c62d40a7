#include <QApplication>
#include <QDateTime>
#include <QJsonArray>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#include "api/NetworkManager.h"
#include "app/Settings.h"
#include "connection/NetworkIdentifier.h"
#include "engagement/ProtocolReports.h"
#include "engagement/VpnSessionReporter.h"
#include "tests/api/ApiTestSupport.h"
#include "vpn/VpnConnection.h"

using namespace ApiTestSupport;
using Record = ProtocolReports::Record;

namespace {

const QString kEmail = QStringLiteral("reports@example.com");

QList<NetworkIdentifier::Interface> network(const char *address)
{
    NetworkIdentifier::Interface wifi;
    wifi.name = QStringLiteral("wlan0");
    wifi.upAndRunning = true;
    QNetworkAddressEntry entry;
    entry.setIp(QHostAddress(QString::fromLatin1(address)));
    entry.setPrefixLength(24);
    wifi.addresses = {entry};
    return {wifi};
}

const QList<NetworkIdentifier::Interface> kHome = network("192.168.1.20");
const QList<NetworkIdentifier::Interface> kCafe = network("10.40.7.9");

QString idOf(const QList<NetworkIdentifier::Interface> &interfaces)
{
    return NetworkIdentifier::fromInterfaces(interfaces, ApiHost::isStagingBuild());
}

Record record(const QString &network, int n, qint64 ageMs = 60000)
{
    Record r;
    r.protocol = n % 2 ? QStringLiteral("wireguard") : QStringLiteral("reality");
    r.locationId = 100 + n;
    r.success = n % 3 == 0;
    r.connectSeconds = 1.5 + n;
    r.failureStep = r.success ? QString() : QStringLiteral("handshake");
    r.recordedAt = QDateTime::currentMSecsSinceEpoch() - ageMs;
    r.network = network;
    return r;
}

QList<Record> records(const QString &network, int count, int first = 0)
{
    QList<Record> list;
    for (int n = first; n < first + count; ++n)
        list.append(record(network, n));
    return list;
}

} // namespace

// The protocol reports' queue and uploads, and the session reports, against
// the backend stand-in, which keeps what it received.
class TestReports : public QObject
{
    Q_OBJECT
    BackendStandIn m_standIn;

    QList<QJsonObject> sentBatches()
    {
        QList<QJsonObject> bodies;
        for (const StandInReports::Batch &batch : m_standIn.reports().batches())
            bodies << batch.body;
        return bodies;
    }

    // Sends and waits until every batch the upload leads to has an answer.
    void sendAndSettle()
    {
        QSignalSpy finished(ProtocolReports::instance(), &ProtocolReports::batchFinished);
        ProtocolReports::instance()->send();
        while (ProtocolReports::instance()->isInFlight())
            QVERIFY(finished.wait(15000));
    }

    QStringList sessionStates()
    {
        QStringList states;
        for (const StandInReports::Session &session : m_standIn.reports().sessions())
            states << session.body.value(QLatin1String("state")).toString();
        return states;
    }

private slots:
    void initTestCase()
    {
        useOwnCredentialService("reports");
        KELVRA_START_STAND_IN(m_standIn);
    }

    void init()
    {
        resetStandIn(m_standIn);
        m_standIn.reports().clear();
        ProtocolReports::instance()->resetForTesting();
        NetworkIdentifier::setInterfacesForTesting(&kHome);
        QVERIFY(!signInAs(m_standIn, kEmail).isEmpty());
    }

    void cleanup()
    {
        NetworkIdentifier::setInterfacesForTesting(nullptr);
    }

    void onlyThisNetworksReportsGoInBatchesOfTwenty()
    {
        const QString home = idOf(kHome);
        const QString cafe = idOf(kCafe);
        QList<Record> queue;
        for (int n = 0; n < 30; ++n)
            queue.append(record(n % 6 == 5 ? cafe : home, n));
        ProtocolReports::save(queue); // 25 from home, 5 from the cafe

        sendAndSettle();
        const QList<QJsonObject> batches = sentBatches();
        QCOMPARE(batches.size(), 2);
        QCOMPARE(batches.at(0).value(QLatin1String("reports")).toArray().size(), 20);
        QCOMPARE(batches.at(1).value(QLatin1String("reports")).toArray().size(), 5);
        // In queue order.
        QCOMPARE(batches.at(0).value(QLatin1String("reports")).toArray().at(0).toObject().value(QLatin1String("location_id")).toInt(), 100);
        QCOMPARE(ProtocolReports::load().size(), 5);
        for (const Record &left : ProtocolReports::load())
            QCOMPARE(left.network, cafe);

        // On the cafe's network they go too.
        NetworkIdentifier::setInterfacesForTesting(&kCafe);
        sendAndSettle();
        QCOMPARE(sentBatches().size(), 3);
        QVERIFY(ProtocolReports::load().isEmpty());
    }

    void theBatchFollowsTheBackendsAnswer_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("kept");
        QTest::newRow("200 taken") << 200 << "stored" << false;
        QTest::newRow("202 for another reason") << 202 << "queued" << false;
        QTest::newRow("400 refused for good") << 400 << "" << false;
        QTest::newRow("422 refused for good") << 422 << "" << false;
        QTest::newRow("429 later") << 429 << "" << true;
        QTest::newRow("500 later") << 500 << "" << true;
        QTest::newRow("503 later") << 503 << "" << true;
    }

    void theBatchFollowsTheBackendsAnswer()
    {
        QFETCH(int, status);
        QFETCH(QString, reason);
        QFETCH(bool, kept);
        const QList<Record> queue = records(idOf(kHome), 3);
        ProtocolReports::save(queue);
        m_standIn.script(QString(), QStringLiteral("client/protocol-report"),
                         StandInReply::json(status, {{QStringLiteral("reason"), reason}}));
        sendAndSettle();
        QCOMPARE(ProtocolReports::load(), kept ? queue : QList<Record>());
    }

    void viaVpnKeepsEachReportForExactlyOneMoreTry()
    {
        const QList<Record> queue = records(idOf(kHome), 4);
        ProtocolReports::save(queue);
        m_standIn.reports().setViaVpn(true);
        sendAndSettle();
        const QList<Record> once = ProtocolReports::load();
        QCOMPARE(once.size(), 4);
        for (int i = 0; i < once.size(); ++i) {
            QCOMPARE(once.at(i).retries, 1);
            QCOMPARE(once.at(i).recordedAt, queue.at(i).recordedAt);
        }
        sendAndSettle();
        QVERIFY(ProtocolReports::load().isEmpty());
        QCOMPARE(sentBatches().size(), 2);
    }

    void theReportFormat()
    {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        Record slow = record(idOf(kHome), 1, 3000 * 1000);
        slow.connectSeconds = 130;
        slow.locationId = -1;
        Record instant = record(idOf(kHome), 3, 0);
        instant.connectSeconds = -2;
        instant.failureStep.clear();
        instant.success = true;
        instant.recordedAt = now + 60000; // a clock set back meanwhile
        ProtocolReports::save({slow, instant});
        sendAndSettle();

        QCOMPARE(m_standIn.reports().batches().size(), 1);
        QCOMPARE(m_standIn.reports().batches().first().email, kEmail);
        const QJsonObject body = sentBatches().first();
        QCOMPARE(body.value(QLatin1String("platform")).toString(), QStringLiteral("qt-windows"));
        QCOMPARE(body.value(QLatin1String("app_version")).toString(), QStringLiteral(KELVRA_VERSION));
        const QJsonObject first = body.value(QLatin1String("reports")).toArray().at(0).toObject();
        QCOMPARE(first.value(QLatin1String("protocol")).toString(), QStringLiteral("wireguard"));
        QVERIFY(first.value(QLatin1String("location_id")).isNull());
        QCOMPARE(first.value(QLatin1String("connect_seconds")).toDouble(), 120.0);
        QCOMPARE(first.value(QLatin1String("failure_step")).toString(), QStringLiteral("handshake"));
        QVERIFY(qAbs(first.value(QLatin1String("age_seconds")).toInteger() - 3000) <= 2);
        const QJsonObject second = body.value(QLatin1String("reports")).toArray().at(1).toObject();
        QCOMPARE(second.value(QLatin1String("connect_seconds")).toDouble(), 0.0);
        QVERIFY(second.value(QLatin1String("failure_step")).isNull());
        QCOMPARE(second.value(QLatin1String("age_seconds")).toInteger(), 0);
        QCOMPARE(second.value(QLatin1String("location_id")).toInt(), 103);

        const StandInRequest request = m_standIn.requestsTo(QStringLiteral("client/protocol-report")).first();
        QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(request.header("X-App-Version"), QByteArray(KELVRA_VERSION));
        QVERIFY(!request.bearerToken().isEmpty());
    }

    void reportsAgeOutAfterSevenDays()
    {
        const QString home = idOf(kHome);
        const Record old = record(home, 1, ProtocolReports::kMaxAgeMs + 60000);
        const Record young = record(home, 2, ProtocolReports::kMaxAgeMs - 60000);
        ProtocolReports::save({old, young});
        m_standIn.script(QString(), QStringLiteral("client/protocol-report"), StandInReply::serverError(503));
        sendAndSettle();
        QCOMPARE(ProtocolReports::load(), QList<Record>{young});
        const StandInRequest request = m_standIn.requestsTo(QStringLiteral("client/protocol-report")).first();
        QCOMPARE(request.json().value(QLatin1String("reports")).toArray().size(), 1);

        // A day later the other one has aged out too.
        ProtocolReports::instance()->advanceClockForTesting(24 * 3600 * 1000);
        sendAndSettle();
        QVERIFY(ProtocolReports::load().isEmpty());
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("client/protocol-report")).size(), 1);
    }

    void theNewestHundredAreKept()
    {
        ProtocolReports::save(records(idOf(kCafe), 150));
        const QList<Record> left = ProtocolReports::load();
        QCOMPARE(left.size(), 100);
        QCOMPARE(left.first().locationId, 150);
        QCOMPARE(left.last().locationId, 249);

        // Outcomes of a run are added to the end.
        AttemptOutcome outcome;
        outcome.route = QStringLiteral("hysteria2");
        outcome.apiId = 7;
        outcome.seconds = 2.5;
        outcome.reason = QStringLiteral("timeout");
        outcome.atMs = 1234;
        outcome.network = idOf(kCafe);
        ProtocolReports::instance()->add({outcome});
        QCOMPARE(ProtocolReports::load().size(), 100);
        QCOMPARE(ProtocolReports::load().last().protocol, QStringLiteral("hysteria2"));
        QCOMPARE(ProtocolReports::load().last().failureStep, QStringLiteral("timeout"));
    }

    void nothingGoesWhileSignedOutOrWhileABatchIsOnItsWay()
    {
        ProtocolReports::save(records(idOf(kHome), 3));
        UserManager::setState(UserManager::SignedOut);
        ProtocolReports::instance()->send();
        QVERIFY(!ProtocolReports::instance()->isInFlight());
        UserManager::setState(UserManager::SignedIn);

        m_standIn.script(QString(), QStringLiteral("client/protocol-report"),
                         StandInReply::json(200, {{QStringLiteral("reason"), QStringLiteral("stored")}}).delayed(300));
        ProtocolReports::instance()->send();
        ProtocolReports::instance()->send();
        sendAndSettle();
        QCOMPARE(m_standIn.requestsTo(QStringLiteral("client/protocol-report")).size(), 1);
    }

    void anUnreadableQueueIsAnEmptyOne_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::newRow("not JSON") << QVariant(QStringLiteral("}{"));
        QTest::newRow("an object") << QVariant(QStringLiteral(R"({"p":"wireguard"})"));
        QTest::newRow("entries of every kind")
            << QVariant(QStringLiteral(R"([1,"x",null,{"l":5},{"p":"reality","l":"x","s":"yes","a":"soon"}])"));
        QTest::newRow("a number") << QVariant(42);
    }

    void anUnreadableQueueIsAnEmptyOne()
    {
        QFETCH(QVariant, stored);
        QSettings().setValue(QStringLiteral("smartConnect/reports"), stored);
        const QList<Record> loaded = ProtocolReports::load();
        QVERIFY(loaded.size() <= 1);
        ProtocolReports::instance()->send();
        sendAndSettle();
    }

    // Session reports: "connected" when the tunnel is up and every heartbeat,
    // "disconnected" once it has stayed down for three seconds.
    void sessionReports_data()
    {
        QTest::addColumn<QList<int>>("states");
        QTest::addColumn<QStringList>("sent");
        using S = VpnProtocol::ConnectionState;
        QTest::newRow("up, then down") << QList<int>{S::Connecting, S::Connected, S::Disconnected}
                                       << QStringList{"connected", "disconnected"};
        QTest::newRow("a reconnect within 3 s is one session")
            << QList<int>{S::Connected, S::Reconnecting, S::Connected} << QStringList{"connected", "connected"};
        QTest::newRow("down and up within 3 s sends no disconnect")
            << QList<int>{S::Connected, S::Disconnected, S::Connected} << QStringList{"connected", "connected"};
        QTest::newRow("a connect that never came up") << QList<int>{S::Connecting, S::Disconnected} << QStringList{};
    }

    void sessionReports()
    {
        QFETCH(QList<int>, states);
        QFETCH(QStringList, sent);
        auto settings = QSharedPointer<Settings>::create();
        auto vpn = QSharedPointer<VpnConnection>::create(settings);
        VpnSessionReporter reporter(vpn, nullptr);
        for (int state : states) {
            emit vpn->connectionStateChanged(VpnProtocol::ConnectionState(state));
            QTest::qWait(200);
        }
        QTest::qWait(VpnSessionReporter::kSettleMs + 500);
        QCOMPARE(sessionStates(), sent);
        for (const StandInReports::Session &session : m_standIn.reports().sessions()) {
            QCOMPARE(session.email, kEmail);
            QVERIFY(!session.body.contains(QLatin1String("config_id")));
        }
    }

    void sessionVpnTypes_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("type");
        QTest::newRow("OpenVPN UDP") << int(VpnProtocol::OpenVpnUdp) << "OpenVPN";
        QTest::newRow("OpenVPN TCP") << int(VpnProtocol::OpenVpnTcp) << "OpenVPN";
        QTest::newRow("WireGuard") << int(VpnProtocol::WireGuard) << "WireGuard";
        QTest::newRow("AmneziaWG") << int(VpnProtocol::AmneziaWg) << "AmneziaWG";
        QTest::newRow("Stealth") << int(VpnProtocol::Stealth) << "Reality";
        QTest::newRow("Hysteria2") << int(VpnProtocol::Hysteria2) << "Hysteria2";
    }

    void sessionVpnTypes()
    {
        QFETCH(int, protocol);
        QFETCH(QString, type);
        auto settings = QSharedPointer<Settings>::create();
        auto vpn = QSharedPointer<VpnConnection>::create(settings);
        vpn->setProtocol(VpnProtocol::Protocol(protocol));
        VpnSessionReporter reporter(vpn, nullptr);
        emit vpn->connectionStateChanged(VpnProtocol::Connected);
        QTRY_COMPARE(m_standIn.reports().sessions().size(), 1);
        QCOMPARE(m_standIn.reports().sessions().first().body.value(QLatin1String("vpn_type")).toString(), type);
    }

    // The tunnel change was noted as the tunnel went down (the core
    // controller does): the late "disconnected" report must not cut what is
    // in flight then, such as a sign-in.
    void aLateDisconnectReportCutsNoRequestInFlight()
    {
        auto settings = QSharedPointer<Settings>::create();
        auto vpn = QSharedPointer<VpnConnection>::create(settings);
        VpnSessionReporter reporter(vpn, nullptr);
        connect(vpn.data(), &VpnConnection::connectionStateChanged, this, [](VpnProtocol::ConnectionState state) {
            if (state == VpnProtocol::Disconnected)
                ApiHost::noteTunnelChange();
        });
        emit vpn->connectionStateChanged(VpnProtocol::Connected);
        QTRY_COMPARE(m_standIn.reports().sessions().size(), 1);
        emit vpn->connectionStateChanged(VpnProtocol::Disconnected);
        QTest::qWait(VpnSessionReporter::kSettleMs - 1000);

        // A sign-in link answered only after the report has gone.
        m_standIn.script(QString(), QStringLiteral("auth/sso-login-with-token"),
                         StandInReply::error(422, QStringLiteral("Expired."), 20042).delayed(2500));
        NetworkManager link;
        QSignalSpy answered(&link, &NetworkManager::requestFinished);
        link.request(ApiHost::url(QStringLiteral("auth/sso-login-with-token")),
                     QJsonObject{{QStringLiteral("access_token"), QStringLiteral("code")}}, NetworkManager::POST,
                     QString(), 0, false);
        QVERIFY(answered.wait(10000));
        QCOMPARE(answered.first().at(1).toInt(), 422);
        QCOMPARE(sessionStates(), (QStringList{"connected", "disconnected"}));
    }

    void heartbeatWhileConnectedAndNothingWhileSignedOut()
    {
        auto settings = QSharedPointer<Settings>::create();
        auto vpn = QSharedPointer<VpnConnection>::create(settings);
        VpnSessionReporter reporter(vpn, nullptr);
        reporter.setHeartbeatIntervalForTesting(300);
        emit vpn->connectionStateChanged(VpnProtocol::Connected);
        QTRY_VERIFY(m_standIn.reports().sessions().size() >= 3);
        emit vpn->connectionStateChanged(VpnProtocol::Reconnecting);
        const qsizetype stopped = m_standIn.reports().sessions().size();
        QTest::qWait(1000);
        QVERIFY(m_standIn.reports().sessions().size() <= stopped + 1);

        UserManager::setState(UserManager::SignedOut);
        m_standIn.reports().clear();
        emit vpn->connectionStateChanged(VpnProtocol::Connected);
        emit vpn->connectionStateChanged(VpnProtocol::Disconnected);
        QTest::qWait(VpnSessionReporter::kSettleMs + 500);
        QVERIFY(m_standIn.reports().sessions().isEmpty());
    }
};

KELVRA_API_TEST_MAIN(TestReports, QApplication)

#include "tst_reports.moc"
