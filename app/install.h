// The install sequence and its steps.
#pragma once

#include "app/names.h"
#include "platform/platform.h"

namespace zyv {

inline constexpr char16_t kConfigName[] = u"config.ini";
inline constexpr char16_t kStagingName[] = u"main.7z";
inline constexpr char16_t kCompletedText[] = u"安装完成";

/// base + "dudizu": the folder the archive's top-level folder becomes (no trailing separator).
WString InstallFolder(const WString& base);

/// Runs the whole installation into the install base (Local Application Data + separator).
void RunInstall(WString base);

/// Moves an existing config.ini of the install folder aside; true when the user had one.
bool BackupConfig(const WString& base);

/// Stages and extracts the payload into base, removes the staging file and settles config.ini.
/// Returns the extraction's result code (0 on success).
int UnpackPayload(const WString& base, bool existed);

}  // namespace zyv
