// Win32: the staging file is created unshared (nothing else may open it while it is written) and
// marked temporary, so the cache manager may keep it in memory until it is deleted; never through a
// link planted at its name.
#include "payload/staging_file.h"

#include "platform/win32/no_follow.h"

namespace zyv {

bool WriteStagingFile(const WString& path, std::span<const unsigned char> bytes) {
  const HANDLE file = win32::CreateForWriting(path, 0, FILE_ATTRIBUTE_TEMPORARY);
  if (file == INVALID_HANDLE_VALUE) return false;
  // One write of the whole archive; a resource is far below WriteFile's 4 GiB limit.
  DWORD written = 0;
  const bool wrote = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0;
  const bool closed = CloseHandle(file) != 0;
  return wrote && closed && written == bytes.size();
}

void ReleaseImagePages(std::span<const unsigned char> bytes) {
  // VirtualUnlock on pages that are not locked takes them out of the working set: the resource's
  // pages go back to the image's file mapping, from which they are read again if touched.
  // https://learn.microsoft.com/windows/win32/api/memoryapi/nf-memoryapi-virtualunlock
  // It reports ERROR_NOT_LOCKED for them; the thread's last error is left as it was.
  if (bytes.empty()) return;
  const DWORD error = GetLastError();
  VirtualUnlock(const_cast<unsigned char*>(bytes.data()), bytes.size());
  SetLastError(error);
}

}  // namespace zyv
