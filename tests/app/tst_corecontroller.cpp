#include <QFontDatabase>
#include <QGuiApplication>
#include <QTest>

#include "app/CoreController.h"
#include "app/Settings.h"
#include "support/LogCapture.h"
#include "support/TestEnvironment.h"

// What the core controller does on its own account: the fonts it loads for the
// pages.
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
