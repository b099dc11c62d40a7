// The route-check tests lean on the Cloudflare front stand-in, so each of its
// behaviours is checked here through a plain TLS socket that trusts only the
// stand-in CA: what a front says, when, and that it keeps itself bounded.
#include "support/TestEnvironment.h"
#include "tools/cdnfront/CdnFrontStandIn.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTest>

namespace {
const QHostAddress FrontAddress(QStringLiteral("198.51.100.20"));
const QString FrontName = QStringLiteral("front.testapi.kelvra.test");
using Behaviour = CdnFrontStandIn::Behaviour;

// What a client saw of one upgrade request.
struct Exchange
{
    bool encrypted = false;
    QByteArray answer;   // everything received
    qint64 answeredAfterMs = -1;
    bool closedByFront = false;
};

QSslConfiguration trustingFronts()
{
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates({QSslCertificate(CdnFrontStandIn::caCertificatePem(), QSsl::Pem)});
    return tls;
}

// The front runs on this thread, so every wait turns the event loop.
bool encrypt(QSslSocket &socket, int waitMs = 5000)
{
    socket.setProxy(QNetworkProxy::NoProxy);
    socket.setSslConfiguration(trustingFronts());
    socket.connectToHostEncrypted(FrontAddress.toString(), 443, FrontName);
    return QTest::qWaitFor([&] { return socket.isEncrypted(); }, waitMs);
}

Exchange upgrade(const QString &path, const QByteArray &key = "dGhlIHNhbXBsZSBub25jZQ==", int waitMs = 5000)
{
    Exchange exchange;
    QSslSocket socket;
    if (!encrypt(socket, waitMs))
        return exchange;
    exchange.encrypted = true;
    QElapsedTimer clock;
    clock.start();
    socket.write("GET " + path.toLatin1() + " HTTP/1.1\r\nHost: " + FrontName.toLatin1()
                 + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + key
                 + "\r\nSec-WebSocket-Version: 13\r\n\r\n");
    const bool complete = QTest::qWaitFor([&] {
        exchange.answer += socket.readAll();
        return exchange.answer.contains("\r\n\r\n");
    }, waitMs);
    exchange.answeredAfterMs = complete ? clock.elapsed() : -1;
    if (exchange.answer.startsWith("HTTP/1.1 403"))
        exchange.closedByFront = QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 3000);
    return exchange;
}
} // namespace

class tst_CdnFrontStandIn : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void answersEachBehaviour_data();
    void answersEachBehaviour();
    void pathRuleOverridesTheListener();
    void stalledTlsKeepsTheConnectionWithoutHandshake();
    void recordsRequestsAndCountsDials();
    void oversizedHeadIsClosed();

private:
    std::unique_ptr<CdnFrontStandIn> m_front;
};

void tst_CdnFrontStandIn::init()
{
    if (!TestEnvironment::inPrivateNetwork())
        QSKIP("needs the test network namespace (scripts/netns.sh) for the front addresses");
    m_front = std::make_unique<CdnFrontStandIn>();
}

void tst_CdnFrontStandIn::cleanup()
{
    m_front.reset();
}

void tst_CdnFrontStandIn::answersEachBehaviour_data()
{
    QTest::addColumn<int>("behaviour");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<QByteArray>("statusLine");
    QTest::addColumn<int>("minimumMs");

    QTest::newRow("upgrade switches protocols") << int(Behaviour::Upgrade) << -1
                                                << QByteArray("HTTP/1.1 101 Switching Protocols") << 0;
    QTest::newRow("forbidden refuses and closes") << int(Behaviour::Forbidden) << -1
                                                  << QByteArray("HTTP/1.1 403 Forbidden") << 0;
    QTest::newRow("slow upgrade waits its default delay") << int(Behaviour::SlowUpgrade) << -1
                                                          << QByteArray("HTTP/1.1 101 Switching Protocols")
                                                          << CdnFrontStandIn::DefaultSlowDelayMs - 100;
    QTest::newRow("a refusal can wait too") << int(Behaviour::Forbidden) << 700
                                            << QByteArray("HTTP/1.1 403 Forbidden") << 600;
}

void tst_CdnFrontStandIn::answersEachBehaviour()
{
    QFETCH(int, behaviour);
    QFETCH(int, delayMs);
    QFETCH(QByteArray, statusLine);
    QFETCH(int, minimumMs);
    QVERIFY(m_front->listen(FrontAddress, Behaviour(behaviour), 443, delayMs));
    QSignalSpy answered(m_front.get(), &CdnFrontStandIn::answered);

    const Exchange exchange = upgrade(QStringLiteral("/ws/de-fra"));
    QVERIFY(exchange.encrypted);
    QVERIFY2(exchange.answer.startsWith(statusLine + "\r\n"), exchange.answer.constData());
    QVERIFY2(exchange.answeredAfterMs >= minimumMs, QByteArray::number(exchange.answeredAfterMs).constData());
    QCOMPARE(answered.size(), 1);
    QCOMPARE(answered.first().at(0).toString(), QStringLiteral("/ws/de-fra"));
    if (statusLine.contains(" 101 ")) {
        // The accept key of RFC 6455's own example.
        QVERIFY(exchange.answer.contains("\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"));
        QCOMPARE(answered.first().at(1).toInt(), 101);
    } else {
        QVERIFY(exchange.closedByFront);
        QCOMPARE(answered.first().at(1).toInt(), 403);
    }
}

void tst_CdnFrontStandIn::pathRuleOverridesTheListener()
{
    QVERIFY(m_front->listen(FrontAddress, Behaviour::Upgrade));
    m_front->setPathBehaviour(QStringLiteral("/ws/gb-lon"), Behaviour::Forbidden);
    m_front->setPathBehaviour(QStringLiteral("/ws/us-lax"), Behaviour::StallTls); // not a path's to choose
    QVERIFY(upgrade(QStringLiteral("/ws/gb-lon")).answer.startsWith("HTTP/1.1 403 "));
    QVERIFY(upgrade(QStringLiteral("/ws/de-fra")).answer.startsWith("HTTP/1.1 101 "));
    QVERIFY(upgrade(QStringLiteral("/ws/us-lax")).answer.startsWith("HTTP/1.1 101 "));
}

void tst_CdnFrontStandIn::stalledTlsKeepsTheConnectionWithoutHandshake()
{
    QVERIFY(m_front->listen(FrontAddress, Behaviour::StallTls));
    QSslSocket socket;
    QVERIFY(!encrypt(socket, 1500));
    QCOMPARE(socket.state(), QAbstractSocket::ConnectedState);
    QCOMPARE(m_front->connectionCount(), 1);
    QCOMPARE(m_front->openConnections(), 1);
    QVERIFY(m_front->requests().isEmpty());
    socket.abort();
    QTRY_COMPARE_WITH_TIMEOUT(m_front->openConnections(), 0, 3000);
}

void tst_CdnFrontStandIn::recordsRequestsAndCountsDials()
{
    QVERIFY(m_front->listen(FrontAddress, Behaviour::Upgrade));
    QVERIFY(upgrade(QStringLiteral("/ws/one"), "AAAAAAAAAAAAAAAAAAAAAA==").encrypted);
    QVERIFY(upgrade(QStringLiteral("/ws/two"), "BBBBBBBBBBBBBBBBBBBBBA==").encrypted);
    QCOMPARE(m_front->connectionCount(), 2);
    const QList<QByteArray> requests = m_front->requests();
    QCOMPARE(requests.size(), 2);
    QVERIFY(requests.at(0).startsWith("GET /ws/one HTTP/1.1\r\n"));
    QVERIFY(requests.at(0).endsWith("Sec-WebSocket-Key: AAAAAAAAAAAAAAAAAAAAAA==\r\nSec-WebSocket-Version: 13\r\n\r\n"));
    QVERIFY(requests.at(1).startsWith("GET /ws/two HTTP/1.1\r\n"));
    QTRY_COMPARE_WITH_TIMEOUT(m_front->openConnections(), 0, 3000);
}

void tst_CdnFrontStandIn::oversizedHeadIsClosed()
{
    QVERIFY(m_front->listen(FrontAddress, Behaviour::Upgrade));
    QSslSocket socket;
    QVERIFY(encrypt(socket));
    socket.write("GET /ws HTTP/1.1\r\nX-Long: " + QByteArray(CdnFrontStandIn::MaxHeadBytes, 'a'));
    QVERIFY(QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 5000));
    QVERIFY(m_front->requests().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(m_front->openConnections(), 0, 3000);
}

int main(int argc, char *argv[])
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    tst_CdnFrontStandIn test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_cdnfrontstandin.moc"
