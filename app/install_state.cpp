#include "app/install_state.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/product_names.h"

namespace zyv {
namespace {

constexpr char16_t kMarkerName[] = u"ZyvInstall.pending";
constexpr std::string_view kMarkerHeading = "ZyvInstall pending installation\n";
constexpr std::string_view kNoSettings = "settings none\n";

WString MarkerPath(const WString& base) { return InstallFolder(base) + kPathSeparator + kMarkerName; }

/// "settings SIZE HASH": the file's size and its 64-bit FNV-1a, enough to tell the user's file from
/// the payload's copy or an older leftover, which is all it is asked to do.
std::string SettingsLine(const std::string& bytes) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (const unsigned char c : bytes) hash = (hash ^ c) * 0x100000001b3u;
  // Spelt out rather than formatted: a printf in the Windows installer would bring in its whole
  // implementation for this one line.
  std::string hex(16, '0');
  for (int i = 15; i >= 0; --i, hash >>= 4) hex[static_cast<size_t>(i)] = "0123456789abcdef"[hash & 0xF];
  return "settings " + std::to_string(bytes.size()) + " " + hex + "\n";
}

/// Whether the file at path is the one line describes.
bool Matches(const WString& path, std::string_view line) {
  std::string bytes;
  return ReadWholeFile(path, bytes) && SettingsLine(bytes) == line;
}

}  // namespace

WString InstallFolder(const WString& base) { return base + kInstallFolderName; }
WString ConfigPath(const WString& base) { return InstallFolder(base) + kPathSeparator + kConfigName; }
WString BackupPath(const WString& base) { return ConfigPath(base) + kBackupSuffix; }

InstallState ReadInstallState(const WString& base) {
  InstallState state;
  const bool config = PathExists(ConfigPath(base));
  const bool backup = PathExists(BackupPath(base));
  std::string marker;
  if (!ReadWholeFile(MarkerPath(base), marker)) {
    // No run is under way: a config.ini is the user's, whoever wrote it last; a lone backup is not
    // evidence of anything and stays where it is.
    state.settings = config ? SettingsPlace::kConfig : SettingsPlace::kNone;
    return state;
  }
  state.interrupted = true;
  const std::string_view record = std::string_view(marker).starts_with(kMarkerHeading)
                                      ? std::string_view(marker).substr(kMarkerHeading.size())
                                      : std::string_view();
  if (record == kNoSettings) {
    // A first installation was interrupted: whatever config.ini it left is the payload's.
    return state;
  }
  if (config && Matches(ConfigPath(base), record)) {
    state.settings = SettingsPlace::kConfig;
  } else if (backup && Matches(BackupPath(base), record)) {
    state.settings = SettingsPlace::kBackup;
  } else {
    // Neither matches: a marker that cannot be read, or a file changed since by someone else.
    // Nothing is thrown away on a guess: a config.ini is taken as the user's, else the backup.
    state.settings = config ? SettingsPlace::kConfig : backup ? SettingsPlace::kBackup : SettingsPlace::kNone;
  }
  return state;
}

bool RecordInstallState(const WString& base, const InstallState& state) {
  std::string record(kMarkerHeading);
  if (state.settings == SettingsPlace::kNone) {
    record += kNoSettings;
  } else {
    std::string bytes;
    const WString user = state.settings == SettingsPlace::kConfig ? ConfigPath(base) : BackupPath(base);
    if (!ReadWholeFile(user, bytes)) return false;
    record += SettingsLine(bytes);
  }
  // The base exists (it is Local Application Data) save on a fresh account elsewhere; one level each.
  if (!PathExists(base)) MakeDirectory(base);
  MakeDirectory(InstallFolder(base));
  return WriteFileReplacing(MarkerPath(base), record);
}

void ClearInstallState(const WString& base) {
  const WString marker = MarkerPath(base);
  if (RemoveFile(marker) || !PathExists(marker)) return;
  InstallState settled;
  settled.settings = SettingsPlace::kConfig;
  RecordInstallState(base, settled);
}

}  // namespace zyv
