#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QTest>

#include "app/Logger.h"
#include "app/Settings.h"
#include "platform/AutoStart.h"
#include "support/TestEnvironment.h"

// The store as older clients and hand edits may have left it.
class TestSettings : public QObject
{
    Q_OBJECT

private:
    QSettings raw{QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Kelvra.Inc"), QStringLiteral("Kelvra")};

private slots:
    void init()
    {
        raw.clear();
        raw.sync();
        AutoStart::setEnabled(false);
    }

    void freshProfileDefaults()
    {
        Settings settings;
        QCOMPARE(settings.dnsLeakProtection(), true);
        QCOMPARE(settings.killSwitch(), false);
        QCOMPARE(settings.autoConnect(), false);
        QCOMPARE(settings.startMinimized(), false);
        QCOMPARE(settings.logging(), false);
        QCOMPARE(settings.adBlock(), false);
        QCOMPARE(settings.bypassList(), false);
        QCOMPARE(settings.splitTunnel(), false);
        QCOMPARE(settings.preferredProtocol(), 0);
        QVERIFY(settings.bypassSites().isEmpty());
        QVERIFY(settings.recentServers().isEmpty());
        QVERIFY(settings.favorites().isEmpty());
        QVERIFY(settings.adBlockETag().isEmpty());
        QVERIFY(settings.lastAccountEmail().isEmpty());
        QCOMPARE(settings.autoStart(), false);
    }

    void preferredProtocolRead_data()
    {
        QTest::addColumn<QVariant>("v2");
        QTest::addColumn<QVariant>("legacy");
        QTest::addColumn<int>("expected");
        const QVariant none;
        QTest::newRow("older client, legacy WireGuard") << none << QVariant(2) << 2;
        QTest::newRow("older client, legacy OpenVPN") << none << QVariant(1) << 1;
        QTest::newRow("new key wins over legacy") << QVariant(4) << QVariant(2) << 4;
        QTest::newRow("new key Optimal wins over legacy") << QVariant(0) << QVariant(2) << 0;
        QTest::newRow("TCP") << QVariant(5) << none << 5;
        QTest::newRow("Hysteria2 is no preference") << QVariant(6) << none << 0;
        QTest::newRow("beyond the last protocol") << QVariant(7) << none << 0;
        QTest::newRow("negative") << QVariant(-1) << none << 0;
        QTest::newRow("not a number") << QVariant(QStringLiteral("stealth")) << none << 0;
        QTest::newRow("number as text") << QVariant(QStringLiteral("3")) << none << 3;
        QTest::newRow("a list") << QVariant(QStringList{QStringLiteral("2")}) << none << 0;
        QTest::newRow("legacy garbage") << none << QVariant(QStringLiteral("x")) << 0;
    }

    void preferredProtocolRead()
    {
        QFETCH(QVariant, v2);
        QFETCH(QVariant, legacy);
        QFETCH(int, expected);
        if (v2.isValid())
            raw.setValue(QStringLiteral("Settings/preferredProtocolV2"), v2);
        if (legacy.isValid())
            raw.setValue(QStringLiteral("Settings/prefferedProtocol"), legacy);
        raw.sync();
        QCOMPARE(Settings().preferredProtocol(), expected);
    }

    void preferredProtocolWriteKeepsLegacyKeyReadable_data()
    {
        QTest::addColumn<int>("written");
        QTest::addColumn<int>("legacy");
        QTest::newRow("Optimal") << 0 << 0;
        QTest::newRow("OpenVPN UDP") << 1 << 1;
        QTest::newRow("WireGuard") << 2 << 2;
        QTest::newRow("AmneziaWG") << 3 << 0;
        QTest::newRow("Stealth") << 4 << 0;
        QTest::newRow("OpenVPN TCP") << 5 << 0;
    }

    void preferredProtocolWriteKeepsLegacyKeyReadable()
    {
        QFETCH(int, written);
        QFETCH(int, legacy);
        raw.setValue(QStringLiteral("Settings/prefferedProtocol"), 2);
        raw.sync();
        Settings().setPreferredProtocol(written);
        raw.sync();
        QCOMPARE(raw.value(QStringLiteral("Settings/preferredProtocolV2")).toInt(), written);
        QCOMPARE(raw.value(QStringLiteral("Settings/prefferedProtocol")).toInt(), legacy);
        QCOMPARE(Settings().preferredProtocol(), written);
    }

    void recentServers_data()
    {
        QTest::addColumn<QStringList>("added");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("most recent first") << QStringList{"A", "B", "C"} << QStringList{"C", "B", "A"};
        QTest::newRow("again moves to front without duplicate")
            << QStringList{"A", "B", "C", "A"} << QStringList{"A", "C", "B"};
        QTest::newRow("empty name changes nothing") << QStringList{"A", "", "B", ""} << QStringList{"B", "A"};
        QStringList eleven;
        for (int i = 1; i <= 11; ++i)
            eleven << QStringLiteral("S%1").arg(i);
        QStringList lastTen;
        for (int i = 11; i >= 2; --i)
            lastTen << QStringLiteral("S%1").arg(i);
        QTest::newRow("eleventh pushes out the oldest") << eleven << lastTen;
    }

    void recentServers()
    {
        QFETCH(QStringList, added);
        QFETCH(QStringList, expected);
        Settings settings;
        for (const QString &name : added)
            settings.addRecentServer(name);
        QCOMPARE(settings.recentServers(), expected);
        settings.clearRecentServers();
        QVERIFY(settings.recentServers().isEmpty());
    }

    void recentServersFromAnOverlongStoredList()
    {
        // An edited store may hold more than ten; the next add trims it.
        QStringList stored;
        for (int i = 0; i < 15; ++i)
            stored << QStringLiteral("X%1").arg(i);
        raw.setValue(QStringLiteral("Settings/recentServers"), stored);
        raw.sync();
        Settings settings;
        settings.addRecentServer(QStringLiteral("New"));
        QCOMPARE(settings.recentServers().size(), 10);
        QCOMPARE(settings.recentServers().first(), QStringLiteral("New"));
    }

    void favourites()
    {
        Settings settings;
        settings.addFavorite(QStringLiteral("Germany"));
        settings.addFavorite(QStringLiteral("Japan"));
        settings.addFavorite(QStringLiteral("Germany"));
        QCOMPARE(settings.favorites(), (QStringList{"Germany", "Japan"}));
        // An empty name must not reach the group: removing "" inside it would drop every favourite.
        settings.removeFavorite(QString());
        settings.addFavorite(QString());
        QCOMPARE(settings.favorites(), (QStringList{"Germany", "Japan"}));
        settings.removeFavorite(QStringLiteral("Germany"));
        QCOMPARE(Settings().favorites(), QStringList{"Japan"});
        settings.clearFavorites();
        QVERIFY(Settings().favorites().isEmpty());
    }

    void favouriteNamesRoundTrip_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("slash") << "Frankfurt/Main";
        QTest::newRow("backslash") << "Frankfurt\\Main";
        QTest::newRow("leading and trailing slash") << "/Edge/";
        QTest::newRow("double slash") << "a//b";
        QTest::newRow("percent sign") << "100% Fast";
        QTest::newRow("looks like an escape") << "a%2Fb%5C%25";
        QTest::newRow("only slashes") << "//";
        QTest::newRow("ini specials") << "[General] a=b; c#d \"e\"";
        QTest::newRow("non-ASCII") << QStringLiteral("S\u00e3o Paulo / \u6771\u4eac");
    }

    void favouriteNamesRoundTrip()
    {
        QFETCH(QString, name);
        Settings settings;
        settings.addFavorite(QStringLiteral("Paris"));
        settings.addFavorite(name);
        QStringList expected{QStringLiteral("Paris"), name};
        QStringList stored = Settings().favorites();
        stored.sort();
        expected.sort();
        QCOMPARE(stored, expected);

        // Removing it removes that one alone, and it stays removed.
        settings.removeFavorite(name);
        QCOMPARE(Settings().favorites(), QStringList{"Paris"});
        raw.sync();
        QCOMPARE(Settings().favorites(), QStringList{"Paris"});
    }

    void favouriteThatPrefixesAnotherIsRemovedAlone()
    {
        Settings settings;
        settings.addFavorite(QStringLiteral("Germany"));
        settings.addFavorite(QStringLiteral("Germany/Berlin"));
        settings.removeFavorite(QStringLiteral("Germany"));
        QCOMPARE(Settings().favorites(), QStringList{"Germany/Berlin"});
    }

    void favouritesWrittenTheOldWayStayReadable()
    {
        // Earlier clients wrote the name as the key itself, so a slash made a subgroup.
        raw.setValue(QStringLiteral("Favorites/Tokyo"), true);
        raw.setValue(QStringLiteral("Favorites/New York"), true);
        raw.setValue(QStringLiteral("Favorites/Frankfurt/Main"), true);
        raw.setValue(QStringLiteral("Favorites/Gone/Away"), false);
        raw.sync();
        QStringList favorites = Settings().favorites();
        favorites.sort();
        QCOMPARE(favorites, (QStringList{"Frankfurt/Main", "New York", "Tokyo"}));

        Settings settings;
        settings.addFavorite(QStringLiteral("Frankfurt/Main")); // again: still once
        settings.addFavorite(QStringLiteral("Oslo"));
        favorites = Settings().favorites();
        favorites.sort();
        QCOMPARE(favorites, (QStringList{"Frankfurt/Main", "New York", "Oslo", "Tokyo"}));

        settings.removeFavorite(QStringLiteral("Frankfurt/Main"));
        settings.removeFavorite(QStringLiteral("Tokyo"));
        favorites = Settings().favorites();
        favorites.sort();
        QCOMPARE(favorites, (QStringList{"New York", "Oslo"}));

        settings.clearFavorites();
        QVERIFY(Settings().favorites().isEmpty());
    }

    void favouritesWithFalseOrOddValues()
    {
        raw.setValue(QStringLiteral("Favorites/Kept"), true);
        raw.setValue(QStringLiteral("Favorites/Unmarked"), false);
        raw.setValue(QStringLiteral("Favorites/AsText"), QStringLiteral("true"));
        raw.setValue(QStringLiteral("Favorites/AList"), QStringList{"a", "b"});
        raw.sync();
        const QStringList favorites = Settings().favorites();
        QVERIFY(favorites.contains(QStringLiteral("Kept")));
        QVERIFY(favorites.contains(QStringLiteral("AsText")));
        QVERIFY(!favorites.contains(QStringLiteral("Unmarked")));
        QVERIFY(!favorites.contains(QStringLiteral("AList")));
    }

    void wrongTypesReadAsEmpty_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("stored");
        QTest::newRow("switch holding a list") << "Settings/killSwitch" << QVariant(QStringList{"a", "b"});
        QTest::newRow("list holding a number") << "Settings/bypassSites" << QVariant(42);
        QTest::newRow("e-mail holding a list") << "Settings/lastAccountEmail" << QVariant(QStringList{"x"});
        QTest::newRow("trusted networks holding a map")
            << "Settings/trustedNetworks" << QVariant(QVariantMap{{"a", 1}});
    }

    void wrongTypesReadAsEmpty()
    {
        QFETCH(QString, key);
        QFETCH(QVariant, stored);
        raw.setValue(key, stored);
        raw.sync();
        Settings settings;
        QCOMPARE(settings.killSwitch(), false);
        QVERIFY(settings.bypassSites().isEmpty());
        QVERIFY(settings.lastAccountEmail().isEmpty());
        QVERIFY(settings.trustedNetworks().isEmpty());
    }

    void dnsLeakProtectionOffOnlyWhenSwitchedOff_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<bool>("expected");
        QTest::newRow("absent") << QVariant() << true;
        QTest::newRow("false") << QVariant(false) << false;
        QTest::newRow("text false") << QVariant(QStringLiteral("false")) << false;
        QTest::newRow("text 0") << QVariant(QStringLiteral("0")) << false;
        QTest::newRow("garbage") << QVariant(QStringLiteral("maybe")) << true;
        QTest::newRow("a list") << QVariant(QStringList{"false", "0"}) << true;
    }

    void dnsLeakProtectionOffOnlyWhenSwitchedOff()
    {
        QFETCH(QVariant, stored);
        QFETCH(bool, expected);
        if (stored.isValid())
            raw.setValue(QStringLiteral("Settings/dnsLeakProtection"), stored);
        raw.sync();
        QCOMPARE(Settings().dnsLeakProtection(), expected);
    }

    void instancesShareStorage()
    {
        Settings a;
        Settings b;
        a.setKillSwitch(true);
        a.setBypassSites({"example.test", "intranet.test"});
        a.setAdBlockETag(QByteArray("\"etag-1\""));
        QCOMPARE(b.killSwitch(), true);
        QCOMPARE(b.bypassSites(), (QStringList{"example.test", "intranet.test"}));
        QCOMPARE(b.adBlockETag(), QByteArray("\"etag-1\""));
        b.setValue(QStringLiteral("smartConnect/reports"), QStringLiteral("[]"));
        QCOMPARE(a.value(QStringLiteral("smartConnect/reports")).toString(), QStringLiteral("[]"));
    }

    void loggingSwitchStartsAndStopsTheFileLog()
    {
        Settings settings;
        settings.setLogging(true);
        QVERIFY(Logger::isFileLogOpen());
        QCOMPARE(Settings().logging(), true);
        settings.setLogging(false);
        QVERIFY(!Logger::isFileLogOpen());
        QCOMPARE(Settings().logging(), false);
    }

    void autoStart()
    {
        Settings settings;
        settings.setAutoStart(false); // disabling when not enabled is harmless
        QCOMPARE(settings.autoStart(), false);
        settings.setAutoStart(true);
        settings.setAutoStart(true);
        QCOMPARE(settings.autoStart(), true);

        QFile entry(AutoStart::location());
        QVERIFY(entry.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(entry.readAll());
        QCOMPARE(text.count(QStringLiteral("Exec=")), 1);
        const QString exec = QStringLiteral("Exec=\"%1\" --autostart").arg(QCoreApplication::applicationFilePath());
        QVERIFY2(text.contains(exec), qPrintable(text));

        settings.setAutoStart(false);
        QCOMPARE(settings.autoStart(), false);
        QVERIFY(!QFile::exists(AutoStart::location()));
    }
};

int main(int argc, char **argv)
{
    TestEnvironment::isolate();
    QCoreApplication app(argc, argv);
    app.setApplicationName(QStringLiteral("Kelvra"));
    app.setOrganizationName(QStringLiteral("Kelvra.Inc"));
    TestSettings test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_settings.moc"
