#include <QGuiApplication>
#include <QJsonArray>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

#include "SignedInstaller.h"
#include "account/UserManager.h"
#include "app/CoreController.h"
#include "app/Settings.h"
#include "connection/ConnectionController.h"
#include "platform/Elevation.h"
#include "platform/WifiName.h"
#include "servers/Pinger.h"
#include "servers/ServersModel.h"
#include "tests/api/ApiTestSupport.h"
#include "tests/vpn/StandInProgram.h"
#include "updater/InstallerLink.h"
#include "updater/Updater.h"
#include "vpn/VpnConnection.h"

using namespace ApiTestSupport;

namespace {
const QString kEmail = QStringLiteral("ada@example.com");
const QString kManchester = QStringLiteral("gb-man:1");
} // namespace

// A whole update on this machine, through every real counterpart: a tunnel
// up through the service stand-in, the version check and the download from
// the backend stand-in, the elevated install mode of the real client program
// (pkexec played by a script), the installer stand-in installing into a
// folder of the test's, and the next start of the client saying it was
// updated and bringing the tunnel back.
class TestUpdateFlow : public QObject
{
    Q_OBJECT

    BackendStandIn m_backend;
    SignedInstaller m_release;
    QTemporaryDir m_dir;
    StandInProgram m_service;
    QSharedPointer<Settings> m_settings;

    QJsonArray activations() { return m_service.calls(QStringLiteral("daemon"), QStringLiteral("activate")); }

private slots:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("the install mode's folder must be root's; this test program does not run as root");
        useOwnCredentialService("updateflow");
        KELVRA_START_STAND_IN(m_backend);
        m_backend.setDeviceLimit(0);
        InstallerLink::setAcceptedPortForTesting(m_backend.port());
        if (!StandInProgram::pointClientHere("kelvra-uf-", m_dir.path()))
            QSKIP("the service stand-in is not built");
        QVERIFY(m_service.start(QStringLiteral("kelvra-service-standin"),
                                {QStringLiteral("--api-base-url"), m_backend.baseUrl(), QStringLiteral("--ca-file"),
                                 BackendStandIn::caCertificatePath(), QStringLiteral("--dns"), QStringLiteral("none")}));
        QVERIFY(m_service.ok("script", {{QStringLiteral("script"),
                                         QJsonObject{{QStringLiteral("connectDelayMs"), 50},
                                                     {QStringLiteral("statusIntervalMs"), 0}}}}));
        QVERIFY(m_release.isValid());
        qputenv("KELVRA_TEST_SIGNING_KEY", m_release.publicKeyPath().toUtf8());
        WifiName::setForTesting(QString());
        VpnConnection::Timings timings;
        timings.launchDelayMs = 200;
        timings.releaseWindowMs = 200;
        VpnConnection::setTimingsForTesting(timings);
        m_settings = QSharedPointer<Settings>::create();
        m_settings->setAutoConnect(false);
        m_settings->setKillSwitch(false);
        QVERIFY(!signInAs(m_backend, kEmail).isEmpty());
    }

    void cleanupTestCase() { m_service.stop(); }

    void updateFromCheckToReconnect()
    {
        InstallPlaces places;
        Elevation::setCommandForTesting(places.acceptingElevation());
        m_backend.updates().offer(QStringLiteral("Kelvra-3.7.9-setup.exe"), m_release.signedStandInInstaller());
        QSettings().remove(QStringLiteral("updater/reconnectAfterUpdate"));

        {
            auto vpn = QSharedPointer<VpnConnection>::create(m_settings);
            CoreController client(nullptr, vpn, m_settings);
            ServersModel *servers = client.serversModel();
            ConnectionController *connection = client.connectionController();
            servers->pingerForTesting()->setCommandForTesting(QStringLiteral("true"), {});
            servers->reconcileAccount(kEmail);
            servers->fetchServers();
            QTRY_VERIFY_WITH_TIMEOUT(servers->serverByConfigId(kManchester), 20000);
            servers->onProtocolChanged(int(VpnProtocol::WireGuard));
            servers->updateCurrentServer(servers->serverByConfigId(kManchester));
            connection->openConnection();
            // Generous for the sanitizers on a busy machine; a pass takes seconds.
            QTRY_VERIFY_WITH_TIMEOUT(connection->isConnected(), 60000);
            const int activatedBefore = int(activations().size());

            Updater *updater = client.updater();
            bool quit = false;
            updater->setQuitForTesting([&quit] { quit = true; });
            updater->setInstallProgramForTesting(TestEnvironment::binDir() + QStringLiteral("/kelvra"));
            QSignalSpy offered(&client, &CoreController::updateAvailable);
            client.checkUpdates();
            QTRY_COMPARE_WITH_TIMEOUT(offered.size(), 1, 15000);
            const QVariantList offer = offered.first();

            // What the window does: start the download; when the install
            // begins with the tunnel up, ask for it back and take it down.
            connect(updater, &Updater::installing, this, [updater, connection] {
                if (connection->isConnected() || connection->isConnectionInProgress()) {
                    updater->setReconnectAfterUpdate(true);
                    connection->closeConnection(QStringLiteral("update"));
                }
            });
            updater->start(offer.at(2).toString(), offer.at(3).toString(), offer.at(1).toString());
            QTRY_VERIFY_WITH_TIMEOUT(quit, 30000);
            QCOMPARE(updater->progress(), 100);
            QCOMPARE(m_backend.updates().downloads(), 1);
            QTRY_VERIFY(!connection->isConnected() && !vpn->vpnProtocol());
            QCOMPARE(int(activations().size()), activatedBefore);
        }

        // The install mode checked the copy and started it; the installer ran.
        QVERIFY2(places.installLog().contains(QStringLiteral("update: verified installer started")),
                 qPrintable(places.installLog()));
        QTRY_VERIFY_WITH_TIMEOUT(places.installerRuns().contains(QStringLiteral("/UPDATE")), 10000);
        QCOMPARE(SignedInstaller::read(places.installFolder() + QStringLiteral("/version")).trimmed(),
                 QByteArray("3.7.9"));

        // The client comes back (here the same build: the version before it
        // is put back as the one that ran last). It says once what it was
        // updated to and brings the tunnel back up by itself.
        QSettings().setValue(QStringLiteral("updater/lastRunVersion"), QStringLiteral("3.7.7"));
        QVERIFY(m_service.ok("clearCalls"));
        auto vpn = QSharedPointer<VpnConnection>::create(m_settings);
        CoreController client(nullptr, vpn, m_settings);
        QVERIFY(!QSettings().contains(QStringLiteral("updater/reconnectAfterUpdate")));
        QCOMPARE(client.updater()->justUpdatedTo(), QStringLiteral(KELVRA_VERSION));
        QCOMPARE(client.updater()->justUpdatedTo(), QString());
        client.serversModel()->pingerForTesting()->setCommandForTesting(QStringLiteral("true"), {});
        client.serversModel()->reconcileAccount(kEmail);
        client.serversModel()->fetchServers();
        UserManager::instance()->fetchUserCurrentSubscription();
        QTRY_VERIFY_WITH_TIMEOUT(client.connectionController()->isConnected(), 30000);
        QCOMPARE(activations().size(), 1);
        client.connectionController()->closeConnection(QStringLiteral("the test"));
        QTRY_VERIFY(!vpn->vpnProtocol());
    }
};

KELVRA_API_TEST_MAIN(TestUpdateFlow, QGuiApplication)
#include "tst_updateflow.moc"
