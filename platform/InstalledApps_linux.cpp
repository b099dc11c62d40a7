#include "platform/InstalledApps.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QStandardPaths>

namespace {

// A desktop entry is a few hundred bytes; a larger file is not one.
constexpr qint64 kMaxEntryBytes = 256 * 1024;

#ifdef KELVRA_TESTING
QStringList &testFolders()
{
    static QStringList folders;
    return folders;
}
#endif

QStringList folders()
{
#ifdef KELVRA_TESTING
    if (!testFolders().isEmpty())
        return testFolders();
#endif
    return QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation)
        + QStringList{QStringLiteral("/var/lib/snapd/desktop/applications")};
}

// The keys of the "[Desktop Entry]" group; other groups (actions) are skipped.
QHash<QString, QString> desktopEntry(const QString &file)
{
    QHash<QString, QString> keys;
    QFile entry(file);
    if (!entry.open(QIODevice::ReadOnly) || entry.size() > kMaxEntryBytes)
        return keys;
    const QList<QByteArray> lines = entry.read(kMaxEntryBytes).split('\n');
    bool inGroup = false;
    for (const QByteArray &raw : lines) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!inGroup || equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed();
        if (!keys.contains(key))
            keys.insert(key, line.mid(equals + 1).trimmed());
    }
    return keys;
}

// The program an Exec line starts: past "env" and its assignments, quotes removed.
QString programOf(const QString &exec)
{
    const QStringList parts = exec.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    qsizetype i = 0;
    if (i < parts.size() && parts.at(i) == QLatin1String("env")) {
        ++i;
        while (i < parts.size() && parts.at(i).contains(QLatin1Char('=')))
            ++i;
    }
    if (i >= parts.size())
        return {};
    QString program = parts.at(i);
    program.remove(QLatin1Char('"'));
    return program;
}

bool isScript(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.read(2) == "#!";
}

// The canonical path of an entry's executable, or empty when it has none we list.
QString executableOf(const QString &exec)
{
    const QString program = programOf(exec);
    if (program.isEmpty() || QFileInfo(program).fileName() == QLatin1String("flatpak"))
        return {};
    const QString found = QDir::isAbsolutePath(program) ? program : QStandardPaths::findExecutable(program);
    if (found.isEmpty())
        return {};
    const QFileInfo info(found);
    const QString canonical = info.canonicalFilePath();
    if (canonical.isEmpty() || !QFileInfo(canonical).isFile() || !QFileInfo(canonical).isExecutable()
        || isScript(canonical))
        return {};
    return canonical;
}

} // namespace

#ifdef KELVRA_TESTING
void InstalledApps::setFoldersForTesting(const QStringList &folders)
{
    testFolders() = folders;
}
#endif

QList<InstalledApps::App> InstalledApps::list()
{
    QList<App> apps;
    QSet<QString> seen;
    for (const QString &folder : folders()) {
        const QDir dir(folder);
        const QStringList files = dir.entryList({QStringLiteral("*.desktop")}, QDir::Files | QDir::Readable, QDir::Name);
        for (const QString &file : files) {
            const QHash<QString, QString> entry = desktopEntry(dir.filePath(file));
            const QString name = entry.value(QStringLiteral("Name"));
            if (entry.value(QStringLiteral("Type")) != QLatin1String("Application") || name.isEmpty()
                || entry.value(QStringLiteral("NoDisplay")) == QLatin1String("true")
                || entry.value(QStringLiteral("Hidden")) == QLatin1String("true")
                || entry.value(QStringLiteral("Terminal")) == QLatin1String("true"))
                continue;
            const QString path = executableOf(entry.value(QStringLiteral("Exec")));
            if (path.isEmpty() || seen.contains(path))
                continue;
            seen.insert(path);
            apps.append(App{name, path, entry.value(QStringLiteral("Icon"))});
        }
    }
    return apps;
}
