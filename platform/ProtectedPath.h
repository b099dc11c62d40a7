#pragma once

#include <QByteArray>
#include <QString>

// Folders and files that only the system and administrators can read or
// change: where an installer is put before it is checked and started. Both
// return success; on failure `error` gets one short reason.
class ProtectedPath
{
public:
    // An existing folder is accepted once it is a plain directory (no link)
    // owned by the system or administrators; its access is then narrowed.
    static bool createFolder(const QString &path, QString *error);
    // The file must not exist yet. A file that could not be written whole is
    // removed again.
    static bool createFile(const QString &path, const QByteArray &data, QString *error);
};
