#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/PeerCheck.h"
#include "platform/ProtectedPath.h"
#include "support/TestEnvironment.h"

// The two halves of trusting the service that need no service: reading its
// executable out of a configured command line, and the folders and files only
// the system may touch.
class TstPeerCheck : public QObject
{
    Q_OBJECT
private:
    static int modeOf(const QString &path)
    {
        struct stat info {};
        lstat(QFile::encodeName(path).constData(), &info);
        return int(info.st_mode & 07777);
    }

private slots:
    void executableFromCommandLine_data()
    {
        QTest::addColumn<QString>("commandLine");
        QTest::addColumn<QString>("executable");
        QTest::newRow("quoted") << "\"C:\\Program Files\\Kelvra\\KelvraService.exe\" --service"
                                << "C:\\Program Files\\Kelvra\\KelvraService.exe";
        QTest::newRow("quoted, unclosed") << "\"C:\\Program Files\\Kelvra\\KelvraService.exe --service" << QString();
        QTest::newRow("unquoted, upper-case extension") << "C:\\Kelvra\\KelvraService.EXE --service"
                                                        << "C:\\Kelvra\\KelvraService.EXE";
        QTest::newRow("unquoted, first .exe") << "C:\\a.exe\\KelvraService.exe" << "C:\\a.exe";
        QTest::newRow("no extension") << "C:\\Kelvra\\KelvraService --service" << QString();
        QTest::newRow("empty") << QString() << QString();
    }

    void executableFromCommandLine()
    {
        QFETCH(QString, commandLine);
        QFETCH(QString, executable);
        QCOMPARE(PeerCheck::executableFromCommandLine(commandLine), executable);
    }

    void protectedFolder()
    {
        if (geteuid() != 0)
            QSKIP("root-owned folders need root");
        QTemporaryDir dir;
        const QString folder = dir.path() + QStringLiteral("/update");
        QString error;
        QVERIFY2(ProtectedPath::createFolder(folder, &error), qPrintable(error));
        QCOMPARE(modeOf(folder), 0700);

        // An existing folder is accepted, and narrowed.
        QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                          | QFileDevice::ReadOther | QFileDevice::ExeOther);
        QVERIFY2(ProtectedPath::createFolder(folder, &error), qPrintable(error));
        QCOMPARE(modeOf(folder), 0700);

        // A link is never followed, even to a good folder.
        const QString link = dir.path() + QStringLiteral("/link");
        QVERIFY(QFile::link(folder, link));
        QVERIFY(!ProtectedPath::createFolder(link, &error));
        QCOMPARE(error, QStringLiteral("the path is not a plain directory"));

        const QString file = dir.path() + QStringLiteral("/file");
        QFile(file).open(QIODevice::WriteOnly);
        QVERIFY(!ProtectedPath::createFolder(file, &error));
        QCOMPARE(error, QStringLiteral("the path is not a plain directory"));

        QVERIFY(!ProtectedPath::createFolder(dir.path() + QStringLiteral("/missing/parent"), &error));
        QCOMPARE(error, QStringLiteral("can't create the directory"));

        // Someone else's folder is not ours to use.
        const QString foreign = dir.path() + QStringLiteral("/foreign");
        QVERIFY(QDir().mkdir(foreign));
        QVERIFY(chown(QFile::encodeName(foreign).constData(), 65534, 65534) == 0);
        QVERIFY(!ProtectedPath::createFolder(foreign, &error));
        QCOMPARE(error, QStringLiteral("the directory has another owner"));
    }

    void protectedFile()
    {
        QTemporaryDir dir;
        const QString path = dir.path() + QStringLiteral("/installer.exe");
        const QByteArray data(300000, 'k');
        QString error;
        QVERIFY2(ProtectedPath::createFile(path, data, &error), qPrintable(error));
        QCOMPARE(modeOf(path), 0600);
        QFile written(path);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), data);

        // Never over an existing file, nor through a link.
        QVERIFY(!ProtectedPath::createFile(path, "other", &error));
        QCOMPARE(error, QStringLiteral("can't create the file"));
        const QString link = dir.path() + QStringLiteral("/link.exe");
        QVERIFY(QFile::link(dir.path() + QStringLiteral("/target.exe"), link));
        QVERIFY(!ProtectedPath::createFile(link, "other", &error));
        QVERIFY(!QFile::exists(dir.path() + QStringLiteral("/target.exe")));
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    TstPeerCheck test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_peercheck.moc"
