// The saved server list: its format on bytes, and the writer that puts it on
// disk off the GUI thread, newest list first and never torn.

#include <QFile>
#include <QtTest>

#include "CatalogueFixture.h"
#include "servers/AppDataFile.h"
#include "servers/ServerListCache.h"
#include "servers/ServerListCacheWriter.h"

using namespace fixture;

namespace {

const QString kFile = QStringLiteral("server-list-test.json");

// A body of about `size` bytes whose every byte says which one it is.
QByteArray filler(char mark, int size)
{
    return "{\"data\":\"" + QByteArray(size, mark) + "\"}";
}

} // namespace

class TestServerListCache : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        resetState();
        AppDataFile::remove(kFile);
    }

    void bodyComesBackAsItWent_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("answer") << standardAnswer();
        QTest::newRow("quotes and backslashes") << QByteArray("{\"a\":\"say \\\"hi\\\" \\\\ bye\"}");
        QTest::newRow("control characters") << QByteArray("{\"a\":1}\n\t\r\x01\x1f");
        QTest::newRow("non-ascii") << QString::fromUtf8("{\"name\":\"Zürich ☃ 東京\"}").toUtf8();
        QTest::newRow("empty") << QByteArray("");
    }

    void bodyComesBackAsItWent()
    {
        QFETCH(QByteArray, body);
        const QByteArray file = ServerListCache::encode(QStringLiteral("User@Example.com"), body);
        // Another JSON reader reads the file the same way.
        const QJsonObject object = QJsonDocument::fromJson(file).object();
        QCOMPARE(object.value(QLatin1String("account")).toString(), QStringLiteral("User@Example.com"));
        QCOMPARE(object.value(QLatin1String("body")).toString().toUtf8(), body);
        // The account matches ignoring case.
        const QByteArray back = ServerListCache::bodyFor(file, QStringLiteral("user@example.com"));
        QVERIFY(!back.isNull());
        QCOMPARE(back, body);
    }

    void unusableFilesGiveNothing_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("email");
        const QByteArray good = ServerListCache::encode(QStringLiteral("user@example.com"), standardAnswer());
        QTest::newRow("another account") << good << QStringLiteral("other@example.com");
        QTest::newRow("no e-mail") << good << QString();
        QTest::newRow("truncated") << good.left(good.size() - 1) << QStringLiteral("user@example.com");
        QTest::newRow("body as object") << QByteArray(R"({"account":"user@example.com","body":{}})")
                                        << QStringLiteral("user@example.com");
        QTest::newRow("account as number") << QByteArray(R"({"account":1,"body":"x"})") << QStringLiteral("1");
        QTest::newRow("binary") << QByteArray("\xff\x00\x01", 3) << QStringLiteral("user@example.com");
        QTest::newRow("empty") << QByteArray() << QStringLiteral("user@example.com");
    }

    void unusableFilesGiveNothing()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, email);
        QVERIFY(ServerListCache::bodyFor(file, email).isNull());
    }

    void writerSavesOwnerOnlyAndFinishesOnDestruction()
    {
        {
            ServerListCacheWriter writer(kFile);
            writer.write(QStringLiteral("user@example.com"), standardAnswer());
        }
        const QByteArray file = AppDataFile::read(kFile);
        QCOMPARE(ServerListCache::bodyFor(file, QStringLiteral("user@example.com")), standardAnswer());
        const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup
                                                | QFileDevice::ReadOther | QFileDevice::WriteOther;
        QCOMPARE(QFile::permissions(AppDataFile::path(kFile)) & others, QFileDevice::Permissions());
    }

    void writerReportsWhatItWrote()
    {
        ServerListCacheWriter writer(kFile);
        QVERIFY(writer.waitForIdle());  // nothing to wait for
        writer.write(QStringLiteral("user@example.com"), filler('a', 4 << 20));
        QVERIFY(writer.waitForIdle());
        QCOMPARE(writer.writesDone(), 1);
        QVERIFY(writer.lastWriteMs() > 0);
        QCOMPARE(ServerListCache::bodyFor(AppDataFile::read(kFile), QStringLiteral("user@example.com")),
                 filler('a', 4 << 20));
    }

    void newestWriteWins()
    {
        ServerListCacheWriter writer(kFile);
        const int writes = 40;
        for (int i = 0; i < writes; ++i)
            writer.write(QStringLiteral("user@example.com"), filler(char('a' + i % 26), 1 << 20) + QByteArray::number(i));
        QVERIFY(writer.waitForIdle());
        QCOMPARE(ServerListCache::bodyFor(AppDataFile::read(kFile), QStringLiteral("user@example.com")),
                 filler(char('a' + (writes - 1) % 26), 1 << 20) + QByteArray::number(writes - 1));
        // Writes still pending when a newer one came were dropped, not queued.
        QVERIFY2(writer.writesDone() < writes, qPrintable(QString::number(writer.writesDone())));
    }

    void readersNeverSeeATornFile()
    {
        const QByteArray a = ServerListCache::encode(QStringLiteral("user@example.com"), filler('a', 2 << 20));
        const QByteArray b = ServerListCache::encode(QStringLiteral("user@example.com"), filler('b', 2 << 20));
        QVERIFY(AppDataFile::write(kFile, a));
        ServerListCacheWriter writer(kFile);
        const QString path = AppDataFile::path(kFile);
        for (int i = 0; i < 30; ++i) {
            writer.write(QStringLiteral("user@example.com"), filler(i % 2 ? 'a' : 'b', 2 << 20));
            // Read while the writer works: the file is always one whole list.
            for (int r = 0; r < 5; ++r) {
                QFile file(path);
                QVERIFY(file.open(QIODevice::ReadOnly));
                const QByteArray content = file.readAll();
                QVERIFY2(content == a || content == b, qPrintable(QString::number(content.size())));
            }
            if (i % 3 == 0)
                QVERIFY(writer.waitForIdle());
        }
        QVERIFY(writer.waitForIdle());
        QCOMPARE(AppDataFile::read(kFile), a);
    }
};

int main(int argc, char *argv[])
{
    return fixture::runTests<TestServerListCache>(argc, argv);
}

#include "tst_serverlistcache.moc"
