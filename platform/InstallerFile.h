#pragma once

#include <QByteArray>
#include <QString>

// The downloaded installer as the elevated install mode takes it in: named
// by an absolute local path, opened once without following links, a plain
// local file of a sane size, and read whole through that one handle. What a
// user-writable cache folder could swap in after that read no longer matters.
class InstallerFile
{
public:
    enum class Status {
        Read,
        NotLocalPath,  // not an absolute local path, or characters no such path has
        CantOpen,      // systemError says why
        NotPlainLocal, // a folder, a device, a link, or on another machine
        BadSize,       // empty, or larger than allowed
        CantRead,
    };

    static bool isLocalPath(const QString &path);
    static Status read(const QString &path, qint64 maxBytes, QByteArray *data, unsigned *systemError);
};
