#include "platform/NativeWindow.h"

#include <QWindow>

#include <windows.h>
#include <dwmapi.h>
#include <shobjidl.h>

namespace {
constexpr DWORD kImmersiveDarkMode = 20;
constexpr DWORD kImmersiveDarkModeBefore20H1 = 19;
constexpr DWORD kWindowCornerPreference = 33;
constexpr DWORD kCornerRound = 2;

void refreshFrame(HWND hwnd)
{
    SetWindowPos(hwnd, nullptr, 0, 0, 0, 0, SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER);
}
} // namespace

void NativeWindow::setDarkFrame(QWindow *window, bool dark)
{
    if (!window || !window->handle())
        return;
    HWND hwnd = reinterpret_cast<HWND>(window->winId());
    BOOL value = dark ? TRUE : FALSE;
    if (FAILED(DwmSetWindowAttribute(hwnd, kImmersiveDarkMode, &value, sizeof(value))))
        DwmSetWindowAttribute(hwnd, kImmersiveDarkModeBefore20H1, &value, sizeof(value));
    refreshFrame(hwnd);
}

void NativeWindow::setRoundedCorners(QWindow *window)
{
    if (!window || !window->handle())
        return;
    HWND hwnd = reinterpret_cast<HWND>(window->winId());
    DWORD preference = kCornerRound;
    DwmSetWindowAttribute(hwnd, kWindowCornerPreference, &preference, sizeof(preference));
    refreshFrame(hwnd);
}

void NativeWindow::setAppUserModelId(const char *id)
{
    SetCurrentProcessExplicitAppUserModelID(reinterpret_cast<PCWSTR>(QString::fromLatin1(id).utf16()));
}

void NativeWindow::allowAnyForegroundWindow()
{
    AllowSetForegroundWindow(ASFW_ANY);
}
