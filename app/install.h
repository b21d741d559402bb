// The install sequence and its steps.
#pragma once

#include "app/names.h"
#include "platform/platform.h"

namespace zyv {

inline constexpr char16_t kConfigName[] = u"config.ini";
inline constexpr char16_t kStagingName[] = u"main.7z";
inline constexpr char16_t kCompletedText[] = u"安装完成";
/// Followed by the extraction's result code in decimal.
inline constexpr char16_t kFailedText[] = u"安装失败，错误代码：";

/// base + "dudizu": the folder the archive's top-level folder becomes (no trailing separator).
WString InstallFolder(const WString& base);

/// Runs the whole installation into the install base (Local Application Data + separator).
void RunInstall(WString base);

/// Moves an existing config.ini of the install folder aside; true when the user had one.
bool BackupConfig(const WString& base);

/// Stages and extracts the payload into base, removes the staging file and settles config.ini.
/// Returns the extraction's result code (0 on success).
int UnpackPayload(const WString& base, bool existed);

/// Writes the archive to the staging path; 1 when it was written completely (StagePayload's contract).
using StageFunction = int (*)(const WString& path);

/// UnpackPayload with another source of the staging file, so tests can stage damaged archives.
int UnpackPayload(const WString& base, bool existed, StageFunction stage);

}  // namespace zyv
