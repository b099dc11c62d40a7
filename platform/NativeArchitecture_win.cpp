#include "platform/NativeArchitecture.h"

#include <windows.h>

namespace {
using IsWow64Process2Function = BOOL(WINAPI *)(HANDLE, USHORT *, USHORT *);
}

QString NativeArchitecture::name()
{
    // Looked up at run time: older systems don't have it.
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto isWow64Process2 = kernel ? reinterpret_cast<IsWow64Process2Function>(
                                              reinterpret_cast<void *>(GetProcAddress(kernel, "IsWow64Process2")))
                                        : nullptr;
    USHORT process = 0;
    USHORT machine = 0;
    if (!isWow64Process2 || !isWow64Process2(GetCurrentProcess(), &process, &machine))
        return QStringLiteral("Unavailable");
    switch (machine) {
    case 0x014C:
        return QStringLiteral("x86");
    case 0x01C0:
        return QStringLiteral("ARM");
    case 0x8664:
        return QStringLiteral("x64");
    case 0xAA64:
        return QStringLiteral("ARM64");
    default:
        return QStringLiteral("Unknown");
    }
}

QString NativeArchitecture::forUpdateCheck()
{
    const QString native = name();
    return native == QLatin1String("ARM64") ? QStringLiteral("x64") : native;
}
