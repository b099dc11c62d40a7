#include "platform/PeerCheck.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalSocket>

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <iterator>
#include <memory>
#include <type_traits>
#include <vector>

#include "app/Logger.h"
#include "ipc/ServiceNames.h"

namespace {
Logger logger(QStringLiteral("PeerAuth"));

const wchar_t kServiceName[] = L"Kelvra Service";

struct ServiceHandleCloser
{
    void operator()(SC_HANDLE handle) const
    {
        if (handle)
            CloseServiceHandle(handle);
    }
};
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleCloser>;

bool isWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type)
{
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(buffer);
    if (!CreateWellKnownSid(type, nullptr, buffer, &size))
        return false;
    return EqualSid(sid, buffer) != FALSE;
}

// The pipe object must belong to LocalSystem or the Administrators; when its
// owner can't be read, the server must at least run in session 0.
bool ownerIsPrivileged(HANDLE pipe, DWORD pid)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor)
            == ERROR_SUCCESS
        && owner) {
        const bool privileged = isWellKnown(owner, WinLocalSystemSid) || isWellKnown(owner, WinBuiltinAdministratorsSid);
        LocalFree(descriptor);
        return privileged;
    }
    if (descriptor)
        LocalFree(descriptor);
    DWORD session = 1;
    return ProcessIdToSessionId(pid, &session) && session == 0;
}

// The running "Kelvra Service" must be exactly this process; returns its
// configured executable, or an empty string.
QString serviceExecutableFor(DWORD pid)
{
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return QString();
    ServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!service)
        return QString();

    SERVICE_STATUS_PROCESS status {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof(status),
                              &needed)
        || status.dwCurrentState != SERVICE_RUNNING || status.dwProcessId != pid)
        return QString();

    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    if (needed == 0)
        return QString();
    std::vector<BYTE> buffer(needed);
    auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(buffer.data());
    if (!QueryServiceConfigW(service.get(), config, needed, &needed) || !config->lpBinaryPathName)
        return QString();
    return PeerCheck::executableFromCommandLine(QString::fromWCharArray(config->lpBinaryPathName));
}

QString finalPath(const QString &path)
{
    HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(path.utf16()), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return QString();
    wchar_t buffer[32768];
    const DWORD length = GetFinalPathNameByHandleW(file, buffer, DWORD(std::size(buffer)), FILE_NAME_NORMALIZED);
    CloseHandle(file);
    if (length == 0 || length >= std::size(buffer))
        return QString();
    return QString::fromWCharArray(buffer, int(length));
}

bool samePath(const QString &a, const QString &b)
{
    if (a.isEmpty() || b.isEmpty())
        return false;
    return CompareStringOrdinal(reinterpret_cast<LPCWCH>(a.utf16()), int(a.size()), reinterpret_cast<LPCWCH>(b.utf16()),
                                int(b.size()), TRUE)
        == CSTR_EQUAL;
}
} // namespace

bool PeerCheck::isInstalledService(QLocalSocket *socket)
{
    HANDLE pipe = socket ? reinterpret_cast<HANDLE>(socket->socketDescriptor()) : INVALID_HANDLE_VALUE;
    ULONG pid = 0;
    if (pipe == INVALID_HANDLE_VALUE || !pipe || !GetNamedPipeServerProcessId(pipe, &pid) || pid == 0) {
        logger.warning() << "Not talking to the service: its process couldn't be read";
        return false;
    }

    QString expected = ServiceNames::testServiceBinary();
    if (expected.isEmpty())
        expected = QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + QLatin1Char('/')
                                            + ServiceNames::serviceBinaryName());
    const bool ok = ownerIsPrivileged(pipe, pid) && samePath(finalPath(serviceExecutableFor(pid)), finalPath(expected));
    if (!ok) {
        logger.warning() << "Not talking to pid" << quint64(pid) << "- it isn't the privileged, installed KelvraService.exe";
        return false;
    }
    return true;
}
