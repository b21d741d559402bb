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

/// The texts that end an installation. The failure text is followed by the result code in decimal
/// and, on a second line, the cause in words and what to do about it.
inline constexpr char16_t kCompletedText[] = u"安装完成";
/// The line of the window that shows a long installation's progress, captioned with kProductName.
inline constexpr char16_t kInstallingText[] = u"正在安装…";
inline constexpr char16_t kFailedText[] = u"安装失败，错误代码：";
inline constexpr char16_t kDamagedText[] = u"此安装程序已损坏，请重新下载后再运行。";
inline constexpr char16_t kOutOfMemoryText[] = u"内存不足，请关闭其他程序后重试。";
inline constexpr char16_t kNoInstallBaseText[] = u"找不到本地应用程序数据文件夹，未安装任何内容。";
/// Around the path of a link found where the installer writes: it will not write through it.
inline constexpr char16_t kLinkPathText[] = u"路径 ";
inline constexpr char16_t kLinkText[] =
    u" 是一个链接，安装程序不会跟随链接写入，未安装任何内容。请删除该链接后重试。";
/// Followed by the space needed, then kDiskFreeText and the space free, then kDiskFullEndText.
inline constexpr char16_t kDiskFullText[] = u"磁盘空间不足：安装需要约 ";
inline constexpr char16_t kDiskFreeText[] = u" MB，可用 ";
inline constexpr char16_t kDiskFullEndText[] = u" MB。请腾出空间后重试。";
/// Around a file's path: it is used by another program, access to it is denied, or another error.
inline constexpr char16_t kFileText[] = u"文件 ";
inline constexpr char16_t kInUseText[] = u" 正在被其他程序使用，请关闭 Kelvora 后重试。";
inline constexpr char16_t kAccessDeniedText[] = u" 无法写入：访问被拒绝。请检查文件夹的权限后重试。";
inline constexpr char16_t kNotWrittenText[] = u" 无法写入：";
/// Around the path of a folder where the new version puts a file, which holds files of the user's.
inline constexpr char16_t kFolderText[] = u"文件夹 ";
inline constexpr char16_t kUsersInFolderText[] =
    u" 中有不是安装程序安装的文件，而新版本要在这里放一个同名的文件。请把该文件夹中您自己的文件移到别处后重试"
    u"。";
/// After the path of a file where the new version puts a folder, which the installer never installed.
inline constexpr char16_t kUsersFileText[] =
    u" 不是安装程序安装的文件，而新版本要在这里放一个同名的文件夹。请把这个文件移到别处后重试。";
/// Around the path and the system's reason of a move that an earlier, stopped installation needs
/// and that could be neither made nor undone.
inline constexpr char16_t kUnfinishedText[] = u"安装未能完成，也未能撤销：文件 ";
inline constexpr char16_t kUnfinishedReasonText[] = u" 无法移动：";
inline constexpr char16_t kUnfinishedEndText[] =
    u"。安装文件夹中以 ZyvInstall 开头的文件和文件夹保存着尚未复原的文件，请勿删除。请关闭 Kelvora "
    u"或重新启动计算机，然后再次运行安装程序。";

}  // namespace zyv
