// Reading the current Wi-Fi name on Linux: NetworkManager over D-Bus (here a
// stand-in NetworkManager on a private bus), iw's device list where
// NetworkManager isn't there, and the three outcomes kept apart: a name, not
// on Wi-Fi, and the name withheld.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include "platform/WifiName.h"

namespace {

const QString kService = QStringLiteral("org.freedesktop.NetworkManager");
const QString kRoot = QStringLiteral("/org/freedesktop/NetworkManager");
const QString kWifi = kRoot + QStringLiteral("/Devices/1");
const QString kWired = kRoot + QStringLiteral("/Devices/2");
const QString kAccessPoint = kRoot + QStringLiteral("/AccessPoint/7");

// What the stand-in NetworkManager reports.
struct Network {
    uint wifiState = 100;        // activated
    QString accessPoint = kAccessPoint;
    QByteArray ssid;
    QString denied;              // the property (or "GetDevices") answered with AccessDenied
};

// Answers GetDevices and the properties the client reads, from its own thread.
class FakeNetworkManager : public QDBusVirtualObject
{
public:
    void set(const Network &network)
    {
        QMutexLocker lock(&m_mutex);
        m_network = network;
    }

    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        QMutexLocker lock(&m_mutex);
        const QString member = message.member();
        const QString property = message.arguments().value(1).toString();
        if (member == m_network.denied || (!property.isEmpty() && property == m_network.denied)) {
            connection.send(message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                                                     QStringLiteral("not for you")));
            return true;
        }
        if (member == QLatin1String("GetDevices")) {
            const QList<QDBusObjectPath> devices{QDBusObjectPath(kWired), QDBusObjectPath(kWifi)};
            connection.send(message.createReply(QVariant::fromValue(devices)));
            return true;
        }
        if (member != QLatin1String("Get"))
            return false;
        QVariant value;
        const QString path = message.path();
        if (property == QLatin1String("DeviceType"))
            value = uint(path == kWifi ? 2 : 1);
        else if (property == QLatin1String("State"))
            value = path == kWifi ? m_network.wifiState : uint(100);
        else if (property == QLatin1String("ActiveAccessPoint"))
            value = QVariant::fromValue(QDBusObjectPath(m_network.accessPoint));
        else if (property == QLatin1String("Ssid"))
            value = m_network.ssid;
        connection.send(message.createReply(QVariant::fromValue(QDBusVariant(value))));
        return true;
    }

private:
    QMutex m_mutex;
    Network m_network;
};

} // namespace

class TestWifiName : public QObject
{
    Q_OBJECT
    QTemporaryDir m_bin;
    QByteArray m_path;
    QProcess m_bus;
    QString m_address;
    QThread m_thread;
    FakeNetworkManager *m_fake = nullptr;

    void iw(const QByteArray &script)
    {
        QFile file(m_bin.filePath(QStringLiteral("iw")));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("#!/bin/sh\n" + script + "\n");
        file.close();
        QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    }

    void setPresent(bool present)
    {
        QDBusConnection bus(QStringLiteral("fake-nm"));
        if (present)
            QVERIFY(bus.registerService(kService));
        else
            bus.unregisterService(kService);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_bin.isValid());
        m_path = qgetenv("PATH");
        qputenv("PATH", m_bin.path().toUtf8() + ":/bin:/usr/bin");

        m_bus.start(QStringLiteral("dbus-daemon"),
                    {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        QVERIFY(m_bus.waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(m_bus.canReadLine(), 5000);
        m_address = QString::fromUtf8(m_bus.readLine().trimmed());
        QVERIFY(!m_address.isEmpty());
        // The client reads the system bus; here it is the private one.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toUtf8());

        m_thread.start();
        m_fake = new FakeNetworkManager;
        m_fake->moveToThread(&m_thread);
        const QString address = m_address;
        FakeNetworkManager *fake = m_fake;
        bool registered = false;
        QMetaObject::invokeMethod(
            fake,
            [address, fake, &registered] {
                QDBusConnection bus = QDBusConnection::connectToBus(address, QStringLiteral("fake-nm"));
                registered = bus.isConnected() && bus.registerVirtualObject(kRoot, fake, QDBusConnection::SubPath)
                             && bus.registerService(kService);
            },
            Qt::BlockingQueuedConnection);
        QVERIFY(registered);
    }

    void cleanupTestCase()
    {
        qputenv("PATH", m_path);
        QMetaObject::invokeMethod(
            m_fake, [] { QDBusConnection::disconnectFromBus(QStringLiteral("fake-nm")); }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait(5000);
        delete m_fake;
        m_bus.kill();
        m_bus.waitForFinished(5000);
    }

    void readsTheConnectedNetwork_data()
    {
        QTest::addColumn<bool>("present");
        QTest::addColumn<uint>("wifiState");
        QTest::addColumn<QString>("accessPoint");
        QTest::addColumn<QByteArray>("ssid");
        QTest::addColumn<QString>("denied");
        QTest::addColumn<QByteArray>("iw");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("refused");
        const QByteArray iwOffice = "printf 'phy#0\\n\\tInterface wlan0\\n\\t\\tifindex 3\\n\\t\\tssid Office\\n\\t\\ttype managed\\n'";
        QTest::newRow("the connected network")
            << true << 100u << kAccessPoint << QByteArray("Home") << "" << iwOffice << "Home" << false;
        QTest::newRow("a UTF-8 name") << true << 100u << kAccessPoint << QByteArray("Caf\xc3\xa9 5G") << "" << iwOffice
                                      << QString::fromUtf8("Caf\xc3\xa9 5G") << false;
        QTest::newRow("Wi-Fi not activated: not on Wi-Fi, iw not asked")
            << true << 30u << kAccessPoint << QByteArray("Home") << "" << iwOffice << "" << false;
        QTest::newRow("no access point") << true << 100u << "/" << QByteArray("Home") << "" << iwOffice << "" << false;
        QTest::newRow("longer than any SSID") << true << 100u << kAccessPoint << QByteArray(33, 'x') << "" << iwOffice
                                              << "" << false;
        QTest::newRow("the name withheld") << true << 100u << kAccessPoint << QByteArray("Home") << "Ssid" << iwOffice
                                           << "" << true;
        QTest::newRow("the devices withheld") << true << 100u << kAccessPoint << QByteArray("Home") << "GetDevices"
                                              << iwOffice << "" << true;
        QTest::newRow("no NetworkManager: iw") << false << 100u << kAccessPoint << QByteArray() << "" << iwOffice
                                               << "Office" << false;
        QTest::newRow("no NetworkManager: iw's escapes undone")
            << false << 100u << kAccessPoint << QByteArray() << ""
            << QByteArray("printf '\\tInterface wlan0\\n\\t\\tssid \\\\x20Caf\\\\xc3\\\\xa9 \\\\x5c\\\\x20\\n'")
            << QString::fromUtf8(" Caf\xc3\xa9 \\ ") << false;
        QTest::newRow("no NetworkManager, iw not connected")
            << false << 100u << kAccessPoint << QByteArray() << ""
            << QByteArray("printf '\\tInterface wlan0\\n\\t\\ttype managed\\n'") << "" << false;
        QTest::newRow("no NetworkManager, no iw") << false << 100u << kAccessPoint << QByteArray() << ""
                                                  << QByteArray("exit 1") << "" << false;
        QTest::newRow("no NetworkManager, iw hangs") << false << 100u << kAccessPoint << QByteArray() << ""
                                                     << QByteArray("exec sleep 30") << "" << false;
    }

    void readsTheConnectedNetwork()
    {
        QFETCH(bool, present);
        QFETCH(uint, wifiState);
        QFETCH(QString, accessPoint);
        QFETCH(QByteArray, ssid);
        QFETCH(QString, denied);
        QFETCH(QByteArray, iw);
        QFETCH(QString, name);
        QFETCH(bool, refused);
        Network network;
        network.wifiState = wifiState;
        network.accessPoint = accessPoint;
        network.ssid = ssid;
        network.denied = denied;
        m_fake->set(network);
        setPresent(present);
        this->iw(iw);
        const WifiName::Reading reading = WifiName::read();
        QCOMPARE(reading.name, name);
        QCOMPARE(reading.refused, refused);
        setPresent(true);
    }

    void testsCanSetTheName()
    {
        WifiName::setForTesting(QStringLiteral("Injected"));
        QCOMPARE(WifiName::current(), QStringLiteral("Injected"));
        WifiName::setRefusedForTesting();
        QVERIFY(WifiName::read().refused);
        WifiName::clearForTesting();
    }
};

QTEST_GUILESS_MAIN(TestWifiName)
#include "tst_wifiname.moc"
