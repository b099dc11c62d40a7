#include <QDir>
#include <QSignalSpy>
#include <QTest>

#include "../updater/SignedInstaller.h"
#include "../vpn/StandInProgram.h"
#include "platform/Elevation.h"
#include "setup/SetupBackend.h"
#include "support/TestEnvironment.h"

// Kelvra Setup's backend with a real package next to it (the installer
// stand-in, signed with a key made for this run), pkexec's stand-ins and the
// service stand-in: which screen each outcome ends on, with what detail, and
// that the visible phases follow the real work.
class TestSetupBackend : public QObject
{
    Q_OBJECT

    SignedInstaller m_release;
    QByteArray m_signed;
    StandInProgram m_service;
    QTemporaryDir m_runtime;

    struct Place
    {
        QTemporaryDir packages;
        InstallPlaces install;
    };

    // Setup with the package (these bytes, this file name) next to it, the
    // installed client recorded in the install folder when `installed` is set.
    std::unique_ptr<SetupBackend> makeSetup(Place &place, const QStringList &arguments = {},
                                            const QByteArray &package = QByteArray(),
                                            const QString &name = QStringLiteral("Kelvra-3.7.9-setup.exe"),
                                            const QString &installed = QString())
    {
        SignedInstaller::write(place.packages.filePath(name), package.isEmpty() ? m_signed : package,
                               InstallPlaces::executable());
        qputenv("KELVRA_TEST_INSTALLED_DIR", place.install.installFolder().toUtf8());
        if (!installed.isEmpty()) {
            QDir().mkpath(place.install.installFolder());
            SignedInstaller::write(place.install.installFolder() + QStringLiteral("/version"), installed.toUtf8());
        }
        auto setup = std::make_unique<SetupBackend>(arguments);
        setup->setPackageFolderForTesting(place.packages.path());
        setup->setServiceWaitForTesting(1500);
        setup->setQuitForTesting([] {});
        return setup;
    }

private slots:
    void initTestCase()
    {
        TestEnvironment::isolate();
        QVERIFY(m_release.isValid());
        qputenv("KELVRA_TEST_SIGNING_KEY", m_release.publicKeyPath().toUtf8());
        m_signed = m_release.signedStandInInstaller();
        QVERIFY(!m_signed.isEmpty());
        QVERIFY(StandInProgram::pointClientHere("kelvra-setup-", m_runtime.path()));
    }

    void init()
    {
        qunsetenv("KELVRA_STANDIN_INSTALLER");
        m_service.stop();
    }

    void updateKindComparesNumbers_data()
    {
        QTest::addColumn<QString>("installed");
        QTest::addColumn<QString>("payload");
        QTest::addColumn<QString>("kind");
        QTest::newRow("older") << "3.6.0" << "3.7.8" << "update";
        QTest::newRow("equal: repair") << "3.7.8" << "3.7.8" << "same";
        QTest::newRow("newer by number, not by text") << "3.10.0" << "3.9.0" << "newer";
        QTest::newRow("two-digit segment") << "3.7.10" << "3.7.8" << "newer";
        QTest::newRow("missing segment counts lower") << "3.7" << "3.7.0" << "update";
    }
    void updateKindComparesNumbers()
    {
        QFETCH(QString, installed);
        QFETCH(QString, payload);
        QFETCH(QString, kind);
        QCOMPARE(SetupBackend::compareVersions(installed, payload), kind);
    }

    void lastPackageInNameOrderIsUsed()
    {
        Place place;
        auto setup = makeSetup(place, {}, QByteArray(), QStringLiteral("Kelvra-3.7.10-setup.exe"));
        SignedInstaller::write(place.packages.filePath(QStringLiteral("Kelvra-3.7.8-setup.exe")), m_signed,
                               InstallPlaces::executable());
        setup->start();
        QCOMPARE(setup->payloadVersion(), QStringLiteral("3.7.8"));
        QCOMPARE(setup->screen(), QStringLiteral("welcome"));
        QCOMPARE(setup->installDir(), QDir::toNativeSeparators(place.install.installFolder()));
    }

    void missingPackageIsFoundAgainOnRetry()
    {
        Place place;
        auto setup = makeSetup(place, {}, QByteArray(), QStringLiteral("Kelvra-setup.exe")); // no version in the name
        setup->start();
        QCOMPARE(setup->screen(), QStringLiteral("error"));
        QCOMPARE(setup->errorKind(), QStringLiteral("missing"));
        QCOMPARE(setup->errorDetail(), QStringLiteral("no Kelvra package next to Setup"));
        SignedInstaller::write(place.packages.filePath(QStringLiteral("Kelvra-3.7.9-setup.exe")), m_signed,
                               InstallPlaces::executable());
        setup->install();
        QCOMPARE(setup->screen(), QStringLiteral("welcome"));
        QCOMPARE(setup->errorKind(), QString());
    }

    // How an install ends, by what the prompt, the package and the installer do.
    void installOutcomes_data()
    {
        QTest::addColumn<QString>("elevation");  // "accept" or "decline"
        QTest::addColumn<QString>("installer");  // KELVRA_STANDIN_INSTALLER
        QTest::addColumn<QString>("package");    // "signed", "unsigned", "stranger"
        QTest::addColumn<bool>("service");
        QTest::addColumn<QString>("errorKind");
        QTest::addColumn<QString>("errorDetail");
        QTest::addColumn<bool>("installerRan");

        QTest::newRow("installed, service up") << "accept" << "success" << "signed" << true << "" << "" << true;
        QTest::newRow("prompt declined") << "decline" << "success" << "signed" << true << "cancelled"
                                         << "Permission prompt closed" << false;
        QTest::newRow("installer fails") << "accept" << "exit:1" << "signed" << true << "failed"
                                         << "Kelvra installer exited with code 1" << false;
        QTest::newRow("installer cancelled") << "accept" << "exit:2" << "signed" << true << "failed"
                                             << "Kelvra installer exited with code 2" << false;
        QTest::newRow("installer exits 86") << "accept" << "exit:86" << "signed" << true << "signature"
                                            << "Kelvra installer exited with code 86" << false;
        QTest::newRow("unsigned package") << "accept" << "success" << "unsigned" << true << "signature"
                                          << "installer signature check failed: no valid signature (unsigned)" << false;
        QTest::newRow("package signed by someone else") << "accept" << "success" << "stranger" << true << "signature"
                                                        << "installer signature check failed: signed by someone else"
                                                        << false;
        QTest::newRow("service never runs") << "accept" << "success" << "signed" << false << "service"
                                            << "the Kelvra service didn't start within 30 s" << true;
    }
    void installOutcomes()
    {
        QFETCH(QString, elevation);
        QFETCH(QString, installer);
        QFETCH(QString, package);
        QFETCH(bool, service);
        QFETCH(QString, errorKind);
        QFETCH(QString, errorDetail);
        QFETCH(bool, installerRan);

        Place place;
        Elevation::setCommandForTesting(elevation == QLatin1String("accept") ? place.install.acceptingElevation()
                                                                             : place.install.decliningElevation());
        qputenv("KELVRA_STANDIN_INSTALLER", installer.toUtf8());
        if (service)
            QVERIFY(m_service.start());
        QByteArray bytes = m_signed;
        SignedInstaller stranger(QStringLiteral("stranger"));
        if (package == QLatin1String("unsigned"))
            bytes = SignedInstaller::read(TestEnvironment::binDir() + QStringLiteral("/kelvra-installer-standin"));
        else if (package == QLatin1String("stranger"))
            bytes = stranger.signedStandInInstaller();
        auto setup = makeSetup(place, {}, bytes);
        setup->start();
        QCOMPARE(setup->screen(), QStringLiteral("welcome"));

        QList<int> phases;
        connect(setup.get(), &SetupBackend::changed, this, [&] {
            if (phases.isEmpty() || phases.last() != setup->phase())
                phases << setup->phase();
        });
        setup->install();
        QCOMPARE(setup->screen(), QStringLiteral("permission"));
        QVERIFY(setup->busy());
        setup->install(); // ignored while busy
        QTRY_VERIFY_WITH_TIMEOUT(!setup->busy(), 30000);

        QCOMPARE(setup->errorKind(), errorKind);
        QVERIFY2(errorDetail.isEmpty() ? setup->errorDetail().isEmpty() : setup->errorDetail().startsWith(errorDetail),
                 qPrintable(setup->errorDetail()));
        QCOMPARE(!place.install.installerRuns().isEmpty(), installerRan);
        if (errorKind.isEmpty()) {
            QCOMPARE(setup->screen(), QStringLiteral("done"));
            QCOMPARE(setup->installedVersion(), QStringLiteral("3.7.9"));
            QCOMPARE(phases, (QList<int>{0, 1, 2, 3}));
            QCOMPARE(setup->exitCode(), 0);
            QVERIFY(place.install.installerRuns().contains(
                QStringLiteral("/S /NOLAUNCH /D=") + QDir::toNativeSeparators(place.install.installFolder())));
        } else {
            QCOMPARE(setup->screen(), QStringLiteral("error"));
            QCOMPARE(setup->exitCode(), 1);
        }
    }

    void tryAgainAfterDeclineAsksAgain()
    {
        Place place;
        Elevation::setCommandForTesting(place.install.decliningElevation());
        auto setup = makeSetup(place);
        setup->start();
        setup->install();
        QTRY_COMPARE_WITH_TIMEOUT(setup->errorKind(), QStringLiteral("cancelled"), 10000);
        setup->install();
        QCOMPARE(setup->screen(), QStringLiteral("permission"));
        QCOMPARE(setup->errorKind(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(setup->errorKind(), QStringLiteral("cancelled"), 10000);
    }

    // A slow installer: the phase shown never passes the work reported, and
    // phase 1 is never shown full while the installer still runs.
    void phasesNeverRunAhead()
    {
        Place place;
        Elevation::setCommandForTesting(place.install.acceptingElevation());
        qputenv("KELVRA_STANDIN_INSTALLER", "slow:3000");
        QVERIFY(m_service.start());
        auto setup = makeSetup(place);
        setup->start();
        setup->install();
        QTRY_COMPARE_WITH_TIMEOUT(setup->phase(), 1, 5000);
        QElapsedTimer during;
        during.start();
        while (during.elapsed() < 2000) {
            QTest::qWait(100);
            QCOMPARE(setup->phase(), 1);
            QVERIFY(setup->phaseProgress() < 0.95);
        }
        QTRY_COMPARE_WITH_TIMEOUT(setup->screen(), QStringLiteral("done"), 15000);
    }

    void updateModeInstallsWithoutAsking()
    {
        Place place;
        Elevation::setCommandForTesting(place.install.acceptingElevation());
        QVERIFY(m_service.start());
        auto setup = makeSetup(place, {QStringLiteral("/update")}, QByteArray(), QStringLiteral("Kelvra-3.7.9-setup.exe"),
                               QStringLiteral("3.7.8"));
        QVERIFY(setup->updateMode());
        QSignalSpy changed(setup.get(), &SetupBackend::changed);
        setup->start();
        QTRY_COMPARE(setup->screen(), QStringLiteral("installing")); // no permission screen
        QTRY_COMPARE_WITH_TIMEOUT(setup->screen(), QStringLiteral("done"), 20000);
        QVERIFY(SignedInstaller::read(setup->logPath()).contains("update mode (/UPDATE)"));
    }

    void updateModeWithNothingInstalledIsAFirstInstall()
    {
        Place place;
        auto setup = makeSetup(place, {QStringLiteral("/UPDATE")});
        const QString log = setup->logPath();
        QCOMPARE(log, place.install.updateFolder() + QStringLiteral("/setup.log"));
        setup->start();
        QCOMPARE(setup->screen(), QStringLiteral("welcome"));
        QVERIFY(!setup->updateMode());
        QVERIFY(SignedInstaller::read(log)
                    .contains("update mode: no installed Kelvra found, showing the normal Setup"));
    }

    void previewModes_data()
    {
        QTest::addColumn<QString>("demo");
        QTest::addColumn<QString>("screen");
        QTest::addColumn<QString>("installed");
        QTest::addColumn<QString>("errorKind");
        QTest::newRow("welcome") << "welcome" << "welcome" << "" << "";
        QTest::newRow("options") << "options" << "welcome" << "" << "";
        QTest::newRow("installed") << "installed" << "installed" << "3.7.8" << "";
        QTest::newRow("update") << "update" << "installed" << "3.6.0" << "";
        QTest::newRow("permission") << "permission" << "permission" << "" << "";
        QTest::newRow("done") << "done" << "done" << "" << "";
        QTest::newRow("error") << "error" << "error" << "" << "failed";
        QTest::newRow("cancel") << "cancel" << "error" << "" << "cancelled";
    }
    void previewModes()
    {
        QFETCH(QString, demo);
        QFETCH(QString, screen);
        QFETCH(QString, installed);
        QFETCH(QString, errorKind);
        SetupBackend setup({QStringLiteral("--demo"), demo, QStringLiteral("--os"), QStringLiteral("mac"),
                            QStringLiteral("/UPDATE")});
        setup.start();
        QCOMPARE(setup.screen(), screen);
        QCOMPARE(setup.installedVersion(), installed);
        QCOMPARE(setup.errorKind(), errorKind);
        QCOMPARE(setup.platform(), QStringLiteral("mac"));
        QVERIFY(!setup.updateMode());
        QCOMPARE(setup.payloadVersion(), QStringLiteral(KELVRA_VERSION));
    }

    void previewInstallPlaysTheInstallerTimeline()
    {
        SetupBackend setup({QStringLiteral("--demo"), QStringLiteral("welcome")});
        setup.start();
        setup.install();
        QTRY_COMPARE_WITH_TIMEOUT(setup.screen(), QStringLiteral("done"), 15000);
        QCOMPARE(setup.phase(), 3);
    }

    void chosenFolderEndsInTheProductName_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("folder");
        QTest::newRow("another name") << "/opt/apps" << "/opt/apps/Kelvra";
        QTest::newRow("the name in any case") << "/opt/KELVRA" << "/opt/KELVRA";
        QTest::newRow("trailing slash") << "/opt/apps/" << "/opt/apps/Kelvra";
    }
    void chosenFolderEndsInTheProductName()
    {
        QFETCH(QString, chosen);
        QFETCH(QString, folder);
        QCOMPARE(SetupBackend::installFolderFor(chosen), QDir::toNativeSeparators(folder));
    }
};

QTEST_MAIN(TestSetupBackend)
#include "tst_setupbackend.moc"
