// The applications the split-tunnel page offers, read from a fixture folder
// of desktop entries: which entries count, and the program each one names.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "platform/InstalledApps.h"

class TestInstalledApps : public QObject
{
    Q_OBJECT
    QTemporaryDir m_root;
    QString m_entries;
    QString m_bin;
    QByteArray m_path;

    void writeFile(const QString &path, const QByteArray &content, bool executable)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
        file.close();
        QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
        if (executable)
            permissions |= QFileDevice::ExeOwner;
        QVERIFY(file.setPermissions(permissions));
    }

    void clearEntries()
    {
        QDir(m_entries).removeRecursively();
        QDir().mkpath(m_entries);
    }

    // A real program (not a script): a copy of true.
    void program(const QString &name)
    {
        QFile::remove(m_bin + QLatin1Char('/') + name);
        QVERIFY(QFile::copy(QStringLiteral("/bin/true"), m_bin + QLatin1Char('/') + name));
        QVERIFY(QFile::setPermissions(m_bin + QLatin1Char('/') + name,
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        m_entries = m_root.filePath(QStringLiteral("applications"));
        m_bin = m_root.filePath(QStringLiteral("bin"));
        QDir().mkpath(m_bin);
        program(QStringLiteral("viewer"));
        program(QStringLiteral("editor"));
        QVERIFY(QFile::link(m_bin + QStringLiteral("/viewer"), m_bin + QStringLiteral("/viewer-link")));
        writeFile(m_bin + QStringLiteral("/launcher.sh"), "#!/bin/sh\nexec true\n", true);
        writeFile(m_bin + QStringLiteral("/flatpak"), "\x7f" "ELF", true);
        writeFile(m_bin + QStringLiteral("/notexec"), "\x7f" "ELF", false);
        m_path = qgetenv("PATH");
        qputenv("PATH", m_bin.toUtf8() + ":/bin:/usr/bin");
        InstalledApps::setFoldersForTesting({m_entries, m_root.filePath(QStringLiteral("missing"))});
    }

    void cleanupTestCase()
    {
        qputenv("PATH", m_path);
        InstalledApps::setFoldersForTesting({});
    }

    void entryGivesItsProgram_data()
    {
        QTest::addColumn<QByteArray>("entry");
        QTest::addColumn<QString>("program"); // under the fixture's bin; "" when not listed
        const QByteArray bin = m_bin.toUtf8();
        QTest::newRow("an absolute program")
            << QByteArray("[Desktop Entry]\nType=Application\nName=Viewer\nIcon=viewer\nExec=" + bin + "/viewer %U\n")
            << "viewer";
        QTest::newRow("a program on the search path")
            << QByteArray("[Desktop Entry]\nType=Application\nName=Editor\nExec=editor --new-window %F\n") << "editor";
        QTest::newRow("env and its assignments skipped")
            << QByteArray("[Desktop Entry]\nType=Application\nName=Editor\nExec=env  LANG=C GDK_SCALE=2 editor %F\n")
            << "editor";
        QTest::newRow("quotes removed")
            << QByteArray("[Desktop Entry]\nType = Application\nName = Editor\nExec = \"" + bin + "/editor\" %u\n")
            << "editor";
        QTest::newRow("a link resolves to its target")
            << QByteArray("[Desktop Entry]\nType=Application\nName=Viewer\nExec=viewer-link\n") << "viewer";
        QTest::newRow("a script") << QByteArray("[Desktop Entry]\nType=Application\nName=L\nExec=launcher.sh\n") << "";
        QTest::newRow("a flatpak") << QByteArray("[Desktop Entry]\nType=Application\nName=F\nExec=flatpak run org.x.Y\n")
                                   << "";
        QTest::newRow("a flatpak by path")
            << QByteArray("[Desktop Entry]\nType=Application\nName=F\nExec=" + bin + "/flatpak run org.x.Y\n") << "";
        QTest::newRow("NoDisplay") << QByteArray("[Desktop Entry]\nType=Application\nName=V\nNoDisplay=true\nExec=viewer\n")
                                   << "";
        QTest::newRow("Hidden") << QByteArray("[Desktop Entry]\nType=Application\nName=V\nHidden=true\nExec=viewer\n") << "";
        QTest::newRow("Terminal") << QByteArray("[Desktop Entry]\nType=Application\nName=V\nTerminal=true\nExec=viewer\n")
                                  << "";
        QTest::newRow("NoDisplay false") << QByteArray("[Desktop Entry]\nType=Application\nName=V\nNoDisplay=false\nExec=viewer\n")
                                         << "viewer";
        QTest::newRow("a link entry") << QByteArray("[Desktop Entry]\nType=Link\nName=V\nExec=viewer\n") << "";
        QTest::newRow("no name") << QByteArray("[Desktop Entry]\nType=Application\nName=\nExec=viewer\n") << "";
        QTest::newRow("Exec only in an action")
            << QByteArray("[Desktop Entry]\nType=Application\nName=V\n[Desktop Action new]\nExec=viewer\n") << "";
        QTest::newRow("keys of another group ignored")
            << QByteArray("[Desktop Action x]\nNoDisplay=true\n[Desktop Entry]\nType=Application\nName=V\nExec=viewer\n")
            << "viewer";
        QTest::newRow("a program not there") << QByteArray("[Desktop Entry]\nType=Application\nName=V\nExec=nothere\n") << "";
        QTest::newRow("not executable") << QByteArray("[Desktop Entry]\nType=Application\nName=V\nExec=" + bin
                                                      + "/notexec\n")
                                        << "";
        QTest::newRow("env and nothing after") << QByteArray("[Desktop Entry]\nType=Application\nName=V\nExec=env A=1\n")
                                               << "";
        QTest::newRow("not a desktop entry") << QByteArray("\x00\x01\xff binary", 10) << "";
    }

    void entryGivesItsProgram()
    {
        QFETCH(QByteArray, entry);
        QFETCH(QString, program);
        clearEntries();
        writeFile(m_entries + QStringLiteral("/app.desktop"), entry, false);
        const QList<InstalledApps::App> apps = InstalledApps::list();
        if (program.isEmpty()) {
            QVERIFY(apps.isEmpty());
            return;
        }
        QCOMPARE(apps.size(), 1);
        QCOMPARE(apps.first().path, QFileInfo(m_bin + QLatin1Char('/') + program).canonicalFilePath());
        QVERIFY(!apps.first().name.isEmpty());
    }

    void eachProgramListedOnceWithNameAndIcon()
    {
        clearEntries();
        writeFile(m_entries + QStringLiteral("/a.desktop"),
                  "[Desktop Entry]\nType=Application\nName=Viewer\nName[de]=Betrachter\nIcon=org.example.Viewer\nExec=viewer\n",
                  false);
        writeFile(m_entries + QStringLiteral("/b.desktop"),
                  "[Desktop Entry]\nType=Application\nName=Viewer again\nExec=viewer-link %U\n", false);
        writeFile(m_entries + QStringLiteral("/c.desktop"), "[Desktop Entry]\nType=Application\nName=Editor\nExec=editor\n",
                  false);
        writeFile(m_entries + QStringLiteral("/notes.txt"), "[Desktop Entry]\nType=Application\nName=T\nExec=editor\n",
                  false);
        const QList<InstalledApps::App> apps = InstalledApps::list();
        QCOMPARE(apps.size(), 2);
        QCOMPARE(apps.at(0).name, QStringLiteral("Viewer"));
        QCOMPARE(apps.at(0).icon, QStringLiteral("org.example.Viewer"));
        QCOMPARE(apps.at(1).name, QStringLiteral("Editor"));
        QCOMPARE(apps.at(1).icon, QString());
    }
};

QTEST_GUILESS_MAIN(TestInstalledApps)
#include "tst_installedapps.moc"
