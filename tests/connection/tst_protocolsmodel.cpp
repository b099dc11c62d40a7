#include <QAbstractItemModelTester>
#include <QCoreApplication>
#include <QSignalSpy>
#include <QTest>

#include "connection/ProtocolsModel.h"

Q_DECLARE_METATYPE(VpnProtocol::Protocol)

namespace {

QList<int> asInts(const QSignalSpy &spy)
{
    QList<int> values;
    for (const QList<QVariant> &arguments : spy)
        values << arguments.at(0).value<VpnProtocol::Protocol>();
    return values;
}

QSet<int> setOf(const QList<int> &list)
{
    return QSet<int>(list.begin(), list.end());
}

// The rows' chosen flags as the page shows them, one type per chosen row.
QList<int> chosenRows(const ProtocolsModel &model)
{
    QList<int> chosen;
    for (int row = 0; row < model.rowCount(); ++row) {
        const QModelIndex index = model.index(row, 0);
        if (model.data(index, ProtocolsModel::ChosenRole).toBool())
            chosen << model.data(index, ProtocolsModel::TypeRole).toInt();
    }
    return chosen;
}

bool availableRow(const ProtocolsModel &model, int type)
{
    for (int row = 0; row < model.rowCount(); ++row) {
        const QModelIndex index = model.index(row, 0);
        if (model.data(index, ProtocolsModel::TypeRole).toInt() == type)
            return model.data(index, ProtocolsModel::AvailableRole).toBool();
    }
    return false;
}

} // namespace

// The protocol page's list: which row shows as chosen, which rows are
// offered by the current server, and the signals the rest of the client
// follows (the catalogue follows protocolChanged, the settings protocolChosen).
class TestProtocolsModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<VpnProtocol::Protocol>(); }

    void rowsAndRoles()
    {
        ProtocolsModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        const QList<std::pair<int, QString>> expected = {
            {0, QStringLiteral("Optimal")},     {2, QStringLiteral("WireGuard")},
            {1, QStringLiteral("OpenVPN UDP")}, {5, QStringLiteral("OpenVPN TCP")},
            {3, QStringLiteral("AmneziaWG")},   {4, QStringLiteral("Stealth")},
        };
        QCOMPARE(model.rowCount(), int(expected.size()));
        for (int row = 0; row < model.rowCount(); ++row) {
            const QModelIndex index = model.index(row, 0);
            QCOMPARE(model.data(index, ProtocolsModel::TypeRole).toInt(), expected.at(row).first);
            QCOMPARE(model.data(index, ProtocolsModel::NameRole).toString(), expected.at(row).second);
            QVERIFY(!model.data(index, ProtocolsModel::DescriptionRole).toString().isEmpty());
            QCOMPARE(model.rowCount(index), 0);
        }
        QCOMPARE(model.data(model.index(3, 0), ProtocolsModel::DescriptionRole).toString(),
                 QStringLiteral("Slower, but gets through firewalls that block UDP, such as hotels, offices and "
                                "schools."));
        const QHash<int, QByteArray> roles = model.roleNames();
        QCOMPARE(roles.value(256), QByteArray("type"));
        QCOMPARE(roles.value(257), QByteArray("name"));
        QCOMPARE(roles.value(258), QByteArray("desc"));
        QCOMPARE(roles.value(259), QByteArray("protoEnabled"));
        QCOMPARE(roles.value(260), QByteArray("available"));

        QCOMPARE(chosenRows(model), QList<int>{0});
        QCOMPARE(model.selectedProtocol(), 0);
        QVERIFY(!model.data(QModelIndex(), ProtocolsModel::TypeRole).isValid());
        QVERIFY(!model.data(model.index(0, 0), Qt::DisplayRole).isValid());
        QVERIFY(!model.data(model.index(0, 0), 261).isValid());
        QVERIFY(!model.index(6, 0).isValid());
    }

    // What the rows say about availability before and after a server is known.
    void availability_data()
    {
        QTest::addColumn<bool>("given");
        QTest::addColumn<QList<int>>("offered");
        QTest::addColumn<QList<int>>("available");
        QTest::newRow("no server yet: only Optimal") << false << QList<int>{} << QList<int>{0};
        QTest::newRow("a server offering nothing: only Optimal") << true << QList<int>{} << QList<int>{0};
        QTest::newRow("WireGuard and Stealth") << true << QList<int>{2, 4} << QList<int>{0, 2, 4};
        QTest::newRow("everything") << true << QList<int>{1, 2, 3, 4, 5} << QList<int>{0, 1, 2, 3, 4, 5};
    }

    void availability()
    {
        QFETCH(bool, given);
        QFETCH(QList<int>, offered);
        QFETCH(QList<int>, available);
        ProtocolsModel model;
        if (given)
            model.setAvailableProtocols(setOf(offered));
        for (int type : {0, 1, 2, 3, 4, 5})
            QCOMPARE(availableRow(model, type), available.contains(type));
    }

    // updateProtocol: the choice, its signals (always both, in this order)
    // and the row that ends up chosen.
    void updateProtocol_data()
    {
        QTest::addColumn<bool>("given");
        QTest::addColumn<QList<int>>("offered");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("choice");
        QTest::addColumn<int>("shown");
        QTest::newRow("stored Stealth before any server: kept, though not available")
            << false << QList<int>{} << 4 << 4 << 4;
        QTest::newRow("Stealth on a server that offers it") << true << QList<int>{2, 4} << 4 << 4 << 4;
        QTest::newRow("Stealth on a server without it: Optimal shown, choice kept")
            << true << QList<int>{1, 2} << 4 << 4 << 0;
        QTest::newRow("Hysteria2 has no row: Optimal") << false << QList<int>{} << 6 << 0 << 0;
        QTest::newRow("a number that is no protocol: Optimal") << true << QList<int>{1} << -3 << 0 << 0;
        QTest::newRow("Optimal is always there") << true << QList<int>{} << 0 << 0 << 0;
    }

    void updateProtocol()
    {
        QFETCH(bool, given);
        QFETCH(QList<int>, offered);
        QFETCH(int, type);
        QFETCH(int, choice);
        QFETCH(int, shown);
        ProtocolsModel model;
        if (given)
            model.setAvailableProtocols(setOf(offered));
        QList<QByteArray> order;
        connect(&model, &ProtocolsModel::protocolChosen, this, [&order] { order << "chosen"; });
        connect(&model, &ProtocolsModel::protocolChanged, this, [&order] { order << "changed"; });
        QSignalSpy chosen(&model, &ProtocolsModel::protocolChosen);
        QSignalSpy changed(&model, &ProtocolsModel::protocolChanged);

        model.updateProtocol(type);
        QCOMPARE(asInts(chosen), QList<int>{choice});
        QCOMPARE(asInts(changed), QList<int>{shown});
        QCOMPARE(order, (QList<QByteArray>{"chosen", "changed"}));
        QCOMPARE(model.userChoice(), choice);
        QCOMPARE(model.selectedProtocol(), shown);
        QCOMPARE(chosenRows(model), QList<int>{shown});
    }

    void choosingTheChosenTypeAgainStillSignals()
    {
        ProtocolsModel model;
        model.updateProtocol(VpnProtocol::WireGuard);
        QSignalSpy chosen(&model, &ProtocolsModel::protocolChosen);
        QSignalSpy changed(&model, &ProtocolsModel::protocolChanged);
        QSignalSpy rows(&model, &QAbstractItemModel::dataChanged);
        model.updateProtocol(VpnProtocol::WireGuard);
        QCOMPARE(asInts(chosen), QList<int>{2});
        QCOMPARE(asInts(changed), QList<int>{2});
        QCOMPARE(rows.count(), 0);
    }

    // A server without the choice shows Optimal; the choice returns with the
    // next server that offers it.
    void choiceComesBackWithAServerThatOffersIt()
    {
        ProtocolsModel model;
        model.updateProtocol(VpnProtocol::Stealth);
        QSignalSpy chosen(&model, &ProtocolsModel::protocolChosen);
        QSignalSpy changed(&model, &ProtocolsModel::protocolChanged);
        QSignalSpy rows(&model, &QAbstractItemModel::dataChanged);

        model.setAvailableProtocols({1, 2, 5});
        QCOMPARE(asInts(changed), QList<int>{0});
        QCOMPARE(model.selectedProtocol(), 0);
        QCOMPARE(model.userChoice(), 4);
        // One change for availability, then the two rows whose flag flipped.
        QCOMPARE(rows.count(), 3);
        QCOMPARE(rows.at(0).at(2).value<QList<int>>(), QList<int>{ProtocolsModel::AvailableRole});
        QCOMPARE(rows.at(0).at(0).toModelIndex().row(), 0);
        QCOMPARE(rows.at(0).at(1).toModelIndex().row(), 5);
        QCOMPARE(rows.at(1).at(2).value<QList<int>>(), QList<int>{ProtocolsModel::ChosenRole});

        model.setAvailableProtocols({2, 4});
        QCOMPARE(asInts(changed), (QList<int>{0, 4}));
        QCOMPARE(chosenRows(model), QList<int>{4});
        // The next server without it shows Optimal again.
        model.setAvailableProtocols({3});
        QCOMPARE(asInts(changed), (QList<int>{0, 4, 0}));
        QCOMPARE(chosen.count(), 0);
    }

    void sameOfferedSetTwiceIsSilent_data()
    {
        QTest::addColumn<QList<int>>("offered");
        QTest::newRow("empty") << QList<int>{};
        QTest::newRow("some") << QList<int>{1, 4};
    }

    void sameOfferedSetTwiceIsSilent()
    {
        QFETCH(QList<int>, offered);
        ProtocolsModel model;
        model.updateProtocol(VpnProtocol::Stealth);
        model.setAvailableProtocols(setOf(offered));
        QSignalSpy changed(&model, &ProtocolsModel::protocolChanged);
        QSignalSpy rows(&model, &QAbstractItemModel::dataChanged);
        model.setAvailableProtocols(setOf(offered));
        QCOMPARE(changed.count(), 0);
        QCOMPARE(rows.count(), 0);
    }

    // A new set that leaves the shown row as it was says so to the page and
    // not to the catalogue.
    void newSetWithTheSameEffectiveChoiceOnlyRefreshesAvailability()
    {
        ProtocolsModel model;
        model.updateProtocol(VpnProtocol::WireGuard);
        model.setAvailableProtocols({2});
        QSignalSpy changed(&model, &ProtocolsModel::protocolChanged);
        QSignalSpy rows(&model, &QAbstractItemModel::dataChanged);
        model.setAvailableProtocols({2, 3});
        QCOMPARE(changed.count(), 0);
        QCOMPARE(rows.count(), 1);
        QVERIFY(availableRow(model, 3));
    }
};

QTEST_GUILESS_MAIN(TestProtocolsModel)
#include "tst_protocolsmodel.moc"
