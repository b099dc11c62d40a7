#include "platform/ProtectedPath.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

namespace {
void fail(QString *error, const char *text)
{
    if (error)
        *error = QString::fromLatin1(text);
}

LPCWSTR wide(const QString &text)
{
    return reinterpret_cast<LPCWSTR>(text.utf16());
}

bool isWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type)
{
    BYTE buffer[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(buffer);
    return CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(sid, buffer);
}

struct Descriptor
{
    PSECURITY_DESCRIPTOR value = nullptr;
    ~Descriptor()
    {
        if (value)
            LocalFree(value);
    }
};

// The descriptor an SDDL text describes, and attributes that carry it.
bool build(const wchar_t *sddl, Descriptor *descriptor, SECURITY_ATTRIBUTES *attributes)
{
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor->value, nullptr))
        return false;
    *attributes = { sizeof(SECURITY_ATTRIBUTES), descriptor->value, FALSE };
    return true;
}
} // namespace

bool ProtectedPath::createFolder(const QString &path, QString *error)
{
    Descriptor descriptor;
    SECURITY_ATTRIBUTES attributes {};
    if (!build(L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", &descriptor, &attributes)) {
        fail(error, "can't build the directory's security descriptor");
        return false;
    }
    if (!CreateDirectoryW(wide(path), &attributes) && GetLastError() != ERROR_ALREADY_EXISTS) {
        fail(error, "can't create the directory");
        return false;
    }

    HANDLE folder = CreateFileW(wide(path), READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info {};
    if (folder == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(folder, &info)
        || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        if (folder != INVALID_HANDLE_VALUE)
            CloseHandle(folder);
        fail(error, "the path is not a plain directory");
        return false;
    }

    PSID owner = nullptr;
    Descriptor current;
    if (GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &current.value)
            != ERROR_SUCCESS
        || !owner || !(isWellKnown(owner, WinLocalSystemSid) || isWellKnown(owner, WinBuiltinAdministratorsSid))) {
        CloseHandle(folder);
        fail(error, "the directory has another owner");
        return false;
    }

    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor.value, &present, &acl, &defaulted) || !present) {
        CloseHandle(folder);
        fail(error, "can't read the directory's security descriptor");
        return false;
    }
    const DWORD restricted = SetSecurityInfo(folder, SE_FILE_OBJECT,
                                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                             nullptr, acl, nullptr);
    CloseHandle(folder);
    if (restricted != ERROR_SUCCESS) {
        fail(error, "can't restrict the directory");
        return false;
    }
    return true;
}

bool ProtectedPath::createFile(const QString &path, const QByteArray &data, QString *error)
{
    Descriptor descriptor;
    SECURITY_ATTRIBUTES attributes {};
    if (!build(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", &descriptor, &attributes)) {
        fail(error, "can't build the file's security descriptor");
        return false;
    }
    HANDLE file = CreateFileW(wide(path), GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        fail(error, "can't create the file");
        return false;
    }
    qsizetype written = 0;
    bool ok = true;
    while (ok && written < data.size()) {
        DWORD chunk = 0;
        const DWORD wanted = DWORD(qMin<qsizetype>(data.size() - written, 1 << 20));
        ok = WriteFile(file, data.constData() + written, wanted, &chunk, nullptr) && chunk > 0;
        written += chunk;
    }
    CloseHandle(file);
    if (!ok) {
        DeleteFileW(wide(path));
        fail(error, "can't write the file");
        return false;
    }
    return true;
}
