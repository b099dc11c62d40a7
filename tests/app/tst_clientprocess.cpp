#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>

#include "support/TestEnvironment.h"

// The client program itself, started as a user would.
class TestClientProcess : public QObject
{
    Q_OBJECT

    QString program() const { return TestEnvironment::binDir() + QStringLiteral("/kelvra"); }

    QString logPath() const
    {
        return qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/Kelvra.Inc/Kelvra/logs/Kelvra.log");
    }

    static QByteArray read(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    void setStored(const QString &key, const QVariant &value)
    {
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Kelvra.Inc"),
                           QStringLiteral("Kelvra"));
        settings.setValue(key, value);
        settings.sync();
    }

    // Runs one client until its log says `marker`, then stops it.
    void runClientUntilLogged(const QStringList &arguments, const QByteArray &marker)
    {
        QProcess client;
        client.start(program(), arguments);
        QVERIFY(client.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(read(logPath()).contains(marker) || client.state() == QProcess::NotRunning, 30000);
        QCOMPARE(client.state(), QProcess::Running); // the main page loaded; it did not exit
        client.terminate();
        QVERIFY(client.waitForFinished(10000));
    }

private slots:
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        QTest::newRow("version") << QStringList{"--version"} << 0 << "Kelvra 3.7.8";
        QTest::newRow("help") << QStringList{"--help"} << 0 << "--autostart";
        QTest::newRow("unknown option") << QStringList{"--no-such-option"} << 1 << "Unknown option";
        QTest::newRow("install mode, wrong argument count") << QStringList{"--install-update", "x"} << 2 << "";
        QTest::newRow("install mode never starts an unchecked installer")
            << QStringList{"--install-update", "/tmp/none.exe", QString(64, 'a')} << 4 << "";
        QTest::newRow("install mode only as the first argument")
            << QStringList{"--autostart", "--install-update", "a", "b"} << 1 << "Unknown option";
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        QProcess client;
        // The install mode keeps its folder in the test's home, not the machine's.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("KELVRA_TEST_UPDATE_DIR"), TestEnvironment::home() + QStringLiteral("/update"));
        client.setProcessEnvironment(environment);
        client.start(program(), arguments);
        QVERIFY(client.waitForFinished(30000));
        QCOMPARE(client.exitStatus(), QProcess::NormalExit);
        QCOMPARE(client.exitCode(), exitCode);
        const QString text = QString::fromUtf8(client.readAllStandardOutput() + client.readAllStandardError());
        QVERIFY2(text.contains(output), qPrintable(text));
    }

    void twoStartsLeaveThisRunAndThePrevious()
    {
        setStored(QStringLiteral("Settings/logging"), true);
        QFile::remove(logPath());
        QFile::remove(logPath() + QStringLiteral(".1"));

        runClientUntilLogged({}, "Auto authenticate failed");
        const QByteArray first = read(logPath());
        QVERIFY(first.contains("Started Kelvra, version 3.7.8"));

        // The second run is started with a sign-in link: it is handled 2 s after start-up.
        runClientUntilLogged({QStringLiteral("kelvra://login?code=secretcode123")}, "Login link received");
        QCOMPARE(read(logPath() + QStringLiteral(".1")), first);
        const QByteArray second = read(logPath());
        QVERIFY(second.contains("Started Kelvra, version 3.7.8"));
        QVERIFY(!second.contains("secretcode123"));

        const QRegularExpression line(QStringLiteral(
            "^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} \\[(DEBUG|INFO|WARNING|CRITICAL|FATAL)\\] \"\\w+\" \".*\"$"));
        for (const QByteArray &text : {first, second}) {
            for (const QByteArray &l : text.trimmed().split('\n')) {
                const QString s = QString::fromUtf8(l);
                // Qt's own messages carry no module name; ours must all follow the format.
                if (s.contains(QLatin1String("] \"")))
                    QVERIFY2(line.match(s).hasMatch(), qPrintable(s));
            }
        }
        const QFileInfo info(logPath());
        QCOMPARE(info.permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());
    }

    // Runs one client until it has said it started, then stops it; returns
    // what it wrote to the console by then.
    void runClientUntilStarted(QByteArray *output)
    {
        QProcess client;
        client.setProcessChannelMode(QProcess::MergedChannels);
        client.start(program());
        QVERIFY(client.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT((*output += client.readAllStandardOutput()).contains("Tray system supported")
                                     || client.state() != QProcess::Running,
                                 30000);
        QCOMPARE(client.state(), QProcess::Running);
        client.terminate();
        QVERIFY(client.waitForFinished(10000));
    }

    void startMinimisedWithLoggingOff()
    {
        setStored(QStringLiteral("Settings/logging"), false);
        setStored(QStringLiteral("Settings/startMinimized"), true);
        QFile::remove(logPath());
        QByteArray output;
        runClientUntilStarted(&output);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(!QFile::exists(logPath()));
    }

    void startUpFindsItsFonts()
    {
        setStored(QStringLiteral("Settings/startMinimized"), false);
        QByteArray output;
        runClientUntilStarted(&output);
        if (QTest::currentTestFailed())
            return;
        QVERIFY2(!output.contains("Failed to load font:"), output.constData());
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    TestClientProcess test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_clientprocess.moc"
