// The bypass list handed to the service stand-in: what is sent for the
// switch and the sites, how changes during a send coalesce, the resend on
// every tunnel that comes up (with ad blocking's), and the service's answers.

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>

#include "settings/AdBlock.h"
#include "settings/BypassList.h"
#include "settings/SettingsController.h"
#include "tests/settings/ProtectionFixture.h"

using namespace ApiTestSupport;
using namespace ProtectionFixture;
using State = VpnProtocol::ConnectionState;

Q_DECLARE_METATYPE(QList<VpnProtocol::ConnectionState>)

class TestBypassList : public QObject
{
    Q_OBJECT
    BackendStandIn m_backend;
    QScopedPointer<ServiceStandIn> m_service;
    QSharedPointer<Settings> m_settings;
    QSharedPointer<VpnConnection> m_vpn;
    QScopedPointer<SettingsController> m_controller;
    QScopedPointer<BypassList> m_bypass;

    QList<QJsonObject> bypassSends() const { return sent(*m_service, QStringLiteral("bypass")); }

    // Waits for the service to have answered `count` bypass messages, then a
    // moment more for any send owed after the last.
    void settle(int count)
    {
        QTRY_COMPARE_WITH_TIMEOUT(LogCapture::instance().count(QStringLiteral("bypass in the service:")), count, kWaitMs);
        QTest::qWait(300);
    }

private slots:
    void initTestCase()
    {
        useOwnCredentialService("bypasslist");
        KELVRA_START_STAND_IN(m_backend);
        m_service.reset(startService("bypass"));
        QVERIFY(m_service);
        m_settings = QSharedPointer<Settings>::create();
        m_vpn = QSharedPointer<VpnConnection>::create(m_settings);
    }

    void cleanupTestCase()
    {
        m_bypass.reset();
        m_vpn.reset();
        m_service.reset();
    }

    void init()
    {
        resetStandIn(m_backend);
        resetState(*m_service, *m_settings);
        m_vpn->onConnectionStateChanged(VpnProtocol::Disconnected);
        m_controller.reset(new SettingsController(m_settings));
        m_bypass.reset(new BypassList(m_settings, m_vpn));
        connect(m_controller.data(), &SettingsController::bypassListChanged, m_bypass.data(), &BypassList::send);
    }

    void cleanup()
    {
        m_bypass.reset();
        m_controller.reset();
    }

    void sitesGoOnlyWithTheSwitch()
    {
        QCOMPARE(m_controller->addBypassSite(QStringLiteral("bank.com")), QString());
        settle(1);
        QCOMPARE(bypassSends().last(), (QJsonObject{{"type", "bypass"}, {"sites", QJsonArray()}}));
        QVERIFY(LogCapture::instance().contains(QStringLiteral("bypass in the service: 0 entries, on")));

        m_controller->toggleBypassList(true);
        settle(2);
        QCOMPARE(strings(bypassSends().last().value(QLatin1String("sites"))), QStringList{"bank.com"});
        QCOMPARE(m_controller->addBypassSite(QStringLiteral("shop.example.org")), QString());
        settle(3);
        QCOMPARE(strings(bypassSends().last().value(QLatin1String("sites"))),
                 (QStringList{"shop.example.org", "bank.com"}));
        QVERIFY(LogCapture::instance().contains(QStringLiteral("bypass in the service: 2 entries, on")));

        // Off clears what the service holds.
        m_controller->toggleBypassList(false);
        settle(4);
        QCOMPARE(bypassSends().last(), (QJsonObject{{"type", "bypass"}, {"sites", QJsonArray()}}));
        QCOMPARE(bypassSends().size(), 4);
    }

    void togglesDuringASendGiveOneMore()
    {
        m_settings->setBypassSites({QStringLiteral("bank.com")});
        m_controller->toggleBypassList(true);  // out
        m_controller->toggleBypassList(false); // owed
        m_controller->toggleBypassList(true);  // still the one owed
        settle(2);
        const QList<QJsonObject> sends = bypassSends();
        QCOMPARE(sends.size(), 2);
        QCOMPARE(strings(sends.last().value(QLatin1String("sites"))), QStringList{"bank.com"});
    }

    void tunnelUpResendsBoth_data()
    {
        QTest::addColumn<QList<State>>("states");
        QTest::addColumn<int>("sends");
        QTest::newRow("connected") << QList<State>{VpnProtocol::Connecting, VpnProtocol::Connected} << 1;
        QTest::newRow("staying connected")
            << QList<State>{VpnProtocol::Connecting, VpnProtocol::Connected, VpnProtocol::Connected} << 1;
        QTest::newRow("reconnecting and back")
            << QList<State>{VpnProtocol::Connected, VpnProtocol::Reconnecting, VpnProtocol::Connected} << 2;
        QTest::newRow("down and up again")
            << QList<State>{VpnProtocol::Connected, VpnProtocol::Disconnected, VpnProtocol::Connecting,
                            VpnProtocol::Connected}
            << 2;
        QTest::newRow("never up") << QList<State>{VpnProtocol::Connecting, VpnProtocol::Disconnected} << 0;
    }

    void tunnelUpResendsBoth()
    {
        QFETCH(QList<State>, states);
        QFETCH(int, sends);
        writeCache(StandInBlocklist::documentFor({QStringLiteral("ads.example.test")}));
        m_settings->setAdBlock(true);
        m_settings->setBypassSites({QStringLiteral("bank.com")});
        m_settings->setBypassList(true);
        AdBlock adBlock(m_settings, m_vpn);
        QTRY_COMPARE_WITH_TIMEOUT(LogCapture::instance().count(QStringLiteral("Ad blocking in the service:")), 1,
                                  kWaitMs);
        m_service->clearCalls();
        LogCapture::instance().clear();

        for (const State state : states) {
            m_vpn->onConnectionStateChanged(state);
            // Each step lands while the service answers, as a real tunnel's would.
            QTest::qWait(50);
        }
        settle(sends);
        QTRY_COMPARE_WITH_TIMEOUT(LogCapture::instance().count(QStringLiteral("Ad blocking in the service:")), sends,
                                  kWaitMs);
        QCOMPARE(bypassSends().size(), sends);
        const QList<QJsonObject> adSends = sent(*m_service, QStringLiteral("adBlock"));
        QCOMPARE(adSends.size(), sends);
        for (const QJsonObject &message : adSends)
            QCOMPARE(strings(message.value(QLatin1String("domains"))), QStringList{"ads.example.test"});
        for (const QJsonObject &message : bypassSends())
            QCOMPARE(strings(message.value(QLatin1String("sites"))), QStringList{"bank.com"});
    }

    void serviceAnswers_data()
    {
        QTest::addColumn<bool>("unavailable");
        QTest::addColumn<bool>("silent");
        QTest::addColumn<QString>("logged");
        QTest::newRow("applied") << false << false << "bypass in the service: 1 entries, on";
        QTest::newRow("unavailable") << true << false << "bypass in the service: 1 entries, unavailable for this connection";
        QTest::newRow("an older service") << false << true << "The service did not answer bypass (older service, or none)";
    }

    void serviceAnswers()
    {
        QFETCH(bool, unavailable);
        QFETCH(bool, silent);
        QFETCH(QString, logged);
        m_service->setFeaturesUnavailable(unavailable);
        if (silent)
            m_service->setIgnoredTypes({QStringLiteral("bypass")});
        QSignalSpy changed(m_bypass.data(), &BypassList::unavailableChanged);
        m_settings->setBypassSites({QStringLiteral("bank.com")});
        m_controller->toggleBypassList(true);
        QTRY_VERIFY_WITH_TIMEOUT(LogCapture::instance().contains(logged), kWaitMs);
        QCOMPARE(m_bypass->unavailable(), unavailable);
        QCOMPARE(changed.size(), unavailable ? 1 : 0);

        // The service can again: the page hears it.
        m_service->setFeaturesUnavailable(false);
        m_service->setIgnoredTypes({});
        m_bypass->send();
        QTRY_VERIFY_WITH_TIMEOUT(LogCapture::instance().count(QStringLiteral("bypass in the service: 1 entries, on"))
                                     == (unavailable || silent ? 1 : 2),
                                 kWaitMs);
        QVERIFY(!m_bypass->unavailable());
        QCOMPARE(changed.size(), unavailable ? 2 : 0);
    }
};

KELVRA_API_TEST_MAIN(TestBypassList, QCoreApplication)
#include "tst_bypasslist.moc"
