// Ad blocking: the blocklist from the backend stand-in, taken only whole,
// kept on disk and handed with the switch to the service stand-in.

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>

#include "api/AuthGuard.h"
#include "settings/AdBlock.h"
#include "tests/settings/ProtectionFixture.h"

using namespace ApiTestSupport;
using namespace ProtectionFixture;
using Fault = StandInBlocklist::Fault;

namespace {
const QStringList kHeld{QStringLiteral("held.example.test"), QStringLiteral("old-ads.example.test")};
const QStringList kFresh{QStringLiteral("fresh.example.test"), QStringLiteral("ads_2.example.test"),
                         QStringLiteral("x.test")};
} // namespace

class TestAdBlock : public QObject
{
    Q_OBJECT
    BackendStandIn m_backend;
    QScopedPointer<ServiceStandIn> m_service;
    QSharedPointer<Settings> m_settings;
    QSharedPointer<VpnConnection> m_vpn;
    QScopedPointer<AdBlock> m_adBlock;
    QString m_token;

    QList<StandInRequest> downloads() const { return m_backend.requestsTo(QStringLiteral("client/blocklist")); }

    // Switches ad blocking on as the settings page does, and waits for the
    // download to be answered.
    void switchOn()
    {
        m_settings->setAdBlock(true);
        m_adBlock->setEnabled(true);
        QTRY_COMPARE_WITH_TIMEOUT(downloads().size(), 1, kWaitMs);
    }

    void start()
    {
        m_adBlock.reset(new AdBlock(m_settings, m_vpn));
    }

private slots:
    void initTestCase()
    {
        useOwnCredentialService("adblock");
        KELVRA_START_STAND_IN(m_backend);
        m_service.reset(startService("adblock"));
        QVERIFY(m_service);
        m_settings = QSharedPointer<Settings>::create();
        m_vpn = QSharedPointer<VpnConnection>::create(m_settings);
        m_token = signInAs(m_backend, kEmail);
        QVERIFY(!m_token.isEmpty());
    }

    void cleanupTestCase()
    {
        m_adBlock.reset();
        m_vpn.reset();
        m_service.reset();
    }

    void init()
    {
        resetStandIn(m_backend);
        resetState(*m_service, *m_settings);
        m_backend.setBlocklist(kFresh);
        UserManager::setState(UserManager::SignedIn);
    }

    void cleanup() { m_adBlock.reset(); }

    void downloadsCachesAndSends()
    {
        start();
        QVERIFY(sent(*m_service, QStringLiteral("adBlock")).isEmpty()); // the switch is off
        switchOn();
        QTRY_VERIFY_WITH_TIMEOUT(LogCapture::instance().contains(QStringLiteral("Blocklist updated, 3 names")), kWaitMs);
        QCOMPARE(downloads().first().bearerToken(), m_token);
        QVERIFY(!downloads().first().hasHeader("If-None-Match"));
        QCOMPARE(strings(m_adBlock->domains()), kFresh);
        QCOMPARE(cacheContent(), m_backend.blocklist().document());
        QCOMPARE(m_settings->adBlockETag(), m_backend.blocklist().etag());

        // The switch at once, then the switch with the list once it came.
        QTRY_COMPARE_WITH_TIMEOUT(sent(*m_service, QStringLiteral("adBlock")).size(), 2, kWaitMs);
        const QList<QJsonObject> messages = sent(*m_service, QStringLiteral("adBlock"));
        QCOMPARE(messages.first(), (QJsonObject{{"type", "adBlock"}, {"enabled", true}}));
        QCOMPARE(messages.last().value(QLatin1String("enabled")), QJsonValue(true));
        QCOMPARE(strings(messages.last().value(QLatin1String("domains"))), kFresh);
        QTRY_VERIFY_WITH_TIMEOUT(LogCapture::instance().contains(QStringLiteral("Ad blocking in the service: true 3 names")),
                                 kWaitMs);

        // Off: the switch alone, no names and no download.
        m_settings->setAdBlock(false);
        m_adBlock->setEnabled(false);
        QTRY_COMPARE_WITH_TIMEOUT(sent(*m_service, QStringLiteral("adBlock")).size(), 3, kWaitMs);
        QCOMPARE(sent(*m_service, QStringLiteral("adBlock")).last(), (QJsonObject{{"type", "adBlock"}, {"enabled", false}}));
        QCOMPARE(downloads().size(), 1);
    }

    void refusedListKeepsTheHeldOne_data()
    {
        QTest::addColumn<QStringList>("domains");
        QTest::addColumn<int>("fault");
        QTest::addColumn<QByteArray>("raw"); // a body served as is instead
        QTest::newRow("count one less than the names") << kFresh << int(Fault::CountOffByOne) << QByteArray();
        QTest::newRow("hash in upper case") << kFresh << int(Fault::UpperCaseHash) << QByteArray();
        QTest::newRow("a name with an upper-case letter")
            << QStringList{"fresh.example.test", "Ads.example.test"} << int(Fault::None) << QByteArray();
        QTest::newRow("a name with a slash") << QStringList{"fresh.example.test", "ads.example.test/x"} << int(Fault::None)
                                             << QByteArray();
        QTest::newRow("a name with a space") << QStringList{"fresh.example.test", "ads example.test"} << int(Fault::None)
                                             << QByteArray();
        QTest::newRow("an empty name") << QStringList{"fresh.example.test", ""} << int(Fault::None) << QByteArray();
        QTest::newRow("a name of 254 characters")
            << QStringList{"fresh.example.test", QString(254, QLatin1Char('a'))} << int(Fault::None) << QByteArray();
        QTest::newRow("more than 300 000 names") << kFresh << int(Fault::TooMany) << QByteArray();
        QTest::newRow("no names") << QStringList() << int(Fault::None) << QByteArray();
        QTest::newRow("a name that is a number")
            << kFresh << int(Fault::None)
            << QByteArray(R"({"domains":["a.test",7],"count":2,"sha256":")") + StandInBlocklist::hashOf({"a.test", "7"})
                   + "\"}";
        // Cut off once it passes the largest whole list, never held in full.
        QTest::newRow("larger than any whole list")
            << kFresh << int(Fault::None)
            << QByteArray(R"({"domains":[)") + QByteArray(Blocklist::kMaxDocumentBytes, ' ') + "]}";
        QTest::newRow("no count") << kFresh << int(Fault::None)
                                  << QByteArray(R"({"domains":["a.test"],"sha256":")")
                                         + StandInBlocklist::hashOf({"a.test"}) + "\"}";
    }

    void refusedListKeepsTheHeldOne()
    {
        QFETCH(QStringList, domains);
        QFETCH(int, fault);
        QFETCH(QByteArray, raw);
        if (fault == int(Fault::TooMany) && TestEnvironment::underAddressSanitizer())
            QSKIP("under the sanitizers the stand-in takes longer to send 300,000 names than the client waits");
        const QByteArray held = StandInBlocklist::documentFor(kHeld);
        writeCache(held);
        m_settings->setAdBlockETag("\"held\"");
        m_backend.setBlocklist(domains, Fault(fault));
        if (!raw.isEmpty())
            m_backend.script(QString(), QStringLiteral("client/blocklist"), StandInReply::status(200, raw));
        start();
        QCOMPARE(strings(m_adBlock->domains()), kHeld);
        switchOn();
        QTRY_VERIFY_WITH_TIMEOUT(LogCapture::instance().contains(QStringLiteral("Blocklist refused: not a whole list")),
                                 kWaitMs);
        // Whatever the answer, the last send carries the held list.
        QTRY_COMPARE_WITH_TIMEOUT(sent(*m_service, QStringLiteral("adBlock")).size(), 1, kWaitMs);
        QTest::qWait(200);
        QCOMPARE(strings(m_adBlock->domains()), kHeld);
        QCOMPARE(strings(sent(*m_service, QStringLiteral("adBlock")).last().value(QLatin1String("domains"))), kHeld);
        QCOMPARE(cacheContent(), held);
        QCOMPARE(m_settings->adBlockETag(), QByteArray("\"held\""));
        QVERIFY(!LogCapture::instance().contains(QStringLiteral("Blocklist updated")));
    }

    void notModifiedKeepsTheList()
    {
        writeCache(m_backend.blocklist().document());
        m_settings->setAdBlockETag(m_backend.blocklist().etag());
        start();
        switchOn();
        QCOMPARE(downloads().first().header("If-None-Match"), m_backend.blocklist().etag());
        QTRY_COMPARE_WITH_TIMEOUT(sent(*m_service, QStringLiteral("adBlock")).size(), 1, kWaitMs);
        QTest::qWait(200);
        QCOMPARE(strings(m_adBlock->domains()), kFresh);
        QCOMPARE(cacheContent(), m_backend.blocklist().document());
        QVERIFY(!LogCapture::instance().contains(QStringLiteral("Blocklist updated")));
        QCOMPARE(sent(*m_service, QStringLiteral("adBlock")).size(), 1);
    }

    void corruptCacheIsReplacedNeverTrusted_data()
    {
        QTest::addColumn<QByteArray>("cache");
        QTest::newRow("garbage") << QByteArray("\x00\x01not json", 10);
        QTest::newRow("cut short") << StandInBlocklist::documentFor(kFresh).left(40);
        QByteArray altered = StandInBlocklist::documentFor(kFresh);
        altered.replace("fresh.", "frash.");
        QTest::newRow("a name altered on disk") << altered;
        QTest::newRow("count altered on disk") << StandInBlocklist::documentFor(kFresh, Fault::CountOffByOne);
    }

    void corruptCacheIsReplacedNeverTrusted()
    {
        QFETCH(QByteArray, cache);
        writeCache(cache);
        // The tag of the list on the server: trusting the file would make the
        // server answer 304 and leave the bad file in use.
        m_settings->setAdBlockETag(m_backend.blocklist().etag());
        m_settings->setAdBlock(true);
        start();
        QVERIFY(m_adBlock->domains().isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(sent(*m_service, QStringLiteral("adBlock")).size(), 1, kWaitMs);
        QCOMPARE(sent(*m_service, QStringLiteral("adBlock")).first(), (QJsonObject{{"type", "adBlock"}, {"enabled", true}}));

        m_adBlock->setEnabled(true);
        QTRY_VERIFY_WITH_TIMEOUT(LogCapture::instance().contains(QStringLiteral("Blocklist updated, 3 names")), kWaitMs);
        QVERIFY(!downloads().first().hasHeader("If-None-Match"));
        QCOMPARE(cacheContent(), m_backend.blocklist().document());
        QCOMPARE(strings(m_adBlock->domains()), kFresh);

        // The next run starts from the replaced file.
        m_adBlock.reset();
        start();
        QCOMPARE(strings(m_adBlock->domains()), kFresh);
    }

    void signingInFetchesWhenSwitchedOn()
    {
        m_settings->setAdBlock(true);
        UserManager::setState(UserManager::SignedOut);
        start();
        m_adBlock->setEnabled(true); // signed out: no download
        QTest::qWait(200);
        QCOMPARE(downloads().size(), 0);
        UserManager::setState(UserManager::SignedIn);
        QTRY_COMPARE_WITH_TIMEOUT(downloads().size(), 1, kWaitMs);
    }

    void refusedSessionIsHandedToTheGuard()
    {
        QSignalSpy unauthorized(AuthGuard::instance(), &AuthGuard::unauthorized);
        m_backend.script(QString(), QStringLiteral("client/blocklist"), StandInReply::unauthorized());
        start();
        switchOn();
        QTRY_COMPARE_WITH_TIMEOUT(unauthorized.size(), 1, kWaitMs);
        QVERIFY(m_adBlock->domains().isEmpty());
    }

    void otherStatusIsLogged()
    {
        m_backend.script(QString(), QStringLiteral("client/blocklist"), StandInReply::serverError(503), -1);
        start();
        switchOn();
        QTRY_VERIFY_WITH_TIMEOUT(LogCapture::instance().contains(QStringLiteral("Blocklist not fetched, HTTP 503")),
                                 kWaitMs);
    }

    void serviceAnswers_data()
    {
        QTest::addColumn<bool>("unavailable");
        QTest::addColumn<bool>("silent");
        QTest::addColumn<QString>("logged");
        QTest::newRow("applied") << false << false << "Ad blocking in the service: true 0 names";
        QTest::newRow("unavailable") << true << false << "The service can't block ads on this computer right now";
        QTest::newRow("an older service") << false << true
                                          << "The service did not answer adBlock (older service, or none): the "
                                             "switch is saved";
    }

    void serviceAnswers()
    {
        QFETCH(bool, unavailable);
        QFETCH(bool, silent);
        QFETCH(QString, logged);
        m_service->setFeaturesUnavailable(unavailable);
        if (silent)
            m_service->setIgnoredTypes({QStringLiteral("adBlock")});
        m_settings->setAdBlock(true);
        start();
        QSignalSpy changed(m_adBlock.data(), &AdBlock::unavailableChanged);
        QTRY_VERIFY_WITH_TIMEOUT(LogCapture::instance().contains(logged), kWaitMs);
        QCOMPARE(m_adBlock->unavailable(), unavailable);
        QCOMPARE(changed.size(), unavailable ? 1 : 0);

        // A second silence is not logged again; a second unavailable changes nothing.
        m_settings->setAdBlock(false);
        m_adBlock->setEnabled(false);
        QTRY_COMPARE_WITH_TIMEOUT(sent(*m_service, QStringLiteral("adBlock")).size(), 2, kWaitMs);
        QTest::qWait(kReplyTimeoutMs + 300);
        QCOMPARE(LogCapture::instance().count(logged), 1);
        QCOMPARE(changed.size(), unavailable ? 1 : 0);
    }
};

KELVRA_API_TEST_MAIN(TestAdBlock, QCoreApplication)
#include "tst_adblock.moc"
