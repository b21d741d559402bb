// What an installation knows about the install folder before it changes anything, and the record it
// keeps there while it works.
//
// How an interrupted run is told from a fresh one: by the marker ZyvInstall.pending in the install
// folder, which only the installer writes. A run writes it before it moves anything and removes it
// once the settings file is settled, so a marker found at the start means that an earlier run
// stopped on the way (killed, a power cut, a crash). No other file counts as evidence: a stray
// main.7z or config.ini.bak says nothing.
//
// The marker says whose settings were there when that run began: none (a first installation, so any
// config.ini found now was written by the extraction), or the user's file, by its size and a
// fingerprint of its bytes. Between the moment the marker is written and the moment the settings are
// settled, the user's file is config.ini or config.ini.bak, and the fingerprint tells which of the
// two it is now: the other one is the payload's copy or an older leftover.
#pragma once

#include "platform/platform.h"

namespace zyv {

/// Where the user's settings file is.
enum class SettingsPlace {
  kNone,    ///< there is none: a first installation
  kConfig,  ///< config.ini in the install folder
  kBackup,  ///< config.ini.bak, moved aside by this run or by an interrupted one
};

struct InstallState {
  /// An earlier run left its marker: it stopped before it had settled the settings file.
  bool interrupted = false;
  /// Where the user's settings file is now.
  SettingsPlace settings = SettingsPlace::kNone;
  /// The user's file could not be moved aside: it stays as config.ini and extraction leaves it alone.
  bool kept_in_place = false;
};

/// base + "dudizu": the folder the archive's top-level folder becomes (no trailing separator).
WString InstallFolder(const WString& base);
/// The settings file in the install folder, and where it is moved aside.
WString ConfigPath(const WString& base);
WString BackupPath(const WString& base);

/// Reads the marker and the settings files of the install folder under base.
InstallState ReadInstallState(const WString& base);

/// Writes the marker for state (fingerprinting the user's file where state says it is), creating the
/// install folder when missing. False when the marker could not be written: nothing may move then.
bool RecordInstallState(const WString& base, const InstallState& state);

/// The settings are settled: removes the marker. Should the removal fail, the marker is rewritten to
/// name the config.ini that is now there as the user's, so a later run cannot take it for the payload's.
void ClearInstallState(const WString& base);

}  // namespace zyv
