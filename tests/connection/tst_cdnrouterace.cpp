// The Cloudflare route race decides where Smart Connect goes on a restricted
// network, so it is run against real TLS fronts on the test network's
// addresses (port 443) that answer the upgrade, refuse it, stall the
// handshake, or answer late, and its decision and timing are read off as a
// value. The sockets trust the stand-in CA the way the stand-in build does.
#include "api/ApiHost.h"
#include "connection/CdnRouteRace.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"
#include "tools/cdnfront/CdnFrontStandIn.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTest>

#include <memory>
#include <vector>

namespace {
const QString FrontName = QStringLiteral("front.testapi.kelvra.test");
// One address per front, so each can stall its handshake on its own: the
// catalogue's two front addresses and spare ones of the test network.
const QStringList Addresses{QStringLiteral("198.51.100.10"), QStringLiteral("198.51.100.11"),
                            QStringLiteral("198.51.100.20"), QStringLiteral("198.51.100.21")};

// How one front of a row behaves. Absent: nothing listens (the dial is refused).
struct FrontPlan
{
    enum Kind { Upgrade, Forbidden, StallTls, Absent, WrongName };
    QString candidate;
    Kind kind = Upgrade;
    int delayMs = 0;
};
using Plan = QList<FrontPlan>;

// What a race came to.
struct Outcome
{
    bool decided = false;
    QString winner;
    qint64 afterMs = -1; // from start() to the decision
    int decisions = 0;
    bool released = false; // the race deleted itself afterwards
};
} // namespace

Q_DECLARE_METATYPE(FrontPlan)
Q_DECLARE_METATYPE(Plan)

class tst_CdnRouteRace : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void usableFronts_data();
    void usableFronts();
    void noFrontsDecidesAtOnceWithNone();
    void decides_data();
    void decides();
    void upgradeRequestIsAWebSocketHandshakeWithAFreshKey();
    void neverConnectingFrontsAreRedialledEachSecondUntilTheDeadline();
    void connectedButStuckHandshakeIsRedialledAfterThreeSeconds();
    void deletingTheRaceBeforeItDecidesEmitsNothing();
    void decidingClosesEverySocket();

private:
    QList<CdnFront> standUp(const Plan &plan);
    Outcome run(CdnRouteRace *race, int waitMs);

    std::vector<std::unique_ptr<CdnFrontStandIn>> m_fronts;
};

void tst_CdnRouteRace::initTestCase()
{
#if !defined(KELVRA_STANDIN)
    QSKIP("the fronts' certificates are trusted only by the stand-in build");
#endif
    LogCapture::install();
    // The stand-in build trusts the stand-in CA once the API's network access
    // is first set up, which in the client always precedes a route check.
    ApiHost::sharedManager();
    const QList<QSslCertificate> trusted = QSslConfiguration::defaultConfiguration().caCertificates();
    QVERIFY(trusted.contains(QSslCertificate(CdnFrontStandIn::caCertificatePem(), QSsl::Pem)));
}

void tst_CdnRouteRace::init()
{
    if (!TestEnvironment::inPrivateNetwork())
        QSKIP("needs the test network namespace (scripts/netns.sh) for the front addresses");
    LogCapture::instance().clear();
}

void tst_CdnRouteRace::cleanup()
{
    m_fronts.clear();
}

QList<CdnFront> tst_CdnRouteRace::standUp(const Plan &plan)
{
    QList<CdnFront> fronts;
    for (int i = 0; i < plan.size(); ++i) {
        const FrontPlan &front = plan.at(i);
        const QString address = Addresses.at(i);
        const QString path = QStringLiteral("/ws/") + front.candidate;
        if (front.kind != FrontPlan::Absent) {
            auto standIn = std::make_unique<CdnFrontStandIn>();
            const auto behaviour = front.kind == FrontPlan::Forbidden  ? CdnFrontStandIn::Behaviour::Forbidden
                                   : front.kind == FrontPlan::StallTls ? CdnFrontStandIn::Behaviour::StallTls
                                                                       : CdnFrontStandIn::Behaviour::Upgrade;
            if (!standIn->listen(QHostAddress(address), behaviour, 443, front.delayMs))
                return {};
            m_fronts.push_back(std::move(standIn));
        }
        const QString sni = front.kind == FrontPlan::WrongName ? QStringLiteral("elsewhere.kelvra.test") : FrontName;
        fronts.append({front.candidate, address, sni, path});
    }
    return fronts;
}

Outcome tst_CdnRouteRace::run(CdnRouteRace *race, int waitMs)
{
    Outcome outcome;
    QPointer<CdnRouteRace> guard(race);
    QElapsedTimer clock;
    QObject::connect(race, &CdnRouteRace::decided, race, [&](const QString &winner) {
        if (!outcome.decided) {
            outcome.afterMs = clock.elapsed();
            outcome.winner = winner;
        }
        outcome.decided = true;
        ++outcome.decisions;
    });
    clock.start();
    race->start();
    if (QTest::qWaitFor([&] { return outcome.decided; }, waitMs))
        outcome.released = QTest::qWaitFor([&] { return guard.isNull(); }, 2000);
    else
        delete race;
    return outcome;
}

void tst_CdnRouteRace::usableFronts_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("sni");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("usable");

    QTest::newRow("catalogue front") << "198.51.100.10" << "front.testapi.kelvra.test" << "/ws/de-fra" << true;
    QTest::newRow("IPv6 address") << "2001:db8::1" << "front.example" << "/" << true;
    QTest::newRow("host name is not an address") << "front.example" << "front.example" << "/ws" << false;
    QTest::newRow("empty address") << "" << "front.example" << "/ws" << false;
    QTest::newRow("no SNI") << "198.51.100.10" << "" << "/ws" << false;
    QTest::newRow("relative path") << "198.51.100.10" << "front.example" << "ws/de-fra" << false;
    QTest::newRow("empty path") << "198.51.100.10" << "front.example" << "" << false;
}

void tst_CdnRouteRace::usableFronts()
{
    QFETCH(QString, address);
    QFETCH(QString, sni);
    QFETCH(QString, path);
    QFETCH(bool, usable);
    QCOMPARE(CdnRouteRace::usable(address, sni, path), usable);
}

void tst_CdnRouteRace::noFrontsDecidesAtOnceWithNone()
{
    // None at all, or none the race can use (no address, no candidate).
    const QList<QList<CdnFront>> cases{{},
                                       {{"201", "front.example", FrontName, "/ws"}},
                                       {{"", Addresses.first(), FrontName, "/ws"}}};
    for (const QList<CdnFront> &fronts : cases) {
        LogCapture::instance().clear();
        auto *race = new CdnRouteRace(fronts, QStringLiteral("201"), 8000);
        const Outcome outcome = run(race, 3000);
        QVERIFY(outcome.decided);
        QCOMPARE(outcome.winner, QString());
        QVERIFY2(outcome.afterMs < 1000, QByteArray::number(outcome.afterMs).constData());
        QVERIFY(LogCapture::instance().contains(QStringLiteral("Smart Connect: Cloudflare route check: none answered")));
    }
}

void tst_CdnRouteRace::decides_data()
{
    QTest::addColumn<Plan>("plan");
    QTest::addColumn<QString>("preferred");
    QTest::addColumn<int>("deadlineMs");
    QTest::addColumn<QString>("winner");
    QTest::addColumn<int>("earliestMs"); // from start() to the decision, loose
    QTest::addColumn<int>("latestMs");

    using F = FrontPlan;
    QTest::newRow("the preferred answering wins at once")
        << Plan{{"201", F::Upgrade}, {"204", F::Upgrade, 400}} << "201" << 8000 << "201" << 0 << 900;
    QTest::newRow("the preferred answering 500 ms after another still wins")
        << Plan{{"204", F::Upgrade}, {"201", F::Upgrade, 500}} << "201" << 8000 << "201" << 400 << 2000;
    QTest::newRow("the preferred failing hands the other the win at that moment")
        << Plan{{"204", F::Upgrade}, {"201", F::Forbidden, 400}} << "201" << 8000 << "204" << 300 << 900;
    QTest::newRow("without word from the preferred the other wins a second after its answer")
        << Plan{{"204", F::Upgrade}, {"201", F::StallTls}} << "201" << 8000 << "204" << 900 << 2500;
    QTest::newRow("once the preferred failed any answer wins at once")
        << Plan{{"201", F::Forbidden}, {"204", F::Upgrade, 400}} << "201" << 8000 << "204" << 300 << 900;
    QTest::newRow("a preferred outside the race lets the first answer win a second later")
        << Plan{{"204", F::Upgrade}, {"208", F::Upgrade, 300}} << "201" << 8000 << "204" << 900 << 2500;
    QTest::newRow("a later answer does not displace the first")
        << Plan{{"204", F::Upgrade, 300}, {"208", F::Upgrade}, {"202", F::StallTls}} << "201" << 8000 << "208"
        << 900 << 2500;
    QTest::newRow("every front refusing the upgrade or failing TLS decides none at once")
        << Plan{{"201", F::Forbidden}, {"204", F::WrongName}, {"208", F::Forbidden, 200}} << "201" << 8000 << ""
        << 0 << 3000;
    QTest::newRow("the deadline decides with the first answer so far")
        << Plan{{"201", F::Absent}, {"204", F::Upgrade, 1200}} << "201" << 2000 << "204" << 1850 << 2650;
    QTest::newRow("the deadline decides none when nobody answered")
        << Plan{{"201", F::Absent}, {"204", F::StallTls}} << "201" << 2500 << "" << 2300 << 4000;
}

void tst_CdnRouteRace::decides()
{
    QFETCH(Plan, plan);
    QFETCH(QString, preferred);
    QFETCH(int, deadlineMs);
    QFETCH(QString, winner);
    QFETCH(int, earliestMs);
    QFETCH(int, latestMs);
    // Under the sanitizers each handshake takes several times as long: the
    // order of events still holds, the moment of the decision comes later.
    if (TestEnvironment::underAddressSanitizer())
        latestMs += 1000;

    const QList<CdnFront> fronts = standUp(plan);
    QCOMPARE(fronts.size(), plan.size());
    auto *race = new CdnRouteRace(fronts, preferred, deadlineMs);
    const Outcome outcome = run(race, deadlineMs + 5000);
    QVERIFY(outcome.decided);
    QCOMPARE(outcome.winner, winner);
    QCOMPARE(outcome.decisions, 1);
    QVERIFY(outcome.released);
    QVERIFY2(outcome.afterMs >= earliestMs && outcome.afterMs <= latestMs,
             QByteArray::number(outcome.afterMs).constData());
    QVERIFY(LogCapture::instance().contains(QStringLiteral("Smart Connect: Cloudflare route check: ")
                                            + (winner.isEmpty() ? QStringLiteral("none answered") : winner)));
}

void tst_CdnRouteRace::upgradeRequestIsAWebSocketHandshakeWithAFreshKey()
{
    // Both fronts on one address, told apart by their paths: two requests to read.
    QList<CdnFront> fronts = standUp({{"204", FrontPlan::Upgrade}});
    QVERIFY(!fronts.isEmpty());
    m_fronts.front()->setPathBehaviour(QStringLiteral("/ws/de-fra"), CdnFrontStandIn::Behaviour::Upgrade, 300);
    fronts.append({QStringLiteral("201"), fronts.first().address, FrontName, QStringLiteral("/ws/de-fra")});
    const Outcome outcome = run(new CdnRouteRace(fronts, QStringLiteral("201"), 8000), 5000);
    QCOMPARE(outcome.winner, QStringLiteral("201"));

    const QList<QByteArray> requests = m_fronts.front()->requests();
    QCOMPARE(requests.size(), 2);
    QStringList keys;
    for (const QByteArray &head : requests) {
        const QByteArray path = head.startsWith("GET /ws/204 ") ? "/ws/204" : "/ws/de-fra";
        const QByteArray key = head.mid(head.indexOf("Sec-WebSocket-Key: ") + 19, 24);
        QCOMPARE(head, "GET " + path + " HTTP/1.1\r\nHost: front.testapi.kelvra.test\r\nUpgrade: websocket\r\n"
                                       "Connection: Upgrade\r\nSec-WebSocket-Key: " + key
                           + "\r\nSec-WebSocket-Version: 13\r\n\r\n");
        QCOMPARE(QByteArray::fromBase64(key, QByteArray::AbortOnBase64DecodingErrors).size(), 16);
        keys.append(QString::fromLatin1(key));
    }
    QVERIFY(keys.at(0) != keys.at(1));
}

void tst_CdnRouteRace::neverConnectingFrontsAreRedialledEachSecondUntilTheDeadline()
{
    const QList<CdnFront> fronts = standUp({{"201", FrontPlan::Absent}, {"204", FrontPlan::Absent}});
    const Outcome outcome = run(new CdnRouteRace(fronts, QStringLiteral("201"), 3500), 8000);
    QVERIFY(outcome.decided);
    QCOMPARE(outcome.winner, QString());
    QVERIFY2(outcome.afterMs >= 3300, QByteArray::number(outcome.afterMs).constData());
    // One refused dial at the start and one per tick: about four each.
    for (const QString candidate : {QStringLiteral("201"), QStringLiteral("204")}) {
        const int dials = LogCapture::instance().count(QStringLiteral("Smart Connect: Cloudflare route check of ")
                                                       + candidate + QStringLiteral(" : "));
        QVERIFY2(dials >= 3 && dials <= 5, QByteArray::number(dials).constData());
    }
}

void tst_CdnRouteRace::connectedButStuckHandshakeIsRedialledAfterThreeSeconds()
{
    const QList<CdnFront> fronts = standUp({{"201", FrontPlan::StallTls}});
    const Outcome outcome = run(new CdnRouteRace(fronts, QStringLiteral("201"), 7500), 12000);
    QVERIFY(outcome.decided);
    QCOMPARE(outcome.winner, QString());
    // Dialled at 0 and again each time the dial is 3 s old: not every second.
    const int dials = m_fronts.front()->connectionCount();
    QVERIFY2(dials >= 2 && dials <= 4, QByteArray::number(dials).constData());
    QTRY_COMPARE_WITH_TIMEOUT(m_fronts.front()->openConnections(), 0, 3000);
}

void tst_CdnRouteRace::deletingTheRaceBeforeItDecidesEmitsNothing()
{
    const QList<CdnFront> fronts = standUp({{"204", FrontPlan::Upgrade}, {"201", FrontPlan::StallTls}});
    auto *race = new CdnRouteRace(fronts, QStringLiteral("201"), 3000);
    QSignalSpy decided(race, &CdnRouteRace::decided);
    QSignalSpy answered(m_fronts.front().get(), &CdnFrontStandIn::answered);
    race->start();
    // The other front has answered; the race waits for the preferred one.
    QVERIFY(answered.wait(5000));
    QVERIFY(QTest::qWaitFor([&] { return race->first() == QLatin1String("204"); }, 2000));
    delete race; // the run ended
    QTest::qWait(3500);
    QCOMPARE(decided.size(), 0);
    QVERIFY(!LogCapture::instance().contains(QStringLiteral("Smart Connect: Cloudflare route check: ")));
    for (const auto &front : m_fronts)
        QTRY_COMPARE_WITH_TIMEOUT(front->openConnections(), 0, 3000);
}

void tst_CdnRouteRace::decidingClosesEverySocket()
{
    const QList<CdnFront> fronts =
        standUp({{"201", FrontPlan::Upgrade}, {"204", FrontPlan::StallTls}, {"208", FrontPlan::Upgrade, 2000}});
    const Outcome outcome = run(new CdnRouteRace(fronts, QStringLiteral("201"), 8000), 5000);
    QCOMPARE(outcome.winner, QStringLiteral("201"));
    for (const auto &front : m_fronts)
        QTRY_COMPARE_WITH_TIMEOUT(front->openConnections(), 0, 3000);
}

int main(int argc, char *argv[])
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    tst_CdnRouteRace test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_cdnrouterace.moc"
