// The shortcut as a shell link (.lnk): the shell's link object writes its bytes into memory, and
// they go to the desktop through a file opened without following a link at the shortcut's name (the
// link object's own save would write wherever such a link leads).
#include "platform/win32/com.h"
#include "platform/win32/no_follow.h"
// This needs windows.h before it.
#include <shlobj.h>

#include "platform/product_names.h"
#include "shell/shortcut.h"

namespace zyv {

const WString kShortcutFileName = WString(kProductName) + u".lnk";

// The installer adds nothing to the Start menu.
void CreateMenuEntry(const WString&) {}

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

  win32::ComRef<IPersistStream> persist;
  win32::ComRef<IStream> stream;
  HGLOBAL memory = nullptr;
  ULARGE_INTEGER size{};
  if (FAILED(shell_link->QueryInterface(IID_IPersistStream, persist.Slot())) ||
      FAILED(CreateStreamOnHGlobal(nullptr, TRUE, reinterpret_cast<IStream**>(stream.Slot()))) ||
      FAILED(persist->Save(stream.get(), TRUE)) || FAILED(stream->Seek({}, STREAM_SEEK_CUR, &size)) ||
      FAILED(GetHGlobalFromStream(stream.get(), &memory)) || size.QuadPart > MAXDWORD) {
    return false;
  }
  const HANDLE file = win32::CreateForWriting(link, 0, FILE_ATTRIBUTE_NORMAL);
  if (file == INVALID_HANDLE_VALUE) return false;
  const void* bytes = GlobalLock(memory);
  DWORD written = 0;
  bool saved = bytes != nullptr &&
               WriteFile(file, bytes, static_cast<DWORD>(size.QuadPart), &written, nullptr) != FALSE &&
               written == size.QuadPart;
  if (bytes != nullptr) GlobalUnlock(memory);
  saved = CloseHandle(file) != FALSE && saved;
  if (!saved) {
    RemoveFile(link);  // no half a shortcut
    return false;
  }
  // What the link object's own save tells the shell, so the desktop shows the new icon at once.
  SHChangeNotify(SHCNE_CREATE, SHCNF_PATHW, win32::W(link), nullptr);
  return true;
}

}  // namespace zyv
