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
// |                  | each cleared folder at B/P or gone; all files  | fail, rolls back: new files|
// |                  | whole                                          | to staging, cleared folders|
// |                  |                                                | made, aside ones back.     |
// |                  |                                                | Should that fail too, stops|
// |                  |                                                | (below), record kept       |
// | committed        | the new tree in place; aside and staging left  | finishes: drops emptied old|
// |                  |                                                | folders, names as the tree,|
// |                  |                                                | writes the list, deletes   |
// |                  |                                                | aside and staging          |
// | settled          | a record that could not be removed after a run | nothing to finish          |
// | (no phase)       | an earlier installer's: the user's file may be | puts the user's file back  |
// |                  | config.ini.bak                                 | as config.ini, installs;   |
// |                  |                                                | should that fail, stops    |
//
// Transitions, and the function that makes each:
//   none       -> staging      Transaction::Transaction (the record written before anything else)
//   staging    -> none         Transaction::Abandon, RecoverInstallFolder (the unpacking failed or
//                              was stopped: staging folder and record deleted)
//   staging    -> committing   Transaction::Commit (the plan written, the staged files durable)
//   committing -> committed    Complete (every move made and durable: the commit point)
//   committing -> none         Complete (a move failed, every move undone)
//   committing -> committing   Complete (undoing failed too: the stuck outcome, record and aside
//                              folder left for the next run, which this run does not start)
//   committed  -> none         Finish (a list that cannot be written leaves the record committed)
//   (no phase) -> none         RecoverInstallFolder (the user's file put back; stuck when it cannot be)
// A run that finds a record it can neither finish nor undo stops before it begins a transaction of
// its own, with the file that stopped it named, so that no run ever overwrites a record, or
// deletes an aside folder, that holds the only copy of a file.
//
// The update may change the tree's shape: a folder of the last installation that the new tree holds
// as a file is emptied (its files go aside as dropped ones) and removed by the commit ("cleared"), and
// made again by a rollback; a file where the new tree has a folder goes aside like a replaced one.
// A folder that holds anything the last installation did not install (the user's) is never moved:
// the update fails before it changes anything (FailureKind::kUsersInFolder). Two names are one path
// as the system holds them (platform/path_key.h): a file or folder the new tree names in another
// case is kept or replaced as itself, and takes the tree's name once committed.
//
// The user's settings (config.ini) are never moved. What the commit does with the payload's copy is
// one rule, chosen once per run by SettingsRuleFor from where the settings were found:
//
// | found at the start                                     | rule                 | the commit       |
// |--------------------------------------------------------|----------------------|------------------|
// | no config.ini                                          | kPayloads            | payload's copy in|
// |                                                        |                      | with the name    |
// | config.ini (put back from config.ini.bak if an earlier | kUsers               | user's stays; the|
// | installer's record says so), no record, or a record    |                      | payload's copy is|
// | naming that file                                       |                      | not even unpacked|
// | config.ini, and a record whose run found none          | kUsersUnlessPayloads | replaced only if |
// | ("settings none": it may be that run's copy)           |                      | its bytes are the|
// |                                                        |                      | payload's copy,  |
// |                                                        |                      | with or without  |
// |                                                        |                      | the name         |
// The settings the installer writes are flushed before the record that counts on them is cleared.
//
// Durability: before the plan is written and again before the commit point the volume is flushed,
// so that a power cut finds every file the table names whole. Only a commit that replaces or drops
// a file does so; one that only adds files (a first installation, a re-installation with nothing
// changed) puts no old bytes at stake, and a new file a power cut leaves short is one the next run
// finds by its size and checksum, and writes again.
//
// A file still in use after a successful commit stays in the aside folder until the next run deletes
// it. Files the last installation did not install (the user's own) are never moved, and an
// installation made before the list existed removes nothing.
#pragma once

#include "app/install_state.h"
#include "payload/extract.h"
#include "platform/platform.h"

namespace zyv {

/// For tests only (null otherwise): called by a commit after its plan is written and before its
/// first move, where a test stands in for another program that changes the disk at that moment.
inline void (*g_before_first_move)() = nullptr;

/// What the commit does with config.ini (the table above).
enum class SettingsRule {
  kPayloads,             ///< no settings yet: the payload's copy goes in, the installer's name in it
  kUsers,                ///< the user's file stays; the payload's copy is not needed
  kUsersUnlessPayloads,  ///< replaced by the payload's copy only when it is that copy's bytes
};

/// The rule for a run that found state, with a config.ini there (config_there) or not.
SettingsRule SettingsRuleFor(const InstallState& state, bool config_there);

/// Finishes or undoes what a stopped run left under base (see the table), and deletes the staging
/// and aside folders of earlier runs. With the install folder's lock held, after the settings are
/// read (ReadInstallState); state learns where a user's file put back from config.ini.bak now is.
/// False when a stopped run's record could be neither finished nor undone: it stays, with what it
/// names, and nothing may begin a transaction over it; failure says what stopped it.
bool RecoverInstallFolder(const WString& base, InstallState& state, ExtractFailure* failure = nullptr);

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
  bool WantsPayloadSettings() const { return rule_ != SettingsRule::kUsers; }

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
  RunRecord record_;
  WString staging_root_;
  bool begun_ = false;
  SettingsRule rule_ = SettingsRule::kPayloads;
};

}  // namespace zyv
