#include "platform/ProtectedPath.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Here "system and administrators" is root: folders are root's with mode 0700,
// files root's with mode 0600, and no symbolic link is ever followed.
namespace {
void fail(QString *error, const char *text)
{
    if (error)
        *error = QString::fromLatin1(text);
}
} // namespace

bool ProtectedPath::createFolder(const QString &path, QString *error)
{
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        fail(error, "can't create the directory");
        return false;
    }
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        fail(error, "the path is not a plain directory");
        return false;
    }
    if (info.st_uid != 0) {
        ::close(fd);
        fail(error, "the directory has another owner");
        return false;
    }
    const bool restricted = ::fchmod(fd, 0700) == 0;
    ::close(fd);
    if (!restricted) {
        fail(error, "can't restrict the directory");
        return false;
    }
    return true;
}

bool ProtectedPath::createFile(const QString &path, const QByteArray &data, QString *error)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        fail(error, "can't create the file");
        return false;
    }
    // The mode asked for is narrowed by the umask only, never widened; make it exact.
    bool ok = ::fchmod(fd, 0600) == 0;
    qsizetype written = 0;
    while (ok && written < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + written, size_t(data.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ok = false;
        else
            written += n;
    }
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        ::unlink(native.constData());
        fail(error, "can't write the file");
        return false;
    }
    return true;
}
