// Special folders, as the shell names them.

#include <memory>

#include "platform/win32/wide.h"
// This needs windows.h before it.
#include <shlobj.h>

namespace zyv {
namespace {

struct ItemListFree {
  void operator()(ITEMIDLIST* list) const { CoTaskMemFree(list); }
};

}  // namespace

WString KnownFolderPath(int csidl) {
  std::unique_ptr<ITEMIDLIST, ItemListFree> list;
  {
    PIDLIST_ABSOLUTE raw = nullptr;
    const HRESULT hr = SHGetSpecialFolderLocation(nullptr, csidl, &raw);
    list.reset(raw);  // owned even if the call failed and still handed one back
    if (FAILED(hr) || raw == nullptr) return {};
  }
  wchar_t path[MAX_PATH] = {};
  if (!SHGetPathFromIDListW(list.get(), path)) return {};
  return win32::FromW(path, wcsnlen(path, MAX_PATH));
}

}  // namespace zyv
