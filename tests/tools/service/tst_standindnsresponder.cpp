#include <QtTest>

#include "support/TestEnvironment.h"
#include "tests/tools/service/DnsProbe.h"
#include "tools/service/StandInDnsResponder.h"

namespace {
constexpr int AnswerWaitMs = 5000;
// A datagram that gets no answer has none within this; a name server on
// loopback that answers does so in a few milliseconds.
constexpr int SilenceWaitMs = 800;

QByteArray withByte(QByteArray datagram, int at, char value)
{
    datagram[at] = value;
    return datagram;
}
} // namespace

// The stand-in's name server on its own, asked over UDP byte by byte: what it
// answers, and what it shrugs off.
class TstStandInDnsResponder : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        if (!TestEnvironment::inPrivateNetwork())
            QSKIP("needs the test network namespace (a name server on port 53)");
        m_address = TestEnvironment::ownLoopbackAddress();
        m_responder.reset(new StandInDnsResponder([this] { return m_answering; }));
        QVERIFY2(m_responder->listen(m_address), qPrintable(m_address.toString()));
    }

    void init()
    {
        m_answering = true;
        m_responder->setFailureCode(0);
    }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("query");
        QTest::addColumn<int>("rcode");
        QTest::addColumn<int>("answerCount");
        QTest::newRow("A for www.google.com: its own address") << DnsProbe::query() << 0 << 1;
        QTest::newRow("names are case-blind") << DnsProbe::query("WWW.Google.COM") << 0 << 1;
        QTest::newRow("another type of that name: no records")
            << DnsProbe::query("www.google.com", DnsProbe::TypeAaaa) << 0 << 0;
        QTest::newRow("another name: no such name") << DnsProbe::query("example.test") << 3 << 0;
    }

    void answers()
    {
        QFETCH(QByteArray, query);
        QFETCH(int, rcode);
        QFETCH(int, answerCount);
        const DnsProbe::Reply reply = DnsProbe::ask(m_address, query, AnswerWaitMs);
        QVERIFY(reply.replied);
        QCOMPARE(reply.rcode, rcode);
        QCOMPARE(reply.answerCount, answerCount);
        if (answerCount > 0)
            QCOMPARE(reply.addresses, QList<QHostAddress>{m_address});
    }

    void failureCodeReplacesTheAnswer()
    {
        m_responder->setFailureCode(2);
        const DnsProbe::Reply reply = DnsProbe::ask(m_address, AnswerWaitMs);
        QVERIFY(reply.replied);
        QCOMPARE(reply.rcode, 2);
        QCOMPARE(reply.answerCount, 0);
    }

    void silentWhileTheTunnelCarriesNothing()
    {
        m_answering = false;
        const int before = m_responder->queryCount();
        QVERIFY(!DnsProbe::ask(m_address, SilenceWaitMs).replied);
        QCOMPARE(m_responder->queryCount(), before + 1);
        m_answering = true;
        QVERIFY(DnsProbe::ask(m_address, AnswerWaitMs).replied);
    }

    void hostileDatagramsAreDropped_data()
    {
        const QByteArray good = DnsProbe::query();
        QTest::addColumn<QByteArray>("datagram");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("shorter than a header") << good.left(11);
        QTest::newRow("header only") << good.left(12);
        QTest::newRow("a response, not a query") << withByte(good, 2, char(0x81));
        QTest::newRow("not a standard query") << withByte(good, 2, char(0x11));
        QTest::newRow("two questions") << withByte(good, 5, 2);
        QTest::newRow("a label longer than the datagram") << withByte(good, 12, 60);
        QTest::newRow("a compression pointer in the question") << withByte(good, 12, char(0xC0));
        QTest::newRow("no type and class") << good.left(good.size() - 4);
        QTest::newRow("a name without end") << good.left(12) + QByteArray(600, char(1));
    }

    // Each is dropped without an answer; the server still answers afterwards.
    void hostileDatagramsAreDropped()
    {
        QFETCH(QByteArray, datagram);
        const int before = m_responder->queryCount();
        QVERIFY(!DnsProbe::ask(m_address, datagram, SilenceWaitMs).replied);
        QCOMPARE(m_responder->queryCount(), before);
        QVERIFY(DnsProbe::ask(m_address, AnswerWaitMs).replied);
    }

    void bindsOnlyToThisMachine_data()
    {
        QTest::addColumn<QHostAddress>("address");
        QTest::newRow("an address of no interface here") << QHostAddress(QStringLiteral("192.0.2.53"));
        QTest::newRow("IPv6") << QHostAddress(QHostAddress::LocalHostIPv6);
        QTest::newRow("no address") << QHostAddress();
    }

    void bindsOnlyToThisMachine()
    {
        QFETCH(QHostAddress, address);
        StandInDnsResponder responder([] { return true; });
        QVERIFY(!responder.listen(address));
        QVERIFY(!responder.isListening());
    }

    void aTakenAddressIsRefused()
    {
        StandInDnsResponder second([] { return true; });
        QVERIFY(!second.listen(m_address));
        QVERIFY(DnsProbe::ask(m_address, AnswerWaitMs).replied);
    }

private:
    QScopedPointer<StandInDnsResponder> m_responder;
    QHostAddress m_address;
    bool m_answering = true;
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    TstStandInDnsResponder test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_standindnsresponder.moc"
