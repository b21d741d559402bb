// The fixed names of the installed product, shared by the install sequence and the shortcut.
#pragma once

namespace zyv {

/// The folder under the install base that the archive's top-level folder becomes.
inline constexpr char16_t kInstallFolderName[] = u"dudizu";
/// The installed program, inside the install folder.
inline constexpr char16_t kProgramName[] = u"ZyvSHelp.exe";

}  // namespace zyv
