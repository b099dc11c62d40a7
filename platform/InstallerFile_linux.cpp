#include "platform/InstallerFile.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

constexpr qint64 kChunkBytes = 1048576;

// File systems whose files live on another machine or behind a user-space
// driver: a "local" path there is not local.
bool isRemoteFileSystem(int fd)
{
    struct statfs info {};
    if (::fstatfs(fd, &info) != 0)
        return true;
    switch (static_cast<unsigned long>(info.f_type)) {
    case 0x6969UL:     // NFS
    case 0x517BUL:     // SMB
    case 0xFF534D42UL: // CIFS
    case 0xFE534D42UL: // SMB2
    case 0x65735546UL: // FUSE
    case 0x564C5FUL:   // NCP
    case 0x73757245UL: // Coda
    case 0x01021997UL: // 9P
        return true;
    default:
        return false;
    }
}

struct Descriptor
{
    int fd = -1;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

bool InstallerFile::isLocalPath(const QString &path)
{
    // Absolute (a leading "//" may name another machine's file system), and
    // none of the characters a wildcard, a stream name or a shell would read
    // into it.
    static const QRegularExpression pattern(QStringLiteral("\\A/(?!/)[^:*?\"<>|\\x00-\\x1f]*\\z"));
    return pattern.match(path).hasMatch();
}

InstallerFile::Status InstallerFile::read(const QString &path, qint64 maxBytes, QByteArray *data,
                                          unsigned *systemError)
{
    if (!isLocalPath(path))
        return Status::NotLocalPath;
    const QByteArray native = QFile::encodeName(path);
    Descriptor file;
    // Non-blocking so a FIFO put in the file's place cannot hold the open.
    file.fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (file.fd < 0) {
        *systemError = unsigned(errno);
        return Status::CantOpen;
    }

    // The path must name the file itself: a link anywhere along it resolves
    // elsewhere, and the final path then differs from the one given.
    char resolved[4096] = {};
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(file.fd);
    const ssize_t length = ::readlink(link.constData(), resolved, sizeof(resolved) - 1);
    struct stat info {};
    if (length <= 0 || QByteArray(resolved, int(length)) != QFile::encodeName(QDir::cleanPath(path))
        || ::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode) || isRemoteFileSystem(file.fd))
        return Status::NotPlainLocal;

    if (info.st_size < 1 || info.st_size > maxBytes)
        return Status::BadSize;

    data->clear();
    data->reserve(qsizetype(info.st_size));
    char buffer[65536];
    for (;;) {
        const qint64 want = qMin<qint64>(qMin<qint64>(kChunkBytes, sizeof(buffer)), maxBytes + 1 - data->size());
        const ssize_t n = ::read(file.fd, buffer, size_t(want));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Status::CantRead;
        if (n == 0)
            break;
        data->append(buffer, qsizetype(n));
        if (data->size() > maxBytes)
            return Status::BadSize;
    }
    return data->isEmpty() ? Status::CantRead : Status::Read;
}
