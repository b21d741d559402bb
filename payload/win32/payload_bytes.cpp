// Win32: the payload archive is the program's resource "Z" 129 (res/payload.rc), as it was built in.
#include <windows.h>

#include "payload/stage.h"

namespace zyv {

std::span<const unsigned char> EmbeddedPayload() {
  // No module handle: the resource lives in the executable that started the process.
  const HRSRC info = FindResourceW(nullptr, MAKEINTRESOURCEW(129), L"Z");
  if (info == nullptr) return {};
  const HGLOBAL loaded = LoadResource(nullptr, info);
  const DWORD size = SizeofResource(nullptr, info);
  const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (bytes == nullptr || size == 0) return {};
  return {static_cast<const unsigned char*>(bytes), size};
}

}  // namespace zyv
