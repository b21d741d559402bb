// Win32: the SDK's own wide-path openers, which ask CreateFileW for exactly the access wanted here
// (GENERIC_READ / OPEN_EXISTING for the archive, GENERIC_WRITE / CREATE_ALWAYS for an output file,
// FILE_SHARE_READ and FILE_ATTRIBUTE_NORMAL for both).
#include "payload/archive_file.h"

#include "platform/win32/wide.h"

namespace zyv {

// The handle decides, not the returned code: GetLastError may be 0 after a failed CreateFileW.
bool OpenArchiveFile(CSzFile* file, const WString& path) {
  InFile_OpenW(file, win32::W(path));
  return file->handle != INVALID_HANDLE_VALUE;
}

bool CreateOutputFile(CSzFile* file, const WString& path) {
  OutFile_OpenW(file, win32::W(path));
  return file->handle != INVALID_HANDLE_VALUE;
}

}  // namespace zyv
