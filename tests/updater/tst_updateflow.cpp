#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#include "../api/ApiTestSupport.h"
#include "SignedInstaller.h"
#include "account/UserManager.h"
#include "app/CoreController.h"
#include "app/Settings.h"
#include "platform/Elevation.h"
#include "platform/WifiName.h"
#include "servers/ServersModel.h"
#include "updater/InstallerLink.h"
#include "updater/Updater.h"
#include "vpn/VpnConnection.h"

// A whole update on this machine, through every real counterpart: the
// version check and the download from the backend stand-in, the elevated
// install mode of the real client program (pkexec played by a script), the
// installer stand-in installing into a folder of the test's, and the next
// start of the client saying it was updated and reconnecting the tunnel
// that was up when the update began.
class TestUpdateFlow : public QObject
{
    Q_OBJECT

    BackendStandIn m_backend;
    SignedInstaller m_release;

private slots:
    void initTestCase()
    {
        ApiTestSupport::useOwnCredentialService("updateflow");
        QVERIFY(ApiTestSupport::startStandIn(m_backend));
        InstallerLink::setAcceptedPortForTesting(m_backend.port());
        QVERIFY(m_release.isValid());
        qputenv("KELVRA_TEST_SIGNING_KEY", m_release.publicKeyPath().toUtf8());
        WifiName::setForTesting(QString());
    }

    void updateFromCheckToReconnect()
    {
        InstallPlaces places;
        Elevation::setCommandForTesting(places.acceptingElevation());
        const QByteArray installer = m_release.signedStandInInstaller();
        m_backend.updates().offer(QStringLiteral("Kelvra-3.7.9-setup.exe"), installer);
        // The version that ran before this one.
        QSettings().setValue(QStringLiteral("updater/lastRunVersion"), QStringLiteral("3.7.7"));
        QSettings().remove(QStringLiteral("updater/reconnectAfterUpdate"));
        auto settings = QSharedPointer<Settings>::create();
        settings->setAutoConnect(false);

        {
            auto vpn = QSharedPointer<VpnConnection>::create(settings);
            CoreController client(nullptr, vpn, settings);
            Updater *updater = client.updater();
            QCOMPARE(updater->justUpdatedTo(), QStringLiteral(KELVRA_VERSION)); // this run's own notice
            bool quit = false;
            updater->setQuitForTesting([&quit] { quit = true; });
            updater->setInstallProgramForTesting(TestEnvironment::binDir() + QStringLiteral("/kelvra"));

            QSignalSpy offered(&client, &CoreController::updateAvailable);
            client.checkUpdates();
            QTRY_COMPARE_WITH_TIMEOUT(offered.size(), 1, 15000);
            const QVariantList offer = offered.first();

            // What the window does: start the download; when the install
            // begins with the tunnel up, ask for it back after the restart.
            QSignalSpy progress(updater, &Updater::progressChanged);
            connect(updater, &Updater::installing, this, [updater] { updater->setReconnectAfterUpdate(true); });
            updater->start(offer.at(2).toString(), offer.at(3).toString(), offer.at(1).toString());
            QTRY_VERIFY_WITH_TIMEOUT(quit, 30000);
            QCOMPARE(updater->progress(), 100);
            QCOMPARE(m_backend.updates().downloads(), 1);
        }

        // The install mode checked the copy and started it; the installer ran.
        QVERIFY2(places.installLog().contains(QStringLiteral("update: verified installer started")),
                 qPrintable(places.installLog()));
        QTRY_VERIFY_WITH_TIMEOUT(places.installerRuns().contains(QStringLiteral("/UPDATE")), 10000);
        QCOMPARE(SignedInstaller::read(places.installFolder() + QStringLiteral("/version")).trimmed(),
                 QByteArray("3.7.9"));

        // The client comes back: it reconnects at once and says what it was
        // updated to, once.
        QSettings().setValue(QStringLiteral("updater/lastRunVersion"), QStringLiteral("3.7.7"));
        LogCapture log;
        auto vpn = QSharedPointer<VpnConnection>::create(settings);
        CoreController client(nullptr, vpn, settings);
        QVERIFY(!QSettings().contains(QStringLiteral("updater/reconnectAfterUpdate")));
        QCOMPARE(client.updater()->justUpdatedTo(), QStringLiteral(KELVRA_VERSION));
        QCOMPARE(client.updater()->justUpdatedTo(), QString());
        emit client.serversModel()->defaultServerReady();
        emit UserManager::instance()->userCurrentSubscriptionFetched();
        QTRY_COMPARE(log.count(QStringLiteral("Auto-connect: opening the connection")), 1);
    }
};

QTEST_MAIN(TestUpdateFlow)
#include "tst_updateflow.moc"
