#include "platform/InstallerFile.h"

#include <QRegularExpression>

#include <windows.h>

namespace {

constexpr DWORD kChunkBytes = 1048576;
constexpr DWORD kMaxFinalPath = 275;

struct Handle
{
    HANDLE value = INVALID_HANDLE_VALUE;
    ~Handle()
    {
        if (value != INVALID_HANDLE_VALUE)
            CloseHandle(value);
    }
};

} // namespace

bool InstallerFile::isLocalPath(const QString &path)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[A-Za-z]:[\\\\/][^:*?\"<>|\\x00-\\x1f]*\\z"));
    return pattern.match(path).hasMatch();
}

InstallerFile::Status InstallerFile::read(const QString &path, qint64 maxBytes, QByteArray *data,
                                          unsigned *systemError)
{
    if (!isLocalPath(path))
        return Status::NotLocalPath;
    Handle file;
    file.value = CreateFileW(reinterpret_cast<LPCWSTR>(path.utf16()), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file.value == INVALID_HANDLE_VALUE) {
        *systemError = unsigned(GetLastError());
        return Status::CantOpen;
    }

    // The final path shows where the handle really leads: a junction or a
    // substituted drive to a network location does not end on a local drive.
    wchar_t finalPath[kMaxFinalPath + 1] = {};
    const DWORD length = GetFinalPathNameByHandleW(file.value, finalPath, kMaxFinalPath, FILE_NAME_NORMALIZED);
    const QString final = length > 0 && length < kMaxFinalPath ? QString::fromWCharArray(finalPath, int(length))
                                                                : QString();
    static const QRegularExpression local(QStringLiteral("\\A\\\\\\\\\\?\\\\[A-Za-z]:"));
    BY_HANDLE_FILE_INFORMATION info {};
    if (!local.match(final).hasMatch() || !GetFileInformationByHandle(file.value, &info)
        || (info.dwFileAttributes
            & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT)))
        return Status::NotPlainLocal;

    const qint64 size = (qint64(info.nFileSizeHigh) << 32) | qint64(info.nFileSizeLow);
    if (size < 1 || size > maxBytes)
        return Status::BadSize;

    data->clear();
    data->resize(qsizetype(size));
    qint64 done = 0;
    while (done < size) {
        DWORD n = 0;
        const DWORD want = DWORD(qMin<qint64>(kChunkBytes, size - done));
        if (!ReadFile(file.value, data->data() + done, want, &n, nullptr))
            return Status::CantRead;
        if (n == 0)
            break;
        done += n;
    }
    data->resize(qsizetype(done));
    return data->isEmpty() ? Status::CantRead : Status::Read;
}
