// Files and directories: existence, creation, removal, replacing renames and attributes.
#include "platform/win32/wide.h"

namespace zyv {

using win32::W;

bool PathExists(const WString& path) { return GetFileAttributesW(W(path)) != INVALID_FILE_ATTRIBUTES; }

bool MakeDirectory(const WString& path) { return CreateDirectoryW(W(path), nullptr) != FALSE; }

bool RemoveFile(const WString& path) { return DeleteFileW(W(path)) != FALSE; }

bool ReplaceFileAtomically(const WString& from, const WString& to) {
  return MoveFileExW(W(from), W(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

std::uint32_t FileCreationMask() { return 0; }

bool ApplyFileAttributes(const WString& path, std::uint32_t attrib, std::uint32_t /*creationMask*/) {
  return SetFileAttributesW(W(path), attrib) != FALSE;
}

}  // namespace zyv
