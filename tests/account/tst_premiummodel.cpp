// The plans page's model against the backend stand-in: the seeded plans as
// cards with their prices and periods, and answers that are no use leaving
// the plans shown before with a message instead.

#include <QJsonArray>
#include <QSignalSpy>
#include <QTest>

#include "account/PremiumModel.h"
#include "tests/api/ApiTestSupport.h"

using namespace ApiTestSupport;
using Fault = StandInEngagement::Fault;

namespace {
const QString kEmail = QStringLiteral("plans@example.com");
constexpr int kWaitMs = 15000;
} // namespace

class TestPremiumModel : public QObject
{
    Q_OBJECT
    BackendStandIn m_backend;

    static QVariant role(const PremiumModel &model, int row, const char *name)
    {
        return model.data(model.index(row), model.roleNames().key(name));
    }

    static void fetch(PremiumModel &model)
    {
        model.fetchPlans();
        QVERIFY(model.loading());
        QTRY_VERIFY_WITH_TIMEOUT(!model.loading(), kWaitMs);
    }

private slots:
    void initTestCase()
    {
        useOwnCredentialService("premiummodel");
        KELVRA_START_STAND_IN(m_backend);
        QVERIFY(!signInAs(m_backend, kEmail).isEmpty());
    }

    void init()
    {
        resetStandIn(m_backend);
        m_backend.engagement().clearFaults();
        m_backend.engagement().clearRecords();
    }

    void listsTheSeededPlansAsCards()
    {
        PremiumModel model;
        fetch(model);
        QCOMPARE(model.count(), 3);
        QCOMPARE(model.errorText(), QString());
        QCOMPARE(role(model, 0, "name").toString(), QStringLiteral("Monthly"));
        QCOMPARE(role(model, 0, "priceText").toString(), QStringLiteral("$9.99"));
        QCOMPARE(role(model, 0, "periodText").toString(), QStringLiteral("per month"));
        QCOMPARE(role(model, 0, "perMonthText").toString(), QString());
        QCOMPARE(role(model, 1, "periodText").toString(), QStringLiteral("every 6 months"));
        QCOMPARE(role(model, 1, "perMonthText").toString(), QStringLiteral("$6.99 a month"));
        QCOMPARE(role(model, 2, "periodText").toString(), QStringLiteral("per year"));
        QCOMPARE(role(model, 2, "perMonthText").toString(), QStringLiteral("$4.99 a month"));
        QCOMPARE(role(model, 2, "badge").toString(), QStringLiteral("Best value"));
        QCOMPARE(role(model, 2, "devices").toInt(), 10);
        // The request is the plans endpoint's: a POST with the session.
        const QList<StandInRequest> requests = m_backend.requestsTo(QStringLiteral("user/subscription-plans"));
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests.constFirst().method, QByteArray("POST"));
    }

    void uselessAnswersKeepThePlansShown_data()
    {
        QTest::addColumn<int>("fault");
        QTest::newRow("empty body") << int(Fault::Empty);
        QTest::newRow("not JSON") << int(Fault::Malformed);
        QTest::newRow("fields of the wrong type") << int(Fault::WrongShape);
        QTest::newRow("429") << int(Fault::TooMany);
    }

    void uselessAnswersKeepThePlansShown()
    {
        QFETCH(int, fault);
        PremiumModel model;
        fetch(model);
        QCOMPARE(model.count(), 3);
        // On every host: an answer that is no JSON sends the request on to
        // the backup hosts first.
        m_backend.engagement().setFault(QStringLiteral("user/subscription-plans"), Fault(fault));
        QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
        fetch(model);
        QCOMPARE(model.count(), 3);
        QCOMPARE(reset.size(), 0);
        QCOMPARE(model.errorText(),
                 QStringLiteral("Plans couldn't be loaded right now. You can still see them on the website."));
        // The next good answer clears the message.
        m_backend.engagement().clearFaults();
        ApiHost::Testing::resetHostState();
        fetch(model);
        QCOMPARE(model.errorText(), QString());
    }

    void anAnswerWithNoPlanIsNoList()
    {
        const QJsonObject seeded = m_backend.engagement().plans();
        m_backend.engagement().setPlans({{QStringLiteral("success"), true}, {QStringLiteral("data"), QJsonArray()}});
        PremiumModel model;
        fetch(model);
        QCOMPARE(model.count(), 0);
        QVERIFY(!model.errorText().isEmpty());
        m_backend.engagement().setPlans(seeded);
    }

    void pricesAsShopsShowThem_data()
    {
        QTest::addColumn<double>("amount");
        QTest::addColumn<QString>("currency");
        QTest::addColumn<QString>("text");
        QTest::newRow("dollars") << 9.99 << "USD" << "$9.99";
        QTest::newRow("euros") << 41.94 << "EUR" << QString::fromUtf8("\u20ac41.94");
        QTest::newRow("a code without a sign") << 59.88 << "CHF" << "59.88 CHF";
        QTest::newRow("per month of a year") << 59.88 / 12 << "USD" << "$4.99";
        QTest::newRow("free") << 0.0 << "GBP" << QString::fromUtf8("\u00a30.00");
    }

    void pricesAsShopsShowThem()
    {
        QFETCH(double, amount);
        QFETCH(QString, currency);
        QFETCH(QString, text);
        QCOMPARE(PremiumModel::formatPrice(amount, currency), text);
    }
};

KELVRA_API_TEST_MAIN(TestPremiumModel, QCoreApplication)
#include "tst_premiummodel.moc"
