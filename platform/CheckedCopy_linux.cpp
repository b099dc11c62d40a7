#include "platform/CheckedCopy.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

CheckedCopy::CheckedCopy(const QString &path)
    : m_path(path), m_handle(quintptr(-1))
{
}

CheckedCopy::~CheckedCopy()
{
    if (int(m_handle) >= 0)
        ::close(int(m_handle));
}

bool CheckedCopy::open()
{
    const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()
        || ::fchmod(fd, 0700) != 0) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    m_handle = quintptr(fd);
    return true;
}

bool CheckedCopy::readAll(QByteArray *data)
{
    data->clear();
    const int fd = int(m_handle);
    if (fd < 0)
        return false;
    char buffer[65536];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof(buffer), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        data->append(buffer, qsizetype(n));
        offset += n;
    }
}

QString CheckedCopy::pathForChecks() const
{
    return QStringLiteral("/proc/self/fd/%1").arg(int(m_handle));
}

bool CheckedCopy::start(unsigned *systemError)
{
    const int fd = int(m_handle);
    int report[2];
    if (fd < 0 || ::pipe2(report, O_CLOEXEC) != 0) {
        *systemError = unsigned(fd < 0 ? EBADF : errno);
        return false;
    }
    const QByteArray program = QFile::encodeName(m_path);
    char update[] = "/UPDATE";
    char *const arguments[] = {const_cast<char *>(program.constData()), update, nullptr};
    const pid_t child = ::fork();
    if (child == 0) {
        // The installer outlives this process: a session of its own.
        ::setsid();
        ::fexecve(fd, arguments, environ);
        const int error = errno;
        (void)!::write(report[1], &error, sizeof(error));
        ::_exit(127);
    }
    ::close(report[1]);
    if (child < 0) {
        *systemError = unsigned(errno);
        ::close(report[0]);
        return false;
    }
    // The pipe closes without a word when the exec worked.
    int error = 0;
    ssize_t n;
    do {
        n = ::read(report[0], &error, sizeof(error));
    } while (n < 0 && errno == EINTR);
    ::close(report[0]);
    if (n == ssize_t(sizeof(error))) {
        *systemError = unsigned(error);
        return false;
    }
    return true;
}
