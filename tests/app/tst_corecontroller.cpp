#include <QFontDatabase>
#include <QGuiApplication>
#include <QSignalSpy>
#include <QTest>

#include "app/CoreController.h"
#include "app/Settings.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"
#include "vpn/VpnConnection.h"

// What the core controller does on its own account: the fonts it loads for the
// pages and how it reports a failed update check.
class TestCoreController : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        LogCapture::install();
    }

    void loadsTheApplicationFonts()
    {
        LogCapture log;
        auto settings = QSharedPointer<Settings>::create();
        CoreController core(nullptr, nullptr, settings);
        QVERIFY2(!log.contains(QStringLiteral("Failed to load font:")), qPrintable(log.all()));
        QVERIFY(QFontDatabase::families().contains(QStringLiteral("Poppins")));
        const QStringList styles = QFontDatabase::styles(QStringLiteral("Poppins"));
        for (const char *style : {"Light", "Regular", "Medium", "SemiBold", "Bold", "ExtraBold"})
            QVERIFY2(styles.contains(QString::fromLatin1(style)), qPrintable(styles.join(u',')));
    }

    void failedUpdateCheckIsShownUnlessATunnelIsBusy_data()
    {
        QTest::addColumn<bool>("tunnelActivity");
        QTest::addColumn<int>("shown");
        QTest::newRow("no tunnel: the user is told") << false << 1;
        QTest::newRow("tunnel changed just now: the failure may be the tunnel's") << true << 0;
    }

    void failedUpdateCheckIsShownUnlessATunnelIsBusy()
    {
        QFETCH(bool, tunnelActivity);
        QFETCH(int, shown);
        auto settings = QSharedPointer<Settings>::create();
        auto vpn = QSharedPointer<VpnConnection>::create(settings);
        CoreController core(nullptr, vpn, settings);
        if (tunnelActivity)
            vpn->onConnectionStateChanged(VpnProtocol::Connecting);
        QCOMPARE(vpn->isBusyWithTunnel(), tunnelActivity);

        QSignalSpy errors(&core, &CoreController::errorOccurred);
        core.onErrorOccurred();
        QCOMPARE(errors.count(), shown);
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QGuiApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("Kelvra"));
    app.setOrganizationName(QStringLiteral("Kelvra.Inc"));
    TestCoreController test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_corecontroller.moc"
