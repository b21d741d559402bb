// Placeholder until the POSIX operations land.
#include "platform/platform.h"
namespace zyv {
WString KnownFolderPath(int) { return {}; }
bool PathExists(const WString&) { return false; }
bool MakeDirectory(const WString&) { return false; }
bool RemoveFile(const WString&) { return false; }
bool RenameFile(const WString&, const WString&) { return false; }
bool ReplaceFileAtomically(const WString&, const WString&) { return false; }
std::string ToNarrowPath(const WString&) { return {}; }
WString ModuleFileName() { return {}; }
bool WriteIniValue(const WString&, const WString&, const WString&, const WString&) { return false; }
bool ShellOpen(const WString&, const WString&, const WString&, const WString&, int) { return false; }
void ShowMessage(const WString&, const WString&) {}
bool ApplyFileAttributes(const WString&, std::uint32_t) { return false; }
bool InitCommonControlsClasses(std::uint32_t, std::uint32_t) { return true; }
bool RegisterForRestart(std::uint32_t) { return true; }
}  // namespace zyv
