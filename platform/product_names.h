// The fixed names and texts of the installed product. Every layer reads them, so they live here, at
// the bottom of the include graph: app/, payload/ and shell/ include this header, never each other's.
#pragma once

namespace zyv {

/// The product, as the shortcut names it.
inline constexpr char16_t kProductName[] = u"Kelvora";
/// The folder under the install base that the archive's top-level folder becomes.
inline constexpr char16_t kInstallFolderName[] = u"dudizu";
/// The installed program, inside the install folder.
inline constexpr char16_t kProgramName[] = u"ZyvSHelp.exe";

/// The settings file the installed program keeps in the install folder, shared with the installer.
inline constexpr char16_t kConfigName[] = u"config.ini";
/// Appended to the settings file's name while the user's file is moved aside.
inline constexpr char16_t kBackupSuffix[] = u".bak";
/// Where a first installation records the installer's file name in the settings file.
inline constexpr char16_t kSettingsSection[] = u"ZeReveza";
inline constexpr char16_t kInstallerKey[] = u"install";

/// The staging file in the install base that holds the archive while it is unpacked.
inline constexpr char16_t kStagingName[] = u"main.7z";

/// The texts that end an installation. The failure text is followed by the result code in decimal.
inline constexpr char16_t kCompletedText[] = u"安装完成";
inline constexpr char16_t kFailedText[] = u"安装失败，错误代码：";

}  // namespace zyv
