#include "platform/CheckedCopy.h"

#include <windows.h>

namespace {
HANDLE handleOf(quintptr value)
{
    return reinterpret_cast<HANDLE>(value);
}
} // namespace

CheckedCopy::CheckedCopy(const QString &path)
    : m_path(path), m_handle(reinterpret_cast<quintptr>(INVALID_HANDLE_VALUE))
{
}

CheckedCopy::~CheckedCopy()
{
    if (handleOf(m_handle) != INVALID_HANDLE_VALUE)
        CloseHandle(handleOf(m_handle));
}

bool CheckedCopy::open()
{
    // Readers only, for as long as this is held: nobody may write, rename or
    // delete the checked copy before it has started.
    const HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(m_path.utf16()), GENERIC_READ, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN,
                                    nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    m_handle = reinterpret_cast<quintptr>(file);
    return true;
}

bool CheckedCopy::readAll(QByteArray *data)
{
    data->clear();
    const HANDLE file = handleOf(m_handle);
    LARGE_INTEGER start {};
    if (file == INVALID_HANDLE_VALUE || !SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        return false;
    char buffer[65536];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file, buffer, sizeof(buffer), &n, nullptr))
            return false;
        if (n == 0)
            return true;
        data->append(buffer, qsizetype(n));
    }
}

QString CheckedCopy::pathForChecks() const
{
    return m_path;
}

bool CheckedCopy::start(unsigned *systemError)
{
    std::wstring commandLine = (QLatin1Char('"') + m_path + QStringLiteral("\" /UPDATE")).toStdWString();
    STARTUPINFOW startup {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        *systemError = unsigned(GetLastError());
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}
