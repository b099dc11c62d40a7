// In-app messages against the backend stand-in: fetched on the triggers that
// matter, each shown once per computer unless it says it may come back, what
// the user did reported in batches, and every broken answer shown as nothing.

#include <QDesktopServices>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include "api/AuthGuard.h"
#include "app/Settings.h"
#include "engagement/InAppMessages.h"
#include "tests/api/ApiTestSupport.h"
#include "vpn/VpnConnection.h"

using namespace ApiTestSupport;
using Fault = StandInEngagement::Fault;

namespace {
const QString kEmail = QStringLiteral("messages@example.com");
constexpr int kWaitMs = 15000;

QJsonObject message(const QString &id, const QString &kind, bool repeat = false, const QString &url = QString())
{
    QJsonObject object{{QStringLiteral("id"), id},
                       {QStringLiteral("kind"), kind},
                       {QStringLiteral("title"), QStringLiteral("Title of ") + id},
                       {QStringLiteral("body"), QStringLiteral("Body of ") + id},
                       {QStringLiteral("repeat"), repeat}};
    if (!url.isEmpty())
        object.insert(QStringLiteral("action"), QJsonObject{{QStringLiteral("text"), QStringLiteral("Open")},
                                                            {QStringLiteral("url"), url}});
    return object;
}

QStringList idsOf(const QVariantList &messages)
{
    QStringList ids;
    for (const QVariant &message : messages)
        ids.append(message.toMap().value(QStringLiteral("id")).toString());
    return ids;
}
} // namespace

// Catches the links the client hands to the browser.
class LinkCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened.append(url); }
};

class TestInAppMessages : public QObject
{
    Q_OBJECT
    BackendStandIn m_backend;
    QSharedPointer<Settings> m_settings;
    QSharedPointer<VpnConnection> m_vpn;
    QScopedPointer<InAppMessages> m_messages;
    LinkCatcher m_links;

    StandInEngagement &engagement() { return m_backend.engagement(); }
    // Every sync that reached the backend, answered or refused.
    int syncs() { return int(m_backend.requestsTo(QStringLiteral("in-app-messages/sync")).size()); }

    // A client as after a start: a new object on the same settings.
    void restart()
    {
        m_messages.reset(new InAppMessages(m_settings, m_vpn));
    }

    void syncAndWait(const QString &trigger)
    {
        const int before = syncs();
        m_messages->sync(trigger);
        QTRY_VERIFY_WITH_TIMEOUT(syncs() > before, kWaitMs);
        // The answer is handled in the same turn the reply finishes in.
        QTest::qWait(200);
    }

    QStringList events(const QString &kind)
    {
        QStringList ids;
        for (const QJsonObject &event : engagement().events()) {
            if (event.value(QLatin1String("event")).toString() == kind)
                ids.append(event.value(QLatin1String("message_id")).toString());
        }
        return ids;
    }

private slots:
    void initTestCase()
    {
        useOwnCredentialService("inappmessages");
        KELVRA_START_STAND_IN(m_backend);
        m_settings = QSharedPointer<Settings>::create();
        m_vpn = QSharedPointer<VpnConnection>::create(m_settings);
        QVERIFY(!signInAs(m_backend, kEmail).isEmpty());
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &m_links, "open");
    }

    void cleanupTestCase()
    {
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        m_messages.reset();
        m_vpn.reset();
    }

    void init()
    {
        resetStandIn(m_backend);
        engagement().clearFaults();
        engagement().clearRecords();
        engagement().setMessages({});
        m_settings->setValue(QStringLiteral("inAppMessages/shown"), QStringList());
        m_links.opened.clear();
        UserManager::setState(UserManager::SignedIn);
        restart();
        // The start-up sync of a signed-in client.
        QTRY_COMPARE_WITH_TIMEOUT(syncs(), 1, kWaitMs);
    }

    void cleanup() { m_messages.reset(); }

    void aMessageIsShownOncePerComputer()
    {
        engagement().setMessages({message(QStringLiteral("m1"), QStringLiteral("banner"))});
        QSignalSpy changed(m_messages.data(), &InAppMessages::bannersChanged);
        syncAndWait(QStringLiteral("startup"));
        QCOMPARE(idsOf(m_messages->banners()), QStringList{QStringLiteral("m1")});
        QCOMPARE(m_messages->banners().constFirst().toMap().value(QStringLiteral("body")).toString(),
                 QStringLiteral("Body of m1"));

        // The backend sends it again while it is on screen: still one.
        syncAndWait(QStringLiteral("connect"));
        QCOMPARE(m_messages->banners().size(), 1);
        m_messages->dismiss(QStringLiteral("m1"));
        QVERIFY(m_messages->banners().isEmpty());
        syncAndWait(QStringLiteral("disconnect"));
        QVERIFY(m_messages->banners().isEmpty());
        QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("shown")), QStringList{QStringLiteral("m1")}, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("dismissed")), QStringList{QStringLiteral("m1")}, kWaitMs);

        // Nor after a restart.
        restart();
        QTRY_VERIFY_WITH_TIMEOUT(syncs() >= 5, kWaitMs);
        syncAndWait(QStringLiteral("startup"));
        QVERIFY(m_messages->banners().isEmpty());
        QTest::qWait(InAppMessages::kEventBatchDelayMs * 2);
        QCOMPARE(events(QStringLiteral("shown")).size(), 1);
    }

    void aMessageThatMayRepeatComesBack()
    {
        engagement().setMessages({message(QStringLiteral("tip"), QStringLiteral("banner"), true)});
        syncAndWait(QStringLiteral("startup"));
        QCOMPARE(m_messages->banners().size(), 1);
        m_messages->dismiss(QStringLiteral("tip"));
        syncAndWait(QStringLiteral("startup"));
        QCOMPARE(idsOf(m_messages->banners()), QStringList{QStringLiteral("tip")});
    }

    void dialogsComeOneAtATimeAndTheButtonOpensItsLink()
    {
        engagement().setMessages({message(QStringLiteral("d1"), QStringLiteral("dialog"), false,
                                          QStringLiteral("https://kelvra.test/feedback")),
                                  message(QStringLiteral("d2"), QStringLiteral("dialog"))});
        QSignalSpy dialogChanged(m_messages.data(), &InAppMessages::dialogChanged);
        syncAndWait(QStringLiteral("disconnect"));
        QCOMPARE(m_messages->dialog().value(QStringLiteral("id")).toString(), QStringLiteral("d1"));
        QCOMPARE(m_messages->dialog().value(QStringLiteral("actionText")).toString(), QStringLiteral("Open"));

        m_messages->act(QStringLiteral("d1"));
        QCOMPARE(m_links.opened, QList<QUrl>{QUrl(QStringLiteral("https://kelvra.test/feedback"))});
        QCOMPARE(m_messages->dialog().value(QStringLiteral("id")).toString(), QStringLiteral("d2"));
        m_messages->dismiss(QStringLiteral("d2"));
        QVERIFY(m_messages->dialog().isEmpty());

        QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("dismissed")), QStringList{QStringLiteral("d2")}, kWaitMs);
        QCOMPARE(events(QStringLiteral("shown")), (QStringList{QStringLiteral("d1"), QStringLiteral("d2")}));
        QCOMPARE(events(QStringLiteral("clicked")), QStringList{QStringLiteral("d1")});
    }

    void theTunnelAndPagesTriggerSyncs()
    {
        InAppMessages::setTunnelSettleMsForTesting(300);
        const int before = syncs();
        // A tunnel that comes up and drops at once sends nothing.
        emit m_vpn->connectionStateChanged(VpnProtocol::Connecting);
        emit m_vpn->connectionStateChanged(VpnProtocol::Connected);
        emit m_vpn->connectionStateChanged(VpnProtocol::Reconnecting);
        QTest::qWait(600);
        QCOMPARE(syncs(), before);
        // One that holds does, once it has held.
        emit m_vpn->connectionStateChanged(VpnProtocol::Connected);
        QTRY_COMPARE_WITH_TIMEOUT(syncs(), before + 1, kWaitMs);
        emit m_vpn->connectionStateChanged(VpnProtocol::Disconnected);
        m_messages->pageShown(QStringLiteral("plans"));
        m_messages->pageShown(QStringLiteral("plans")); // once per ten minutes
        m_messages->pageShown(QStringLiteral("../../etc")); // no page name
        QTRY_COMPARE_WITH_TIMEOUT(syncs(), before + 3, kWaitMs);
        QTest::qWait(300);
        QCOMPARE(syncs(), before + 3);
        QStringList triggers;
        for (const QJsonObject &sync : engagement().syncs().mid(before))
            triggers.append(sync.value(QLatin1String("trigger")).toString());
        // The page's sync goes at once; the tunnel's once the state held.
        QCOMPARE(triggers, (QStringList{QStringLiteral("connect"), QStringLiteral("page:plans"),
                                        QStringLiteral("disconnect")}));
    }

    void theDeviceIdIsKeptAndSent()
    {
        const QString id = m_messages->deviceId();
        QCOMPARE(id.size(), 36);
        QCOMPARE(m_settings->value(QStringLiteral("inAppMessages/deviceId")).toString(), id);
        restart();
        QCOMPARE(m_messages->deviceId(), id);
        QTRY_VERIFY_WITH_TIMEOUT(syncs() >= 2, kWaitMs);
        QCOMPARE(engagement().syncs().constLast().value(QLatin1String("device_id")).toString(), id);

        // A stored value this client never wrote is replaced, not sent.
        m_settings->setValue(QStringLiteral("inAppMessages/deviceId"), QStringLiteral("\"; DROP TABLE devices"));
        const QString fresh = m_messages->deviceId();
        QVERIFY(fresh != id);
        QCOMPARE(fresh.size(), 36);
    }

    void brokenAnswersShowNothing_data()
    {
        QTest::addColumn<int>("fault");
        QTest::addColumn<bool>("signsOut");
        QTest::newRow("empty body") << int(Fault::Empty) << false;
        QTest::newRow("not JSON") << int(Fault::Malformed) << false;
        QTest::newRow("fields of the wrong type") << int(Fault::WrongShape) << false;
        QTest::newRow("401: the session ended") << int(Fault::Unauthorized) << true;
        QTest::newRow("429") << int(Fault::TooMany) << false;
    }

    void brokenAnswersShowNothing()
    {
        QFETCH(int, fault);
        QFETCH(bool, signsOut);
        engagement().setMessages({message(QStringLiteral("m1"), QStringLiteral("banner"))});
        // On every host: an answer that is no JSON sends the request on to
        // the backup hosts first.
        engagement().setFault(QStringLiteral("in-app-messages/sync"), Fault(fault));
        QSignalSpy unauthorized(AuthGuard::instance(), &AuthGuard::unauthorized);
        syncAndWait(QStringLiteral("startup"));
        QTest::qWait(1000);
        QVERIFY(m_messages->banners().isEmpty());
        QVERIFY(m_messages->dialog().isEmpty());
        QCOMPARE(unauthorized.size(), signsOut ? 1 : 0);
        if (Fault(fault) == Fault::TooMany) {
            // The backend asked for quiet: no sync for a while.
            const int before = syncs();
            m_messages->sync(QStringLiteral("connect"));
            QTest::qWait(500);
            QCOMPARE(syncs(), before);
        }
    }

    void unusableMessagesAreLeftOut()
    {
        QJsonObject noId = message(QString(), QStringLiteral("banner"));
        QJsonObject unknownKind = message(QStringLiteral("k1"), QStringLiteral("fullscreen-video"));
        QJsonObject scriptLink = message(QStringLiteral("s1"), QStringLiteral("banner"), false,
                                         QStringLiteral("javascript:alert(1)"));
        QJsonObject pathId = message(QStringLiteral("../ack"), QStringLiteral("banner"));
        engagement().setMessages({noId, unknownKind, scriptLink, pathId});
        syncAndWait(QStringLiteral("startup"));
        QCOMPARE(idsOf(m_messages->banners()), QStringList{QStringLiteral("s1")});
        // The script link is dropped: the message has no button.
        QCOMPARE(m_messages->banners().constFirst().toMap().value(QStringLiteral("actionUrl")).toString(), QString());
        m_messages->act(QStringLiteral("s1"));
        QVERIFY(m_links.opened.isEmpty());
    }

    void signingOutClearsTheWindowAndTheClientsOwnTextShows()
    {
        emit m_messages->messageReady(QStringLiteral("A sample message"));
        QCOMPARE(m_messages->banners().size(), 1);
        QCOMPARE(m_messages->banners().constFirst().toMap().value(QStringLiteral("body")).toString(),
                 QStringLiteral("A sample message"));
        UserManager::setState(UserManager::SignedOut);
        QVERIFY(m_messages->banners().isEmpty());
        const int before = syncs();
        m_messages->sync(QStringLiteral("connect"));
        QTest::qWait(300);
        QCOMPARE(syncs(), before);
    }
};

KELVRA_API_TEST_MAIN(TestInAppMessages, QGuiApplication)
#include "tst_inappmessages.moc"
