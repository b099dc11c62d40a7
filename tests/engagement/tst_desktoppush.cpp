// Desktop notifications against the backend stand-in and a stand-in
// notification service on a private bus: each shown once per computer,
// acknowledged once, the tray as the fallback, the inbox and its read marks
// kept across a restart, and broken answers changing nothing.

#include <QDesktopServices>
#include <QGuiApplication>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include "app/Settings.h"
#include "engagement/DesktopPush.h"
#include "platform/DesktopNotifier.h"
#include "tests/api/ApiTestSupport.h"
#include "tests/engagement/FakeNotificationService.h"

using namespace ApiTestSupport;
using Fault = StandInEngagement::Fault;

namespace {
const QString kEmail = QStringLiteral("push@example.com");
constexpr int kWaitMs = 15000;
constexpr int kPollMs = 250;

QJsonObject notification(const QString &id, const QString &title, const QString &created = QString())
{
    return {{QStringLiteral("id"), id},
            {QStringLiteral("title"), title},
            {QStringLiteral("body"), QStringLiteral("Body of ") + id},
            {QStringLiteral("url"), QStringLiteral("https://kelvra.test/n/") + id},
            {QStringLiteral("created_at"), created.isEmpty() ? QStringLiteral("2026-12-10T10:00:00Z") : created}};
}

QStringList idsOf(const QVariantList &entries)
{
    QStringList ids;
    for (const QVariant &entry : entries)
        ids.append(entry.toMap().value(QStringLiteral("id")).toString());
    return ids;
}
} // namespace

class TestDesktopPush : public QObject
{
    Q_OBJECT
    BackendStandIn m_backend;
    NotificationBus m_bus;
    QSharedPointer<Settings> m_settings;
    QScopedPointer<DesktopPush> m_push;

    StandInEngagement &engagement() { return m_backend.engagement(); }
    QStringList titlesShown() const
    {
        QStringList titles;
        for (const auto &shown : m_bus.service->shown())
            titles.append(shown.title);
        return titles;
    }
    int polls() { return int(m_backend.requestsTo(QStringLiteral("notifications/pending")).size()); }

    void start()
    {
        m_push.reset(new DesktopPush(m_settings));
        m_push->setPollIntervalForTesting(kPollMs);
    }
    // Waits until the client has polled a few more times.
    void waitForPolls(int more)
    {
        const int target = polls() + more;
        QTRY_VERIFY_WITH_TIMEOUT(polls() >= target, kWaitMs);
        QTest::qWait(100);
    }

private slots:
    void initTestCase()
    {
        useOwnCredentialService("desktoppush");
        KELVRA_START_STAND_IN(m_backend);
        QVERIFY(m_bus.start());
        DesktopNotifier::setBusForTesting(m_bus.address);
        m_settings = QSharedPointer<Settings>::create();
        QVERIFY(!signInAs(m_backend, kEmail).isEmpty());
    }

    void cleanupTestCase()
    {
        m_push.reset();
        m_bus.stop();
    }

    void init()
    {
        resetStandIn(m_backend);
        engagement().clearFaults();
        engagement().clearRecords();
        engagement().clearNotifications();
        m_bus.service->clear();
        m_bus.service->setMarkup(false);
        QVERIFY(m_bus.setPresent(true));
        for (const char *key : {"desktopPush/shown", "desktopPush/read", "desktopPush/inbox"})
            m_settings->setValue(QString::fromLatin1(key), QVariant());
        UserManager::setState(UserManager::SignedIn);
    }

    void cleanup() { m_push.reset(); }

    void eachIsShownOnceAndAcknowledgedOnce()
    {
        engagement().addNotification(notification(QStringLiteral("n1"), QStringLiteral("First")));
        engagement().addNotification(notification(QStringLiteral("n2"), QStringLiteral("Second")));
        start();
        QTRY_COMPARE_WITH_TIMEOUT(titlesShown(), (QStringList{QStringLiteral("First"), QStringLiteral("Second")}),
                                  kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(engagement().acks().size(), 2, kWaitMs);
        waitForPolls(3);
        QCOMPARE(titlesShown().size(), 2);
        QCOMPARE(engagement().acks().value(QStringLiteral("n1")), 1);
        QCOMPARE(engagement().acks().value(QStringLiteral("n2")), 1);
        QCOMPARE(m_bus.service->shown().constFirst().body, QStringLiteral("Body of n1"));
        // Shown ones join the inbox at once, unread.
        QCOMPARE(m_push->unreadCount(), 2);
    }

    void aLostAcknowledgementIsSentAgainButNothingShownTwice()
    {
        engagement().addNotification(notification(QStringLiteral("n3"), QStringLiteral("Third")));
        engagement().setFault(QStringLiteral("notifications/ack"), Fault::TooMany, 1);
        start();
        QTRY_COMPARE_WITH_TIMEOUT(titlesShown(), QStringList{QStringLiteral("Third")}, kWaitMs);
        // Refused once, still pending: the next poll acknowledges it again.
        QTRY_VERIFY_WITH_TIMEOUT(engagement().pending().isEmpty(), kWaitMs);
        QCOMPARE(m_backend.requestsTo(QStringLiteral("notifications/n3/ack")).size(), 2);

        // A restart before the backend heard the acknowledgement: the
        // notification comes again, is acknowledged, and not shown again.
        m_push.reset();
        engagement().addNotification(notification(QStringLiteral("n3"), QStringLiteral("Third")));
        start();
        QTRY_VERIFY_WITH_TIMEOUT(engagement().pending().isEmpty(), kWaitMs);
        waitForPolls(2);
        QCOMPARE(titlesShown(), QStringList{QStringLiteral("Third")});
    }

    void readMarksSurviveARestart()
    {
        engagement().addNotification(notification(QStringLiteral("a"), QStringLiteral("Older"),
                                                  QStringLiteral("2026-12-01T08:00:00Z")));
        engagement().addNotification(notification(QStringLiteral("b"), QStringLiteral("Newer"),
                                                  QStringLiteral("2026-12-09T08:00:00Z")));
        start();
        QTRY_COMPARE_WITH_TIMEOUT(idsOf(m_push->inbox()), (QStringList{QStringLiteral("b"), QStringLiteral("a")}),
                                  kWaitMs);
        QCOMPARE(m_push->unreadCount(), 2);
        m_push->markRead(QStringLiteral("a"));
        QCOMPARE(m_push->unreadCount(), 1);

        // Signing out forgets the account's inbox; the read marks stay, and
        // count again once the inbox is fetched after the next sign-in.
        UserManager::setState(UserManager::SignedOut);
        QVERIFY(m_push->inbox().isEmpty());
        UserManager::setState(UserManager::SignedIn);
        QTRY_COMPARE_WITH_TIMEOUT(m_push->inbox().size(), 2, kWaitMs);
        QCOMPARE(m_push->unreadCount(), 1);

        // The next run shows the kept inbox before any answer, marks and all.
        m_push.reset();
        start();
        QCOMPARE(idsOf(m_push->inbox()), (QStringList{QStringLiteral("b"), QStringLiteral("a")}));
        QCOMPARE(m_push->unreadCount(), 1);
        m_push->markAllRead();
        QCOMPARE(m_push->unreadCount(), 0);
        m_push.reset();
        start();
        QCOMPARE(m_push->unreadCount(), 0);
    }

    void brokenAnswersChangeNothing_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<int>("fault");
        for (const char *route : {"notifications/pending", "notifications/inbox"}) {
            for (const auto &[name, fault] : {std::pair{"empty", Fault::Empty}, std::pair{"not JSON", Fault::Malformed},
                                              std::pair{"wrong types", Fault::WrongShape},
                                              std::pair{"401", Fault::Unauthorized}}) {
                QTest::addRow("%s, %s", route, name) << QString::fromLatin1(route) << int(fault);
            }
        }
    }

    void brokenAnswersChangeNothing()
    {
        QFETCH(QString, route);
        QFETCH(int, fault);
        // A kept inbox from an earlier run.
        m_settings->setValue(QStringLiteral("desktopPush/inbox"),
                             QStringLiteral("[{\"id\":\"kept\",\"title\":\"Kept\",\"body\":\"b\",\"read\":false}]"));
        engagement().addNotification(notification(QStringLiteral("n9"), QStringLiteral("Ninth")));
        engagement().setFault(route, Fault(fault));
        start();
        QCOMPARE(idsOf(m_push->inbox()), QStringList{QStringLiteral("kept")});
        waitForPolls(2);
        QTest::qWait(300);
        if (route == QLatin1String("notifications/pending")) {
            QVERIFY(titlesShown().isEmpty());
            QVERIFY(!engagement().acks().contains(QStringLiteral("n9")));
            // The inbox answer, which works, is the account's whole inbox.
            QCOMPARE(idsOf(m_push->inbox()), QStringList{QStringLiteral("n9")});
        } else {
            QCOMPARE(titlesShown(), QStringList{QStringLiteral("Ninth")});
            // The inbox answer was no use: what was kept stays.
            QVERIFY(idsOf(m_push->inbox()).contains(QStringLiteral("kept")));
        }
    }

    void aDamagedStoredInboxIsLeftAside()
    {
        m_settings->setValue(QStringLiteral("desktopPush/inbox"), QStringLiteral("{not json"));
        m_settings->setValue(QStringLiteral("desktopPush/read"), 17);
        engagement().addNotification(notification(QStringLiteral("n4"), QStringLiteral("Fourth")));
        start();
        QTRY_COMPARE_WITH_TIMEOUT(idsOf(m_push->inbox()), QStringList{QStringLiteral("n4")}, kWaitMs);
        QCOMPARE(m_push->unreadCount(), 1);
    }

    void withoutANotificationServiceTheTrayShowsIt()
    {
        QVERIFY(m_bus.setPresent(false));
        engagement().addNotification(notification(QStringLiteral("n5"), QStringLiteral("Fifth")));
        start();
        QSignalSpy tray(m_push.data(), &DesktopPush::trayMessage);
        QTRY_COMPARE_WITH_TIMEOUT(tray.size(), 1, kWaitMs);
        QCOMPARE(tray.constFirst().at(0).toString(), QStringLiteral("Fifth"));
        QCOMPARE(tray.constFirst().at(1).toString(), QStringLiteral("Body of n5"));
        QTRY_COMPARE_WITH_TIMEOUT(engagement().acks().value(QStringLiteral("n5")), 1, kWaitMs);
        waitForPolls(2);
        QCOMPARE(tray.size(), 1);
    }

    void aClickMarksItReadAndOpensTheInbox()
    {
        engagement().addNotification(notification(QStringLiteral("n6"), QStringLiteral("Sixth")));
        start();
        QTRY_COMPARE_WITH_TIMEOUT(m_bus.service->shown().size(), 1, kWaitMs);
        QSignalSpy clicked(m_push.data(), &DesktopPush::notificationClicked);
        m_bus.click(m_bus.service->shown().constFirst().id);
        QTRY_COMPARE_WITH_TIMEOUT(clicked.size(), 1, kWaitMs);
        QCOMPARE(clicked.constFirst().constFirst().toString(), QStringLiteral("n6"));
        QCOMPARE(m_push->unreadCount(), 0);
    }

    void aServiceThatReadsMarkupGetsTextEscaped()
    {
        m_bus.service->setMarkup(true);
        QJsonObject tagged = notification(QStringLiteral("n7"), QStringLiteral("Seventh"));
        tagged.insert(QStringLiteral("body"), QStringLiteral("<a href=\"https://evil.test\">Tap</a> & win"));
        engagement().addNotification(tagged);
        start();
        QTRY_COMPARE_WITH_TIMEOUT(m_bus.service->shown().size(), 1, kWaitMs);
        QCOMPARE(m_bus.service->shown().constFirst().body,
                 QStringLiteral("&lt;a href=&quot;https://evil.test&quot;&gt;Tap&lt;/a&gt; &amp; win"));
    }

    void tooManyRequestsPausesPolling()
    {
        engagement().setFault(QStringLiteral("notifications/pending"), Fault::TooMany);
        start();
        QTRY_COMPARE_WITH_TIMEOUT(polls(), 1, kWaitMs);
        // The backend asked for 120 s; at least a minute passes in any case.
        QTest::qWait(kPollMs * 6);
        QCOMPARE(polls(), 1);
    }

    void signingOutStopsPollingAndForgetsTheInbox()
    {
        engagement().addNotification(notification(QStringLiteral("n8"), QStringLiteral("Eighth")));
        start();
        QTRY_COMPARE_WITH_TIMEOUT(m_push->inbox().size(), 1, kWaitMs);
        UserManager::setState(UserManager::SignedOut);
        QVERIFY(m_push->inbox().isEmpty());
        QCOMPARE(m_settings->value(QStringLiteral("desktopPush/inbox")).toString(), QString());
        const int before = polls();
        QTest::qWait(kPollMs * 4);
        QCOMPARE(polls(), before);
    }

    void theDemoShowsOnTheDesktopAndInTheWindow()
    {
        start();
        QSignalSpy demo(m_push.data(), &DesktopPush::demoMessage);
        m_push->demo();
        QCOMPARE(demo.size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(m_bus.service->shown().size(), 1, kWaitMs);
        QCOMPARE(m_bus.service->shown().constFirst().body, demo.constFirst().constFirst().toString());
        QVERIFY(m_push->inbox().isEmpty());
    }
};

KELVRA_API_TEST_MAIN(TestDesktopPush, QGuiApplication)
#include "tst_desktoppush.moc"
