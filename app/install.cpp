#include "app/install.h"

#include <string>
#include <vector>

#include "app/framework.h"
#include "payload/extract.h"
#include "payload/stage.h"
#include "shell/shortcut.h"

namespace zyv {
namespace {

constexpr char16_t kBackupSuffix[] = u".bak";
constexpr char16_t kSettingsSection[] = u"ZeReveza";
constexpr char16_t kInstallerKey[] = u"install";

/// Path fragments whose existing files extraction leaves alone. Nothing adds to it: every file of
/// the payload is written.
const std::vector<WString> g_keep_list;

WString ConfigPath(const WString& base) { return InstallFolder(base) + kPathSeparator + kConfigName; }

/// The message that ends the installation: completion, or the failure with its code.
WString ResultText(int result) {
  if (result == 0) return kCompletedText;
  const std::string code = std::to_string(result);
  return kFailedText + WString(code.begin(), code.end());
}

}  // namespace

WString InstallFolder(const WString& base) { return base + kInstallFolderName; }

bool BackupConfig(const WString& base) {
  const WString config = ConfigPath(base);
  const WString backup = config + kBackupSuffix;
  if (PathExists(config)) {
    // A staging file still there means an earlier run stopped while unpacking (UnpackPayload
    // removes it only once config.ini is settled): the config.ini it left is (part of) the
    // payload's copy, not the user's. The user's file, if any, is the backup it had made.
    if (PathExists(base + kStagingName)) {
      RemoveFile(config);
      return PathExists(backup);
    }
    // The current file is the user's: it replaces a backup left by an earlier interrupted run.
    // Should the move fail, the file stays where it is and UnpackPayload keeps it there.
    ReplaceFileAtomically(config, backup);
    return true;
  }
  // No config.ini but a backup: an earlier run stopped between moving the user's file aside and
  // putting it back. The backup is the user's file and is restored like one made just now.
  return PathExists(backup);
}

int UnpackPayload(const WString& base, bool existed) { return UnpackPayload(base, existed, StagePayload); }

int UnpackPayload(const WString& base, bool existed, StageFunction stage) {
  if (!PathExists(base)) MakeDirectory(base);
  const WString staging = base + kStagingName;
  const WString config = ConfigPath(base);
  const WString backup = config + kBackupSuffix;

  std::vector<WString> keep = g_keep_list;
  // The user's config.ini is still in place when it could not be moved aside: extraction must not
  // write over it, and no backup (an older one, if any) may be restored over it afterwards.
  const bool kept_in_place = existed && PathExists(config);
  if (kept_in_place) keep.push_back(config);

  // A staging file that was not written completely (or a stale one that could not be replaced) is
  // not extracted: it would install something other than this program's payload.
  const int result = stage(staging) == 1 ? ExtractArchive(base, staging, std::move(keep)) : 1;

  if (existed) {
    if (!kept_in_place) {
      // The payload's copy goes first, the staging file second, and the user's file comes back
      // last: wherever a run is stopped, the next one finds the user's file (config.ini.bak
      // while no config.ini, or only the payload's beside a staging file, is there).
      RemoveFile(config);
      RemoveFile(staging);
      ReplaceFileAtomically(backup, config);
    }
  } else {
    WString installer = ModuleFileName();
    if (const auto separator = installer.rfind(kPathSeparator); separator != WString::npos) {
      installer.erase(0, separator + 1);
    }
    WriteIniValue(kSettingsSection, kInstallerKey, installer, config);
  }
  // Last, not right after the extraction: while it exists, the next run knows that a config.ini
  // it finds may be the payload's rather than the user's (BackupConfig).
  RemoveFile(staging);
  return result;
}

void RunInstall(WString base) {
  const bool existed = BackupConfig(base);
  const int result = UnpackPayload(base, existed);
  CreateDesktopShortcut(base);
  AfxMessageBox(ResultText(result), MB_OK, 0);
  const WString folder = InstallFolder(base);
  ShellOpen(u"open", folder + kPathSeparator + kProgramName, u"", folder, kShowNormal);
}

}  // namespace zyv
