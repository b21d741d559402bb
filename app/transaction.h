// The install folder changes as one transaction: an update that fails leaves the installation it
// found, file for file, and one that is stopped dead is finished by the next run.
//
// The new tree is unpacked into a staging folder inside the install folder (so on its volume), every
// checksum verified, before anything of the installation is touched. The commit then moves it in
// file by file with renames: a file the new tree replaces, and one the last installation installed
// that the new tree no longer holds, first goes to the aside folder, where a running program's file
// may be renamed to although it cannot be written. A failed move undoes every move before it, by
// renames again. The run's record (app/install_state.h) says which phase a run is in; the write of
// its "committed" phase is the commit point. Folders (all in the install folder F, B the install
// base; both mirror B, so the archive's dudizu is F/ZyvInstall.staging/dudizu):
//   F/ZyvInstall.pending     the run's record      F/ZyvInstall.installed  what the last run installed
//   F/ZyvInstall.staging[N]  the new tree          F/ZyvInstall.old[N]     what the commit put aside
//
// | phase (record)   | on disk                                        | a run that finds it        |
// |------------------|------------------------------------------------|----------------------------|
// | none             | the installation a complete run left; maybe    | deletes the leftovers it   |
// |                  | staging or aside folders that were in use      | can, then installs         |
// | staging          | the installation untouched; B/main.7z and the  | deletes both (rolls back), |
// |                  | staging folder, partly written                 | then installs              |
// | committing       | each new file at staging/P or at B/P; each     | moves the rest in (rolls   |
// |                  | replaced or dropped one at B/P or aside/P;     | forward); should a move    |
// |                  | all of them whole                              | fail, rolls back: new files|
// |                  |                                                | to staging, aside ones back|
// | committed        | the new tree in place; aside and staging left  | finishes: drops emptied old|
// |                  |                                                | folders, writes the list,  |
// |                  |                                                | deletes aside and staging  |
// | settled          | a record that could not be removed after a run | nothing to finish          |
// | (no phase)       | an earlier installer's: the user's file may be | puts the user's file back  |
// |                  | config.ini.bak                                 | as config.ini, installs    |
//
// The user's settings (config.ini) are never moved: a config.ini that is there is the user's and the
// commit leaves it, and the payload's copy (with the installer's file name recorded in it) is
// committed only where there is none. The one exception is a record whose run found no settings
// ("settings none"): a config.ini found then was put there by that run, and is taken for the
// payload's copy, and replaced, only when its bytes are the new payload's copy with or without the
// recorded file name; any other file is the user's.
//
// Durability: before the plan is written and again before the commit point the volume is flushed,
// so that a power cut finds every file the table names whole. Only a commit that replaces or drops
// a file does so; one that only adds files (a first installation, a re-installation with nothing
// changed) puts no old bytes at stake, and a new file a power cut leaves short is one the next run
// finds by its size and checksum, and writes again.
//
// A file still in use after a successful commit stays in the aside folder until the restart the
// installer asks for (Windows) or the next run. Files the last installation did not install (the
// user's own) are never moved, and an installation made before the list existed removes nothing.
#pragma once

#include "app/install_state.h"
#include "payload/extract.h"
#include "platform/platform.h"

namespace zyv {

/// Finishes or undoes what a stopped run left under base (see the table), and deletes the staging
/// and aside folders of earlier runs. With the install folder's lock held, after the settings are
/// read (ReadInstallState); state learns where a user's file put back from config.ini.bak now is.
void RecoverInstallFolder(const WString& base, InstallState& state);

/// One run's change of the install folder.
class Transaction {
 public:
  /// Chooses the run's staging and aside folders and writes its record, phase staging, with the
  /// settings state found. Begun() says whether the record could be written: without it nothing
  /// may change, and failure says why.
  Transaction(const WString& base, const InstallState& state, ExtractFailure* failure);
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  bool Begun() const { return begun_; }

  /// Where the archive is unpacked: a folder that mirrors the install base, ending with a separator.
  const WString& StagingRoot() const { return staging_root_; }

  /// Whether the commit needs the payload's config.ini unpacked: not when the user's stays, which
  /// a re-installation then finds without unpacking anything.
  bool WantsPayloadSettings() const { return wants_settings_; }

  /// The unpacked tree goes in: settles config.ini, moves every file in and what it replaces aside,
  /// and finishes. On a failure every move is undone and failure names the file and the reason.
  /// kExtractOk, kExtractNotWritten, or kExtractRefused for a tree holding the installer's own names.
  /// kept names the new tree's files that the extraction found there already: they stay as they
  /// are, only their attributes set again.
  int Commit(const std::vector<KeptEntry>& kept, ExtractFailure* failure);

  /// The unpacking failed: the staging folder goes and the record with it; the installation was not
  /// touched.
  void Abandon();

 private:
  WString base_;
  InstallState state_;
  RunRecord record_;
  WString staging_root_;
  bool begun_ = false;
  bool wants_settings_ = true;
};

}  // namespace zyv
