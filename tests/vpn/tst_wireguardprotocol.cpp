#include <QJsonArray>
#include <QSignalSpy>
#include <QtTest>

#include "ipc/LinkClock.h"
#include "ipc/LocalSocketController.h"
#include "ipc/ServiceFixtures.h"
#include "TunnelConfigs.h"
#include "support/TestEnvironment.h"
#include "vpn/OpenVpnProtocol.h"
#include "vpn/WireGuardProtocol.h"

Q_DECLARE_METATYPE(VpnProtocol::Protocol)

namespace {
QJsonObject configFor(VpnProtocol::Protocol protocol)
{
    return TunnelConfigs::daemonDriven(protocol);
}

QJsonObject typed(const char *type)
{
    return QJsonObject { { QStringLiteral("type"), QLatin1String(type) } };
}
} // namespace

// The daemon-driven driver against a daemon socket played in the test.
class TstWireGuardProtocol : public QObject
{
    Q_OBJECT
private slots:
    void init() { trustThisProcessAsService(); }

    void factory_data()
    {
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("driver");
        QTest::addColumn<QString>("logName");
        QTest::newRow("Optimal") << 0 << QString() << "Unknown";
        QTest::newRow("OpenVPN UDP") << 1 << "OpenVpnProtocol" << "OpenVPN UDP";
        QTest::newRow("WireGuard") << 2 << "WireGuardProtocol" << "WireGuard UDP";
        QTest::newRow("AmneziaWG") << 3 << "WireGuardProtocol" << "AmneziaWG UDP";
        QTest::newRow("Stealth") << 4 << "WireGuardProtocol" << "Stealth TCP";
        QTest::newRow("OpenVPN TCP") << 5 << "OpenVpnProtocol" << "OpenVPN TCP";
        QTest::newRow("Hysteria2") << 6 << "WireGuardProtocol" << "Hysteria2 UDP";
        QTest::newRow("7") << 7 << QString() << "Unknown";
    }

    void factory()
    {
        QFETCH(int, protocol);
        QFETCH(QString, driver);
        QFETCH(QString, logName);
        FakeDaemon daemon;
        LogCapture log;
        QScopedPointer<VpnProtocol> made(VpnProtocol::create(VpnProtocol::Protocol(protocol), QJsonObject()));
        QCOMPARE(made ? QString::fromLatin1(made->metaObject()->className()) : QString(), driver);
        QVERIFY(log.contains(QStringLiteral("Creating VPN pointer of protocol: ") + logName)
                || log.contains(QStringLiteral("Creating VPN pointer of protocol:\" \"") + logName)
                || log.all().contains(logName));
        if (made)
            QCOMPARE(made->connectionState(), VpnProtocol::Disconnected);
    }

    void tunnel_data()
    {
        QTest::addColumn<VpnProtocol::Protocol>("protocol");
        QTest::newRow("WireGuard") << VpnProtocol::WireGuard;
        QTest::newRow("AmneziaWG") << VpnProtocol::AmneziaWg;
        QTest::newRow("Stealth") << VpnProtocol::Stealth;
        QTest::newRow("Hysteria2") << VpnProtocol::Hysteria2;
    }

    void tunnel()
    {
        QFETCH(VpnProtocol::Protocol, protocol);
        FakeDaemon daemon;
        daemon.answer = [](const QJsonObject &m) {
            return m.value(QLatin1String("type")).toString() == QLatin1String("status") ? typed("status") : QJsonObject();
        };
        LogCapture log;
        const QJsonObject config = configFor(protocol);
        WireGuardProtocol driver(config);
        QSignalSpy states(&driver, &VpnProtocol::connectionStateChanged);
        QSignalSpy rates(&driver, &VpnProtocol::bytesChanged);
        QSignalSpy stalls(&driver, &VpnProtocol::tunnelStalled);
        QTRY_COMPARE(driver.controller()->linkState(), LocalSocketController::Ready);
        driver.start();
        QTRY_COMPARE(daemon.received.size(), 2);
        QCOMPARE(daemon.received.at(1), LocalSocketController::activateMessage(config));
        // Until the daemon says so, the driver does not claim any progress.
        QCOMPARE(driver.connectionState(), VpnProtocol::Disconnected);

        daemon.sendJson(typed("connected"));
        QTRY_COMPARE(driver.connectionState(), VpnProtocol::Connected);

        auto status = [](double rx, double age) {
            return QJsonObject { { QStringLiteral("type"), QStringLiteral("status") },
                                 { QStringLiteral("rxBytes"), rx },
                                 { QStringLiteral("txBytes"), rx / 2 },
                                 { QStringLiteral("handshakeAge"), age } };
        };
        daemon.sendJson(status(1000, 5));
        daemon.sendJson(typed("sync-a"));
        QTRY_VERIFY(log.contains(QStringLiteral("sync-a")));
        LinkClock::advanceForTesting(1000);
        daemon.sendJson(status(126000, 5));
        QTRY_COMPARE(rates.size(), 1);
        QVERIFY(rates.at(0).at(0).toDouble() > 0.9 && rates.at(0).at(0).toDouble() <= 1.0);

        // Dead after the grace period, then alive again.
        for (int i = 0; i < 3; ++i) {
            LinkClock::advanceForTesting(8000);
            daemon.sendJson(status(126000, 300));
            daemon.sendJson(QJsonObject { { QStringLiteral("type"), QStringLiteral("sync-b%1").arg(i) } });
            QTRY_VERIFY(log.contains(QStringLiteral("sync-b%1").arg(i)));
        }
        QCOMPARE(stalls.size(), 1);
        const int before = states.size();
        daemon.sendJson(status(126000, 3));
        QTRY_COMPARE(states.size(), before + 1);
        QCOMPARE(driver.connectionState(), VpnProtocol::Connected);

        driver.stop();
        QCOMPARE(driver.connectionState(), VpnProtocol::Disconnected);
        QTRY_COMPARE(daemon.types().last(), QStringLiteral("deactivate"));
        QVERIFY(!log.contains(TunnelConfigs::privateKey()));
    }

    void daemonErrorDuringBringUp()
    {
        FakeDaemon daemon;
        daemon.answer = [](const QJsonObject &m) {
            return m.value(QLatin1String("type")).toString() == QLatin1String("status") ? typed("status") : QJsonObject();
        };
        QStringList order; // outlives the driver, which reports once more as it goes
        WireGuardProtocol driver(configFor(VpnProtocol::WireGuard));
        QTRY_COMPARE(driver.controller()->linkState(), LocalSocketController::Ready);
        connect(&driver, &VpnProtocol::connectionStateChanged, this,
                [&order](VpnProtocol::ConnectionState s) { order << QStringLiteral("state %1").arg(int(s)); });
        connect(&driver, &VpnProtocol::vpnError, this, [&](VpnProtocol::Errors e) {
            order << QStringLiteral("error %1").arg(int(e));
        });
        driver.start();
        QTRY_COMPARE(daemon.received.size(), 2);
        daemon.sendJson(QJsonObject { { QStringLiteral("type"), QStringLiteral("error") }, { QStringLiteral("error"), 400 } });
        QTRY_COMPARE(order, QStringList({ QStringLiteral("state 4"), QStringLiteral("error 400") }));
        QTRY_COMPARE(daemon.types(), QStringList({ QStringLiteral("status"), QStringLiteral("activate"),
                                                   QStringLiteral("deactivate") }));
    }

    void refusedServiceReportsNotRunning()
    {
        trustNoOne();
        FakeDaemon daemon;
        WireGuardProtocol driver(configFor(VpnProtocol::WireGuard));
        QSignalSpy errors(&driver, &VpnProtocol::vpnError);
        // The check may fail while the driver is still being made; whoever
        // starts it hears of it then.
        const int before = errors.size();
        driver.start();
        QCOMPARE(errors.size(), before + 1);
        QCOMPARE(errors.last().at(0).value<VpnProtocol::Errors>(), VpnProtocol::ServiceNotRunning);
        QCOMPARE(driver.connectionState(), VpnProtocol::Disconnected);
        QTest::qWait(50);
        QVERIFY(daemon.raw.isEmpty());
    }

    void destroyingAConnectedDriverDeactivates()
    {
        FakeDaemon daemon;
        daemon.answer = [](const QJsonObject &m) {
            return m.value(QLatin1String("type")).toString() == QLatin1String("status") ? typed("status") : QJsonObject();
        };
        auto *driver = new WireGuardProtocol(configFor(VpnProtocol::WireGuard));
        QTRY_COMPARE(driver->controller()->linkState(), LocalSocketController::Ready);
        driver->start();
        daemon.sendJson(typed("connected"));
        QTRY_COMPARE(driver->connectionState(), VpnProtocol::Connected);
        delete driver;
        QTRY_COMPARE(daemon.types().last(), QStringLiteral("deactivate"));
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    TstWireGuardProtocol test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_wireguardprotocol.moc"
