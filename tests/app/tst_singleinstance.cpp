#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include "app/AppManager.h"
#include "platform/UrlScheme.h"
#include "support/TestEnvironment.h"

namespace {
bool handlerRegistered()
{
    QProcess query;
    query.start(QStringLiteral("xdg-mime"),
                {QStringLiteral("query"), QStringLiteral("default"), QStringLiteral("x-scheme-handler/kelvra-fiddle")});
    return query.waitForFinished(10000) && query.readAllStandardOutput().trimmed() == "kelvra-links.desktop";
}
} // namespace

// This test process plays the running client; real second starts of the
// program hand their argument over the single-instance channel.
class TestSingleInstance : public QObject
{
    Q_OBJECT

    AppManager *app() const { return qobject_cast<AppManager *>(qApp); }

    QString program() const { return TestEnvironment::binDir() + QStringLiteral("/kelvra"); }

    // Starts a second client and returns how long it lived.
    qint64 secondStart(const QStringList &arguments, int *exitCode)
    {
        QProcess second;
        second.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QElapsedTimer clock;
        clock.start();
        second.start(program(), arguments);
        if (!second.waitForStarted(10000))
            return -1;
        // Keep our own event loop turning while the second process talks to us.
        QDeadlineTimer deadline(30000);
        while (second.state() != QProcess::NotRunning && !deadline.hasExpired())
            QTest::qWait(20);
        *exitCode = second.state() == QProcess::NotRunning ? second.exitCode() : -1;
        return clock.elapsed();
    }

private slots:
    void initTestCase()
    {
        // Wired as the client's start-up does.
        connect(app(), &AppManager::messageReceived, app(), &AppManager::onReceivedMessage);
        app()->startSingleInstanceServer();
        QVERIFY(app()->isSingleInstanceServerListening());
    }

    void handsOverAndQuits_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("raised");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("token");
        QTest::newRow("sign-in link") << QStringList{"kelvra://login?code=abc123"} << 1 << "abc123" << "";
        QTest::newRow("no argument raises the window") << QStringList{} << 1 << "" << "";
        QTest::newRow("single-sign-on hand-back")
            << QStringList{"kelvra-fiddle://12%7Cabc?state=s1"} << 1 << "" << "12|abc";
        QTest::newRow("autostart is ignored") << QStringList{"--autostart"} << 0 << "" << "";
        QTest::newRow("link without a usable code") << QStringList{"kelvra://login?code=a b"} << 1 << "" << "";
        QTest::newRow("unknown option is not parsed by a second start")
            << QStringList{"--no-such-option"} << 0 << "" << "";
        QTest::newRow("100 KB argument") << QStringList{"kelvra://login?code=" + QString(100 * 1024, 'x')} << 0
                                         << "" << "";
    }

    void handsOverAndQuits()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, raised);
        QFETCH(QString, code);
        QFETCH(QString, token);
        QSignalSpy raise(app(), &AppManager::raiseRequested);
        QSignalSpy link(app(), &AppManager::loginLinkReceived);
        QSignalSpy signIn(app(), &AppManager::authenticated);

        int exitCode = -1;
        const qint64 lived = secondStart(arguments, &exitCode);
        QCOMPARE(exitCode, 0);
        // It quits a second after handing over, without building a client.
        QVERIFY2(lived >= 900, qPrintable(QString::number(lived)));
        QVERIFY(app()->isSingleInstanceServerListening());

        QTRY_COMPARE(raise.count(), raised);
        QTRY_COMPARE(link.count(), code.isEmpty() ? 0 : 1);
        if (!code.isEmpty())
            QCOMPARE(link.first().first().toString(), code);
        QTRY_COMPARE(signIn.count(), token.isEmpty() ? 0 : 1);
        if (!token.isEmpty())
            QCOMPARE(signIn.first().first().toString(), token);
    }

    // A link opened on the desktop (as a browser hands it on) starts the
    // program the scheme is registered to, which hands it to this client.
    void aLinkOpenedOnTheDesktopReachesTheRunningClient()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("xdg-open")).isEmpty())
            QSKIP("xdg-open is not installed (scripts/deps.sh installs xdg-utils)");
        QVERIFY(UrlScheme::registerScheme(QStringLiteral("kelvra-fiddle"), program()));
        QVERIFY(UrlScheme::location(QStringLiteral("kelvra-fiddle")).startsWith(TestEnvironment::home()));
        QSignalSpy signIn(app(), &AppManager::authenticated);
        QProcess desktop;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // xdg-open asks the desktop's handlers only when there is a display.
        if (!environment.contains(QStringLiteral("DISPLAY")))
            environment.insert(QStringLiteral("DISPLAY"), QStringLiteral(":0"));
        desktop.setProcessEnvironment(environment);
        desktop.setProcessChannelMode(QProcess::ForwardedChannels);
        QTRY_VERIFY_WITH_TIMEOUT(handlerRegistered(), 15000);
        desktop.start(QStringLiteral("xdg-open"), {QStringLiteral("kelvra-fiddle://31%7CdesktopToken?state=s9")});
        QVERIFY(desktop.waitForStarted(10000));
        QTRY_COMPARE_WITH_TIMEOUT(signIn.count(), 1, 30000);
        QCOMPARE(signIn.first(), (QList<QVariant>{QStringLiteral("31|desktopToken"), QStringLiteral("s9")}));
        QTRY_VERIFY_WITH_TIMEOUT(desktop.state() == QProcess::NotRunning, 30000);
    }

    void hostileConnectionsLeaveTheChannelWorking()
    {
        const QString name = AppManager::singleInstanceName();
        QSignalSpy received(app(), &AppManager::messageReceived);

        // One that connects and never speaks, one that floods, one with garbage.
        QLocalSocket silent;
        silent.connectToServer(name);
        QVERIFY(silent.waitForConnected(2000));

        QLocalSocket flood;
        flood.connectToServer(name);
        QVERIFY(flood.waitForConnected(2000));
        flood.write(QByteArray(2 * 1024 * 1024, 'k'));
        flood.flush();

        QLocalSocket garbage;
        garbage.connectToServer(name);
        QVERIFY(garbage.waitForConnected(2000));
        garbage.write(QByteArray("\x00\xff\xfe\x1b[2J\r\n", 8));
        garbage.flush();

        QTest::qWait(500);
        for (const QList<QVariant> &message : std::as_const(received))
            QVERIFY(message.first().toByteArray().size() <= 64 * 1024);

        // A real second start still gets through.
        QSignalSpy link(app(), &AppManager::loginLinkReceived);
        int exitCode = -1;
        QVERIFY(secondStart({QStringLiteral("kelvra://login?code=after")}, &exitCode) > 0);
        QTRY_COMPARE(link.count(), 1);
        QCOMPARE(link.first().first().toString(), QStringLiteral("after"));
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    AppManager app(argc, argv);
    TestSingleInstance test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singleinstance.moc"
