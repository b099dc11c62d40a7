#include <QCryptographicHash>
#include <QtTest>

#include "connection/NetworkIdentifier.h"

Q_DECLARE_METATYPE(QList<NetworkIdentifier::Interface>)

namespace {
QNetworkAddressEntry entry(const char *address, int prefix)
{
    QNetworkAddressEntry e;
    e.setIp(QHostAddress(QLatin1String(address)));
    e.setPrefixLength(prefix);
    return e;
}

NetworkIdentifier::Interface up(const char *name, QList<QNetworkAddressEntry> addresses, const char *human = "")
{
    NetworkIdentifier::Interface i;
    i.name = QLatin1String(name);
    i.humanReadableName = QLatin1String(human);
    i.upAndRunning = true;
    i.addresses = std::move(addresses);
    return i;
}

QString key(const QString &text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).left(8).toHex());
}
} // namespace

// Which network the client is on: the first real interface's IPv4 network.
class TstNetworkIdentifier : public QObject
{
    Q_OBJECT
private slots:
    void fromInterfaces_data()
    {
        QTest::addColumn<QList<NetworkIdentifier::Interface>>("interfaces");
        QTest::addColumn<bool>("staging");
        QTest::addColumn<QString>("text"); // what is hashed; empty: no identifier

        const auto eth = up("eth0", { entry("192.168.1.23", 24) });
        QTest::newRow("plain") << QList { eth } << false << "eth0/3232235776/24";
        QTest::newRow("staging") << QList { eth } << true << "eth0/3232235776/24/staging";
        auto down = eth;
        down.upAndRunning = false;
        QTest::newRow("down interfaces skipped") << QList { down, up("wlan0", { entry("10.1.2.3", 8) }) } << false
                                                 << "wlan0/167772160/8";
        auto lo = up("lo", { entry("127.0.0.1", 8) });
        lo.loopback = true;
        QTest::newRow("loopback skipped") << QList { lo, eth } << false << "eth0/3232235776/24";
        QTest::newRow("tunnels skipped by name")
            << QList { up("tun0", { entry("10.8.0.2", 24) }), up("wg1", { entry("10.9.0.2", 24) }),
                       up("KelvraX", { entry("10.10.0.2", 24) }), up("ppp0", { entry("10.11.0.2", 24) }), eth }
            << false << "eth0/3232235776/24";
        QTest::newRow("tunnels skipped by description")
            << QList { up("Ethernet 3", { entry("10.8.0.2", 24) }, "Wintun Userspace Tunnel"), eth } << false
            << "eth0/3232235776/24";
        auto virt = up("veth9", { entry("172.17.0.1", 16) });
        virt.isVirtual = true;
        QTest::newRow("virtual skipped") << QList { virt, eth } << false << "eth0/3232235776/24";
        QTest::newRow("IPv6, link-local and /0 entries passed over")
            << QList { up("eth0", { entry("fe80::1", 64), entry("169.254.3.4", 16), entry("192.0.2.9", 0),
                                    entry("192.0.2.9", 32) }) }
            << false << "eth0/3221225993/32";
        QTest::newRow("only the first remaining interface counts")
            << QList { up("eth0", { entry("fe80::1", 64) }), up("eth1", { entry("192.168.1.23", 24) }) } << false
            << QString();
        QTest::newRow("everything VPN-like") << QList { up("tun0", { entry("10.8.0.2", 24) }) } << false << QString();
        QTest::newRow("nothing") << QList<NetworkIdentifier::Interface>() << false << QString();
    }

    void fromInterfaces()
    {
        QFETCH(QList<NetworkIdentifier::Interface>, interfaces);
        QFETCH(bool, staging);
        QFETCH(QString, text);
        const QString id = NetworkIdentifier::fromInterfaces(interfaces, staging);
        QCOMPARE(id, text.isEmpty() ? QString() : key(text));
        if (!id.isEmpty())
            QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{16}$")).match(id).hasMatch());
    }
};

QTEST_GUILESS_MAIN(TstNetworkIdentifier)
#include "tst_networkidentifier.moc"
