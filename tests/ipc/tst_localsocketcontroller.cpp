#include <QJsonArray>
#include <QSignalSpy>
#include <QtTest>

#include "ipc/LinkClock.h"
#include "ipc/LocalSocketController.h"
#include "ipc/ServiceFixtures.h"
#include "support/TestEnvironment.h"

namespace {
QJsonObject status(const QJsonObject &extra = {})
{
    QJsonObject message { { QStringLiteral("type"), QStringLiteral("status") } };
    for (auto it = extra.begin(); it != extra.end(); ++it)
        message.insert(it.key(), it.value());
    return message;
}

QJsonObject typed(const char *type)
{
    return QJsonObject { { QStringLiteral("type"), QLatin1String(type) } };
}

QJsonObject wireguardConfig(const QJsonObject &protocolObject, const QJsonObject &top = {})
{
    QJsonObject config { { QStringLiteral("protocol"), QStringLiteral("wireguard") },
                         { QStringLiteral("wireguard_config_data"), protocolObject } };
    for (auto it = top.begin(); it != top.end(); ++it)
        config.insert(it.key(), it.value());
    return config;
}
} // namespace

class TstLocalSocketController : public QObject
{
    Q_OBJECT
private:
    // A controller linked to a fresh daemon, the first "status" answered.
    struct Linked
    {
        FakeDaemon daemon;
        LocalSocketController controller;
    };

    static void link(Linked &l)
    {
        l.controller.initialize();
        QTRY_COMPARE(l.daemon.received.size(), 1);
        QCOMPARE(l.daemon.types(), QStringList { QStringLiteral("status") });
        QCOMPARE(l.controller.linkState(), LocalSocketController::AwaitingStatus);
        l.daemon.sendJson(status());
        QTRY_COMPARE(l.controller.linkState(), LocalSocketController::Ready);
    }

    // Waits until the controller has read everything sent so far: a message
    // of a type it does not know is only logged, after all earlier lines.
    static void sync(Linked &l, LogCapture &log)
    {
        static int n = 0;
        const QString type = QStringLiteral("sync-%1").arg(++n);
        l.daemon.sendJson({ { QStringLiteral("type"), type } });
        QTRY_VERIFY(log.contains(type));
    }

    static void bringUp(Linked &l)
    {
        link(l);
        QSignalSpy connected(&l.controller, &LocalSocketController::connected);
        l.daemon.sendJson(typed("connected"));
        QTRY_COMPARE(connected.size(), 1);
        QVERIFY(l.controller.isTunnelUp());
    }

private slots:
    void init() { trustThisProcessAsService(); }

    void activateMessage_data()
    {
        QTest::addColumn<QJsonObject>("config");
        QTest::addColumn<QJsonObject>("expected");

        const QJsonArray allowed { QStringLiteral("0.0.0.0/0"), QStringLiteral("::/0") };
        const QJsonObject wg {
            { QStringLiteral("client_private_key"), QStringLiteral("cHJpdmF0ZQ==") },
            { QStringLiteral("server_pub_key"), QStringLiteral("cHVibGlj") },
            { QStringLiteral("client_ip"), QStringLiteral("10.8.0.2/32") },
            { QStringLiteral("hostName"), QStringLiteral("203.0.113.10") },
            { QStringLiteral("port"), 51820 },
            { QStringLiteral("dns"), QStringLiteral("10.8.0.1") },
            { QStringLiteral("dns_list"), QJsonArray { QStringLiteral("10.8.0.1"), QStringLiteral("10.8.0.2") } },
            { QStringLiteral("allowed_ips"), allowed },
            { QStringLiteral("mtu"), 1380 },
        };
        const QJsonObject top { { QStringLiteral("killswitch"), true },
                                { QStringLiteral("adBlock"), true },
                                { QStringLiteral("dnsLeakProtection"), true } };
        const QJsonObject wgMessage {
            { QStringLiteral("type"), QStringLiteral("activate") },
            { QStringLiteral("privateKey"), QStringLiteral("cHJpdmF0ZQ==") },
            { QStringLiteral("deviceIpv4Address"), QStringLiteral("10.8.0.2/32") },
            { QStringLiteral("deviceIpv6Address"), QStringLiteral("fd58:baa6:dead::1") },
            { QStringLiteral("serverPublicKey"), QStringLiteral("cHVibGlj") },
            { QStringLiteral("serverIpv4AddrIn"), QStringLiteral("203.0.113.10") },
            { QStringLiteral("serverIpv4Gateway"), QStringLiteral("203.0.113.10") },
            { QStringLiteral("serverPort"), 51820 },
            { QStringLiteral("dnsServer"), QStringLiteral("10.8.0.1") },
            { QStringLiteral("dnsServers"), QJsonArray { QStringLiteral("10.8.0.1"), QStringLiteral("10.8.0.2") } },
            { QStringLiteral("killswitch"), true },
            { QStringLiteral("adBlock"), true },
            { QStringLiteral("mtu"), 1380 },
            { QStringLiteral("dnsLeakProtection"), true },
            { QStringLiteral("allowedIPAddressRanges"), allowed },
            { QStringLiteral("excludedAddresses"), QJsonArray { QStringLiteral("203.0.113.10") } },
        };
        QTest::newRow("WireGuard") << wireguardConfig(wg, top) << wgMessage;

        QJsonObject awg = wg;
        const QJsonObject awgParams { { QStringLiteral("Jc"), 4 }, { QStringLiteral("H1"), 1234567 } };
        awg.insert(QStringLiteral("awg"), awgParams);
        QJsonObject awgMessage = wgMessage;
        awgMessage.insert(QStringLiteral("awg"), awgParams);
        QTest::newRow("AmneziaWG") << wireguardConfig(awg, top) << awgMessage;

        const QJsonObject stealth {
            { QStringLiteral("vless"), QStringLiteral("vless://id@203.0.113.11:443?security=reality#x") },
            { QStringLiteral("hostName"), QStringLiteral("203.0.113.11") },
            { QStringLiteral("port"), 443 },
            { QStringLiteral("dns"), QStringLiteral("8.8.8.8") },
            { QStringLiteral("client_ip"), QStringLiteral("169.254.10.2/30") },
            { QStringLiteral("allowed_ips"), allowed },
        };
        // Absent top-level switches: no ad blocking, leak protection on, no kill switch key.
        const QJsonObject stealthMessage {
            { QStringLiteral("type"), QStringLiteral("activate") },
            { QStringLiteral("vless"), QStringLiteral("vless://id@203.0.113.11:443?security=reality#x") },
            { QStringLiteral("deviceIpv4Address"), QStringLiteral("169.254.10.2/30") },
            { QStringLiteral("deviceIpv6Address"), QStringLiteral("fd58:baa6:dead::1") },
            { QStringLiteral("serverIpv4AddrIn"), QStringLiteral("203.0.113.11") },
            { QStringLiteral("serverIpv4Gateway"), QStringLiteral("203.0.113.11") },
            { QStringLiteral("serverPort"), 443 },
            { QStringLiteral("dnsServer"), QStringLiteral("8.8.8.8") },
            { QStringLiteral("adBlock"), false },
            { QStringLiteral("dnsLeakProtection"), true },
            { QStringLiteral("allowedIPAddressRanges"), allowed },
            { QStringLiteral("excludedAddresses"), QJsonArray { QStringLiteral("203.0.113.11") } },
        };
        QTest::newRow("Stealth") << wireguardConfig(stealth) << stealthMessage;

        QJsonObject hysteria = stealth;
        hysteria.insert(QStringLiteral("vless"), QStringLiteral("hysteria2://secret@203.0.113.11:443/"));
        QJsonObject hysteriaMessage = stealthMessage;
        hysteriaMessage.insert(QStringLiteral("vless"), QStringLiteral("hysteria2://secret@203.0.113.11:443/"));
        // Leak protection off: the IPv6 ranges are left out.
        hysteriaMessage.insert(QStringLiteral("dnsLeakProtection"), false);
        hysteriaMessage.insert(QStringLiteral("killswitch"), false);
        hysteriaMessage.insert(QStringLiteral("allowedIPAddressRanges"), QJsonArray { QStringLiteral("0.0.0.0/0") });
        QTest::newRow("Hysteria2, leak protection off")
            << wireguardConfig(hysteria, { { QStringLiteral("dnsLeakProtection"), false },
                                           { QStringLiteral("killswitch"), false } })
            << hysteriaMessage;

        // A Stealth configuration without a link goes as a WireGuard one.
        QJsonObject noLink = wg;
        noLink.remove(QStringLiteral("dns_list"));
        noLink.remove(QStringLiteral("mtu"));
        QJsonObject noLinkMessage = wgMessage;
        noLinkMessage.remove(QStringLiteral("dnsServers"));
        noLinkMessage.remove(QStringLiteral("mtu"));
        noLinkMessage.remove(QStringLiteral("killswitch"));
        noLinkMessage.insert(QStringLiteral("adBlock"), false);
        QTest::newRow("Stealth without vless") << wireguardConfig(noLink) << noLinkMessage;
    }

    void activateMessage()
    {
        QFETCH(QJsonObject, config);
        QFETCH(QJsonObject, expected);
        QCOMPARE(LocalSocketController::activateMessage(config), expected);
    }

    void activateReachesTheDaemon()
    {
        Linked l;
        link(l);
        const QJsonObject config = wireguardConfig({ { QStringLiteral("hostName"), QStringLiteral("203.0.113.10") } });
        l.controller.activate(config);
        QTRY_COMPARE(l.daemon.received.size(), 2);
        QCOMPARE(l.daemon.received.last(), LocalSocketController::activateMessage(config));
        QVERIFY(l.daemon.raw.endsWith("}\n"));
    }

    void apiFetchMessage_data()
    {
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("path");
        QTest::newRow("query") << QUrl(QStringLiteral("https://api.example.test/v1/servers?a=1&b=%C3%A9"))
                               << "api.example.test"
                               << "/v1/servers?a=1&b=%C3%A9";
        QTest::newRow("no query") << QUrl(QStringLiteral("https://api.example.test/v1/user/me"))
                                  << "api.example.test"
                                  << "/v1/user/me?";
        QTest::newRow("encoded path") << QUrl(QStringLiteral("https://api.example.test/v1/a%20b"))
                                      << "api.example.test"
                                      << "/v1/a%20b?";
    }

    void apiFetchMessage()
    {
        QFETCH(QUrl, url);
        QFETCH(QString, host);
        QFETCH(QString, path);
        const QJsonObject message = LocalSocketController::apiFetchMessage(url, QStringLiteral("tok"));
        QCOMPARE(message.value(QLatin1String("type")).toString(), QStringLiteral("apiFetch"));
        QCOMPARE(message.value(QLatin1String("host")).toString(), host);
        QCOMPARE(message.value(QLatin1String("path")).toString(), path);
        QCOMPARE(message.value(QLatin1String("token")).toString(), QStringLiteral("tok"));
    }

    void lineSplitAcrossReads()
    {
        Linked l;
        bringUp(l);
        QSignalSpy errors(&l.controller, &LocalSocketController::daemonErrorOccurred);
        l.daemon.send("{\"type\":\"er");
        QTest::qWait(50);
        QCOMPARE(errors.size(), 0);
        l.daemon.send("ror\",\"error\":400}\n");
        QTRY_COMPARE(errors.size(), 1);
        QCOMPARE(errors.at(0).at(0).value<VpnProtocol::Errors>(), VpnProtocol::ConnectionFailed);
    }

    void errorDeDuplication()
    {
        Linked l;
        bringUp(l);
        LogCapture log;
        QSignalSpy errors(&l.controller, &LocalSocketController::daemonErrorOccurred);
        const QJsonObject e400 { { QStringLiteral("type"), QStringLiteral("error") }, { QStringLiteral("error"), 400 } };
        const QJsonObject e777 { { QStringLiteral("type"), QStringLiteral("error") }, { QStringLiteral("error"), 777 } };
        l.daemon.sendJson(e400);
        l.daemon.sendJson(e400);
        QTRY_COMPARE(errors.size(), 1);
        l.daemon.sendJson(e777); // another code: at once, and passed on unchanged
        QTRY_COMPARE(errors.size(), 2);
        QCOMPARE(int(errors.at(1).at(0).value<VpnProtocol::Errors>()), 777);
        l.daemon.sendJson(e777);
        LinkClock::advanceForTesting(3000);
        l.daemon.sendJson(e777); // the same code 3 s later counts again
        QTRY_COMPARE(errors.size(), 3);
        QCOMPARE(log.count(QStringLiteral("Daemon error:")), 3);
        QVERIFY(log.contains(QStringLiteral("Parsing command:")));
    }

    void badInput_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("not JSON") << QByteArray("hello there\n") << "Invalid response from daemon, no object";
        QTest::newRow("array") << QByteArray("[1,2,3]\n") << "Invalid response from daemon, no object";
        QTest::newRow("truncated") << QByteArray("{\"type\":\"connected\"\n") << "Invalid response from daemon, no object";
        QTest::newRow("no type") << QByteArray("{\"error\":400}\n") << "Invalid response from daemon, no type";
        QTest::newRow("type not a string") << QByteArray("{\"type\":7}\n") << "Invalid response from daemon, no type";
        QTest::newRow("rx not a number") << QByteArray("{\"type\":\"status\",\"rxBytes\":\"12\",\"txBytes\":3}\n")
                                         << "Invalid RX/TX bytes - double expected";
        QTest::newRow("rx negative") << QByteArray("{\"type\":\"status\",\"rxBytes\":-5,\"txBytes\":3}\n")
                                     << "Invalid RX/TX bytes - double expected";
        QTest::newRow("rx beyond 64 bits") << QByteArray("{\"type\":\"status\",\"rxBytes\":1e300,\"txBytes\":3}\n")
                                           << "Invalid RX/TX bytes - double expected";
        QTest::newRow("error code a string") << QByteArray("{\"type\":\"error\",\"error\":\"400\"}\n")
                                             << "Daemon error without a valid code: ignored";
        QTest::newRow("error code out of range") << QByteArray("{\"type\":\"error\",\"error\":1e20}\n")
                                                 << "Daemon error without a valid code: ignored";
        QTest::newRow("error code fractional") << QByteArray("{\"type\":\"error\",\"error\":4.5}\n")
                                               << "Daemon error without a valid code: ignored";
        QTest::newRow("megabytes without a line feed")
            << QByteArray(3 * 1024 * 1024, 'x') + "\n" << "line too long: dropped";
        QTest::newRow("unknown type") << QByteArray("{\"type\":\"surprise\",\"connected\":false}\n") << "Parsing command:";
    }

    // Nothing the daemon sends takes the controller down or changes what the
    // line does not name; a good line after it is read as usual.
    void badInput()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, logLine);
        Linked l;
        bringUp(l);
        LogCapture log;
        QSignalSpy errors(&l.controller, &LocalSocketController::daemonErrorOccurred);
        QSignalSpy stalled(&l.controller, &LocalSocketController::tunnelStalled);
        QSignalSpy down(&l.controller, &LocalSocketController::disconnected);
        QSignalSpy rates(&l.controller, &LocalSocketController::bytesChanged);

        // Sent in pieces, as a pipe may deliver them.
        for (qsizetype at = 0; at < bytes.size(); at += 256 * 1024)
            l.daemon.send(bytes.mid(at, 256 * 1024));
        l.daemon.sendJson({ { QStringLiteral("type"), QStringLiteral("error") }, { QStringLiteral("error"), 400 } });
        QTRY_COMPARE_WITH_TIMEOUT(errors.size(), 1, 20000);
        QCOMPARE(int(errors.at(0).at(0).value<VpnProtocol::Errors>()), 400);
        QVERIFY2(log.contains(logLine), qPrintable(log.all().left(2000)));
        QVERIFY(l.controller.isTunnelUp());
        QCOMPARE(l.controller.linkState(), LocalSocketController::Ready);
        QCOMPARE(stalled.size(), 0);
        QCOMPARE(down.size(), 0);
        QCOMPARE(rates.size(), 0);
    }

    void throughput()
    {
        Linked l;
        bringUp(l);
        LogCapture log;
        QSignalSpy rates(&l.controller, &LocalSocketController::bytesChanged);
        auto counters = [](double rx, double tx) {
            return status({ { QStringLiteral("rxBytes"), rx }, { QStringLiteral("txBytes"), tx },
                            { QStringLiteral("handshakeAge"), 5 } });
        };
        l.daemon.sendJson(counters(1000000, 500000));
        sync(l, log);
        LinkClock::advanceForTesting(1000);
        l.daemon.sendJson(counters(2000000, 750000));
        QTRY_COMPARE(rates.size(), 1);
        // 1,000,000 bytes in a little over a second: just under 8 Mbit/s.
        const double download = rates.at(0).at(0).toDouble();
        const double upload = rates.at(0).at(1).toDouble();
        QVERIFY2(download > 7.5 && download <= 8.0, qPrintable(QString::number(download)));
        QVERIFY2(upload > 1.85 && upload <= 2.0, qPrintable(QString::number(upload)));

        // Counters that go down give 0, not a negative or huge rate.
        LinkClock::advanceForTesting(1000);
        l.daemon.sendJson(counters(10, 10));
        QTRY_COMPARE(rates.size(), 2);
        QCOMPARE(rates.at(1).at(0).toDouble(), 0.0);
        QCOMPARE(rates.at(1).at(1).toDouble(), 0.0);

        // A gap over 10 s gives no rate, only a new baseline.
        LinkClock::advanceForTesting(11000);
        l.daemon.sendJson(counters(5000000, 5000000));
        sync(l, log);
        QCOMPARE(rates.size(), 2);
        LinkClock::advanceForTesting(1000);
        l.daemon.sendJson(counters(5125000, 5000000));
        QTRY_COMPARE(rates.size(), 3);
        QVERIFY(rates.at(2).at(0).toDouble() > 0.9 && rates.at(2).at(0).toDouble() <= 1.0);
    }

    void healthVerdicts()
    {
        Linked l;
        bringUp(l);
        LogCapture log;
        QSignalSpy stalled(&l.controller, &LocalSocketController::tunnelStalled);
        QSignalSpy alive(&l.controller, &LocalSocketController::tunnelAlive);
        const auto probe = [](double age, int failures) {
            return status({ { QStringLiteral("rxBytes"), 1 }, { QStringLiteral("txBytes"), 1 },
                            { QStringLiteral("handshakeAge"), age }, { QStringLiteral("probeFailures"), failures } });
        };

        // Within the first 20 s nothing is judged dead.
        l.daemon.sendJson(probe(500, 9));
        sync(l, log);
        QCOMPARE(stalled.size(), 0);

        // Statuses keep coming; after 20 s an old handshake is a dead tunnel.
        for (int i = 0; i < 3; ++i) {
            LinkClock::advanceForTesting(8000);
            l.daemon.sendJson(probe(500, 0));
            sync(l, log);
        }
        QTRY_COMPARE(stalled.size(), 1);
        QVERIFY(log.contains(QStringLiteral("The server stopped answering through the tunnel")));

        // The same verdict again is not news.
        l.daemon.sendJson(probe(500, 0));
        sync(l, log);
        QCOMPARE(stalled.size(), 1);

        l.daemon.sendJson(probe(10, 1));
        QTRY_COMPARE(alive.size(), 1);
        QVERIFY(log.contains(QStringLiteral("The tunnel answers again")));

        // Probe failures at the limit the service gives.
        l.daemon.sendJson(status({ { QStringLiteral("rxBytes"), 1 }, { QStringLiteral("txBytes"), 1 },
                                   { QStringLiteral("probeFailures"), 3 }, { QStringLiteral("probesToDead"), 3 } }));
        QTRY_COMPARE(stalled.size(), 2);
        l.daemon.sendJson(probe(10, 1));
        QTRY_COMPARE(alive.size(), 2);

        // No tunnel at all.
        l.daemon.sendJson(status({ { QStringLiteral("connected"), false } }));
        QTRY_COMPARE(stalled.size(), 3);
        QVERIFY(log.contains(QStringLiteral("The service reports no tunnel")));
    }

    void probesToDeadBelowOneIsTheDefault_data()
    {
        QTest::addColumn<int>("probesToDead");
        QTest::addColumn<int>("failures");
        QTest::addColumn<bool>("dead");
        QTest::newRow("0, no failure") << 0 << 0 << false;
        QTest::newRow("-3, no failure") << -3 << 0 << false;
        QTest::newRow("0, one failure") << 0 << 1 << false;
        QTest::newRow("0, two failures") << 0 << 2 << true;
        QTest::newRow("1, one failure") << 1 << 1 << true;
    }

    // A healthy tunnel past its grace period with a service that asks for
    // fewer than one failed probe: still judged by the usual two.
    void probesToDeadBelowOneIsTheDefault()
    {
        QFETCH(int, probesToDead);
        QFETCH(int, failures);
        QFETCH(bool, dead);
        Linked l;
        bringUp(l);
        LogCapture log;
        QSignalSpy stalled(&l.controller, &LocalSocketController::tunnelStalled);
        const QJsonObject healthy = status({ { QStringLiteral("rxBytes"), 1 }, { QStringLiteral("txBytes"), 1 },
                                             { QStringLiteral("handshakeAge"), 5 },
                                             { QStringLiteral("probeFailures"), failures },
                                             { QStringLiteral("probesToDead"), probesToDead } });
        for (int i = 0; i < 4; ++i) {
            LinkClock::advanceForTesting(8000);
            l.daemon.sendJson(healthy);
            sync(l, log);
        }
        QCOMPARE(stalled.size(), dead ? 1 : 0);
    }

    void blindStatusesNeedFiveMinutes()
    {
        Linked l;
        bringUp(l);
        LogCapture log;
        QSignalSpy stalled(&l.controller, &LocalSocketController::tunnelStalled);
        const auto blind = [&](double rx) {
            LinkClock::advanceForTesting(9000);
            l.daemon.sendJson(status({ { QStringLiteral("rxBytes"), rx }, { QStringLiteral("txBytes"), 1 } }));
            sync(l, log);
        };
        // Changing counters keep it alive however long it runs.
        for (int i = 0; i < 40; ++i)
            blind(200 + i);
        QCOMPARE(stalled.size(), 0);
        // Unchanged counters: dead only once 300 s passed.
        for (int i = 0; i < 33; ++i)
            blind(239);
        QCOMPARE(stalled.size(), 0);
        blind(239);
        QCOMPARE(stalled.size(), 1);
        QVERIFY(log.contains(QStringLiteral("The server stopped answering through the tunnel")));
    }

    void verdictsOnlyWhileTunnelUp()
    {
        Linked l;
        link(l);
        QSignalSpy stalled(&l.controller, &LocalSocketController::tunnelStalled);
        l.daemon.sendJson(status({ { QStringLiteral("connected"), false } }));
        QTest::qWait(100);
        QCOMPARE(stalled.size(), 0);
    }

    void serviceGoneWhileUp()
    {
        Linked l;
        bringUp(l);
        LogCapture log;
        QSignalSpy errors(&l.controller, &LocalSocketController::daemonErrorOccurred);
        l.daemon.dropClient();
        QTRY_COMPARE(errors.size(), 1);
        QCOMPARE(errors.at(0).at(0).value<VpnProtocol::Errors>(), VpnProtocol::ServiceLinkLost);
        QVERIFY(log.contains(QStringLiteral("The service went away while connected")));
        QVERIFY(!l.controller.isTunnelUp());
    }

    void deactivate()
    {
        Linked l;
        bringUp(l);
        QSignalSpy down(&l.controller, &LocalSocketController::disconnected);
        l.controller.deactivate();
        QCOMPARE(down.size(), 1);
        QTRY_COMPARE(l.daemon.types().last(), QStringLiteral("deactivate"));
        // A daemon "disconnected" only changes flags and says so.
        l.daemon.sendJson(typed("disconnected"));
        QTRY_COMPARE(down.size(), 2);
    }

    void impostorIsNeverWrittenTo()
    {
        trustNoOne();
        FakeDaemon daemon;
        LocalSocketController controller;
        LogCapture log;
        QSignalSpy errors(&controller, &LocalSocketController::daemonErrorOccurred);
        controller.initialize();
        QTRY_COMPARE(errors.size(), 1);
        QCOMPARE(errors.at(0).at(0).value<VpnProtocol::Errors>(), VpnProtocol::ServiceNotRunning);
        QVERIFY(log.contains(QStringLiteral("it isn't the privileged, installed")));
        controller.activate(wireguardConfig({}));
        QCOMPARE(errors.size(), 2);
        QCOMPARE(errors.at(1).at(0).value<VpnProtocol::Errors>(), VpnProtocol::ServiceNotRunning);
        QTest::qWait(100);
        QVERIFY(daemon.raw.isEmpty());

        bool called = false;
        QJsonObject reply { { QStringLiteral("x"), 1 } };
        LocalSocketController::request(this, typed("status"), 5000, [&](const QJsonObject &r) {
            called = true;
            reply = r;
        });
        QTRY_VERIFY(called);
        QVERIFY(reply.isEmpty());
        QTest::qWait(50);
        QVERIFY(daemon.raw.isEmpty());
    }

    // The owner of a one-shot request goes away before the answer: its
    // callback, which may reach into the owner, is never called.
    void oneShotOwnerGoneFirst()
    {
        FakeDaemon daemon; // connects, never answers
        bool called = false;
        auto *owner = new QObject;
        LocalSocketController::request(owner, typed("status"), 5000, [&called](const QJsonObject &) { called = true; });
        QTRY_COMPARE(daemon.connections(), 1);
        delete owner;
        QTest::qWait(100);
        QVERIFY(!called);
    }

    void sendWithoutLink()
    {
        qputenv("KELVRA_TEST_DAEMON_SOCKET", "/nonexistent/daemon.socket");
        LogCapture log;
        LocalSocketController controller;
        controller.initialize();
        QTRY_VERIFY(log.contains(QStringLiteral("Failed to connect to:")));
        // An activation that can't go out fails the attempt instead of
        // leaving it waiting; other messages are dropped with a word.
        QSignalSpy errors(&controller, &LocalSocketController::daemonErrorOccurred);
        controller.activate(wireguardConfig({}));
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors.at(0).at(0).value<VpnProtocol::Errors>(), VpnProtocol::ConnectionFailed);
        QVERIFY(log.contains(QStringLiteral("The activation couldn't be sent: the service's link is down")));
        controller.sendJson(typed("status"));
        QVERIFY(log.contains(QStringLiteral("Socket not connected")));
    }

    void oneShotRequest()
    {
        FakeDaemon daemon;
        daemon.answer = [&daemon](const QJsonObject &message) {
            // Noise first, then the answer, with a line split across writes.
            daemon.send("{\"type\":\"status\",\"connected\":false}\nnot json\n{\"type\":\"by");
            daemon.send("pass\",\"count\":2}\n");
            Q_UNUSED(message)
            return QJsonObject();
        };
        int calls = 0;
        QJsonObject reply;
        LocalSocketController::request(this, { { QStringLiteral("type"), QStringLiteral("bypass") },
                                               { QStringLiteral("sites"), QJsonArray { QStringLiteral("a.test") } } },
                                       5000, [&](const QJsonObject &r) {
                                           ++calls;
                                           reply = r;
                                       });
        QCOMPARE(calls, 0); // never inside the call
        QTRY_COMPARE(calls, 1);
        QCOMPARE(reply.value(QLatin1String("count")).toInt(), 2);
        QCOMPARE(daemon.received.first().value(QLatin1String("sites")).toArray().size(), 1);
        QTest::qWait(100);
        QCOMPARE(calls, 1);
    }

    void oneShotFailures_data()
    {
        QTest::addColumn<bool>("daemonThere");
        QTest::addColumn<bool>("hangUp");
        QTest::newRow("no daemon") << false << false;
        QTest::newRow("no answer") << true << false;
        QTest::newRow("hang up") << true << true;
    }

    void oneShotFailures()
    {
        QFETCH(bool, daemonThere);
        QFETCH(bool, hangUp);
        FakeDaemon daemon;
        if (!daemonThere)
            qputenv("KELVRA_TEST_DAEMON_SOCKET", "/nonexistent/daemon.socket");
        if (hangUp)
            daemon.answer = [&daemon](const QJsonObject &) {
                daemon.dropClient();
                return QJsonObject();
            };
        int calls = 0;
        QJsonObject reply { { QStringLiteral("x"), 1 } };
        LocalSocketController::request(this, typed("status"), 300, [&](const QJsonObject &r) {
            ++calls;
            reply = r;
        });
        QTRY_COMPARE(calls, 1);
        QVERIFY(reply.isEmpty());
        QTest::qWait(400);
        QCOMPARE(calls, 1);
    }

    void apiFetch_data()
    {
        QTest::addColumn<QJsonObject>("answer");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("retryAfter");
        QTest::newRow("ok") << QJsonObject { { QStringLiteral("type"), QStringLiteral("apiFetch") },
                                             { QStringLiteral("status"), 200 },
                                             { QStringLiteral("body"), QStringLiteral("eyJhIjoxfQ==") } }
                            << 200 << QByteArray("{\"a\":1}") << QByteArray();
        QTest::newRow("throttled") << QJsonObject { { QStringLiteral("type"), QStringLiteral("apiFetch") },
                                                    { QStringLiteral("status"), 429 },
                                                    { QStringLiteral("body"), QString() },
                                                    { QStringLiteral("retryAfter"), QStringLiteral("30") } }
                                   << 429 << QByteArray() << QByteArray("30");
        QTest::newRow("no status") << QJsonObject { { QStringLiteral("type"), QStringLiteral("apiFetch") } } << 0
                                   << QByteArray() << QByteArray();
        QTest::newRow("body not Base64") << QJsonObject { { QStringLiteral("type"), QStringLiteral("apiFetch") },
                                                          { QStringLiteral("status"), 200 },
                                                          { QStringLiteral("body"), QStringLiteral("***") } }
                                         << 0 << QByteArray() << QByteArray();
    }

    void apiFetch()
    {
        QFETCH(QJsonObject, answer);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, retryAfter);
        FakeDaemon daemon;
        daemon.answer = [answer](const QJsonObject &) { return answer; };
        bool called = false;
        int gotStatus = -1;
        QByteArray gotBody, gotRetry;
        LocalSocketController::apiFetch(this, QUrl(QStringLiteral("https://api.example.test/v1/x?y=1")),
                                        QStringLiteral("secret-token"),
                                        [&](int s, const QByteArray &b, const QByteArray &r) {
                                            called = true;
                                            gotStatus = s;
                                            gotBody = b;
                                            gotRetry = r;
                                        });
        QTRY_VERIFY(called);
        QCOMPARE(gotStatus, status);
        QCOMPARE(gotBody, body);
        QCOMPARE(gotRetry, retryAfter);
        QCOMPARE(daemon.received.first().value(QLatin1String("token")).toString(), QStringLiteral("secret-token"));
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    TstLocalSocketController test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_localsocketcontroller.moc"
