#include "app/install.h"

#include <string>
#include <vector>

#include "app/framework.h"
#include "payload/extract.h"
#include "payload/stage.h"
#include "shell/shortcut.h"

namespace zyv {
namespace {

/// Path fragments whose existing files extraction leaves alone. Nothing adds to it: every file of
/// the payload is written.
const std::vector<WString> g_keep_list;

/// The installer's own file name, without its folder.
WString InstallerName() {
  WString installer = ModuleFileName();
  if (const auto separator = installer.rfind(kPathSeparator); separator != WString::npos) {
    installer.erase(0, separator + 1);
  }
  return installer;
}

}  // namespace

WString ResultText(int result) {
  if (result == 0) return kCompletedText;
  const std::string code = std::to_string(result);
  return kFailedText + WString(code.begin(), code.end());
}

bool BackupConfig(const WString& base, InstallState& state) {
  switch (state.settings) {
    case SettingsPlace::kNone:
      // A record that this is a first installation, so that an interrupted one is finished as one.
      RecordInstallState(base, state);
      return false;
    case SettingsPlace::kBackup:
      // An interrupted run moved the user's file aside and its marker says so: nothing to move.
      return true;
    case SettingsPlace::kConfig:
      break;
  }
  // The marker first: a run stopped right after the move must find the file's record. Without a
  // record, or should the move fail, the file stays where it is and extraction goes round it.
  if (RecordInstallState(base, state) && ReplaceFileAtomically(ConfigPath(base), BackupPath(base))) {
    state.settings = SettingsPlace::kBackup;
  } else {
    state.kept_in_place = true;
  }
  return true;
}

int UnpackPayload(const WString& base, const InstallState& state, StageFunction stage) {
  if (stage == nullptr) stage = StagePayload;
  if (!PathExists(base)) MakeDirectory(base);
  const WString staging = base + kStagingName;
  const WString config = ConfigPath(base);

  std::vector<WString> keep = g_keep_list;
  if (state.kept_in_place) keep.push_back(config);
  // A staging file that was not written completely (or a stale one that could not be replaced) is
  // not extracted: it would install something other than this program's payload.
  const int result = stage(staging) == 1 ? ExtractArchive(base, staging, std::move(keep)) : 1;
  RemoveFile(staging);

  bool settled = true;
  switch (state.settings) {
    case SettingsPlace::kBackup:
      // Moved over the payload's copy in one step. Should it fail, the marker stays and the next
      // run finds the user's file by its record.
      settled = ReplaceFileAtomically(BackupPath(base), config);
      break;
    case SettingsPlace::kConfig:
      break;  // kept in place, untouched by the extraction
    case SettingsPlace::kNone:
      if (result == 0) {
        WriteIniValue(kSettingsSection, kInstallerKey, InstallerName(), config);
      } else {
        // No stub: a settings file holding only the key, or a part of the payload's, would pass for
        // the user's at the next run and keep the product's defaults out for good.
        RemoveFile(config);
      }
      break;
  }
  if (settled) ClearInstallState(base);
  return result;
}

void RunInstall(WString base) {
  // The folder must exist to be claimed; it is the first thing an installation makes anyway.
  if (!PathExists(base)) MakeDirectory(base);
  MakeDirectory(InstallFolder(base));
  const FolderLock lock(InstallFolder(base));
  // Another installer is at work here (a double-click started two): this one leaves it alone, and
  // that one's message is the user's answer.
  if (lock.state() == FolderLock::State::kBusy) return;

  InstallState state = ReadInstallState(base);
  BackupConfig(base, state);
  const int result = UnpackPayload(base, state);
  CreateDesktopShortcut(base);
  AfxMessageBox(ResultText(result), kMessageBoxOk, 0);
  const WString folder = InstallFolder(base);
  ShellOpen(u"open", folder + kPathSeparator + kProgramName, u"", folder, kShowNormal);
}

}  // namespace zyv
