// The shortcut as a shell link (.lnk), written through the shell's link object.
#include "platform/win32/com.h"
// This needs windows.h before it.
#include <shlobj.h>

#include "platform/product_names.h"
#include "shell/shortcut.h"

namespace zyv {

const WString kShortcutFileName = WString(kProductName) + u".lnk";

bool CreateShellLink(const WString& target, const WString& link) {
  // Declared first, so the interfaces below are released before COM is uninitialised.
  const win32::ComScope com;
  win32::ComRef<IShellLinkW> shell_link;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              shell_link.Slot()))) {
    return false;
  }
  shell_link->SetPath(win32::W(target));
  const WString::size_type cut = target.rfind(u'\\');
  shell_link->SetWorkingDirectory(win32::W(cut == WString::npos ? WString() : target.substr(0, cut)));
  shell_link->SetArguments(L"");

  win32::ComRef<IPersistFile> file;
  if (FAILED(shell_link->QueryInterface(IID_IPersistFile, file.Slot()))) return false;
  return SUCCEEDED(file->Save(win32::W(link), TRUE));
}

}  // namespace zyv
