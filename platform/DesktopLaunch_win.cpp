#include "platform/DesktopLaunch.h"

#include <QDir>
#include <QProcess>
#include <QWindow>

#include <windows.h>
#include <exdisp.h>
#include <shldisp.h>
#include <shlobj.h>
#include <shobjidl.h>

namespace {

template <typename T>
struct Com
{
    T *p = nullptr;
    ~Com()
    {
        if (p)
            p->Release();
    }
    T **out() { return &p; }
    T *operator->() const { return p; }
};

struct Bstr
{
    BSTR value;
    explicit Bstr(const QString &text) : value(SysAllocString(reinterpret_cast<const OLECHAR *>(text.utf16()))) {}
    ~Bstr() { SysFreeString(value); }
};

// The desktop shell's own automation object: what it starts runs as the
// desktop user, whatever rights the caller has.
bool shellExecuteAsDesktop(const QString &program, const QString &folder)
{
    Com<IShellWindows> windows;
    if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(windows.out()))))
        return false;
    VARIANT location {};
    VariantInit(&location);
    VARIANT empty {};
    VariantInit(&empty);
    long hwnd = 0;
    Com<IDispatch> dispatch;
    if (windows->FindWindowSW(&location, &empty, SWC_DESKTOP, &hwnd, SWFO_NEEDDISPATCH, dispatch.out()) != S_OK
        || !dispatch.p)
        return false;
    Com<IServiceProvider> services;
    Com<IShellBrowser> browser;
    Com<IShellView> view;
    Com<IDispatch> background;
    Com<IShellFolderViewDual> folderView;
    Com<IDispatch> application;
    Com<IShellDispatch2> shell;
    if (FAILED(dispatch->QueryInterface(IID_PPV_ARGS(services.out())))
        || FAILED(services->QueryService(SID_STopLevelBrowser, IID_PPV_ARGS(browser.out())))
        || FAILED(browser->QueryActiveShellView(view.out()))
        || FAILED(view->GetItemObject(SVGIO_BACKGROUND, IID_PPV_ARGS(background.out())))
        || FAILED(background->QueryInterface(IID_PPV_ARGS(folderView.out())))
        || FAILED(folderView->get_Application(application.out()))
        || FAILED(application->QueryInterface(IID_PPV_ARGS(shell.out()))))
        return false;
    Bstr file(program);
    VARIANT arguments {};
    arguments.vt = VT_BSTR;
    arguments.bstrVal = SysAllocString(L"");
    VARIANT directory {};
    directory.vt = VT_BSTR;
    directory.bstrVal = SysAllocString(reinterpret_cast<const OLECHAR *>(folder.utf16()));
    VARIANT verb {};
    verb.vt = VT_BSTR;
    verb.bstrVal = SysAllocString(L"open");
    VARIANT show {};
    show.vt = VT_I4;
    show.lVal = SW_SHOWNORMAL;
    const HRESULT result = shell->ShellExecute(file.value, arguments, directory, verb, show);
    VariantClear(&arguments);
    VariantClear(&directory);
    VariantClear(&verb);
    return SUCCEEDED(result);
}

} // namespace

bool DesktopLaunch::isElevated()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    TOKEN_ELEVATION elevation {};
    DWORD size = 0;
    const bool elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size)
        && elevation.TokenIsElevated;
    CloseHandle(token);
    return elevated;
}

DesktopLaunch::Result DesktopLaunch::openAsDesktopUser(const QString &program, const QString &folder)
{
    AllowSetForegroundWindow(ASFW_ANY);
    if (!isElevated())
        return QProcess::startDetached(program, {}, folder) ? Result::Opened : Result::Failed;
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const bool opened = shellExecuteAsDesktop(program, folder);
    if (SUCCEEDED(com))
        CoUninitialize();
    return opened ? Result::OpenedThroughShell : Result::RefusedElevated;
}

QString DesktopLaunch::chooseFolder(QWindow *owner, const QString &startFolder)
{
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    QString chosen;
    {
        Com<IFileOpenDialog> dialog;
        if (SUCCEEDED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                       IID_PPV_ARGS(dialog.out())))) {
            DWORD options = 0;
            dialog->GetOptions(&options);
            dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_PATHMUSTEXIST);
            Com<IShellItem> start;
            if (SUCCEEDED(SHCreateItemFromParsingName(reinterpret_cast<PCWSTR>(startFolder.utf16()), nullptr,
                                                      IID_PPV_ARGS(start.out()))))
                dialog->SetFolder(start.p);
            const HWND window = owner ? reinterpret_cast<HWND>(owner->winId()) : nullptr;
            Com<IShellItem> result;
            if (SUCCEEDED(dialog->Show(window)) && SUCCEEDED(dialog->GetResult(result.out()))) {
                PWSTR path = nullptr;
                if (SUCCEEDED(result->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
                    chosen = QString::fromWCharArray(path);
                    CoTaskMemFree(path);
                }
            }
        }
    }
    if (SUCCEEDED(com))
        CoUninitialize();
    return chosen;
}
