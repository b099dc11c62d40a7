#include <QCoreApplication>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "support/TestEnvironment.h"

// What a configuration of the source tree gives: which backend the client is
// built for, and whether the stand-in's certificate authority (whose private
// key is in this repository) is compiled into the client. Only configured,
// never built: the answers are in what CMake generates.
class TestBuildFlavour : public QObject
{
    Q_OBJECT

    struct Configured
    {
        int exitCode = -1;
        QString output;
        QString api;
        QString clientDefines;
        QStringList clientResourcesWithTheCa;
    };

    static QString read(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    static Configured configure(const QStringList &options)
    {
        Configured result;
        QTemporaryDir build;
        if (!build.isValid())
            return result;
        QProcess cmake;
        cmake.setProcessChannelMode(QProcess::MergedChannels);
        cmake.start(QStringLiteral(KELVRA_CMAKE_COMMAND),
                    QStringList{QStringLiteral("-S"), QStringLiteral(KELVRA_SOURCE_DIR), QStringLiteral("-B"), build.path()}
                        + options);
        if (!cmake.waitForFinished(120000))
            return result;
        result.exitCode = cmake.exitCode();
        result.output = QString::fromUtf8(cmake.readAll());

        static const QRegularExpression apiLine(QStringLiteral("^KELVRA_API:STRING=(.*)$"),
                                                QRegularExpression::MultilineOption);
        result.api = apiLine.match(read(build.filePath(QStringLiteral("CMakeCache.txt")))).captured(1);
        result.clientDefines = read(build.filePath(QStringLiteral("CMakeFiles/kelvra_core.dir/flags.make")));
        // Resource lists are written at configure time; the client's are the
        // ones outside the stand-in programs' own folders.
        QDirIterator it(build.path(), {QStringLiteral("*.qrc")}, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (path.contains(QLatin1String("/tools/")))
                continue;
            if (read(path).contains(QLatin1String("certs/ca.pem")))
                result.clientResourcesWithTheCa << path;
        }
        return result;
    }

private slots:
    void flavours_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("api");
        QTest::addColumn<bool>("standIn");
        QTest::newRow("a plain build is the production client") << QStringList{} << "production" << false;
        QTest::newRow("production asked for") << QStringList{"-DKELVRA_API=production"} << "production" << false;
        QTest::newRow("staging") << QStringList{"-DKELVRA_API=staging"} << "staging" << false;
        QTest::newRow("the stand-in, asked for by name") << QStringList{"-DKELVRA_API=standin"} << "standin" << true;
    }

    void flavours()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, api);
        QFETCH(bool, standIn);
        const Configured configured = configure(options);
        QVERIFY2(configured.exitCode == 0, qPrintable(configured.output));
        QCOMPARE(configured.api, api);
        QVERIFY(!configured.clientDefines.isEmpty());
        QCOMPARE(configured.clientDefines.contains(QLatin1String("KELVRA_STANDIN")), standIn);
        QCOMPARE(configured.clientDefines.contains(QLatin1String("KELVRA_TESTING")), false);
        QCOMPARE(!configured.clientResourcesWithTheCa.isEmpty(), standIn);
    }

    void testsAreBuiltForTheStandInOnly()
    {
        // The tests talk to the stand-ins; built for a real backend they would
        // carry their seams into a client that talks to it.
        const Configured configured = configure({QStringLiteral("-DKELVRA_TESTING=ON")});
        QVERIFY(configured.exitCode != 0);
        QVERIFY2(configured.output.contains(QLatin1String("-DKELVRA_API=standin")), qPrintable(configured.output));
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    TestBuildFlavour test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_buildflavour.moc"
