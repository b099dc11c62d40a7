// Latency: reading ping's output, which addresses may be pinged, the process
// pool, the real ping program inside the test network, and the measuring
// rounds of the catalogue.

#include <QProcessEnvironment>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QtTest>

#include "CatalogueFixture.h"
#include "platform/PingCommand.h"
#include "servers/AppDataFile.h"
#include "servers/Pinger.h"
#include "support/TestEnvironment.h"

using namespace fixture;

namespace {

// A stand-in for ping: the host arrives as $0.
QStringList script(const QString &body)
{
    return {QStringLiteral("-c"), body};
}

const QString kReplies = QStringLiteral(
    "case $0 in "
    "203.0.113.10) echo 'Reply from 203.0.113.10: bytes=32 time=12ms TTL=117';; "
    "203.0.113.11) echo '64 bytes from 203.0.113.11: icmp_seq=1 ttl=64 time=30.4 ms';; "
    "*) echo 'Request timed out.';; "
    "esac");

QByteArray pingCatalogue()
{
    const QJsonArray servers{
        server("A", "a", "203.0.113.10", "a", 1),
        server("B", "b", "203.0.113.11", "b", 2, {{"estimated_ping_ms", 40}}),
        server("C", "c", "203.0.113.12", "c", 3, {{"estimated_ping_ms", 55.4}}),
        server("D", "d", "203.0.113.13", "d", 4),
        server("Private", "p", "10.0.0.1", "p", 5),
        server("No address", "n", "", "n", 6, {{"estimated_ping_ms", 0}})};
    const QJsonArray pools{QJsonObject{{"config_id", "pool"}, {"name", "Pool"}, {"id", "pool"}, {"pool", true},
                                       {"ip_address", "203.0.113.13"}, {"estimated_ping_ms", 7}, {"members", QJsonArray{}}}};
    return answer(QJsonArray{category("Free", QJsonArray{country("X", "x", servers, pools)})});
}

QStringList hosts(int count)
{
    QStringList list;
    for (int i = 1; i <= count; ++i)
        list << QStringLiteral("203.0.113.%1").arg(i);
    return list;
}

QVariantMap pingOf(const ServersModel &model, const QString &name)
{
    return model.pings().value(model.serverByName(name)->serverId).toMap();
}

} // namespace

class TestPinger : public QObject
{
    Q_OBJECT

private slots:
    void init() { resetState(); }

    void parseOutput_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<int>("ms");
        QTest::newRow("windows, three replies")
            << QByteArray("Pinging 203.0.113.10 with 32 bytes of data:\r\n"
                          "Reply from 203.0.113.10: bytes=32 time=31ms TTL=117\r\n"
                          "Reply from 203.0.113.10: bytes=32 time=29ms TTL=117\r\n"
                          "Reply from 203.0.113.10: bytes=32 time=35ms TTL=117\r\n\r\n"
                          "Ping statistics for 203.0.113.10:\r\n"
                          "    Minimum = 29ms, Maximum = 35ms, Average = 31ms\r\n")
            << 29;
        QTest::newRow("windows, under a millisecond")
            << QByteArray("Reply from 203.0.113.10: bytes=32 time<1ms TTL=128\r\n") << 1;
        QTest::newRow("windows, german") << QByteArray("Antwort von 203.0.113.10: Bytes=32 Zeit=12ms TTL=117\r\n") << 12;
        QTest::newRow("windows, french, spaced unit")
            << QByteArray("Réponse de 203.0.113.10 : octets=32 temps=14 ms TTL=117\r\n") << 14;
        QTest::newRow("windows, lower-case ttl") << QByteArray("bytes=32 time=8ms ttl=64") << 8;
        QTest::newRow("windows, timeouts") << QByteArray("Request timed out.\r\nRequest timed out.\r\n") << -1;
        QTest::newRow("linux, three replies")
            << QByteArray("PING 203.0.113.10 (203.0.113.10) 56(84) bytes of data.\n"
                          "64 bytes from 203.0.113.10: icmp_seq=1 ttl=64 time=12.6 ms\n"
                          "64 bytes from 203.0.113.10: icmp_seq=2 ttl=64 time=12.3 ms\n"
                          "64 bytes from 203.0.113.10: icmp_seq=3 ttl=64 time=14.0 ms\n\n"
                          "--- 203.0.113.10 ping statistics ---\n"
                          "3 packets transmitted, 3 received, 0% packet loss, time 2003ms\n"
                          "rtt min/avg/max/mdev = 12.3/12.9/14.0/0.7 ms\n")
            << 12;
        QTest::newRow("linux, loopback fast") << QByteArray("64 bytes from 203.0.113.10: icmp_seq=1 ttl=64 time=0.045 ms\n")
                                              << 1;
        QTest::newRow("linux, under a millisecond")
            << QByteArray("64 bytes from 203.0.113.10: icmp_seq=1 ttl=64 time<1 ms\n") << 1;
        QTest::newRow("linux, rounded up") << QByteArray("icmp_seq=1 ttl=50 time=29.5 ms\n") << 30;
        QTest::newRow("linux, no reply")
            << QByteArray("PING 203.0.113.10 (203.0.113.10) 56(84) bytes of data.\n\n"
                          "--- 203.0.113.10 ping statistics ---\n3 packets transmitted, 0 received, 100% packet loss, "
                          "time 2030ms\n")
            << -1;
        QTest::newRow("linux, busybox") << QByteArray("64 bytes from 203.0.113.10: seq=0 ttl=64 time=17.250 ms\n")
                                        << 17;
        // Lines in a form the parser does not know never give a time: the
        // sequence number before "ttl=" is no latency.
        QTest::newRow("linux, german")
            << QByteArray("64 Bytes von 203.0.113.10: icmp_seq=1 ttl=64 Zeit=12,3 ms\n"
                          "64 Bytes von 203.0.113.10: icmp_seq=2 ttl=64 Zeit=14,1 ms\n")
            << -1;
        QTest::newRow("linux, japanese")
            << QByteArray("64 \xe3\x83\x90\xe3\x82\xa4\xe3\x83\x88\xe5\xbf\x9c\xe7\xad\x94 203.0.113.10: "
                          "icmp_seq=1 ttl=64 \xe6\x99\x82\xe9\x96\x93=12.3\xe3\x83\x9f\xe3\x83\xaa\xe7\xa7\x92\n")
            << -1;
        QTest::newRow("linux, sequence before ttl only") << QByteArray("icmp_seq=3 ttl=64\n") << -1;
        QTest::newRow("unreachable") << QByteArray("ping: connect: Network is unreachable\n") << -1;
        QTest::newRow("empty") << QByteArray() << -1;
        QTest::newRow("binary") << QByteArray("\xff\x00time=\xfe TTL=", 13) << -1;
        QTest::newRow("absurd") << QByteArray("time=99999999999999999999ms TTL=1") << 1000000;
    }

    void parseOutput()
    {
        QFETCH(QByteArray, output);
        QFETCH(int, ms);
        QCOMPARE(Pinger::parseOutput(output), ms);
    }

    void pingable_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("pingable");
        QTest::newRow("public") << "203.0.113.10" << true;
        QTest::newRow("10/8") << "10.1.2.3" << false;
        QTest::newRow("172.16/12") << "172.31.255.1" << false;
        QTest::newRow("172.32") << "172.32.0.1" << true;
        QTest::newRow("192.168/16") << "192.168.1.1" << false;
        QTest::newRow("loopback") << "127.0.0.1" << false;
        QTest::newRow("link-local") << "169.254.1.1" << false;
        QTest::newRow("ipv6 loopback") << "::1" << false;
        QTest::newRow("ipv6") << "2001:db8::1" << false;
        QTest::newRow("mapped ipv6") << "::ffff:203.0.113.10" << false;
        QTest::newRow("name") << "host.example" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("unspecified") << "0.0.0.0" << false;
        QTest::newRow("multicast") << "224.0.0.1" << false;
        QTest::newRow("broadcast") << "255.255.255.255" << false;
        QTest::newRow("option") << "-f" << false;
    }

    void pingable()
    {
        QFETCH(QString, host);
        QFETCH(bool, pingable);
        QCOMPARE(Pinger::isPingable(host), pingable);
    }

    void platformCommand()
    {
        QCOMPARE(PingCommand::program(), QStringLiteral("ping"));
        const QStringList arguments = PingCommand::arguments(QStringLiteral("203.0.113.10"));
        QCOMPARE(arguments.last(), QStringLiteral("203.0.113.10"));
#ifdef Q_OS_WIN
        QCOMPARE(arguments, (QStringList{"-n", "3", "-w", "1000", "203.0.113.10"}));
#else
        QVERIFY(arguments.contains(QStringLiteral("-n")));  // no name lookups
        QCOMPARE(arguments.at(arguments.indexOf("-c") + 1), QStringLiteral("3"));
        QCOMPARE(arguments.at(arguments.indexOf("-W") + 1), QStringLiteral("1"));
        // Untranslated output: the form the parser reads.
        const QProcessEnvironment environment = PingCommand::environment();
        QCOMPARE(environment.value(QStringLiteral("LC_ALL")), QStringLiteral("C"));
        QCOMPARE(environment.value(QStringLiteral("LANG")), QStringLiteral("C"));
        QVERIFY(environment.contains(QStringLiteral("PATH")));
#endif
    }

    // On a system set to another language ping is still read in the form it
    // writes in the C locale.
    void pingRunsUntranslated()
    {
#ifdef Q_OS_WIN
        QSKIP("Windows ping output is read in any language");
#else
        const QByteArray names[] = {"LC_ALL", "LANG", "LANGUAGE"};
        QList<QByteArray> saved;
        for (const QByteArray &name : names)
            saved << qgetenv(name.constData());
        auto restore = qScopeGuard([&] {
            for (int i = 0; i < 3; ++i) {
                if (saved.at(i).isNull())
                    qunsetenv(names[i].constData());
                else
                    qputenv(names[i].constData(), saved.at(i));
            }
        });
        qputenv("LC_ALL", "de_DE.UTF-8");
        qputenv("LANG", "de_DE.UTF-8");
        qputenv("LANGUAGE", "de");

        Pinger pinger;
        pinger.setCommandForTesting(
            QStringLiteral("sh"),
            script(QStringLiteral("if [ \"$LC_ALL\" = C ] && [ \"$LANG\" = C ]; "
                                  "then echo \"64 bytes from $0: icmp_seq=1 ttl=64 time=23.4 ms\"; "
                                  "else echo \"64 Bytes von $0: icmp_seq=1 ttl=64 Zeit=23,4 ms\"; fi")));
        QSignalSpy results(&pinger, &Pinger::result);
        pinger.measure({QStringLiteral("203.0.113.10")});
        QVERIFY(results.wait(10000));
        QCOMPARE(results.first().at(1).toInt(), 23);
#endif
    }

    void poolOfProcesses()
    {
        Pinger pinger;
        pinger.setCommandForTesting(QStringLiteral("sh"), script(QStringLiteral("sleep 0.3; echo 'time=5ms TTL=1'")));
        QSignalSpy results(&pinger, &Pinger::result);
        QSignalSpy idle(&pinger, &Pinger::idle);
        pinger.measure(hosts(12) + QStringList{"203.0.113.1", "10.0.0.1", "::1", "bogus"});
        // Nothing starts while the caller still runs: the processes start on
        // later turns of the event loop.
        QCOMPARE(pinger.running(), 0);
        QCOMPARE(pinger.queued().size(), 12);
        QTRY_COMPARE(pinger.running(), Pinger::kMaxProcesses);
        QCOMPARE(pinger.queued().size(), 4);
        // Hosts already queued are not queued twice.
        pinger.measure({QStringLiteral("203.0.113.12")});
        QCOMPARE(pinger.queued().size(), 4);
        QVERIFY(idle.wait(10000));
        QCOMPARE(results.count(), 12);
        QCOMPARE(idle.count(), 1);
        QSet<QString> seen;
        for (const QList<QVariant> &result : std::as_const(results)) {
            seen.insert(result.at(0).toString());
            QCOMPARE(result.at(1).toInt(), 5);
        }
        QCOMPARE(seen.size(), 12);
        QCOMPARE(pinger.running(), 0);
    }

    void queueForgetsHostsItHandedOut()
    {
        Pinger pinger;
        pinger.setCommandForTesting(QStringLiteral("sh"), script(QStringLiteral("sleep 0.3; echo 'time=5ms TTL=1'")));
        QSignalSpy idle(&pinger, &Pinger::idle);
        // Duplicates within one call are queued once.
        pinger.measure(hosts(10) + hosts(10));
        QCOMPARE(pinger.queued().size(), 10);
        QTRY_COMPARE(pinger.running(), Pinger::kMaxProcesses);
        QCOMPARE(pinger.queued(), (QStringList{"203.0.113.9", "203.0.113.10"}));
        // A host already running is no longer queued, so it may be queued again.
        pinger.measure({QStringLiteral("203.0.113.1")});
        QCOMPARE(pinger.queued(), (QStringList{"203.0.113.9", "203.0.113.10", "203.0.113.1"}));
        // A cleared queue takes its hosts again.
        pinger.clearQueue();
        pinger.measure({QStringLiteral("203.0.113.10"), QStringLiteral("203.0.113.10")});
        QCOMPARE(pinger.queued(), QStringList{"203.0.113.10"});
        QVERIFY(idle.wait(10000));
    }

    void clearingTheQueueLetsRunningProcessesEnd()
    {
        Pinger pinger;
        pinger.setCommandForTesting(QStringLiteral("sh"), script(QStringLiteral("sleep 0.3; echo 'time=5ms TTL=1'")));
        QSignalSpy results(&pinger, &Pinger::result);
        QSignalSpy idle(&pinger, &Pinger::idle);
        pinger.measure(hosts(12));
        QTRY_COMPARE(pinger.running(), Pinger::kMaxProcesses);
        pinger.clearQueue();
        QVERIFY(idle.wait(10000));
        QCOMPARE(results.count(), Pinger::kMaxProcesses);
    }

    void clearingTheQueueBeforeAnyStartEndsTheRound()
    {
        Pinger pinger;
        pinger.setCommandForTesting(QStringLiteral("sh"), script(QStringLiteral("echo 'time=5ms TTL=1'")));
        QSignalSpy results(&pinger, &Pinger::result);
        QSignalSpy idle(&pinger, &Pinger::idle);
        pinger.measure(hosts(3));
        pinger.clearQueue();
        QCOMPARE(idle.count(), 0);
        QVERIFY(idle.wait(1000));
        QVERIFY(!idle.wait(300));
        QCOMPARE(results.count(), 0);
        QCOMPARE(pinger.running(), 0);
    }

    void missingProgram()
    {
        Pinger pinger;
        pinger.setCommandForTesting(QStringLiteral("/nonexistent/ping"), {});
        QSignalSpy results(&pinger, &Pinger::result);
        QSignalSpy idle(&pinger, &Pinger::idle);
        pinger.measure({QStringLiteral("203.0.113.10"), QStringLiteral("203.0.113.11")});
        QVERIFY(idle.count() == 1 || idle.wait(5000));
        QCOMPARE(results.count(), 2);
        QCOMPARE(results.at(0).at(1).toInt(), -1);
        QCOMPARE(pinger.running(), 0);
    }

    void hangingPingIsKilled()
    {
        Pinger pinger;
        pinger.setCommandForTesting(QStringLiteral("sh"), script(QStringLiteral("echo 'time=7ms TTL=5'; exec sleep 60")));
        QSignalSpy results(&pinger, &Pinger::result);
        QElapsedTimer timer;
        timer.start();
        pinger.measure({QStringLiteral("203.0.113.10")});
        QVERIFY(results.wait(20000));
        QVERIFY2(timer.elapsed() >= Pinger::kKillAfterMs - 100, qPrintable(QString::number(timer.elapsed())));
        // The partial output still counts.
        QCOMPARE(results.first().at(1).toInt(), 7);
    }

    void realPingInTheTestNetwork()
    {
        if (!TestEnvironment::inPrivateNetwork())
            QSKIP("Needs the private test network (scripts/netns.sh)");
        Pinger pinger;
        QSignalSpy results(&pinger, &Pinger::result);
        pinger.measure({QStringLiteral("203.0.113.10")});
        QVERIFY(results.wait(15000));
        QCOMPARE(results.first().at(0).toString(), QStringLiteral("203.0.113.10"));
        const int ms = results.first().at(1).toInt();
        QVERIFY2(ms >= 1 && ms < 1000, qPrintable(QString::number(ms)));
    }

    void measuringRounds()
    {
        Rig rig;
        rig.model->pingerForTesting()->setCommandForTesting(QStringLiteral("sh"), script(kReplies));
        QSignalSpy changed(rig.model.get(), &ServersModel::pingsChanged);
        rig.model->parseResponse(pingCatalogue(), 200);  // measures at once
        QTRY_COMPARE_WITH_TIMEOUT(pingOf(*rig.model, "A").value("ms").toInt(), 12, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(pingOf(*rig.model, "B").value("ms").toInt(), 30, 10000);
        QCOMPARE(pingOf(*rig.model, "A").value("estimated").toBool(), false);
        QTRY_VERIFY(changed.count() >= 1);
        // A failed measurement shows the API's estimate, marked as such.
        QTRY_COMPARE(rig.model->pingerForTesting()->running(), 0);
        QCOMPARE(pingOf(*rig.model, "C"), (QVariantMap{{"ms", 55}, {"estimated", true}}));
        QVERIFY(pingOf(*rig.model, "D").isEmpty());
        QCOMPARE(pingOf(*rig.model, "Pool"), (QVariantMap{{"ms", 7}, {"estimated", true}}));
        QCOMPARE(pingOf(*rig.model, "No address"), (QVariantMap{{"ms", 0}, {"estimated", true}}));
        QVERIFY(pingOf(*rig.model, "Private").isEmpty());

        // Within five minutes a second call measures nothing.
        QSignalSpy results(rig.model->pingerForTesting(), &Pinger::result);
        rig.model->measurePings();
        QTest::qWait(200);
        QCOMPARE(results.count(), 0);
    }

    void roundWithoutAnswersCanBeRepeated()
    {
        Rig rig;
        rig.model->pingerForTesting()->setCommandForTesting(QStringLiteral("sh"), script(QStringLiteral("exit 1")));
        QSignalSpy idle(rig.model->pingerForTesting(), &Pinger::idle);
        rig.model->parseResponse(pingCatalogue(), 200);
        QVERIFY(idle.wait(10000));
        QSignalSpy results(rig.model->pingerForTesting(), &Pinger::result);
        rig.model->measurePings();
        QTRY_COMPARE_WITH_TIMEOUT(results.count(), 4, 10000);  // A to D; never the pool or private address
        QStringList measured;
        for (const QList<QVariant> &result : std::as_const(results))
            measured << result.at(0).toString();
        measured.sort();
        QCOMPARE(measured, (QStringList{"203.0.113.10", "203.0.113.11", "203.0.113.12", "203.0.113.13"}));
    }

    void failureKeepsAnEarlierValue()
    {
        Rig rig;
        rig.model->pingerForTesting()->setCommandForTesting(QStringLiteral("sh"), script(kReplies));
        rig.model->parseResponse(pingCatalogue(), 200);
        QTRY_COMPARE_WITH_TIMEOUT(pingOf(*rig.model, "A").value("ms").toInt(), 12, 10000);
        QTRY_COMPARE(rig.model->pingerForTesting()->running(), 0);
        // A later result for the same host that failed, or read as 0, changes nothing.
        emit rig.model->pingerForTesting()->result(QStringLiteral("203.0.113.10"), -1);
        emit rig.model->pingerForTesting()->result(QStringLiteral("203.0.113.10"), 0);
        QCOMPARE(pingOf(*rig.model, "A").value("ms").toInt(), 12);
        emit rig.model->pingerForTesting()->result(QStringLiteral("203.0.113.10"), 20);
        QCOMPARE(pingOf(*rig.model, "A").value("ms").toInt(), 20);
    }

    void resultTouchesOnlyTheServersOfItsAddress()
    {
        Rig rig;
        const QJsonArray servers{server("A", "a", "203.0.113.10", "a", 1),
                                 server("A twin", "a", "203.0.113.10", "a2", 2, {{"estimated_ping_ms", 9}}),
                                 server("B", "b", "203.0.113.11", "b", 3, {{"estimated_ping_ms", 40}})};
        rig.hooks.vpnHasDriver = [] { return true; };  // no round of its own
        rig.apply();
        rig.model->parseResponse(answer(QJsonArray{category("Free", QJsonArray{country("X", "x", servers)})}), 200);
        rig.hooks.vpnHasDriver = {};
        rig.apply();
        QTRY_VERIFY(!rig.model->pings().isEmpty());
        QSignalSpy changed(rig.model.get(), &ServersModel::pingsChanged);
        const QVariantMap before = rig.model->pings();

        Pinger *pinger = rig.model->pingerForTesting();
        emit pinger->result(QStringLiteral("203.0.113.10"), 12);
        QCOMPARE(pingOf(*rig.model, "A"), (QVariantMap{{"ms", 12}, {"estimated", false}}));
        QCOMPARE(pingOf(*rig.model, "A twin"), (QVariantMap{{"ms", 12}, {"estimated", false}}));
        QCOMPARE(pingOf(*rig.model, "B"), before.value(rig.model->serverByName("B")->serverId).toMap());
        QVERIFY(changed.wait(1000));
        // The same value again changes nothing and announces nothing.
        emit pinger->result(QStringLiteral("203.0.113.10"), 12);
        QVERIFY(!changed.wait(300));
        // An address of no server leaves the map as it was.
        const QVariantMap after = rig.model->pings();
        emit pinger->result(QStringLiteral("203.0.113.99"), 5);
        QCOMPARE(rig.model->pings(), after);
        QVERIFY(!changed.wait(300));
    }

    void resultsAfterTheTunnelCameUpAreIgnored()
    {
        Rig rig;
        rig.model->pingerForTesting()->setCommandForTesting(QStringLiteral("sh"),
                                                            script(QStringLiteral("sleep 0.5; ") + kReplies));
        QSignalSpy idle(rig.model->pingerForTesting(), &Pinger::idle);
        rig.model->parseResponse(pingCatalogue(), 200);
        QTRY_COMPARE(rig.model->pingerForTesting()->running(), 4);
        rig.model->onVpnStateChanged(VpnProtocol::Connecting);
        QVERIFY(idle.wait(10000));
        QCOMPARE(pingOf(*rig.model, "A"), QVariantMap());
        QCOMPARE(pingOf(*rig.model, "B"), (QVariantMap{{"ms", 40}, {"estimated", true}}));

        // With a tunnel up nothing is measured at all.
        rig.hooks.vpnHasDriver = [] { return true; };
        rig.apply();
        rig.model->measurePings();
        QCOMPARE(rig.model->pingerForTesting()->running(), 0);
    }

    void measuringWaitsForTheStateToSettle()
    {
        Rig rig;
        rig.model->setDelayDivisorForTesting(20);
        rig.model->pingerForTesting()->setCommandForTesting(QStringLiteral("sh"), script(kReplies));
        rig.model->onVpnStateChanged(VpnProtocol::Disconnected);
        QSignalSpy results(rig.model->pingerForTesting(), &Pinger::result);
        rig.model->parseResponse(pingCatalogue(), 200);
        QCOMPARE(rig.model->pingerForTesting()->running(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(results.count(), 4, 10000);
    }
};

int main(int argc, char *argv[])
{
    return fixture::runTests<TestPinger>(argc, argv);
}

#include "tst_pinger.moc"
