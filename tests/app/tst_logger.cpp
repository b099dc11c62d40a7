#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include "app/Logger.h"
#include "support/TestEnvironment.h"

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

// Run in a child process so its standard output can be read whole.
int childLogs()
{
    if (!Logger::init())
        return 3;
    Logger adBlock(QStringLiteral("AdBlock"));
    adBlock.info() << "visible before";
    adBlock.info() << "configString=" << "[Interface] PrivateKey = c2VjcmV0";
    qWarning() << "qrc:/ui/qml/Main.qml:12: TypeError: Cannot read property";
    adBlock.warning() << "visible after";
    Logger::deInit();
    adBlock.info() << "configString= after the file log stopped";
    return 0;
}

} // namespace

class TestLogger : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        Logger::deInit();
        QDir(Logger::userLogsDir()).removeRecursively();
    }

    void rotatesOncePerStart_data()
    {
        QTest::addColumn<QByteArray>("previous");
        QTest::addColumn<bool>("rotated");
        QTest::newRow("previous run wrote lines") << QByteArray("old run line\n") << true;
        QTest::newRow("empty previous log is not rotated") << QByteArray() << false;
    }

    void rotatesOncePerStart()
    {
        QFETCH(QByteArray, previous);
        QFETCH(bool, rotated);
        const QString log = Logger::userLogsFilePath();
        writeFile(Logger::userLogsFilePath() + QStringLiteral(".1"), "two runs ago\n");
        writeFile(log, previous);

        QVERIFY(Logger::init());
        Logger(QStringLiteral("Settings")).info() << "this run";
        QVERIFY(readAll(log).contains("this run"));
        QVERIFY(!readAll(log).contains("old run"));
        QCOMPARE(readAll(log + QStringLiteral(".1")), rotated ? previous : QByteArray("two runs ago\n"));
        QCOMPARE(QFile::permissions(log) & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup
                                            | QFileDevice::WriteOther),
                 QFileDevice::Permissions());

        // A second start in the same process rotates this run away.
        QVERIFY(Logger::init());
        QVERIFY(readAll(log + QStringLiteral(".1")).contains("this run"));
        QCOMPARE(QFileInfo(log).size(), 0);
    }

    void lineFormat_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("tag");
        QTest::newRow("debug") << int(LogLine::Debug) << "[DEBUG]";
        QTest::newRow("info") << int(LogLine::Info) << "[INFO]";
        QTest::newRow("warning") << int(LogLine::Warning) << "[WARNING]";
        QTest::newRow("critical") << int(LogLine::Critical) << "[CRITICAL]";
    }

    void lineFormat()
    {
        QFETCH(int, level);
        QFETCH(QString, tag);
        QVERIFY(Logger::init());
        {
            LogLine line(QStringLiteral("AdBlock"), LogLine::Level(level));
            line << "Blocklist" << 42 << QStringList{"a", "b"} << true;
        }
        const QString text = QString::fromUtf8(readAll(Logger::userLogsFilePath())).trimmed();
        const QRegularExpression expected(QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} ")
                                          + QRegularExpression::escape(tag)
                                          + QStringLiteral(" \"AdBlock\" \"Blocklist 42 a,b true\"$"));
        QVERIFY2(expected.match(text).hasMatch(), qPrintable(text));
    }

    void lineFormatIgnoresTheEnvironmentsPattern_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::newRow("message only") << "%{message}";
        QTest::newRow("category and function") << "%{category} %{function}: %{message}";
        QTest::newRow("time of its own") << "%{time hh:mm} %{if-debug}D%{endif} %{message} %{type}";
    }

    void lineFormatIgnoresTheEnvironmentsPattern()
    {
        QFETCH(QString, pattern);
        QProcess child;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_MESSAGE_PATTERN"), pattern);
        child.setProcessEnvironment(environment);
        child.setProgram(QCoreApplication::applicationFilePath());
        child.setArguments({QStringLiteral("--child-logs")});
        child.start();
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitCode(), 0);

        const QStringList lines = QString::fromUtf8(readAll(Logger::userLogsFilePath())).trimmed().split(u'\n');
        const QRegularExpression expected(QStringLiteral(
            "^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} \\[(INFO|WARNING)\\] \"AdBlock\" \"visible (before|after)\"$"));
        QCOMPARE(lines.size(), 2);
        for (const QString &line : lines)
            QVERIFY2(expected.match(line).hasMatch(), qPrintable(line));
    }

    void controlCharactersCannotForgeLines()
    {
        QVERIFY(Logger::init());
        Logger(QStringLiteral("AppManager")).info() << "link\n2026-01-01 00:00:00 [CRITICAL] \"forged\"";
        const QList<QByteArray> lines = readAll(Logger::userLogsFilePath()).trimmed().split('\n');
        QCOMPARE(lines.size(), 1);
    }

    void configurationsNeverReachFileOrStdout()
    {
        QProcess child;
        child.setProgram(QCoreApplication::applicationFilePath());
        child.setArguments({QStringLiteral("--child-logs")});
        child.start();
        QVERIFY(child.waitForFinished(30000));
        QCOMPARE(child.exitCode(), 0);
        const QByteArray out = child.readAllStandardOutput() + child.readAllStandardError();
        const QByteArray file = readAll(Logger::userLogsFilePath());
        for (const QByteArray &text : {out, file}) {
            QVERIFY(!text.contains("configString="));
            QVERIFY(!text.contains("c2VjcmV0"));
            QVERIFY(!text.contains("TypeError"));
        }
        QVERIFY(file.contains("visible before"));
        QVERIFY(file.contains("visible after"));
        QVERIFY(out.contains("visible after"));
    }

    void clearEmptiesTheLogAndDropsThePreviousOne()
    {
        QVERIFY(Logger::init());
        Logger(QStringLiteral("Settings")).info() << "something";
        writeFile(Logger::userLogsFilePath() + QStringLiteral(".1"), "previous\n");
        QVERIFY(Logger::clear(false));
        QCOMPARE(QFileInfo(Logger::userLogsFilePath()).size(), 0);
        QVERIFY(!QFile::exists(Logger::userLogsFilePath() + QStringLiteral(".1")));
        // The file log stays closed until logging is switched on again.
        QVERIFY(!Logger::isFileLogOpen());
        Logger(QStringLiteral("Settings")).info() << "after clear";
        QCOMPARE(QFileInfo(Logger::userLogsFilePath()).size(), 0);
    }

    void unwritableFolderFailsCleanly()
    {
        // A file where the log folder should be.
        QDir(Logger::userLogsDir()).removeRecursively();
        writeFile(Logger::userLogsDir(), "not a folder");
        QVERIFY(!Logger::init());
        QVERIFY(!Logger::isFileLogOpen());
        QFile::remove(Logger::userLogsDir());
    }

    void serviceLogCallsReportTheMissingLink()
    {
        QVERIFY(!Logger::setServiceLogsEnabled(true));
        QVERIFY(!Logger::clearServiceLogs());
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("Kelvra"));
    app.setOrganizationName(QStringLiteral("Kelvra.Inc"));
    if (argc > 1 && qstrcmp(argv[1], "--child-logs") == 0)
        return childLogs();
    TestLogger test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_logger.moc"
