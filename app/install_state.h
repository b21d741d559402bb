// The installer's own records in the install folder, and what they say about the user's settings.
// What the records mean for a run, phase by phase, is app/transaction.h's state table.
//
// ZyvInstall.pending, the run's record, is written before a run changes anything and removed once
// it is over; only the installer writes it, so one found at the start means that an earlier run was
// stopped on the way (killed, a power cut). It names the phase that run was in, whose settings were
// there when it began (none, or the user's config.ini by its size and a fingerprint of its bytes),
// the run's staging and aside folders and, from its commit on, the files and folders of the new
// tree. An earlier version of the installer wrote the heading and the settings line alone (no
// phase): that run moved the user's file aside to config.ini.bak, and the fingerprint tells which of
// config.ini and config.ini.bak is the user's now.
//
// ZyvInstall.installed lists the files and folders the last complete installation installed, so
// that the next one removes what it no longer ships and nothing else. Both are written atomically.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace zyv {

/// What every name of the installer's own in the install folder starts with; no archive entry may.
inline constexpr char16_t kOwnPrefix[] = u"ZyvInstall.";

/// The names of a run's staging and aside folders in the install folder: the stem, or the stem and
/// one digit where a folder of that name is still there.
inline constexpr char16_t kStagingStem[] = u"ZyvInstall.staging";
inline constexpr char16_t kAsideStem[] = u"ZyvInstall.old";

/// Where the user's settings file is.
enum class SettingsPlace {
  kNone,    ///< there is none: a first installation
  kConfig,  ///< config.ini in the install folder
  kBackup,  ///< config.ini.bak, moved aside by an interrupted run of an earlier installer
};

struct InstallState {
  /// Where the user's settings file is now.
  SettingsPlace settings = SettingsPlace::kNone;
  /// The config.ini found may be a copy that an interrupted first installation put there rather than
  /// the user's: it is the user's unless its bytes are the payload's copy.
  bool config_may_be_payloads = false;
};

/// The phase a run's record names (app/transaction.h).
enum class Phase {
  kStaging,     ///< unpacking into the staging folder; the installation is untouched
  kCommitting,  ///< moving the new tree in, the replaced files aside
  kCommitted,   ///< the new tree is in place; what is left is clearing up
  kSettled,     ///< over, but the record could not be removed
  kLegacy,      ///< written by an earlier installer, which moved the user's file aside
};

/// What the run's record holds. Paths are relative to the install base, "/" between names.
struct RunRecord {
  Phase phase = Phase::kStaging;
  std::string settings;          ///< "none", or the user's file as "SIZE HASH"
  WString staging;               ///< the staging folder's name in the install folder
  WString aside;                 ///< the aside folder's name in the install folder
  std::vector<WString> files;    ///< the new tree's files
  std::vector<WString> folders;  ///< the new tree's folders
  std::vector<WString> made;     ///< the folders among them that the commit creates
  std::vector<WString> kept;     ///< the new tree's files that were there already: never moved
  /// The last installation's folders where the new tree has a file: emptied of what it installed,
  /// removed by the commit, made again by a rollback. Deepest last.
  std::vector<WString> cleared;
};

/// What the last complete installation installed. Paths as in RunRecord.
struct InstalledList {
  std::vector<WString> files;
  std::vector<WString> folders;
};

/// base + "dudizu": the folder the archive's top-level folder becomes (no trailing separator).
WString InstallFolder(const WString& base);
/// The settings file in the install folder, and where an earlier installer moved it aside.
WString ConfigPath(const WString& base);
WString BackupPath(const WString& base);
/// The settings file's path relative to the install base, as the records and the archive name it.
WString ConfigEntry();

/// The settings line for the file at path: "none" when there is none to read.
std::string SettingsOf(const WString& path);

/// Reads the run's record; false when there is none (or it cannot be read).
bool ReadRunRecord(const WString& base, RunRecord& record);
/// Writes the run's record atomically, creating the install folder when missing. False when it
/// could not be written: nothing may change then.
bool WriteRunRecord(const WString& base, const RunRecord& record);
/// The run is over: removes its record. Should the removal fail, the record is rewritten as settled,
/// naming the config.ini now there as the user's, so that no later run takes it for the payload's.
void ClearRunRecord(const WString& base);

/// Reads and writes the list of what the last complete installation installed; an installation
/// made before the list existed has none (false), and removes nothing; nor does a list that names
/// anything but the product's entries (IsProductEntry), which is no list this installer wrote.
bool ReadInstalledList(const WString& base, InstalledList& list);
bool WriteInstalledList(const WString& base, const InstalledList& list);

/// Whether entry (relative to the install base, "/" between names) is one of the installer's own
/// names in the install folder: ZyvInstall.*, in any case the system folds.
bool IsOwnName(const WString& entry);

/// Whether entry may stand in a record as the product's: a sound name inside the install folder
/// (with folder, the install folder itself too), spelt as the installer writes names (single "/"
/// between names, none empty or "."), and none of the installer's own. The records lie where any
/// program of the user can write; nothing outside the installation is named by them.
bool IsProductEntry(const WString& entry, bool folder);

/// Where the user's settings are, from the run's record (if a run left one that is still there) and
/// the settings files of the install folder.
InstallState ReadInstallState(const WString& base);

}  // namespace zyv
