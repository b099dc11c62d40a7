#include <QtTest>

#include "connection/SmartConnectMemory.h"
#include "support/TestEnvironment.h"

// What Smart Connect remembers per network, and for how long.
class TstSmartConnectMemory : public QObject
{
    Q_OBJECT
private:
    qint64 m_now = 1800000000000;

private slots:
    void initTestCase()
    {
        SmartConnectMemory::setClockForTesting([this] { return m_now; });
    }

    void workedRouteLastsADay_data()
    {
        QTest::addColumn<qint64>("storedAgo"); // how long before now it was stored
        QTest::addColumn<bool>("kept");
        QTest::newRow("just now") << qint64(0) << true;
        QTest::newRow("a day less a millisecond") << qint64(86399999) << true;
        QTest::newRow("a day") << qint64(86400000) << false;
        QTest::newRow("in the future") << qint64(-5000) << false;
    }

    void workedRouteLastsADay()
    {
        QFETCH(qint64, storedAgo);
        QFETCH(bool, kept);
        const QString network = QStringLiteral("0123456789abcdef");
        const qint64 now = m_now;
        m_now = now - storedAgo;
        SmartConnectMemory::rememberWorked(network, QStringLiteral("amneziawg"));
        m_now = now;
        QCOMPARE(SmartConnectMemory::workedRoute(network), kept ? QStringLiteral("amneziawg") : QString());
    }

    void storedTimeOfZeroIsNone()
    {
        QSettings().setValue(QStringLiteral("smartConnect/worked/aaaa"), QStringLiteral("wireguard"));
        QSettings().setValue(QStringLiteral("smartConnect/workedAt/aaaa"), 0);
        QCOMPARE(SmartConnectMemory::workedRoute(QStringLiteral("aaaa")), QString());
    }

    // The day counts from the first detection, not the last confirmation.
    void restrictedMemoryKeepsItsFirstDetection()
    {
        const QString network = QStringLiteral("fedcba9876543210");
        SmartConnectMemory::rememberRestricted(network, 41);
        m_now += 80000000;
        SmartConnectMemory::rememberRestricted(network, 42);
        QCOMPARE(SmartConnectMemory::restrictedServer(network), QStringLiteral("42"));
        m_now += 7000000;
        QCOMPARE(SmartConnectMemory::restrictedServer(network), QString());
        SmartConnectMemory::rememberRestricted(network, 43);
        QCOMPARE(SmartConnectMemory::restrictedServer(network), QStringLiteral("43"));
        SmartConnectMemory::forgetRestricted(network);
        QCOMPARE(SmartConnectMemory::restrictedServer(network), QString());
    }

    void noNetworkNoMemory()
    {
        SmartConnectMemory::rememberWorked(QString(), QStringLiteral("wireguard"));
        SmartConnectMemory::rememberRestricted(QString(), 7);
        QCOMPARE(SmartConnectMemory::workedRoute(QString()), QString());
        QCOMPARE(SmartConnectMemory::restrictedServer(QString()), QString());
        QVERIFY(QSettings().allKeys().filter(QStringLiteral("smartConnect/worked/")).filter(QRegularExpression(QStringLiteral("/$"))).isEmpty());
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    TstSmartConnectMemory test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_smartconnectmemory.moc"
