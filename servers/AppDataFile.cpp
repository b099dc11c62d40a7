#include "servers/AppDataFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include "app/Logger.h"

namespace {
Logger logger(QStringLiteral("ServersModel"));
}

QString AppDataFile::path(const QString &name)
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QLatin1Char('/') + name;
}

bool AppDataFile::write(const QString &name, const QByteArray &content)
{
    return writePath(path(name), content);
}

bool AppDataFile::writePath(const QString &path, const QByteArray &content)
{
    const QString name = QFileInfo(path).fileName();
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        logger.warning() << "Could not create the data folder for" << name;
        return false;
    }
    // QSaveFile writes aside and renames over the old file on commit: a crash
    // or a failed write leaves the old file whole.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        logger.warning() << "Could not write" << name << file.errorString();
        return false;
    }
    // The temporary file gets the permissions before any byte lands in it, so the
    // account data is never readable by others, not even for a moment.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(content) != content.size() || !file.commit()) {
        logger.warning() << "Could not write" << name << file.errorString();
        file.cancelWriting();
        return false;
    }
    return true;
}

QByteArray AppDataFile::read(const QString &name)
{
    QFile file(path(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    if (file.size() > kMaxSize) {
        logger.warning() << "Ignoring" << name << ": too large";
        return {};
    }
    return file.read(kMaxSize);
}

void AppDataFile::remove(const QString &name)
{
    QFile::remove(path(name));
}
