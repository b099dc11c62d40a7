// Where a failing connection moves: the ranking of the servers after the
// current one, on a tree read without a model.

#include <QtTest>

#include "CatalogueFixture.h"
#include "servers/NextServerPicker.h"
#include "servers/ServerListReader.h"

using namespace fixture;

class TestNextServerPicker : public QObject
{
    Q_OBJECT

private slots:
    void ranking_data()
    {
        QTest::addColumn<QString>("current");
        QTest::addColumn<QStringList>("excluded");
        QTest::addColumn<int>("protocol");
        QTest::addColumn<QString>("apiDefault");
        QTest::addColumn<QStringList>("allow");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<bool>("otherLocation");
        const QStringList none;
        QTest::newRow("best in the same location") << "Frankfurt 1" << none << 0 << "" << none << "Munich 1" << false;
        QTest::newRow("same location, even slower")
            << "Frankfurt 1" << QStringList{"203.0.113.3"} << 0 << "" << none << "Frankfurt 2" << false;
        QTest::newRow("api default first") << "Frankfurt 1" << none << 0 << "de-b" << none << "Frankfurt 2" << false;
        QTest::newRow("nearest other location")
            << "Frankfurt 1" << QStringList{"203.0.113.2", "203.0.113.3"} << 0 << "" << none << "Paris 1" << true;
        QTest::newRow("excluded addresses repeated")
            << "Frankfurt 1" << QStringList{"203.0.113.2", "203.0.113.3", "203.0.113.2", "203.0.113.3"} << 0 << ""
            << none << "Paris 1" << true;
        QTest::newRow("a distance beats none")
            << "Frankfurt 1" << QStringList{"203.0.113.2", "203.0.113.3", "203.0.113.4"} << 0 << "" << none
            << "Tokyo 1" << true;
        QTest::newRow("then the estimate")
            << "Frankfurt 1" << QStringList{"203.0.113.2", "203.0.113.3", "203.0.113.4", "203.0.113.5"} << 0 << ""
            << none << "Rome 1" << true;
        QTest::newRow("then the score")
            << "Frankfurt 1"
            << QStringList{"203.0.113.2", "203.0.113.3", "203.0.113.4", "203.0.113.5", "203.0.113.6"} << 0 << ""
            << none << "Madrid 1" << true;
        QTest::newRow("free counts as high speed")
            << "Frankfurt 1"
            << QStringList{"203.0.113.2", "203.0.113.3", "203.0.113.4", "203.0.113.5", "203.0.113.6", "203.0.113.7"}
            << 0 << "" << none << "Lyon 1" << true;
        QTest::newRow("nothing left")
            << "Frankfurt 1"
            << QStringList{"203.0.113.2", "203.0.113.3", "203.0.113.4", "203.0.113.5", "203.0.113.6", "203.0.113.7",
                           "203.0.113.8"}
            << 0 << "" << none << "" << false;
        QTest::newRow("no address") << "Nowhere 1" << none << 0 << "" << none << "" << false;
        QTest::newRow("protocol") << "Frankfurt 1" << none << 3 << "" << none << "Frankfurt 2" << false;
        QTest::newRow("streaming stays streaming") << "Stream 1" << none << 0 << "" << none << "" << false;
        QTest::newRow("from a favourite every group counts") << "Fav 1" << none << 0 << "" << none << "Stream 1" << false;
        QTest::newRow("allow list") << "Frankfurt 1" << none << 0 << "" << QStringList{"fr-a", "de-c"} << "Munich 1"
                                    << false;
        QTest::newRow("allow list, other location")
            << "Frankfurt 1" << none << 0 << "" << QStringList{"fr-a", "it-a"} << "Paris 1" << true;
        QTest::newRow("allow list of nothing listed")
            << "Frankfurt 1" << none << 0 << "" << QStringList{"grp"} << "" << false;
    }

    void ranking()
    {
        QFETCH(QString, current);
        QFETCH(QStringList, excluded);
        QFETCH(int, protocol);
        QFETCH(QString, apiDefault);
        QFETCH(QStringList, allow);
        QFETCH(QString, expected);
        QFETCH(bool, otherLocation);
        const ServerList list = ServerListReader::read(switchingCatalogue(), VpnProtocol::Protocol(protocol));
        const ServerRecord *from = list.byName.value(current);
        QVERIFY(from);
        const NextServerPicker::Choice choice = NextServerPicker::pick(
            list.locations, from, VpnProtocol::Protocol(protocol ? protocol : VpnProtocol::WireGuard),
            VpnProtocol::Protocol(protocol), excluded, {apiDefault, QString(), QString()}, allow);
        if (expected.isEmpty()) {
            QVERIFY(!choice.server);
            return;
        }
        QVERIFY(choice.server);
        QCOMPARE(choice.server->name, expected);
        QCOMPARE(choice.otherLocation, otherLocation);
    }

    void apiDefaultByAddressOrId_data()
    {
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("id");
        QTest::newRow("by address") << QStringLiteral("203.0.113.2") << QString();
        QTest::newRow("by id") << QString() << QStringLiteral("2");
    }

    void apiDefaultByAddressOrId()
    {
        QFETCH(QString, ip);
        QFETCH(QString, id);
        const ServerList list = ServerListReader::read(switchingCatalogue());
        const NextServerPicker::Choice choice =
            NextServerPicker::pick(list.locations, list.byName.value(QStringLiteral("Frankfurt 1")),
                                   VpnProtocol::WireGuard, VpnProtocol::Optimal, {}, {QString(), ip, id});
        QVERIFY(choice.server);
        QCOMPARE(choice.server->name, QStringLiteral("Frankfurt 2"));
    }

    void withoutACurrentServerNothingIsPicked()
    {
        const ServerList list = ServerListReader::read(switchingCatalogue());
        QVERIFY(!NextServerPicker::pick(list.locations, nullptr, VpnProtocol::WireGuard, VpnProtocol::Optimal, {}, {})
                     .server);
    }
};

int main(int argc, char *argv[])
{
    return fixture::runTests<TestNextServerPicker>(argc, argv);
}

#include "tst_nextserverpicker.moc"
