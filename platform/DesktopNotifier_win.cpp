#include "platform/DesktopNotifier.h"

#include <QPointer>

#include <windows.h>
#include <shellapi.h>

namespace {
constexpr UINT kIconId = 1;
constexpr UINT kCallbackMessage = WM_APP + 17;
const wchar_t kWindowClass[] = L"KelvraDesktopNotifier";

// What the hidden window knows of its notifier.
struct Native
{
    HWND window = nullptr;
    bool iconAdded = false;
    QString lastKey;
    QPointer<DesktopNotifier> owner;
};

void copyText(wchar_t *target, size_t capacity, const QString &text)
{
    const std::wstring wide = text.left(int(capacity) - 1).toStdWString();
    wcsncpy_s(target, capacity, wide.c_str(), _TRUNCATE);
}

NOTIFYICONDATAW iconData(HWND window)
{
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = window;
    data.uID = kIconId;
    return data;
}

void removeIcon(Native *native)
{
    if (!native->iconAdded)
        return;
    NOTIFYICONDATAW data = iconData(native->window);
    Shell_NotifyIconW(NIM_DELETE, &data);
    native->iconAdded = false;
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto *native = reinterpret_cast<Native *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (native && message == kCallbackMessage) {
        switch (LOWORD(lParam)) {
        case NIN_BALLOONUSERCLICK: {
            const QString key = native->lastKey;
            QPointer<DesktopNotifier> owner = native->owner;
            removeIcon(native);
            if (owner)
                QMetaObject::invokeMethod(owner.data(), [owner, key] { if (owner) emit owner->clicked(key); },
                                          Qt::QueuedConnection);
            return 0;
        }
        case NIN_BALLOONTIMEOUT:
        case NIN_BALLOONHIDE:
            removeIcon(native);
            return 0;
        default:
            break;
        }
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND createWindow(Native *native)
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    RegisterClassExW(&windowClass); // fails harmlessly when already registered
    // A message-only window: never shown, only receives the icon's messages.
    HWND window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    if (window)
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(native));
    return window;
}
} // namespace

DesktopNotifier::DesktopNotifier(QObject *parent) : QObject(parent)
{
    auto *native = new Native;
    native->owner = this;
    native->window = createWindow(native);
    m_native = native;
}

DesktopNotifier::~DesktopNotifier()
{
    auto *native = static_cast<Native *>(m_native);
    removeIcon(native);
    if (native->window)
        DestroyWindow(native->window);
    delete native;
}

void DesktopNotifier::show(const QString &key, const QString &title, const QString &body)
{
    auto *native = static_cast<Native *>(m_native);
    bool shown = false;
    if (native->window) {
        NOTIFYICONDATAW data = iconData(native->window);
        if (!native->iconAdded) {
            data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
            data.uCallbackMessage = kCallbackMessage;
            data.hIcon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON,
                                                       0, 0, LR_DEFAULTSIZE | LR_SHARED));
            if (!data.hIcon)
                data.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512)); // IDI_APPLICATION
            copyText(data.szTip, ARRAYSIZE(data.szTip), QStringLiteral("Kelvra"));
            native->iconAdded = Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
            if (native->iconAdded) {
                data.uVersion = NOTIFYICON_VERSION_4;
                Shell_NotifyIconW(NIM_SETVERSION, &data);
            }
        }
        if (native->iconAdded) {
            NOTIFYICONDATAW info = iconData(native->window);
            info.uFlags = NIF_INFO;
            info.dwInfoFlags = NIIF_INFO | NIIF_RESPECT_QUIET_TIME;
            copyText(info.szInfoTitle, ARRAYSIZE(info.szInfoTitle), title);
            copyText(info.szInfo, ARRAYSIZE(info.szInfo), body.isEmpty() ? title : body);
            shown = Shell_NotifyIconW(NIM_MODIFY, &info) != FALSE;
            if (shown)
                native->lastKey = key;
        }
    }
    if (!shown)
        QMetaObject::invokeMethod(this, [this, key] { emit failed(key); }, Qt::QueuedConnection);
}

#ifdef KELVRA_TESTING
void DesktopNotifier::setBusForTesting(const QString &address)
{
    Q_UNUSED(address)
}
#endif

// The freedesktop service's signals have no counterpart here.
void DesktopNotifier::onActionInvoked(uint id, const QString &action)
{
    Q_UNUSED(id)
    Q_UNUSED(action)
}

void DesktopNotifier::onClosed(uint id, uint reason)
{
    Q_UNUSED(id)
    Q_UNUSED(reason)
}

void DesktopNotifier::onCapabilities(const QStringList &capabilities)
{
    Q_UNUSED(capabilities)
}
