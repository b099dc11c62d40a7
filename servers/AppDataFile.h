#pragma once

#include <QByteArray>
#include <QString>

// The catalogue's small files in the application data folder ("server-list.json",
// "cdn-configs.json"). They hold account data, so only the owner may read them.
class AppDataFile
{
public:
    // Larger files are not ours: they are refused rather than read into memory.
    static constexpr qint64 kMaxSize = 64 * 1024 * 1024;

    static QString path(const QString &name);
    // Replaces the file in one step (a failed write leaves the old one intact).
    static bool write(const QString &name, const QByteArray &content);
    // The same for a path found earlier with path(): callable from any thread.
    static bool writePath(const QString &path, const QByteArray &content);
    // Empty when the file is missing, unreadable or too large.
    static QByteArray read(const QString &name);
    static void remove(const QString &name);
};
