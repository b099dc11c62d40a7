#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include "SignedInstaller.h"
#include "support/TestEnvironment.h"
#include "updater/InstallMode.h"

// The elevated install mode as the client starts it: the real program with
// "--install-update", run as root as pkexec would run it. Whatever path,
// file, checksum or signature it is handed, it ends with its exit code and a
// log line, and it starts nothing it did not check.
class TestInstallMode : public QObject
{
    Q_OBJECT

    struct Run
    {
        int exitCode = -1;
        QString log;
    };

    SignedInstaller m_release;
    SignedInstaller m_stranger{QStringLiteral("stranger")};
    QByteArray m_signed;

    Run install(const QStringList &arguments, const InstallPlaces &places)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(TestEnvironment::binDir() + QStringLiteral("/kelvra"),
                      QStringList{QStringLiteral("--install-update")} + arguments);
        if (!process.waitForFinished(60000))
            process.kill();
        return Run{process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, places.installLog()};
    }

    // The downloaded installer, in a user's folder.
    static QString download(const InstallPlaces &places, const QByteArray &bytes)
    {
        const QString path = places.root() + QStringLiteral("/cache/Kelvra-3.7.9-setup.exe");
        QDir().mkpath(QFileInfo(path).absolutePath());
        SignedInstaller::write(path, bytes);
        return path;
    }

private slots:
    void initTestCase()
    {
        TestEnvironment::isolate();
        QVERIFY2(m_release.isValid() && m_stranger.isValid(), "the openssl command made no key pair");
        if (::geteuid() != 0)
            QSKIP("the install mode runs as root; this test program does not");
        qputenv("KELVRA_TEST_SIGNING_KEY", m_release.publicKeyPath().toUtf8());
        m_signed = m_release.signedStandInInstaller();
        QVERIFY(!m_signed.isEmpty());
    }

    void verifiedCopyStartsTheInstaller()
    {
        InstallPlaces places;
        const QString file = download(places, m_signed);
        const Run run = install({file, QString::fromLatin1(SignedInstaller::sha256Hex(m_signed).toUpper() + "  ")},
                                places);
        QCOMPARE(run.exitCode, int(InstallMode::Started));
        QVERIFY2(run.log.contains(QStringLiteral("update: verified installer started")), qPrintable(run.log));
        QTRY_VERIFY_WITH_TIMEOUT(places.installerRuns().contains(QStringLiteral("/UPDATE")), 10000);

        // What ran was a copy in the admin-only folder, never the download.
        struct stat folder {};
        QCOMPARE(::stat(QFile::encodeName(places.updateFolder()).constData(), &folder), 0);
        QCOMPARE(folder.st_mode & 0777, 0700u);
        QCOMPARE(folder.st_uid, 0u);
        const QStringList copies = QDir(places.updateFolder()).entryList({QStringLiteral("Kelvra-update-*.exe")});
        QCOMPARE(copies.size(), 1);
        QCOMPARE(SignedInstaller::read(places.updateFolder() + QLatin1Char('/') + copies.first()), m_signed);
    }

    // Path and size attacks: each ends the run before anything is copied.
    void unusableDownloadsAreRefused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("relative path") << "relative" << 4 << "update: not a local file path";
        QTest::newRow("network share") << "share" << 4 << "update: not a local file path";
        QTest::newRow("question mark in the path") << "wildcard" << 4 << "update: not a local file path";
        QTest::newRow("no such file") << "missing" << 4 << "update: the downloaded installer can't be opened: 2";
        QTest::newRow("the file is a link") << "link" << 4 << "update: the downloaded installer can't be opened: 40";
        QTest::newRow("a folder on the way is a link") << "linked folder" << 4 << "update: not a plain local file";
        QTest::newRow("a folder") << "folder" << 4 << "update: not a plain local file";
        QTest::newRow("a device") << "device" << 4 << "update: not a plain local file";
        QTest::newRow("a pipe") << "fifo" << 4 << "update: not a plain local file";
        QTest::newRow("0 bytes") << "empty" << 4 << "update: unexpected installer size";
        QTest::newRow("over 512 MiB") << "huge" << 4 << "update: unexpected installer size";
    }
    void unusableDownloadsAreRefused()
    {
        QFETCH(QString, kind);
        QFETCH(int, exitCode);
        QFETCH(QString, logLine);
        InstallPlaces places;
        const QString good = download(places, m_signed);
        const QString sha = QString::fromLatin1(SignedInstaller::sha256Hex(m_signed));
        QString path;
        if (kind == QLatin1String("relative"))
            path = QStringLiteral("cache/Kelvra-3.7.9-setup.exe");
        else if (kind == QLatin1String("share"))
            path = QStringLiteral("//server/share/Kelvra-3.7.9-setup.exe");
        else if (kind == QLatin1String("wildcard"))
            path = places.root() + QStringLiteral("/cache/Kelvra-?.exe");
        else if (kind == QLatin1String("missing"))
            path = places.root() + QStringLiteral("/cache/none.exe");
        else if (kind == QLatin1String("link")) {
            path = places.root() + QStringLiteral("/cache/link.exe");
            QVERIFY(QFile::link(good, path));
        } else if (kind == QLatin1String("linked folder")) {
            QVERIFY(QFile::link(places.root() + QStringLiteral("/cache"), places.root() + QStringLiteral("/via")));
            path = places.root() + QStringLiteral("/via/Kelvra-3.7.9-setup.exe");
        } else if (kind == QLatin1String("folder"))
            path = places.root() + QStringLiteral("/cache");
        else if (kind == QLatin1String("device"))
            path = QStringLiteral("/dev/zero");
        else if (kind == QLatin1String("fifo")) {
            path = places.root() + QStringLiteral("/cache/pipe.exe");
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (kind == QLatin1String("empty")) {
            path = download(places, QByteArray());
        } else if (kind == QLatin1String("huge")) {
            path = places.root() + QStringLiteral("/cache/huge.exe");
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(InstallMode::kMaxInstallerBytes + 1)); // sparse: takes no room
        }
        const Run run = install({path, sha}, places);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.log.contains(logLine), qPrintable(run.log));
        QVERIFY(QDir(places.updateFolder()).entryList({QStringLiteral("*.exe")}).isEmpty());
        QVERIFY(places.installerRuns().isEmpty());
    }

    void copyWithoutMatchingChecksumIsDeleted_data()
    {
        QTest::addColumn<QString>("checksum");
        QTest::newRow("empty") << QString();
        QTest::newRow("another file's") << QString::fromLatin1(SignedInstaller::sha256Hex("other"));
        QTest::newRow("not hexadecimal") << QStringLiteral("not-a-checksum");
    }
    void copyWithoutMatchingChecksumIsDeleted()
    {
        QFETCH(QString, checksum);
        InstallPlaces places;
        const Run run = install({download(places, m_signed), checksum}, places);
        QCOMPARE(run.exitCode, int(InstallMode::ChecksumMismatch));
        QVERIFY2(run.log.contains(QStringLiteral("update: the copy's checksum doesn't match")), qPrintable(run.log));
        QVERIFY(QDir(places.updateFolder()).entryList({QStringLiteral("*.exe")}).isEmpty());
        QVERIFY(places.installerRuns().isEmpty());
    }

    void signatureRefusalsSayWhy_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("unsigned") << "unsigned" << "update: refused, no valid signature (unsigned)";
        QTest::newRow("signed by another key") << "stranger" << "update: refused, signed by someone else (key ";
        QTest::newRow("changed after signing")
            << "tampered" << "update: refused, no valid signature (the file changed after signing)";
        QTest::newRow("signature cut short") << "truncated" << "update: refused, no valid signature (unsigned)";
    }
    void signatureRefusalsSayWhy()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        const QByteArray payload =
            SignedInstaller::read(TestEnvironment::binDir() + QStringLiteral("/kelvra-installer-standin"));
        QByteArray bytes;
        if (kind == QLatin1String("unsigned"))
            bytes = payload;
        else if (kind == QLatin1String("stranger"))
            bytes = m_stranger.sign(payload);
        else if (kind == QLatin1String("tampered")) {
            bytes = m_signed;
            bytes[100] = char(bytes.at(100) ^ 0x20);
        } else if (kind == QLatin1String("truncated")) {
            bytes = m_signed.left(m_signed.size() - 1);
        }
        InstallPlaces places;
        const Run run = install({download(places, bytes), QString::fromLatin1(SignedInstaller::sha256Hex(bytes))},
                                places);
        QCOMPARE(run.exitCode, int(InstallMode::SignatureRefused));
        QVERIFY2(run.log.contains(reason), qPrintable(run.log));
        QVERIFY(run.log.contains(QStringLiteral("update: signing certificate")));
        QVERIFY(QDir(places.updateFolder()).entryList({QStringLiteral("*.exe")}).isEmpty());
        QVERIFY(places.installerRuns().isEmpty());
    }

    // Another file put in the checked copy's place before the start is never
    // the one that runs: the start executes the file that was checked.
    void copySwappedAfterTheCheckIsNeverRun()
    {
        InstallPlaces places;
        const QString marker = places.root() + QStringLiteral("/swapped-ran");
        const QString swap = places.root() + QStringLiteral("/swap.exe");
        QVERIFY(SignedInstaller::write(swap, "#!/bin/sh\ntouch '" + marker.toUtf8() + "'\n", InstallPlaces::executable()));
        qputenv("KELVRA_TEST_SWAP_COPY", swap.toUtf8());
        const Run run = install({download(places, m_signed), QString::fromLatin1(SignedInstaller::sha256Hex(m_signed))},
                                places);
        qunsetenv("KELVRA_TEST_SWAP_COPY");
        QCOMPARE(run.exitCode, int(InstallMode::Started));
        QVERIFY2(!QFile::exists(swap), "the swap did not happen");
        QTRY_VERIFY_WITH_TIMEOUT(places.installerRuns().contains(QStringLiteral("/UPDATE")), 10000);
        QTest::qWait(300);
        QVERIFY(!QFile::exists(marker));
    }

    void leftoversOfEarlierRunsAreRemoved()
    {
        InstallPlaces places;
        QVERIFY(QDir().mkpath(places.updateFolder()));
        const QString old = places.updateFolder() + QStringLiteral("/Kelvra-update-1.exe");
        QVERIFY(SignedInstaller::write(old, "old"));
        install({download(places, m_signed), QString::fromLatin1(SignedInstaller::sha256Hex(m_signed))}, places);
        QVERIFY(!QFile::exists(old));
    }

    void unsafeUpdateFolderIsRefused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("a link to another folder") << "link";
        QTest::newRow("owned by another user") << "owner";
        QTest::newRow("a file") << "file";
    }
    void unsafeUpdateFolderIsRefused()
    {
        QFETCH(QString, kind);
        InstallPlaces places;
        const QByteArray folder = QFile::encodeName(places.updateFolder());
        if (kind == QLatin1String("link")) {
            QVERIFY(QDir().mkpath(places.root() + QStringLiteral("/elsewhere")));
            QVERIFY(QFile::link(places.root() + QStringLiteral("/elsewhere"), places.updateFolder()));
        } else if (kind == QLatin1String("owner")) {
            QVERIFY(QDir().mkpath(places.updateFolder()));
            QCOMPARE(::chown(folder.constData(), 65534, 65534), 0);
        } else {
            QVERIFY(SignedInstaller::write(places.updateFolder(), "x"));
        }
        const Run run = install({download(places, m_signed), QString::fromLatin1(SignedInstaller::sha256Hex(m_signed))},
                                places);
        QCOMPARE(run.exitCode, int(InstallMode::UnsafeFolder));
        QVERIFY(places.installerRuns().isEmpty());
    }

    void wrongArgumentCountIsRefused_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("no checksum") << QStringList{QStringLiteral("/tmp/a.exe")};
        QTest::newRow("one too many") << QStringList{QStringLiteral("/tmp/a.exe"), QStringLiteral("ab"), QStringLiteral("x")};
    }
    void wrongArgumentCountIsRefused()
    {
        QFETCH(QStringList, arguments);
        InstallPlaces places;
        QCOMPARE(install(arguments, places).exitCode, int(InstallMode::BadArguments));
        QVERIFY(!QFile::exists(places.updateFolder()));
    }
};

QTEST_GUILESS_MAIN(TestInstallMode)
#include "tst_installmode.moc"
