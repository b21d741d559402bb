// Files and directories: existence, creation, removal, renaming and attributes.
#include "platform/win32/wide.h"

namespace zyv {

using win32::W;

bool PathExists(const WString& path) { return GetFileAttributesW(W(path)) != INVALID_FILE_ATTRIBUTES; }

bool MakeDirectory(const WString& path) { return CreateDirectoryW(W(path), nullptr) != FALSE; }

bool RemoveFile(const WString& path) { return DeleteFileW(W(path)) != FALSE; }

bool RenameFile(const WString& from, const WString& to) {
  // Wide on purpose: a narrow rename fails for any name the ANSI code page cannot hold, and the
  // settings file must survive re-installation whatever the user's folder is called. Flags 0 keep
  // the rename's refusal of an existing target.
  return MoveFileExW(W(from), W(to), 0) != FALSE;
}

bool ReplaceFileAtomically(const WString& from, const WString& to) {
  return MoveFileExW(W(from), W(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

bool ApplyFileAttributes(const WString& path, std::uint32_t attrib) {
  return SetFileAttributesW(W(path), attrib) != FALSE;
}

}  // namespace zyv
