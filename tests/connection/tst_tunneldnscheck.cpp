#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

#include "connection/TunnelDnsCheck.h"
#include "support/TestEnvironment.h"
#include "tools/service/StandInDnsResponder.h"

namespace {
// Far below the resolver's own retry clock (seconds), so a check that ends in
// time has ended by its own limit.
constexpr int ShortLimitMs = 700;
constexpr int WaitMs = 4000;

struct Outcome
{
    int reports = 0;
    bool answered = false;
    bool deleted = false;
};
} // namespace

// The one DNS lookup that makes a Stealth tunnel count, asked of the service
// stand-in's name server on a loopback address of this test's own.
class TstTunnelDnsCheck : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (!TestEnvironment::inPrivateNetwork())
            QSKIP("needs the test network namespace (a name server on port 53)");
        m_responder.reset(new StandInDnsResponder([this] { return m_answering; }));
        QVERIFY2(m_responder->listen(TestEnvironment::ownLoopbackAddress()),
                 qPrintable(TestEnvironment::ownLoopbackAddress().toString()));
        TunnelDnsCheck::setNameserverForTesting(m_responder->address());
    }

    void init()
    {
        m_answering = true;
        m_responder->setFailureCode(0);
        TunnelDnsCheck::setLimitForTesting(0);
    }

    void cleanupTestCase()
    {
        TunnelDnsCheck::setNameserverForTesting(QHostAddress());
        TunnelDnsCheck::setLimitForTesting(0);
    }

    void anAnswerCounts()
    {
        const int queriesBefore = m_responder->queryCount();
        const Outcome outcome = check();
        QCOMPARE(outcome.reports, 1);
        QVERIFY(outcome.answered);
        QVERIFY(outcome.deleted);
        QVERIFY(m_responder->queryCount() > queriesBefore);
    }

    void noUsableAnswerDoesNotCount_data()
    {
        QTest::addColumn<bool>("answering");
        QTest::addColumn<int>("failureCode");
        QTest::newRow("silent resolver: the limit decides") << false << 0;
        QTest::newRow("server failure") << true << 2;
        QTest::newRow("refused") << true << 5;
    }

    void noUsableAnswerDoesNotCount()
    {
        QFETCH(bool, answering);
        QFETCH(int, failureCode);
        m_answering = answering;
        m_responder->setFailureCode(failureCode);
        TunnelDnsCheck::setLimitForTesting(ShortLimitMs);
        const Outcome outcome = check();
        QCOMPARE(outcome.reports, 1);
        QVERIFY(!outcome.answered);
        QVERIFY(outcome.deleted);
    }

    // A second start() asks nothing more and reports nothing more.
    void startingTwiceReportsOnce()
    {
        const int queriesBefore = m_responder->queryCount();
        auto *dnsCheck = new TunnelDnsCheck;
        QSignalSpy spy(dnsCheck, &TunnelDnsCheck::finished);
        dnsCheck->start();
        dnsCheck->start();
        QVERIFY(spy.wait(WaitMs));
        QTest::qWait(300);
        QCOMPARE(spy.size(), 1);
        QCOMPARE(m_responder->queryCount(), queriesBefore + 1);
    }

private:
    // Runs one check to its end and a little past it: a late second report
    // or a check that stays behind would show here.
    Outcome check()
    {
        Outcome outcome;
        QPointer<TunnelDnsCheck> dnsCheck = new TunnelDnsCheck;
        connect(dnsCheck, &TunnelDnsCheck::finished, this, [&outcome](bool answered) {
            ++outcome.reports;
            outcome.answered = answered;
        });
        dnsCheck->start();
        [[maybe_unused]] const bool ended = QTest::qWaitFor([&] { return outcome.reports > 0 && !dnsCheck; }, WaitMs);
        QTest::qWait(300);
        outcome.deleted = !dnsCheck;
        return outcome;
    }

    QScopedPointer<StandInDnsResponder> m_responder;
    bool m_answering = true;
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    TstTunnelDnsCheck test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_tunneldnscheck.moc"
