#include <QtTest>

#include "connection/SmartConnectPlan.h"

Q_DECLARE_METATYPE(QList<SmartAttempt>)

namespace {
SmartAttempt a(const char *route, int ms)
{
    return SmartAttempt { QLatin1String(route), ms, QString(), -1 };
}

QString describe(const QList<SmartAttempt> &attempts)
{
    QStringList parts;
    for (const SmartAttempt &attempt : attempts)
        parts << QStringLiteral("%1 %2").arg(attempt.route).arg(attempt.timeoutMs);
    return parts.join(QStringLiteral(", "));
}
} // namespace

// The order a Smart Connect run tries its routes in, and their time limits.
class TstSmartConnectPlan : public QObject
{
    Q_OBJECT
private slots:
    void build_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QStringList>("order");
        QTest::addColumn<QString>("remembered");
        QTest::addColumn<QString>("putLast");
        QTest::addColumn<QStringList>("notOffered");
        QTest::addColumn<QList<SmartAttempt>>("expected");

        QTest::newRow("unknown names dropped; first of its family and first attempt")
            << "optimal" << QStringList { "openvpn", "wireguard", "carrier-pigeon" } << QString() << QString()
            << QStringList() << QList<SmartAttempt> { a("openvpn", 12000), a("wireguard", 10000) };
        QTest::newRow("empty order in stealth mode, with a front")
            << "stealth" << QStringList() << QString() << QString() << QStringList()
            << QList<SmartAttempt> { a("reality", 12000), a("hysteria2", 8000), a("reality-cdn", 15000) };
        QTest::newRow("default optimal order")
            << "optimal" << QStringList() << QString() << QString() << QStringList()
            << QList<SmartAttempt> { a("wireguard", 10000), a("amneziawg", 12000), a("openvpn", 12000),
                                     a("openvpn-tcp", 8000), a("reality", 12000), a("hysteria2", 8000),
                                     a("reality-cdn", 15000) };
        QTest::newRow("remembered reality-cdn: one short REALITY try first")
            << "stealth" << QStringList() << "reality-cdn" << QString() << QStringList()
            << QList<SmartAttempt> { a("reality", 6000), a("reality-cdn", 15000), a("hysteria2", 8000) };
        QTest::newRow("remembered reality-cdn, REALITY not offered")
            << "stealth" << QStringList() << "reality-cdn" << QString() << QStringList { "reality" }
            << QList<SmartAttempt> { a("reality-cdn", 15000), a("hysteria2", 8000) };
        QTest::newRow("remembered route moves to the front")
            << "optimal" << QStringList { "wireguard", "amneziawg", "openvpn" } << "openvpn" << QString()
            << QStringList() << QList<SmartAttempt> { a("openvpn", 12000), a("wireguard", 10000), a("amneziawg", 12000) };
        QTest::newRow("remembered route the mode doesn't know")
            << "stealth" << QStringList() << "wireguard" << QString() << QStringList()
            << QList<SmartAttempt> { a("reality", 12000), a("hysteria2", 8000), a("reality-cdn", 15000) };
        QTest::newRow("a dropped route goes last; memory ignored")
            << "optimal" << QStringList { "wireguard", "amneziawg", "openvpn", "reality" } << "openvpn"
            << "amneziawg" << QStringList()
            << QList<SmartAttempt> { a("openvpn", 12000), a("reality", 12000), a("wireguard", 10000),
                                     a("amneziawg", 12000) };
        QTest::newRow("repeats dropped, unoffered skipped")
            << "optimal" << QStringList { "wireguard", "wireguard", "openvpn-tcp", "openvpn", "reality-cdn" }
            << QString() << QString() << QStringList { "reality-cdn" }
            << QList<SmartAttempt> { a("wireguard", 10000), a("openvpn-tcp", 12000), a("openvpn", 8000) };
        QTest::newRow("first attempt not WireGuard gets the long limit")
            << "optimal" << QStringList { "openvpn-tcp", "wireguard" } << QString() << QString() << QStringList()
            << QList<SmartAttempt> { a("openvpn-tcp", 12000), a("wireguard", 10000) };
        QTest::newRow("nothing offered") << "stealth" << QStringList() << QString() << QString()
                                         << QStringList { "reality", "hysteria2", "reality-cdn" } << QList<SmartAttempt>();
    }

    void build()
    {
        QFETCH(QString, mode);
        QFETCH(QStringList, order);
        QFETCH(QString, remembered);
        QFETCH(QString, putLast);
        QFETCH(QStringList, notOffered);
        QFETCH(QList<SmartAttempt>, expected);
        SmartConnectPlan::Input input;
        input.mode = mode;
        input.catalogueOrder = order;
        input.remembered = remembered;
        input.putLast = putLast;
        input.offered = [notOffered](const QString &route) { return !notOffered.contains(route); };
        const QList<SmartAttempt> attempts = SmartConnectPlan::build(input);
        QCOMPARE(describe(attempts), describe(expected));
    }

    void routes_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("family");
        QTest::newRow("wireguard") << "wireguard" << int(VpnProtocol::WireGuard) << QString();
        QTest::newRow("amneziawg") << "amneziawg" << int(VpnProtocol::AmneziaWg) << "awg";
        QTest::newRow("openvpn") << "openvpn" << int(VpnProtocol::OpenVpnUdp) << "openvpn";
        QTest::newRow("openvpn-tcp") << "openvpn-tcp" << int(VpnProtocol::OpenVpnTcp) << "openvpn";
        QTest::newRow("reality") << "reality" << int(VpnProtocol::Stealth) << "xray";
        QTest::newRow("reality-cdn") << "reality-cdn" << int(VpnProtocol::Stealth) << "xray";
        QTest::newRow("hysteria2") << "hysteria2" << int(VpnProtocol::Hysteria2) << "xray";
        QTest::newRow("anything else") << "REALITY" << int(VpnProtocol::WireGuard) << QString();
    }

    void routes()
    {
        QFETCH(QString, route);
        QFETCH(int, protocol);
        QFETCH(QString, family);
        QCOMPARE(int(SmartConnectPlan::protocolOf(route)), protocol);
        QCOMPARE(SmartConnectPlan::familyOf(route), family);
    }
};

QTEST_GUILESS_MAIN(TstSmartConnectPlan)
#include "tst_smartconnectplan.moc"
