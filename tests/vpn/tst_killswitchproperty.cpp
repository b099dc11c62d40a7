#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include "app/Settings.h"
#include "ipc/IpcClient.h"
#include "StandInProgram.h"
#include "support/TestEnvironment.h"
#include "TunnelConfigs.h"
#include "vpn/VpnConnection.h"

namespace {
// Sequences in a normal run; KELVRA_KILLSWITCH_SCALE=10 runs ten times as
// many, KELVRA_KILLSWITCH_SEED=n replays one.
constexpr int kSequences = 200;
constexpr int kBatch = 20;
constexpr int kMaxEvents = 20;
constexpr quint32 kFirstSeed = 1000;

enum class Event { Connect, SwitchServer, SwitchProtocol, KillSwitch, ServiceRestart, PipeDrop, LinkDrop, ActivationLost, Disconnect };

const char *eventName(Event event)
{
    switch (event) {
    case Event::Connect: return "connect";
    case Event::SwitchServer: return "switch server";
    case Event::SwitchProtocol: return "switch protocol";
    case Event::KillSwitch: return "kill switch";
    case Event::ServiceRestart: return "service killed and restarted";
    case Event::PipeDrop: return "daemon pipe dropped alone";
    case Event::LinkDrop: return "remote-object link dropped alone";
    case Event::ActivationLost: return "activation lost";
    case Event::Disconnect: return "disconnect";
    }
    return "?";
}
} // namespace

// The kill switch's promise, as a property: from the moment a tunnel with the
// kill switch on has been connected until the user disconnects or turns the
// kill switch off, the service lets nothing through outside a tunnel, at any
// moment. Bounded pseudo-random sequences of what users and services do are
// played against the service stand-in program; its firewall timeline, with
// this test's marks where the promise begins and ends, tells whether traffic
// could ever have left. Each sequence ends with the user's disconnect and the
// kill switch off, after which the service must hold nothing back.
class TstKillSwitchProperty : public QObject
{
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    StandInProgram m_service;
    QSharedPointer<Settings> m_settings;
    QString m_openVpnConfig;

    // One sequence being played.
    struct Run
    {
        quint32 seed = 0;
        QRandomGenerator rng;
        QStringList steps;
        bool owed = false; // the promise holds now
        QString failure;
    };

    QJsonObject protection() { return m_service.control("protection"); }

    QJsonObject config(VpnProtocol::Protocol protocol, const QString &host) const
    {
        if (protocol == VpnProtocol::OpenVpnUdp)
            return QJsonObject { { QStringLiteral("protocol"), QStringLiteral("openvpn") },
                                 { QStringLiteral("openvpn_config_data"), m_openVpnConfig } };
        return TunnelConfigs::daemonDriven(protocol, host);
    }

    VpnProtocol::Protocol pickProtocol(Run &run, VpnProtocol::Protocol other = VpnProtocol::Optimal)
    {
        static const QList<VpnProtocol::Protocol> daemonDriven { VpnProtocol::WireGuard, VpnProtocol::AmneziaWg,
                                                                 VpnProtocol::Stealth, VpnProtocol::Hysteria2 };
        VpnProtocol::Protocol protocol;
        do {
            if (!m_openVpnConfig.isEmpty() && run.rng.bounded(8) == 0)
                protocol = VpnProtocol::OpenVpnUdp;
            else
                protocol = daemonDriven.at(int(run.rng.bounded(quint32(daemonDriven.size()))));
        } while (protocol == other);
        return protocol;
    }

    QString pickHost(Run &run)
    {
        return run.rng.bounded(2) ? QStringLiteral("203.0.113.10") : QStringLiteral("203.0.113.11");
    }

    // Lets what the event set going finish: a tunnel up, or none and nothing
    // coming up.
    void settle(VpnConnection &connection)
    {
        QTest::qWait(30);
        const bool openVpn = connection.protocol() == VpnProtocol::OpenVpnUdp;
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < (openVpn ? 30000 : 3000)) {
            if (!connection.vpnProtocol() || connection.connectionState() == VpnProtocol::Connected)
                break;
            QTest::qWait(10);
        }
    }

    void mark(const char *name) { m_service.ok("mark", { { QStringLiteral("name"), QLatin1String(name) } }); }

    void endPromise(Run &run)
    {
        if (!run.owed)
            return;
        mark("end");
        run.owed = false;
    }

    // The promise begins once a tunnel is up with the kill switch on: the
    // service must have its kill switch by then (its call may still be on the
    // way: a moment is allowed for it to land).
    void beginPromiseIfDue(Run &run, VpnConnection &connection)
    {
        if (run.owed || !m_settings->killSwitch() || connection.connectionState() != VpnProtocol::Connected)
            return;
        QElapsedTimer waited;
        waited.start();
        while (!protection().value(QLatin1String("protected")).toBool()) {
            if (waited.elapsed() > 3000) {
                run.failure = QStringLiteral("connected with the kill switch on, but the service never blocked");
                return;
            }
            QTest::qWait(20);
        }
        mark("start");
        run.owed = true;
    }

    void play(Run &run, VpnConnection &connection, Event event)
    {
        run.steps << QLatin1String(eventName(event));
        switch (event) {
        case Event::Connect: {
            const VpnProtocol::Protocol protocol = pickProtocol(run);
            connection.connectToVpn(protocol, config(protocol, pickHost(run)));
            break;
        }
        case Event::SwitchServer: {
            VpnProtocol::Protocol protocol = connection.protocol();
            if (protocol == VpnProtocol::Optimal)
                protocol = pickProtocol(run);
            connection.connectToVpn(protocol, config(protocol, pickHost(run)));
            break;
        }
        case Event::SwitchProtocol: {
            const VpnProtocol::Protocol protocol = pickProtocol(run, connection.protocol());
            connection.connectToVpn(protocol, config(protocol, pickHost(run)));
            break;
        }
        case Event::KillSwitch: {
            const bool on = !m_settings->killSwitch();
            if (!on)
                endPromise(run);
            run.steps.last() += on ? QStringLiteral(" on") : QStringLiteral(" off");
            m_settings->setKillSwitch(on);
            connection.onKillSwitchToggled(on);
            break;
        }
        case Event::ServiceRestart:
            m_service.ok("restart", { { QStringLiteral("downMs"), 50 + int(run.rng.bounded(250)) } });
            break;
        case Event::PipeDrop:
            m_service.ok("drop");
            break;
        case Event::LinkDrop:
            m_service.ok("dropIpc");
            break;
        case Event::ActivationLost: {
            const VpnProtocol::Protocol protocol = pickProtocol(run);
            connection.connectToVpn(protocol, config(protocol, pickHost(run)));
            m_service.ok("drop");
            break;
        }
        case Event::Disconnect:
            endPromise(run);
            connection.disconnectFromVpn();
            break;
        }
        settle(connection);
    }

    // Every moment the firewall let traffic through while the promise held.
    QString breaches()
    {
        QStringList found;
        bool inside = false;
        for (const QJsonValue &value : protection().value(QLatin1String("timeline")).toArray()) {
            const QJsonObject entry = value.toObject();
            const QString mark = entry.value(QLatin1String("mark")).toString();
            if (mark == QLatin1String("start")) {
                inside = true;
                if (!entry.value(QLatin1String("protected")).toBool())
                    found << QStringLiteral("unprotected when the promise began");
            } else if (mark == QLatin1String("end")) {
                inside = false;
            } else if (inside && !entry.value(QLatin1String("protected")).toBool()) {
                found << QStringLiteral("lifted by %1").arg(entry.value(QLatin1String("cause")).toString());
            }
        }
        return found.join(QStringLiteral("; "));
    }

    // After the user's disconnect with the kill switch off, nothing is held
    // back and no tunnel is left.
    bool serviceLetsGo()
    {
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 8000) {
            const QJsonObject state = m_service.control("state").value(QLatin1String("state")).toObject();
            if (state.value(QLatin1String("running")).toBool() && state.value(QLatin1String("tunnel")).toString() == QLatin1String("Down")
                && !protection().value(QLatin1String("protected")).toBool())
                return true;
            QTest::qWait(20);
        }
        return false;
    }

    QString runSequence(quint32 seed)
    {
        Run run;
        run.seed = seed;
        run.rng.seed(seed);
        m_settings->setKillSwitch(run.rng.bounded(2) == 0);
        m_service.ok("clearProtection");
        m_service.ok("clearCalls");
        {
            VpnConnection connection(m_settings);
            const int events = 1 + int(run.rng.bounded(kMaxEvents));
            for (int i = 0; i < events && run.failure.isEmpty(); ++i) {
                play(run, connection, Event(run.rng.bounded(9)));
                beginPromiseIfDue(run, connection);
            }
            endPromise(run);
            const QString breach = breaches();
            if (run.failure.isEmpty() && !breach.isEmpty())
                run.failure = breach;

            if (run.failure.isEmpty()) {
                run.steps << QStringLiteral("(end: disconnect, kill switch off)");
                connection.disconnectFromVpn();
                m_settings->setKillSwitch(false);
                connection.onKillSwitchToggled(false);
                if (!serviceLetsGo())
                    run.failure = QStringLiteral("the service still holds traffic back after the user disconnected "
                                                 "with the kill switch off: %1")
                                      .arg(QString::fromUtf8(QJsonDocument(m_service.control("protection")).toJson(
                                          QJsonDocument::Compact)));
            }
        }
        // Drivers let go are deleted later; they go before the next sequence.
        QTest::qWait(10);
        if (run.failure.isEmpty())
            return QString();
        return QStringLiteral("seed %1: %2\n  steps: %3").arg(seed).arg(run.failure, run.steps.join(QStringLiteral(", ")));
    }

private slots:
    void initTestCase()
    {
        if (!StandInProgram::pointClientHere("kelvra-ksp-", m_dir.path()))
            QSKIP("the service stand-in is not built");
        m_settings = QSharedPointer<Settings>::create();
        m_settings->setDnsLeakProtection(true);
        VpnConnection::Timings timings;
        timings.launchDelayMs = 80;
        timings.holdWaitMs = 5000;
        timings.deactivateTimeoutMs = 300;
        timings.pipeOnlyBackMs = 300;
        VpnConnection::setTimingsForTesting(timings);
        IpcClient::setReconnectDelayForTesting(100);

        QStringList arguments;
        const bool openVpn = TestEnvironment::inPrivateNetwork() && QFile::exists(QStringLiteral("/dev/net/tun"));
        const QString clientConfig = m_dir.path() + QStringLiteral("/client.ovpn");
        if (openVpn)
            arguments = StandInProgram::openVpnServerArguments(clientConfig, 30000);
        QVERIFY(m_service.start(QStringLiteral("kelvra-service-standin"), arguments));
        if (openVpn) {
            QFile file(clientConfig);
            QVERIFY(file.open(QIODevice::ReadOnly));
            m_openVpnConfig = QString::fromUtf8(file.readAll());
        } else {
            qInfo("No tun devices or no private network: the sequences run without OpenVPN");
        }
        QVERIFY(m_service.ok("script", { { QStringLiteral("script"), QJsonObject { { QStringLiteral("connectDelayMs"), 20 },
                                                                                  { QStringLiteral("statusIntervalMs"), 0 } } } }));
    }

    // The seeds in batches, so that no one test function runs for long.
    void promiseHolds_data()
    {
        QTest::addColumn<quint32>("firstSeed");
        QTest::addColumn<int>("count");
        bool oneSeed = false;
        const quint32 replay = quint32(qEnvironmentVariableIntValue("KELVRA_KILLSWITCH_SEED", &oneSeed));
        if (oneSeed) {
            QTest::addRow("seed %u", replay) << replay << 1;
            return;
        }
        const int scale = qMax(1, qEnvironmentVariableIntValue("KELVRA_KILLSWITCH_SCALE"));
        for (int first = 0; first < kSequences * scale; first += kBatch) {
            const quint32 seed = kFirstSeed + quint32(first);
            QTest::addRow("seeds %u-%u", seed, seed + kBatch - 1) << seed << kBatch;
        }
    }

    void promiseHolds()
    {
        QFETCH(quint32, firstSeed);
        QFETCH(int, count);
        for (int i = 0; i < count; ++i) {
            const QString failure = runSequence(firstSeed + quint32(i));
            if (!failure.isEmpty())
                QFAIL(qPrintable(failure));
        }
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    TstKillSwitchProperty test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_killswitchproperty.moc"
