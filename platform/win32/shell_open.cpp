// Starting a program through the shell, with the rights of the user at the desktop where the
// installer runs elevated: the program it installed must not run as administrator from a folder
// every program of the user can write into (a DLL placed beside it would be loaded elevated).
// https://devblogs.microsoft.com/oldnewthing/20131118-00/?p=2643
#include "platform/win32/shell_open.h"

#include "platform/win32/com.h"
// These need windows.h before them.
#include <exdisp.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlobj.h>

namespace zyv {
namespace win32 {
namespace {

/// A VARIANT that owns what it holds.
struct Variant {
  VARIANT v;
  Variant() { VariantInit(&v); }
  explicit Variant(const WString& s) : Variant() {
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(W(s));
  }
  explicit Variant(long n) : Variant() {
    v.vt = VT_I4;
    v.lVal = n;
  }
  ~Variant() { VariantClear(&v); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
};

/// The shell's own dispatch object behind the desktop's view: what runs in Explorer.
bool DesktopShell(ComRef<IShellDispatch2>& shell) {
  ComRef<IShellWindows> windows;
  if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                              windows.Slot())))
    return false;
  Variant desktop(static_cast<long>(CSIDL_DESKTOP)), empty;
  long window = 0;
  ComRef<IDispatch> found;
  if (windows->FindWindowSW(&desktop.v, &empty.v, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH,
                            reinterpret_cast<IDispatch**>(found.Slot())) != S_OK ||
      found.get() == nullptr) {
    return false;
  }
  ComRef<IServiceProvider> provider;
  ComRef<IShellBrowser> browser;
  ComRef<IShellView> view;
  ComRef<IDispatch> background;
  ComRef<IShellFolderViewDual> folder_view;
  ComRef<IDispatch> application;
  return SUCCEEDED(found->QueryInterface(IID_IServiceProvider, provider.Slot())) &&
         SUCCEEDED(provider->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, browser.Slot())) &&
         SUCCEEDED(browser->QueryActiveShellView(reinterpret_cast<IShellView**>(view.Slot()))) &&
         SUCCEEDED(view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.Slot())) &&
         SUCCEEDED(background->QueryInterface(IID_IShellFolderViewDual, folder_view.Slot())) &&
         SUCCEEDED(folder_view->get_Application(reinterpret_cast<IDispatch**>(application.Slot()))) &&
         SUCCEEDED(application->QueryInterface(IID_IShellDispatch2, shell.Slot()));
}

}  // namespace

bool RunsElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  const bool elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
                        elevation.TokenIsElevated != 0;
  CloseHandle(token);
  return elevated;
}

ShellStart StartThroughDesktopShell(const WString& verb, const WString& file, const WString& params,
                                    const WString& dir, int show) {
  if (g_no_desktop_shell) return ShellStart::kNoShell;
  const ComScope com;
  ComRef<IShellDispatch2> shell;
  if (!DesktopShell(shell)) return ShellStart::kNoShell;
  BSTR name = SysAllocString(W(file));
  const Variant arguments(params), folder(dir), operation(verb), how(static_cast<long>(show));
  const HRESULT started = shell->ShellExecute(name, arguments.v, folder.v, operation.v, how.v);
  SysFreeString(name);
  return SUCCEEDED(started) ? ShellStart::kStarted : ShellStart::kRefused;
}

}  // namespace win32

bool ShellOpen(const WString& verb, const WString& file, const WString& params, const WString& dir,
               int show) {
  using win32::W;
  using win32::WOrNull;
  // Elevated, the program starts as the desktop's user would start it; only where no desktop shell
  // answers (none runs) as this process starts it: one that answered and refused is not overruled
  // with this process's rights. The desktop shell starts it on its own time and reports no failure,
  // so a program that is not there is left to the call below, which does.
  if (win32::RunsElevated() && PathExists(file)) {
    switch (win32::StartThroughDesktopShell(verb, file, params, dir, show)) {
      case win32::ShellStart::kStarted:
        return true;
      case win32::ShellStart::kRefused:
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
      case win32::ShellStart::kNoShell:
        break;
    }
  }
  // The shell may hand the request to an extension that needs COM on this thread.
  const win32::ComScope com;
  const HINSTANCE result =
      ShellExecuteW(nullptr, WOrNull(verb), W(file), WOrNull(params), WOrNull(dir), show);
  // Values above 32 mean success; the rest are error codes.
  return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace zyv
