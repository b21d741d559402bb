// Small files read and written whole: the installer's own records.
#include <climits>

#include "platform/win32/no_follow.h"

namespace zyv {

bool ReadWholeFile(const WString& path, std::string& bytes) {
  // Opened where it is, never through a link: what a link leads to is nothing of the installer's.
  const HANDLE file =
      win32::OpenPath(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                      FILE_NON_DIRECTORY_FILE);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes.clear();
  bool ok = GetFileType(file) == FILE_TYPE_DISK;
  char buffer[16384];
  for (DWORD n = 0; ok;) {
    ok = ReadFile(file, buffer, sizeof buffer, &n, nullptr) != FALSE;
    if (!ok || n == 0) break;
    bytes.append(buffer, n);
  }
  CloseHandle(file);
  return ok;
}

bool WriteFileReplacing(const WString& path, std::string_view bytes) {
  if (bytes.size() > static_cast<std::size_t>(ULONG_MAX)) return false;
  // A fixed temporary name: one left by a run that was stopped before its move is taken over by
  // the next write instead of staying beside the file.
  const WString temp = path + u".writing";
  const HANDLE file = win32::CreateForWriting(temp, 0, FILE_ATTRIBUTE_NORMAL);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != FALSE &&
            written == bytes.size() && FlushFileBuffers(file) != FALSE;
  ok = CloseHandle(file) != FALSE && ok;
  ok = ok && ReplaceFileAtomically(temp, path);
  if (!ok) RemoveFile(temp);
  return ok;
}

}  // namespace zyv
