#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "platform/WifiName.h"

// Reading the current Wi-Fi name on Linux: what NetworkManager's terse list
// says (its escapes undone), else what the wireless driver says, else nothing.
// The tools are stand-ins put first on the search path.
class TestWifiName : public QObject
{
    Q_OBJECT
    QTemporaryDir m_bin;
    QByteArray m_path;

    void tool(const QString &name, const QByteArray &script)
    {
        QFile file(m_bin.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("#!/bin/sh\n" + script + "\n");
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_bin.isValid());
        m_path = qgetenv("PATH");
        // Only the stand-ins (and the shell they need) are found.
        qputenv("PATH", m_bin.path().toUtf8() + ":/bin:/usr/bin");
    }

    void cleanupTestCase() { qputenv("PATH", m_path); }

    void readsTheConnectedNetwork_data()
    {
        QTest::addColumn<QByteArray>("nmcli");
        QTest::addColumn<QByteArray>("iwgetid");
        QTest::addColumn<QString>("name");
        QTest::newRow("the active line wins") << QByteArray("printf 'no:Neighbour\\nyes:Home\\nno:Other\\n'")
                                              << QByteArray("exit 1") << "Home";
        QTest::newRow("escaped colon and backslash")
            << QByteArray("printf 'yes:Caf\\303\\251\\\\:5G\\\\\\\\x\\n'") << QByteArray("exit 1")
            << QString::fromUtf8("Caf\xc3\xa9:5G\\x");
        QTest::newRow("nothing active: the driver is asked") << QByteArray("printf 'no:Neighbour\\n'")
                                                             << QByteArray("echo Office") << "Office";
        QTest::newRow("no NetworkManager: the driver is asked") << QByteArray("exit 8") << QByteArray("echo Office")
                                                                << "Office";
        QTest::newRow("not on Wi-Fi") << QByteArray("exit 0") << QByteArray("exit 255") << "";
        QTest::newRow("longer than any SSID: none")
            << QByteArray("echo yes:0123456789012345678901234567890123") << QByteArray("exit 1") << "";
        QTest::newRow("a tool that hangs is given up on") << QByteArray("exec sleep 30") << QByteArray("echo Office")
                                                          << "Office";
    }

    void readsTheConnectedNetwork()
    {
        QFETCH(QByteArray, nmcli);
        QFETCH(QByteArray, iwgetid);
        QFETCH(QString, name);
        tool(QStringLiteral("nmcli"), nmcli);
        tool(QStringLiteral("iwgetid"), iwgetid);
        const WifiName::Reading reading = WifiName::read();
        QCOMPARE(reading.name, name);
        QVERIFY(!reading.refused);
    }

    void noToolsNoName()
    {
        QFile::remove(m_bin.filePath(QStringLiteral("nmcli")));
        QFile::remove(m_bin.filePath(QStringLiteral("iwgetid")));
        QCOMPARE(WifiName::current(), QString());
    }

    void testsCanSetTheName()
    {
        WifiName::setForTesting(QStringLiteral("Injected"));
        QCOMPARE(WifiName::current(), QStringLiteral("Injected"));
        WifiName::clearForTesting();
        QCOMPARE(WifiName::current(), QString());
    }
};

QTEST_GUILESS_MAIN(TestWifiName)
#include "tst_wifiname.moc"
