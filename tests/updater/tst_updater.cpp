#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#include <unistd.h>

#include "../api/ApiTestSupport.h"
#include "SignedInstaller.h"
#include "platform/Elevation.h"
#include "updater/InstallerLink.h"
#include "updater/Updater.h"

using Fault = StandInUpdates::Fault;

namespace {
const QString kCannotInstall =
    QStringLiteral("This update can't be installed automatically. Please download it from the website.");
const QString kCorrupted =
    QStringLiteral("Update verification failed — the download may be corrupted. Please try again.");
} // namespace

// The in-app update download against the backend stand-in's download host:
// which links and redirects are refused, which files fail their checks, what
// cancelling leaves, and the hand-over to the elevated install mode.
class TestUpdater : public QObject
{
    Q_OBJECT

    BackendStandIn m_backend;
    SignedInstaller m_release;
    QByteArray m_signed;

    struct Outcome
    {
        QString failure;   // the message of failed(), empty when none came
        bool installing = false;
        bool quit = false;
        QString filePath;
        bool busy = true;
        int progress = -1;
    };

    // Starts a download and waits for it to end one way or the other.
    Outcome run(Updater &updater, const QString &url, const QString &sha256, int waitMs = 30000)
    {
        Outcome outcome;
        auto quit = std::make_shared<bool>(false);
        updater.setQuitForTesting([quit] { *quit = true; });
        QSignalSpy failed(&updater, &Updater::failed);
        QSignalSpy installing(&updater, &Updater::installing);
        updater.start(url, sha256, QStringLiteral("optional"));
        QDeadlineTimer deadline(waitMs);
        while (failed.isEmpty() && !*quit && !deadline.hasExpired())
            QTest::qWait(20);
        outcome.quit = *quit;
        outcome.failure = failed.isEmpty() ? QString() : failed.first().first().toString();
        outcome.installing = !installing.isEmpty();
        outcome.filePath = updater.filePath();
        outcome.busy = updater.busy();
        outcome.progress = updater.progress();
        return outcome;
    }

    QString offer(const QByteArray &bytes, Fault fault = Fault::None)
    {
        m_backend.updates().offer(QStringLiteral("Kelvra-3.7.9-setup.exe"), bytes, fault);
        return m_backend.updates().offerAnswer().value(QLatin1String("installer_url")).toString();
    }

    QString checksumOf(const QByteArray &bytes) { return QString::fromLatin1(SignedInstaller::sha256Hex(bytes)); }

private slots:
    void initTestCase()
    {
        ApiTestSupport::useOwnCredentialService("updater");
        QVERIFY(ApiTestSupport::startStandIn(m_backend));
        InstallerLink::setAcceptedPortForTesting(m_backend.port());
        QVERIFY(m_release.isValid());
        qputenv("KELVRA_TEST_SIGNING_KEY", m_release.publicKeyPath().toUtf8());
        m_signed = m_release.signedStandInInstaller();
    }

    void init()
    {
        ApiTestSupport::resetStandIn(m_backend);
        m_backend.updates().clear();
        Elevation::setCommandForTesting(QString());
    }

    void linksOffOurDownloadHostAreRefused_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("reason");
        QTest::newRow("plain http") << "http://download.kelvra.com/Kelvra-3.7.9-setup.exe"
                                    << "installer link is not https: http";
        QTest::newRow("another host") << "https://download.kelvra.com.evil.test/Kelvra-3.7.9-setup.exe"
                                      << "installer link is not on our download host: download.kelvra.com.evil.test";
        QTest::newRow("another port") << "https://download.kelvra.com:8443/Kelvra-3.7.9-setup.exe"
                                      << "installer link is not on our download host: download.kelvra.com";
        QTest::newRow("user information") << "https://me@download.kelvra.com/Kelvra-3.7.9-setup.exe"
                                          << "installer link is not on our download host: download.kelvra.com";
        QTest::newRow("not an installer") << "https://download.kelvra.com/Kelvra-3.7.9.zip"
                                          << "installer is not a .exe for this platform: Kelvra-3.7.9.zip";
    }
    void linksOffOurDownloadHostAreRefused()
    {
        QFETCH(QString, url);
        QFETCH(QString, reason);
        QCOMPARE(InstallerLink::check(QUrl(url), QStringLiteral(".exe")), reason);
        Updater updater;
        LogCapture log;
        const Outcome outcome = run(updater, url, QStringLiteral("ab"));
        QCOMPARE(outcome.failure, kCannotInstall);
        QVERIFY2(log.contains(QStringLiteral("refusing installer url: ") + reason), qPrintable(log.all()));
        QVERIFY(!outcome.busy);
    }

    void linksOnOurHostsPass_data()
    {
        QTest::addColumn<QString>("url");
        QTest::newRow("download host") << "https://download.kelvra.com/Kelvra-3.7.9-setup.exe";
        QTest::newRow("suffix in capitals") << "https://download.kelvra.com/KELVRA-3.7.9-SETUP.EXE";
        QTest::newRow("host in capitals, port given") << "https://DOWNLOAD.kelvra.com:443/k.exe";
        QTest::newRow("this build's API host") << "https://testapi.kelvra.test/k.exe";
    }
    void linksOnOurHostsPass()
    {
        QFETCH(QString, url);
        QCOMPARE(InstallerLink::check(QUrl(url), QStringLiteral(".exe")), QString());
    }

    void emptyOrBrokenLinkSaysNoLink_data()
    {
        QTest::addColumn<QString>("url");
        QTest::newRow("empty") << QString();
        QTest::newRow("not a URL") << "https://[::1";
    }
    void emptyOrBrokenLinkSaysNoLink()
    {
        QFETCH(QString, url);
        Updater updater;
        QCOMPARE(run(updater, url, QStringLiteral("ab")).failure, QStringLiteral("No installer link was provided."));
    }

    // What the download host serves, and what the client makes of it.
    void downloadRefusals_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<QString>("checksum"); // "" the honest one, "-" none
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("bytes differ from the checksum")
            << int(Fault::BadChecksum) << "" << kCorrupted << "refusing to launch update: checksum mismatch: expected ";
        QTest::newRow("more bytes than the file has")
            << int(Fault::WrongSize) << "" << kCorrupted << "refusing to launch update: checksum mismatch";
        QTest::newRow("no checksum offered")
            << int(Fault::None) << "-"
            << "Update verification failed — no checksum was provided. Please try again later."
            << "refusing to launch update: server provided no checksum";
        QTest::newRow("link on another host")
            << int(Fault::WrongHost) << "" << kCannotInstall
            << "refusing installer url: installer link is not on our download host: cdn1.testapi.kelvra.test";
        QTest::newRow("redirect to another host")
            << int(Fault::Redirect) << "" << kCannotInstall
            << "refusing installer redirect: installer link is not on our download host: cdn1.testapi.kelvra.test";
        QTest::newRow("transfer stalls") << int(Fault::Stall) << "" << "Download failed: " << "Update failed:";
    }
    void downloadRefusals()
    {
        QFETCH(int, fault);
        QFETCH(QString, checksum);
        QFETCH(QString, failure);
        QFETCH(QString, logLine);
        const QString url = offer(m_signed, Fault(fault));
        if (checksum.isEmpty())
            checksum = checksumOf(m_signed);
        else if (checksum == QLatin1String("-"))
            checksum.clear();
        Updater updater;
        updater.setTransferTimeoutForTesting(1500);
        Elevation::setCommandForTesting(QStringLiteral("/nonexistent/elevate")); // nothing may get that far
        LogCapture log;
        const Outcome outcome = run(updater, url, checksum);
        QVERIFY2(outcome.failure.startsWith(failure), qPrintable(outcome.failure));
        QVERIFY2(log.contains(logLine), qPrintable(log.all()));
        QVERIFY(!outcome.installing);
        QVERIFY(!outcome.busy);
        QCOMPARE(outcome.progress, 0);
        if (!outcome.filePath.isEmpty())
            QVERIFY2(!QFile::exists(outcome.filePath), "a refused download stays on disk");
        // Nothing was fetched from a host the rules refuse.
        const int fetchesFromOtherHost = int(std::count_if(
            m_backend.requests().cbegin(), m_backend.requests().cend(),
            [](const StandInRequest &r) { return r.host == QLatin1String(StandInUpdates::kOtherHost); }));
        QCOMPARE(fetchesFromOtherHost, 0);
    }

    void checksumIsComparedWithoutCaseOrSpaces()
    {
        const QString url = offer(m_signed);
        Updater updater;
        Elevation::setCommandForTesting(QStringLiteral("/nonexistent/elevate"));
        LogCapture log;
        const Outcome outcome = run(updater, url, QStringLiteral("  ") + checksumOf(m_signed).toUpper() + QStringLiteral(" "));
        // Verified, then the hand-over failed: the elevation command is missing.
        QCOMPARE(outcome.failure, QStringLiteral("Couldn't start the installer."));
        QVERIFY(!log.contains(QStringLiteral("refusing to launch update")));
    }

    void emptyFileWithTheEmptyChecksumIsAccepted()
    {
        const QString url = offer(QByteArray());
        Updater updater;
        Elevation::setCommandForTesting(QStringLiteral("/nonexistent/elevate"));
        LogCapture log;
        const Outcome outcome = run(updater, url, checksumOf(QByteArray()));
        QCOMPARE(outcome.failure, QStringLiteral("Couldn't start the installer."));
        QVERIFY(!log.contains(QStringLiteral("refusing to launch update")));
    }

    // A link to a folder names no installer file: refused like any other
    // file that is not an installer, before anything is fetched.
    void linkEndingInSlashIsRefused()
    {
        const QString url = QStringLiteral("https://testapi.kelvra.test:%1/downloads/").arg(m_backend.port());
        QCOMPARE(InstallerLink::check(QUrl(url), QStringLiteral(".exe")),
                 QStringLiteral("installer is not a .exe for this platform: "));
        Updater updater;
        QCOMPARE(run(updater, url, QStringLiteral("ab")).failure, kCannotInstall);
        QVERIFY(m_backend.requests().isEmpty());
    }

    void cancelStopsTheDownloadSilently()
    {
        Updater updater;
        QSignalSpy failed(&updater, &Updater::failed);
        QSignalSpy busy(&updater, &Updater::busyChanged);
        updater.cancel(); // idle: nothing happens
        QCOMPARE(busy.size(), 0);

        const QString url = offer(m_signed, Fault::Stall);
        updater.start(url, checksumOf(m_signed), QString());
        QVERIFY(updater.busy());
        const QString file = updater.filePath();
        QVERIFY(QFile::exists(file));
        QTRY_VERIFY(m_backend.updates().downloads() == 1);
        LogCapture log;
        updater.cancel();
        QVERIFY(!updater.busy());
        QCOMPARE(updater.progress(), 0);
        QVERIFY(!QFile::exists(file));
        QVERIFY(QFileInfo::exists(QFileInfo(file).absolutePath())); // the folder is left
        QVERIFY(log.contains(QStringLiteral("Update download cancelled by user")));
        QTest::qWait(200);
        QCOMPARE(failed.size(), 0);
    }

    void secondStartWhileBusyIsRefused()
    {
        const QString url = offer(m_signed, Fault::Stall);
        Updater updater;
        updater.start(url, checksumOf(m_signed), QString());
        QSignalSpy failed(&updater, &Updater::failed);
        updater.start(url, checksumOf(m_signed), QString());
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first().first().toString(), QStringLiteral("An update is already downloading."));
        QVERIFY(updater.busy());
        updater.cancel();
    }

    void declinedElevationFailsAndKeepsTheClient()
    {
        InstallPlaces places;
        Elevation::setCommandForTesting(places.decliningElevation());
        const QString url = offer(m_signed);
        Updater updater;
        updater.setInstallProgramForTesting(TestEnvironment::binDir() + QStringLiteral("/kelvra"));
        const Outcome outcome = run(updater, url, checksumOf(m_signed));
        QCOMPARE(outcome.failure, QStringLiteral("Couldn't start the installer."));
        QVERIFY(!outcome.installing);
        QVERIFY(!outcome.quit);
        QVERIFY(!QFile::exists(outcome.filePath));
        QVERIFY(places.installerRuns().isEmpty());
    }

    void verifiedDownloadIsInstalledAndTheClientQuits()
    {
        if (::geteuid() != 0)
            QSKIP("the install mode's folder must be root's; this test program does not run as root");
        InstallPlaces places;
        Elevation::setCommandForTesting(places.acceptingElevation());
        const QString url = offer(m_signed);
        Updater updater;
        updater.setInstallProgramForTesting(TestEnvironment::binDir() + QStringLiteral("/kelvra"));
        QSignalSpy progress(&updater, &Updater::progressChanged);
        LogCapture log;
        const Outcome outcome = run(updater, url, checksumOf(m_signed));
        QCOMPARE(outcome.failure, QString());
        QVERIFY(outcome.installing);
        QVERIFY(outcome.quit);
        QCOMPARE(outcome.progress, 100);
        QVERIFY(log.contains(QStringLiteral("Installer launched, quitting for update")));
        QVERIFY2(places.installLog().contains(QStringLiteral("update: verified installer started")),
                 qPrintable(places.installLog()));
        QTRY_VERIFY_WITH_TIMEOUT(places.installerRuns().contains(QStringLiteral("/UPDATE")), 10000);
        QCOMPARE(SignedInstaller::read(outcome.filePath), m_signed); // left for the install mode
    }

    void justUpdatedToSaysSoOnceAfterAnUpdate()
    {
        QSettings().remove(QStringLiteral("updater/lastRunVersion"));
        Updater updater;
        QCOMPARE(updater.justUpdatedTo(), QString()); // first run after installing
        QCOMPARE(updater.justUpdatedTo(), QString());
        QSettings().setValue(QStringLiteral("updater/lastRunVersion"), QStringLiteral("3.6.0"));
        QCOMPARE(updater.justUpdatedTo(), QStringLiteral(KELVRA_VERSION));
        QCOMPARE(updater.justUpdatedTo(), QString());
    }

    void reconnectFlagIsTakenOnce()
    {
        Updater updater;
        QCOMPARE(updater.takeReconnectAfterUpdate(), false);
        updater.setReconnectAfterUpdate(true);
        QCOMPARE(updater.takeReconnectAfterUpdate(), true);
        QCOMPARE(updater.takeReconnectAfterUpdate(), false);
    }
};

QTEST_GUILESS_MAIN(TestUpdater)
#include "tst_updater.moc"
