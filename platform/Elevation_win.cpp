#include "platform/Elevation.h"

#include <QDir>
#include <QMetaObject>
#include <QObject>

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

namespace {
constexpr DWORD kCancelledByUser = 1223; // ERROR_CANCELLED: the prompt was declined
}

void Elevation::startInstallMode(const QString &program, const QString &installerPath, const QString &sha256,
                                 QObject *context, std::function<void(bool started)> done)
{
    const std::wstring file = QDir::toNativeSeparators(program).toStdWString();
    const std::wstring parameters =
        (QStringLiteral("--install-update \"") + QDir::toNativeSeparators(installerPath) + QStringLiteral("\" ")
         + sha256)
            .toStdWString();
    SHELLEXECUTEINFOW info {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOASYNC;
    info.lpVerb = L"runas";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOWNORMAL;
    const bool started = ShellExecuteExW(&info) != FALSE;
    QMetaObject::invokeMethod(
        context, [done = std::move(done), started] { done(started); }, Qt::QueuedConnection);
}

Elevation::Outcome Elevation::runInstaller(const QString &package, const QString &installDir, quintptr ownerWindow,
                                           const std::function<void()> &running)
{
    Outcome outcome;
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const std::wstring file = QDir::toNativeSeparators(package).toStdWString();
    const std::wstring parameters =
        (QStringLiteral("/S /NOLAUNCH /D=") + QDir::toNativeSeparators(installDir)).toStdWString();
    SHELLEXECUTEINFOW info {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.hwnd = reinterpret_cast<HWND>(ownerWindow);
    info.lpVerb = L"runas";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info)) {
        const DWORD error = GetLastError();
        if (error == kCancelledByUser)
            outcome.declined = true;
        else
            outcome.systemError = error ? unsigned(error) : 1;
    } else if (info.hProcess) {
        outcome.started = true;
        if (running)
            running();
        WaitForSingleObject(info.hProcess, INFINITE);
        DWORD code = 1;
        outcome.exitCode = GetExitCodeProcess(info.hProcess, &code) ? int(code) : 1;
        CloseHandle(info.hProcess);
    }
    if (SUCCEEDED(com))
        CoUninitialize();
    return outcome;
}
