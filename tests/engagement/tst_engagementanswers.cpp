// The answers of the messages, notifications and plans endpoints read from
// bytes: what is shown is whole and safe, and what isn't is left out; an
// answer that is no answer at all says so.

#include <QTest>

#include "account/SubscriptionPlan.h"
#include "engagement/InAppMessage.h"
#include "engagement/PushNotification.h"

namespace {
// One field of every entry a parser kept, in order.
template<typename Entry>
QStringList fieldOf(const QList<Entry> &entries, QString Entry::*field)
{
    QStringList values;
    for (const Entry &entry : entries)
        values << entry.*field;
    return values;
}
} // namespace

class TestEngagementAnswers : public QObject
{
    Q_OBJECT

private slots:
    void syncAnswers_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QStringList>("ids");
        const QByteArray banner = "{\"id\":\"b1\",\"kind\":\"banner\",\"title\":\"T\",\"body\":\"B\"}";
        QTest::newRow("one banner") << "{\"success\":true,\"data\":{\"messages\":[" + banner + "]}}" << true
                                    << QStringList{"b1"};
        QTest::newRow("no messages") << QByteArray("{\"success\":true,\"data\":{\"messages\":[]}}") << true
                                     << QStringList();
        QTest::newRow("empty body") << QByteArray() << false << QStringList();
        QTest::newRow("cut short") << QByteArray("{\"success\":true,\"data\":{\"messages\":[{\"id\":") << false
                                   << QStringList();
        QTest::newRow("success false") << "{\"success\":false,\"data\":{\"messages\":[" + banner + "]}}" << false
                                       << QStringList();
        QTest::newRow("messages not a list") << QByteArray("{\"success\":true,\"data\":{\"messages\":{\"id\":\"b1\"}}}")
                                             << false << QStringList();
        QTest::newRow("a number id") << QByteArray("{\"success\":true,\"data\":{\"messages\":[{\"id\":42,\"kind\":\"dialog\",\"body\":\"x\"}]}}")
                                     << true << QStringList{"42"};
        // A JSON number names an id only as a whole number it holds exactly.
        QTest::newRow("number ids no whole number holds")
            << QByteArray("{\"success\":true,\"data\":{\"messages\":[{\"id\":2.5e51,\"kind\":\"dialog\",\"body\":\"x\"},"
                          "{\"id\":-1e19,\"kind\":\"dialog\",\"body\":\"x\"},{\"id\":1.5,\"kind\":\"dialog\",\"body\":\"x\"},"
                          "{\"id\":7,\"kind\":\"dialog\",\"body\":\"x\"}]}}")
            << true << QStringList{"7"};
        QTest::newRow("ids that climb paths or carry marks are left out")
            << QByteArray("{\"success\":true,\"data\":{\"messages\":[{\"id\":\"../x\",\"kind\":\"banner\",\"body\":\"x\"},"
                          "{\"id\":\"a b\",\"kind\":\"banner\",\"body\":\"x\"},{\"id\":\"ok_1-2\",\"kind\":\"banner\",\"body\":\"x\"}]}}")
            << true << QStringList{"ok_1-2"};
        QTest::newRow("nothing to say, unknown kind, twice the same")
            << QByteArray("{\"success\":true,\"data\":{\"messages\":[{\"id\":\"e\",\"kind\":\"banner\"},"
                          "{\"id\":\"v\",\"kind\":\"video\",\"body\":\"x\"},{\"id\":\"d\",\"kind\":\"dialog\",\"body\":\"x\"},"
                          "{\"id\":\"d\",\"kind\":\"banner\",\"body\":\"y\"}]}}")
            << true << QStringList{"d"};
        QByteArray many = "{\"success\":true,\"data\":{\"messages\":[";
        for (int i = 0; i < 50; ++i)
            many += (i ? "," : "") + QByteArray("{\"kind\":\"banner\",\"body\":\"x\",\"id\":\"m") + QByteArray::number(i) + "\"}";
        many += "]}}";
        QStringList first;
        for (int i = 0; i < InAppMessage::kMaxMessages; ++i)
            first << QStringLiteral("m%1").arg(i);
        QTest::newRow("at most twenty") << many << true << first;
    }

    void syncAnswers()
    {
        QFETCH(QByteArray, answer);
        QFETCH(bool, ok);
        QFETCH(QStringList, ids);
        bool parsed = !ok;
        const QList<InAppMessage> messages = InAppMessage::fromSyncAnswer(answer, &parsed);
        QCOMPARE(parsed, ok);
        QCOMPARE(fieldOf(messages, &InAppMessage::id), ids);
    }

    void messageTextsAreMadePlainAndBounded()
    {
        const QByteArray answer = "{\"success\":true,\"data\":{\"messages\":[{\"id\":\"x\",\"kind\":\"dialog\","
                                  "\"title\":\"  Hello\\u0007 there\\u001b[31m  \",\"body\":\""
                                  + QByteArray(5000, 'a')
                                  + "\",\"action\":{\"url\":\"https://kelvra.test/a?b=1\",\"text\":7}}]}}";
        bool ok = false;
        const QList<InAppMessage> messages = InAppMessage::fromSyncAnswer(answer, &ok);
        QVERIFY(ok);
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages.constFirst().title, QStringLiteral("Hello there[31m"));
        QCOMPARE(messages.constFirst().body.size(), InAppMessage::kMaxBodyLength);
        QVERIFY(messages.constFirst().body.endsWith(QChar(0x2026)));
        QCOMPARE(messages.constFirst().actionUrl, QStringLiteral("https://kelvra.test/a?b=1"));
        QCOMPARE(messages.constFirst().actionText, QStringLiteral("Open"));
        QCOMPARE(messages.constFirst().kind, InAppMessage::Dialog);
    }

    void actionLinks_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("kept");
        QTest::newRow("https") << "https://kelvra.test/x" << "https://kelvra.test/x";
        QTest::newRow("http") << "http://kelvra.test/x" << "http://kelvra.test/x";
        QTest::newRow("javascript") << "javascript:alert(1)" << "";
        QTest::newRow("file") << "file:///etc/passwd" << "";
        QTest::newRow("the app's own scheme") << "kelvra://login?code=1" << "";
        QTest::newRow("no host") << "https:///x" << "";
        QTest::newRow("relative") << "/pricing" << "";
    }

    void actionLinks()
    {
        QFETCH(QString, url);
        QFETCH(QString, kept);
        const QByteArray answer = "{\"success\":true,\"data\":{\"messages\":[{\"id\":\"x\",\"kind\":\"banner\",\"body\":\"b\","
                                  "\"action\":{\"text\":\"Go\",\"url\":\"" + url.toUtf8() + "\"}}]}}";
        bool ok = false;
        const QList<InAppMessage> messages = InAppMessage::fromSyncAnswer(answer, &ok);
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages.constFirst().actionUrl, kept);
        QCOMPARE(messages.constFirst().actionText, kept.isEmpty() ? QString() : QStringLiteral("Go"));
    }

    void notificationLists_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QStringList>("ids");
        QTest::newRow("two") << QByteArray("{\"success\":true,\"data\":[{\"id\":\"a\",\"title\":\"A\"},{\"id\":\"b\",\"body\":\"B\"}]}")
                             << true << QStringList{"a", "b"};
        QTest::newRow("empty list") << QByteArray("{\"success\":true,\"data\":[]}") << true << QStringList();
        QTest::newRow("data an object") << QByteArray("{\"success\":true,\"data\":{\"id\":\"a\"}}") << false
                                        << QStringList();
        QTest::newRow("not JSON") << QByteArray("<html>portal</html>") << false << QStringList();
        QTest::newRow("a JSON array") << QByteArray("[{\"id\":\"a\",\"title\":\"A\"}]") << false << QStringList();
        QTest::newRow("entries that are no notification")
            << QByteArray("{\"success\":true,\"data\":[7,null,\"x\",{\"id\":\"\",\"title\":\"A\"},{\"id\":\"n\",\"title\":\"\"},"
                          "{\"id\":\"ok\",\"title\":\"T\"},{\"id\":\"ok\",\"title\":\"again\"},{\"id\":\"a/b\",\"title\":\"T\"}]}")
            << true << QStringList{"ok"};
    }

    void notificationLists()
    {
        QFETCH(QByteArray, answer);
        QFETCH(bool, ok);
        QFETCH(QStringList, ids);
        bool parsed = !ok;
        const QList<PushNotification> list = PushNotification::listFromAnswer(answer, &parsed);
        QCOMPARE(parsed, ok);
        QCOMPARE(fieldOf(list, &PushNotification::id), ids);
    }

    void aNotificationKeepsWhatItNeedsThroughTheStore()
    {
        bool ok = false;
        const QList<PushNotification> list = PushNotification::listFromAnswer(
            "{\"success\":true,\"data\":[{\"id\":\"n1\",\"title\":\"T\",\"body\":\"B\",\"url\":\"https://kelvra.test/n\","
            "\"created_at\":\"2026-12-01T09:00:00Z\",\"read\":true}]}",
            &ok);
        QCOMPARE(list.size(), 1);
        const PushNotification again = PushNotification::fromJson(list.constFirst().toJson());
        QCOMPARE(again.id, QStringLiteral("n1"));
        QCOMPARE(again.url, QStringLiteral("https://kelvra.test/n"));
        QCOMPARE(again.createdAt, QDateTime(QDate(2026, 12, 1), QTime(9, 0), Qt::UTC));
        QVERIFY(again.read);
    }

    void plans_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QStringList>("names");
        QTest::newRow("the usual") << QByteArray("{\"success\":true,\"data\":[{\"id\":1,\"name\":\"Monthly\",\"price\":9.99,"
                                                 "\"currency\":\"USD\",\"months\":1,\"devices\":5}]}")
                                   << true << QStringList{"Monthly"};
        QTest::newRow("under data.plans, price as text")
            << QByteArray("{\"success\":true,\"data\":{\"plans\":[{\"id\":\"y\",\"name\":\"Yearly\",\"price\":\"59.88\",\"months\":12}]}}")
            << true << QStringList{"Yearly"};
        QTest::newRow("not JSON") << QByteArray("{\"success\": true, \"data\": [") << false << QStringList();
        QTest::newRow("no success") << QByteArray("{\"data\":[{\"id\":1,\"name\":\"M\",\"price\":1,\"months\":1}]}") << false
                                    << QStringList();
        QTest::newRow("plans that can't be shown honestly")
            << QByteArray("{\"success\":true,\"data\":[{\"id\":1,\"name\":\"No price\",\"months\":1},"
                          "{\"id\":2,\"name\":\"Negative\",\"price\":-5,\"months\":1},"
                          "{\"id\":3,\"name\":\"No period\",\"price\":5},"
                          "{\"id\":4,\"name\":\"Half a month\",\"price\":5,\"months\":0.5},"
                          "{\"id\":5,\"price\":5,\"months\":1},"
                          "{\"id\":6,\"name\":\"Price words\",\"price\":\"cheap\",\"months\":1},"
                          "{\"id\":7,\"name\":\"Huge\",\"price\":1e300,\"months\":1},"
                          "{\"id\":8,\"name\":\"Fine\",\"price\":0,\"months\":3}]}")
            << true << QStringList{"Fine"};
    }

    void plans()
    {
        QFETCH(QByteArray, answer);
        QFETCH(bool, ok);
        QFETCH(QStringList, names);
        bool parsed = !ok;
        const QList<SubscriptionPlan> plans = SubscriptionPlan::listFromAnswer(answer, &parsed);
        QCOMPARE(parsed, ok);
        QCOMPARE(fieldOf(plans, &SubscriptionPlan::name), names);
    }

    void aPlansCurrencyAndFeaturesAreChecked()
    {
        bool ok = false;
        const QList<SubscriptionPlan> plans = SubscriptionPlan::listFromAnswer(
            "{\"success\":true,\"data\":[{\"id\":1,\"name\":\"M\",\"price\":5,\"months\":1,\"currency\":\"eu<r\","
            "\"devices\":-3,\"features\":[\"Ten devices\",7,\"\",\"Ad blocking\"]}]}",
            &ok);
        QCOMPARE(plans.size(), 1);
        QCOMPARE(plans.constFirst().currency, QStringLiteral("USD"));
        QCOMPARE(plans.constFirst().devices, 0);
        QCOMPARE(plans.constFirst().features, (QStringList{"Ten devices", "Ad blocking"}));
    }
};

QTEST_APPLESS_MAIN(TestEngagementAnswers)
#include "tst_engagementanswers.moc"
