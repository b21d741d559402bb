// The shortcut as a shell link (.lnk), written through the shell's link object.
#include "platform/win32/wide.h"
// These need windows.h before them.
#include <objbase.h>
#include <shlobj.h>

#include "platform/product_names.h"
#include "shell/shortcut.h"

namespace zyv {

const WString kShortcutFileName = WString(kProductName) + u".lnk";

namespace {

/// Keeps COM initialised on this thread for the scope. Only a successful initialisation (S_OK or
/// S_FALSE) is balanced: uninitialising after a refused one would end another owner's COM.
class ComScope {
 public:
  ComScope() : initialised_(SUCCEEDED(CoInitialize(nullptr))) {}
  ~ComScope() {
    if (initialised_) CoUninitialize();
  }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;

 private:
  bool initialised_;
};

/// Owns one interface reference and releases it when the scope ends.
template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() {
    if (p_) p_->Release();
  }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;

  /// The slot a creating call fills; only valid while empty.
  void** Slot() { return reinterpret_cast<void**>(&p_); }
  T* operator->() const { return p_; }

 private:
  T* p_ = nullptr;
};

}  // namespace

bool CreateShellLink(const WString& target, const WString& link) {
  // Declared first, so the interfaces below are released before COM is uninitialised.
  const ComScope com;
  ComRef<IShellLinkW> shell_link;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              shell_link.Slot()))) {
    return false;
  }
  shell_link->SetPath(win32::W(target));
  const WString::size_type cut = target.rfind(u'\\');
  shell_link->SetWorkingDirectory(win32::W(cut == WString::npos ? WString() : target.substr(0, cut)));
  shell_link->SetArguments(L"");

  ComRef<IPersistFile> file;
  if (FAILED(shell_link->QueryInterface(IID_IPersistFile, file.Slot()))) return false;
  return SUCCEEDED(file->Save(win32::W(link), TRUE));
}

}  // namespace zyv
