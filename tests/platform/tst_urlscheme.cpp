#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include "platform/UrlScheme.h"
#include "support/TestEnvironment.h"

// The desktop entry that makes links of the client's schemes start the
// program, made the schemes' default handler through xdg-mime, all inside the
// test's own home.
class TestUrlScheme : public QObject
{
    Q_OBJECT

    static QString defaultHandler(const QString &scheme)
    {
        QProcess query;
        query.start(QStringLiteral("xdg-mime"), {QStringLiteral("query"), QStringLiteral("default"),
                                                 QStringLiteral("x-scheme-handler/") + scheme});
        if (!query.waitForFinished(10000))
            return {};
        return QString::fromUtf8(query.readAllStandardOutput()).trimmed();
    }

    static QString entryText(const QString &scheme)
    {
        QFile file(UrlScheme::location(scheme));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(UrlScheme::location(QStringLiteral("kelvra")).startsWith(TestEnvironment::home()));
        if (QStandardPaths::findExecutable(QStringLiteral("xdg-mime")).isEmpty())
            QSKIP("xdg-mime is not installed (scripts/deps.sh installs xdg-utils)");
    }

    void registersBothSchemes_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("exec");
        QTest::newRow("plain path") << "/opt/kelvra/bin/kelvra" << "Exec=/opt/kelvra/bin/kelvra %u\n";
        QTest::newRow("spaces and a percent sign")
            << "/opt/Kelvra VPN/100%/kelvra" << "Exec=\"/opt/Kelvra VPN/100%%/kelvra\" %u\n";
        QTest::newRow("quotes and a dollar") << "/tmp/a\"b$c/kelvra" << "Exec=\"/tmp/a\\\"b\\$c/kelvra\" %u\n";
    }

    void registersBothSchemes()
    {
        QFETCH(QString, program);
        QFETCH(QString, exec);
        QVERIFY(UrlScheme::registerScheme(QStringLiteral("kelvra"), program));
        QVERIFY(UrlScheme::registerScheme(QStringLiteral("kelvra-fiddle"), program));
        const QString text = entryText(QStringLiteral("kelvra"));
        QVERIFY2(text.contains(exec), qPrintable(text));
        QVERIFY2(text.contains(QLatin1String("MimeType=x-scheme-handler/kelvra;x-scheme-handler/kelvra-fiddle;\n")),
                 qPrintable(text));
        QVERIFY(text.contains(QLatin1String("NoDisplay=true\n")));
        QTRY_COMPARE_WITH_TIMEOUT(defaultHandler(QStringLiteral("kelvra")), QStringLiteral("kelvra-links.desktop"), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(defaultHandler(QStringLiteral("kelvra-fiddle")), QStringLiteral("kelvra-links.desktop"),
                                  15000);
    }

    void refusesOtherNames_data()
    {
        QTest::addColumn<QString>("scheme");
        QTest::newRow("empty") << "";
        QTest::newRow("capitals") << "Kelvra";
        QTest::newRow("a space") << "kelvra x";
        QTest::newRow("a path") << "../kelvra";
        QTest::newRow("a registry path") << "kelvra\\shell";
        QTest::newRow("a separator") << "kelvra;rm";
        QTest::newRow("too long") << QString(40, QLatin1Char('k'));
    }

    void refusesOtherNames()
    {
        QFETCH(QString, scheme);
        QVERIFY(!UrlScheme::isValidScheme(scheme));
        QVERIFY(!UrlScheme::registerScheme(scheme, QStringLiteral("/opt/kelvra/kelvra")));
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    TestUrlScheme test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_urlscheme.moc"
