// The support page's diagnostics summary: it says how the client is set up
// and never what identifies the person or opens the account.

#include <QClipboard>
#include <QGuiApplication>
#include <QTest>

#include "app/Settings.h"
#include "engagement/SupportInfo.h"
#include "tests/api/ApiTestSupport.h"

using namespace ApiTestSupport;

class TestSupportInfo : public QObject
{
    Q_OBJECT
    BackendStandIn m_backend;

private slots:
    void initTestCase()
    {
        useOwnCredentialService("supportinfo");
        KELVRA_START_STAND_IN(m_backend);
    }

    void theSummaryHoldsNoSecrets()
    {
        const QString email = QStringLiteral("private.person@example.com");
        const QString token = signInAs(m_backend, email);
        QVERIFY(!token.isEmpty());
        auto settings = QSharedPointer<Settings>::create();
        settings->setBypassSites({QStringLiteral("mybank.example")});
        settings->setBypassList(true);
        settings->setTrustedNetworks({QStringLiteral("Home-WiFi-Smith")});
        settings->setSplitTunnelApps({QStringLiteral("/usr/bin/secretapp")});
        settings->setKillSwitch(true);
        SupportInfo info(settings, {}, {});
        const QString summary = info.diagnostics();

        QVERIFY2(summary.contains(QStringLiteral("Kelvra " KELVRA_VERSION)), qPrintable(summary));
        QVERIFY(summary.contains(QStringLiteral("Kill switch on")));
        QVERIFY(summary.contains(QStringLiteral("bypass list on (1 sites)")));
        QVERIFY(summary.contains(QStringLiteral("Signed in: yes")));
        for (const QString &secret : {email, token, token.section(QLatin1Char('|'), 1),
                                      QStringLiteral("mybank"), QStringLiteral("Home-WiFi-Smith"),
                                      QStringLiteral("secretapp"), QStringLiteral("127.0.0.1")}) {
            QVERIFY2(!summary.contains(secret, Qt::CaseInsensitive), qPrintable(secret));
        }

        QVERIFY(info.copyDiagnostics());
        QCOMPARE(QGuiApplication::clipboard()->text().section(QLatin1Char('\n'), 0, -2),
                 summary.section(QLatin1Char('\n'), 0, -2));
    }
};

KELVRA_API_TEST_MAIN(TestSupportInfo, QGuiApplication)
#include "tst_supportinfo.moc"
