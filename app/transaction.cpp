#include "app/transaction.h"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/path_key.h"
#include "platform/product_names.h"

namespace zyv {
namespace {

/// The three trees a transaction moves files between, each a folder path ending with a separator:
/// the install base, and the staging and aside folders that mirror it.
struct Roots {
  WString base;
  WString staging;
  WString aside;
};

/// A root's folder, without its closing separator.
WString FolderOf(const WString& root) { return root.substr(0, root.size() - 1); }

Roots RootsOf(const WString& base, const WString& staging, const WString& aside) {
  const WString folder = InstallFolder(base) + kPathSeparator;
  return {base, folder + staging + kPathSeparator, folder + aside + kPathSeparator};
}

/// Paths by their identity on this system (platform/path_key.h).
using KeySet = std::unordered_set<WString>;

KeySet KeysOf(const std::vector<WString>& paths) {
  KeySet keys;
  for (const WString& p : paths) keys.insert(PathKey(p));
  return keys;
}

/// Every file and folder under root + prefix, as entries relative to root. False when a folder
/// cannot be listed: a walk that missed a folder's contents would plan, or undo, only part of it.
bool Walk(const WString& root, const WString& prefix, std::vector<WString>& files,
          std::vector<WString>& folders) {
  std::vector<FolderEntry> entries;
  if (!ListFolder(EntryPath(root, prefix), entries)) return false;
  for (const FolderEntry& e : entries) {
    const WString entry = prefix.empty() ? e.name : prefix + u'/' + e.name;
    if (e.folder) {
      folders.push_back(entry);
      if (!Walk(root, entry, files, folders)) return false;
    } else {
      files.push_back(entry);
    }
  }
  return true;
}

/// Deletes path and everything under it. What cannot go yet (a file a program still runs) stays
/// for the next run, whose sweep of old work folders deletes it.
void RemoveTree(const WString& path) {
  std::vector<FolderEntry> entries;
  if (!ListFolder(path, entries)) return;
  for (const FolderEntry& e : entries) {
    const WString inner = path + kPathSeparator + e.name;
    if (e.folder) {
      RemoveTree(inner);
    } else {
      RemoveFile(inner);
    }
  }
  RemoveFolder(path);
}

/// stem, or stem followed by a digit, whichever names nothing in folder yet.
WString FreeName(const WString& folder, const WString& stem) {
  for (char16_t n = u'0'; n <= u'9'; ++n) {
    const WString name = n == u'0' ? stem : stem + n;
    if (!PathExists(folder + kPathSeparator + name)) return name;
  }
  return stem;
}

bool Fail(ExtractFailure* failure, const WString& path, FailureKind kind = FailureKind::kSystem) {
  const int error = LastSystemError();
  if (failure != nullptr) {
    failure->path = path;
    failure->systemError = error;
    failure->kind = kind;
  }
  return false;
}

/// Moves files and folders between the trees by renames, making each folder they need once.
class Mover {
 public:
  /// Moves what is at from to entry's place under to_root, its parent folders made first.
  bool To(const WString& to_root, const WString& from, const WString& entry,
          ExtractFailure* failure = nullptr) {
    // The root first (the aside folder is made by the first file put aside).
    if (made_.insert(to_root).second) MakeDirectory(FolderOf(to_root));
    for (size_t k = entry.find(u'/'); k != WString::npos; k = entry.find(u'/', k + 1)) {
      const WString parent = EntryPath(to_root, entry.substr(0, k));
      if (made_.insert(parent).second) MakeDirectory(parent);
    }
    return RenameFile(from, EntryPath(to_root, entry)) || Fail(failure, from);
  }

 private:
  std::unordered_set<WString> made_;  // folders made, or found there, by this mover
};

/// What one pass of the commit has moved into the installation: the new tree's files and the
/// folders it added whole. A rollback in the same run moves back exactly these; one of a later run
/// (the pass was stopped) can only tell them by what staging lacks.
struct MovedIn {
  bool known = false;  // false: a later run's rollback
  KeySet entries;
  bool Has(const WString& entry) const { return entries.count(PathKey(entry)) != 0; }
};

/// The folders of sorted that lie in none of the others.
std::vector<WString> Outermost(const std::vector<WString>& sorted) {
  std::vector<WString> outer;
  for (const WString& f : sorted) {
    if (outer.empty() || !PathStartsWith(f, outer.back())) outer.push_back(f);
  }
  return outer;
}

/// The install folder itself: the tree's root, which the run holds and never moves (it may be a
/// volume mounted there, which the system shows as no plain folder).
bool IsInstallFolder(const WString& entry) { return SamePath(entry, kInstallFolderName); }

/// Whether the installation has at path a folder the new tree's folder can be: a folder itself or,
/// on POSIX, a link to one that a user put there (links are followed there, and what the tree's
/// files already found through it stay where they are).
bool FolderAt(const WString& path) {
  if constexpr (kNativePathStyle == PathStyle::kPosix)
    return HeldFolder(path).state() == HeldFolder::State::kHeld;
  return IsFolder(path);
}

bool SameBytes(const WString& a, const WString& b) {
  std::string x, y;
  return ReadWholeFile(a, x) && ReadWholeFile(b, y) && x == y;
}

/// The new tree's files: those moved in and those that were there already, and config.ini; sorted.
std::vector<WString> TreeFiles(const RunRecord& record) {
  std::vector<WString> tree = record.files;
  tree.insert(tree.end(), record.kept.begin(), record.kept.end());
  if (std::none_of(tree.begin(), tree.end(), [](const WString& f) { return SamePath(f, ConfigEntry()); }))
    tree.push_back(ConfigEntry());
  std::sort(tree.begin(), tree.end());
  tree.erase(std::unique(tree.begin(), tree.end()), tree.end());
  return tree;
}

/// The files the last installation installed that the new tree no longer holds: never the
/// settings, never the installer's own.
std::vector<WString> Dropped(const InstalledList& installed, const RunRecord& record) {
  const KeySet tree = KeysOf(TreeFiles(record));
  std::vector<WString> dropped;
  for (const WString& f : installed.files) {
    if (tree.count(PathKey(f)) == 0 && !IsOwnName(f)) dropped.push_back(f);
  }
  return dropped;
}

/// Whether entry went in with a folder the pass moved in whole.
bool InMovedFolder(const MovedIn& moved, const WString& entry) {
  for (size_t k = entry.rfind(u'/'); k != WString::npos && k > 0; k = entry.rfind(u'/', k - 1)) {
    if (moved.Has(entry.substr(0, k))) return true;
  }
  return false;
}

/// Moves every file of the record's tree that is still in staging in, what it replaces and what the
/// new tree drops aside, and removes the folders it clears. On a second pass (a stopped run rolled
/// forward) config.ini is moved in over one that is there only when the two are the same bytes, as
/// it was planned then; a file that is there otherwise is the user's now.
bool MoveAll(const Roots& r, const RunRecord& record, const InstalledList& installed, bool second_pass,
             MovedIn& moved, ExtractFailure* failure) {
  Mover mover;
  for (const WString& entry : Dropped(installed, record)) {
    const WString path = EntryPath(r.base, entry);
    if (PathExists(path) && !IsFolder(path) && !mover.To(r.aside, path, entry, failure)) return false;
  }
  // A file of the last installation where the new tree has a folder goes aside like a file the tree
  // replaces (the plan refused one of the user's; POSIX: a link there too, links being renamed
  // themselves; Windows refuses to move a link at all).
  for (const WString& folder : record.folders) {
    const WString path = EntryPath(r.base, folder);
    if (!IsInstallFolder(folder) && PathExists(path) && !FolderAt(path) &&
        !mover.To(r.aside, path, folder, failure))
      return false;
  }
  // A folder the new tree adds goes in whole, with all it holds: one rename instead of one a file.
  for (const WString& folder : Outermost(record.made)) {
    const WString from = EntryPath(r.staging, folder);
    if (PathExists(from) && !PathExists(EntryPath(r.base, folder))) {
      if (!mover.To(r.base, from, folder, failure)) return false;
      moved.entries.insert(PathKey(folder));
    }
  }
  // Folders the new tree holds as files, emptied of what the last installation put there: the
  // deepest first. One that is not empty now holds something of the user's.
  for (auto folder = record.cleared.rbegin(); folder != record.cleared.rend(); ++folder) {
    const WString path = EntryPath(r.base, *folder);
    if (IsFolder(path) && !RemoveFolder(path)) {
      const int error = LastSystemError();
      std::vector<FolderEntry> inside;
      const bool users = ListFolder(path, inside) && !inside.empty();
      Fail(failure, path, users ? FailureKind::kUsersInFolder : FailureKind::kSystem);
      if (failure != nullptr) failure->systemError = error;
      return false;
    }
  }
  for (const WString& entry : record.files) {
    const WString from = EntryPath(r.staging, entry);
    const WString to = EntryPath(r.base, entry);
    if (!PathExists(from)) {
      // Moved in already, on a second pass; on the first, gone from staging (a scanner's quarantine
      // takes a program it distrusts): the plan cannot be kept.
      if (!second_pass && !moved.Has(entry) && !InMovedFolder(moved, entry)) return Fail(failure, from);
      continue;
    }
    if (PathExists(to)) {
      if (second_pass && SamePath(entry, ConfigEntry()) && !SameBytes(from, to)) continue;
      // A folder where the file goes that the plan did not clear: not the installation's to move.
      if (IsFolder(to)) return Fail(failure, to, FailureKind::kUsersInFolder);
      if (!mover.To(r.aside, to, entry, failure)) return false;
    }
    if (!mover.To(r.base, from, entry, failure)) return false;
    moved.entries.insert(PathKey(entry));
  }
  return true;
}

/// Undoes the moves of MoveAll, whichever of them happened: the folders and files it moved in back
/// to staging, the folders it cleared made again, the files put aside back in place, and the
/// folders the commit made removed once empty again. False when something could not be moved back
/// (or the aside folder not read), with failure naming it.
bool RollBack(const Roots& r, const RunRecord& record, const MovedIn& moved, ExtractFailure* failure) {
  Mover mover;
  bool whole = true;
  // In: what this run moved in, or, for a run stopped on the way, what staging lacks.
  const auto went_in = [&](const WString& entry) {
    return moved.known ? moved.Has(entry) : !PathExists(EntryPath(r.staging, entry));
  };
  for (const WString& folder : Outermost(record.made)) {
    const WString in = EntryPath(r.base, folder);
    if (went_in(folder) && IsFolder(in)) whole = mover.To(r.staging, in, folder, failure) && whole;
  }
  for (const WString& entry : record.files) {
    const WString in = EntryPath(r.base, entry);
    if (went_in(entry) && !PathExists(EntryPath(r.staging, entry)) && PathExists(in) && !IsFolder(in))
      whole = mover.To(r.staging, in, entry, failure) && whole;
  }
  for (const WString& folder : record.cleared) {
    const WString path = EntryPath(r.base, folder);
    if (!PathExists(path) && !MakeDirectory(path)) whole = Fail(failure, path) && whole;
  }
  std::vector<WString> aside, aside_folders;
  // A link where the aside folder goes holds nothing of the run's on Windows, where nothing is ever
  // moved through one; on POSIX the moves followed it, and what they put there comes back.
  if (PathExists(FolderOf(r.aside)) && !Walk(r.aside, u"", aside, aside_folders) &&
      !(kNativePathStyle == PathStyle::kWindows && LastSystemError() == LinkRefusedError())) {
    whole = Fail(failure, FolderOf(r.aside)) && whole;
  }
  for (const WString& entry : aside)
    whole = mover.To(r.base, EntryPath(r.aside, entry), entry, failure) && whole;
  std::vector<WString> made = record.made;
  std::sort(made.rbegin(), made.rend());  // a folder's insides before itself
  for (const WString& folder : made) RemoveFolder(EntryPath(r.base, folder));
  return whole;
}

/// Deletes the run's staging and aside folders with whatever they still hold.
void RemoveWorkFolders(const Roots& r) {
  RemoveTree(FolderOf(r.aside));
  RemoveTree(FolderOf(r.staging));
}

/// What an entry is called for a moment, beside itself, while it is renamed in case alone.
constexpr char16_t kCaseStep[] = u".ZyvInstall-case";

/// Where one path is two names (Windows), a name the disk holds in another case than the new tree
/// gives it is renamed to the tree's, a folder before what it holds. In two steps, through a name
/// beside it: a rename that changes case alone is one that not every file system makes. A run
/// stopped between them leaves the committed record, and its next pass here finishes the rename.
/// Otherwise best effort: the old spelling still leads to the right file, and the next update
/// tries again.
void TakeTreeNames(const Roots& r, const RunRecord& record) {
  if constexpr (kNativePathStyle == PathStyle::kWindows) {
    std::unordered_map<WString, WString> names;  // identity -> the tree's name
    for (const std::vector<WString>* list : {&record.files, &record.kept, &record.folders}) {
      for (const WString& entry : *list) names.emplace(PathKey(entry), entry);
    }
    std::vector<WString> folders = record.folders;
    std::sort(folders.begin(), folders.end());  // a folder before what it holds
    const std::u16string_view step = kCaseStep;
    for (const WString& folder : folders) {
      std::vector<FolderEntry> entries;
      if (!ListFolder(EntryPath(r.base, folder), entries)) continue;
      for (const FolderEntry& e : entries) {
        const bool halfway = e.name.size() > step.size() &&
                             SamePath(std::u16string_view(e.name).substr(e.name.size() - step.size()), step);
        const WString name = halfway ? e.name.substr(0, e.name.size() - step.size()) : e.name;
        const auto tree = names.find(PathKey(folder + u'/' + name));
        if (tree == names.end() || (!halfway && LastName(tree->second) == e.name)) continue;
        const WString from = EntryPath(r.base, folder + u'/' + e.name), to = EntryPath(r.base, tree->second);
        if (halfway) {
          if (!PathExists(to)) RenameFile(from, to);
        } else if (const WString between = from + kCaseStep;
                   RenameFile(from, between) && !RenameFile(between, to)) {
          RenameFile(between, from);
        }
      }
    }
  }
}

/// After the commit point: the folders the old tree had and the new one does not go when empty,
/// names take the tree's spelling, the list of what is installed is written, and the staging and
/// aside folders and the record go. A list that cannot be written leaves the record committed, for
/// the next run to finish.
bool Finish(const Roots& r, const RunRecord& record, const InstalledList& installed) {
  const KeySet tree_folders = KeysOf(record.folders);
  std::vector<WString> old = installed.folders;
  std::sort(old.rbegin(), old.rend());
  for (const WString& folder : old) {
    if (!IsInstallFolder(folder) && tree_folders.count(PathKey(folder)) == 0)
      RemoveFolder(EntryPath(r.base, folder));
  }
  TakeTreeNames(r, record);
  // config.ini counts as installed whoever's it is now: the tree the next run finds is the same.
  if (!WriteInstalledList(r.base, {TreeFiles(record), record.folders})) return false;
  RemoveWorkFolders(r);
  ClearRunRecord(r.base);
  return true;
}

enum class Outcome {
  kCommitted,   ///< past the commit point
  kRolledBack,  ///< every move undone, the work folders and the record gone
  kStuck,       ///< neither: the record (committing) and what it names stay for the next run
};

/// Rolls forward a run stopped in its commit, or back when that cannot be done. With durable,
/// everything is on disk before the commit point says so. For kRolledBack failure names what
/// stopped the commit, for kStuck what stopped the rollback.
Outcome Complete(const Roots& r, RunRecord& record, const InstalledList& installed, ExtractFailure* failure,
                 bool second_pass, bool durable) {
  MovedIn moved;
  moved.known = !second_pass;
  if (MoveAll(r, record, installed, second_pass, moved, failure)) {
    if (durable) FlushVolume(r.base);
    record.phase = Phase::kCommitted;
    if (WriteRunRecord(r.base, record)) {
      Finish(r, record, installed);
      return Outcome::kCommitted;
    }
    Fail(failure, InstallFolder(r.base));
  }
  ExtractFailure undo;
  if (!RollBack(r, record, moved, &undo)) {
    if (failure != nullptr)
      *failure = {undo.path, undo.systemError, failure->unpackedSize, FailureKind::kUnfinished};
    return Outcome::kStuck;
  }
  // Undone. Said so before the work folders go: a run stopped while it deletes them must not take
  // what is left of staging for a commit to finish.
  record.phase = Phase::kStaging;
  if (!WriteRunRecord(r.base, record)) return Outcome::kRolledBack;  // the next run finishes undoing
  RemoveWorkFolders(r);
  ClearRunRecord(r.base);
  return Outcome::kRolledBack;
}

/// The installer's own file name, without its folder.
WString InstallerName() {
  WString installer = ModuleFileName();
  if (const auto separator = installer.rfind(kPathSeparator); separator != WString::npos) {
    installer.erase(0, separator + 1);
  }
  return installer;
}

}  // namespace

SettingsRule SettingsRuleFor(const InstallState& state, bool config_there) {
  if (!config_there || state.settings == SettingsPlace::kNone) return SettingsRule::kPayloads;
  return state.config_may_be_payloads ? SettingsRule::kUsersUnlessPayloads : SettingsRule::kUsers;
}

bool RecoverInstallFolder(const WString& base, InstallState& state, ExtractFailure* failure) {
  const LinkGuard guard(base);
  const WString folder = InstallFolder(base);
  RunRecord record;
  bool stuck = false;
  if (ReadRunRecord(base, record)) {
    const Roots r = RootsOf(base, record.staging, record.aside);
    // What the last run installed: read only by the phases that move or remove files.
    const auto installed = [&base] {
      InstalledList list;
      ReadInstalledList(base, list);
      return list;
    };
    switch (record.phase) {
      case Phase::kLegacy:
        // The user's file back in its place: from now on it is never moved. Until it is, the
        // record that says where it is stays.
        if (state.settings == SettingsPlace::kBackup) {
          stuck = !ReplaceFileAtomically(BackupPath(base), ConfigPath(base));
          if (stuck) {
            Fail(failure, BackupPath(base), FailureKind::kUnfinished);
            break;
          }
          state.settings = SettingsPlace::kConfig;
        }
        ClearRunRecord(base);
        break;
      case Phase::kStaging:
        RemoveWorkFolders(r);
        ClearRunRecord(base);
        break;
      case Phase::kCommitting:
        stuck = Complete(r, record, installed(), failure, true, true) == Outcome::kStuck;
        break;
      case Phase::kCommitted:
        // The new tree is in; until its list is written, the record that names it stays, and no
        // run writes over it.
        stuck = !Finish(r, record, installed());
        if (stuck)
          Fail(failure, InstallFolder(base) + kPathSeparator + u"ZyvInstall.installed",
               FailureKind::kUnfinished);
        break;
      case Phase::kSettled:
        break;
    }
  }
  // Staging and aside folders that no record needs any more: what a program held at the end of an
  // earlier run, or what a run stopped before its record named them.
  RunRecord still;
  const bool pending = ReadRunRecord(base, still) && still.phase != Phase::kSettled;
  std::vector<FolderEntry> entries;
  ListFolder(folder, entries);
  const WString own = WString(kInstallFolderName) + u'/';
  for (const FolderEntry& e : entries) {
    const bool ours = PathKey(own + e.name).starts_with(PathKey(own + kStagingStem)) ||
                      PathKey(own + e.name).starts_with(PathKey(own + kAsideStem));
    const bool named = pending && (SamePath(e.name, still.staging) || SamePath(e.name, still.aside));
    if (e.folder && ours && !named) RemoveTree(folder + kPathSeparator + e.name);
  }
  return !stuck;
}

Transaction::Transaction(const WString& base, const InstallState& state, ExtractFailure* failure)
    : base_(base) {
  const WString folder = InstallFolder(base);
  // A commit that a stopped run left and that could not be completed holds the only copy of some
  // files: its record is never written over (RecoverInstallFolder says so before any run gets here).
  if (RunRecord pending; ReadRunRecord(base, pending) &&
                         (pending.phase == Phase::kCommitting || pending.phase == Phase::kCommitted)) {
    Fail(failure, folder, FailureKind::kUnfinished);
    return;
  }
  if (!PathExists(base)) MakeDirectory(base);
  MakeDirectory(folder);
  record_.phase = Phase::kStaging;
  rule_ = SettingsRuleFor(state, PathExists(ConfigPath(base)));
  // The user's file by its fingerprint; "none" where the payload's copy may yet go in, so that a
  // run that finds this record takes a config.ini then for that copy unless its bytes differ.
  record_.settings = rule_ == SettingsRule::kUsers ? SettingsOf(ConfigPath(base)) : std::string("none");
  record_.staging = FreeName(folder, kStagingStem);
  record_.aside = FreeName(folder, kAsideStem);
  // The record first: a run stopped from here on is known to the next, which deletes its staging.
  begun_ = WriteRunRecord(base, record_) || Fail(failure, folder);
  const Roots r = RootsOf(base, record_.staging, record_.aside);
  staging_root_ = r.staging;
  if (begun_ && !MakeDirectory(FolderOf(r.staging))) begun_ = Fail(failure, r.staging);
}

void Transaction::Abandon() {
  if (!begun_) return;
  RemoveTree(FolderOf(staging_root_));
  ClearRunRecord(base_);
}

int Transaction::Commit(const std::vector<KeptEntry>& kept, ExtractFailure* failure) {
  const Roots r = RootsOf(base_, record_.staging, record_.aside);
  std::vector<WString> files, folders;
  if (!Walk(r.staging, u"", files, folders)) {
    Fail(failure, FolderOf(r.staging));
    Abandon();
    return kExtractNotWritten;
  }
  // The files that were there already stay where they are, and so do their folders.
  for (const KeptEntry& k : kept) {
    (k.folder ? folders : record_.kept).push_back(k.name);
    for (size_t at = k.name.find(u'/'); at != WString::npos; at = k.name.find(u'/', at + 1)) {
      folders.push_back(k.name.substr(0, at));
    }
  }
  // Nothing outside the install folder, and none of the installer's own names: the records could
  // not name it, and the installer puts nothing there.
  const auto product = [](bool folder) {
    return [folder](const WString& e) { return IsProductEntry(e, folder); };
  };
  if (!std::all_of(files.begin(), files.end(), product(false)) ||
      !std::all_of(record_.kept.begin(), record_.kept.end(), product(false)) ||
      !std::all_of(folders.begin(), folders.end(), product(true))) {
    Abandon();
    return kExtractRefused;
  }

  // config.ini by the run's rule: the payload's copy, unpacked, gets the installer's file name and
  // goes in where it is to replace nothing of the user's.
  const WString staged_config = EntryPath(r.staging, ConfigEntry());
  const WString config = ConfigPath(base_);
  // The user's file gone since the run began: the payload's copy where it was unpacked; where it
  // was not (the user's was to stay), none, and the next run installs it.
  const SettingsRule rule = PathExists(config) ? rule_ : SettingsRule::kPayloads;
  bool payloads = rule == SettingsRule::kPayloads && PathExists(staged_config);
  if (rule != SettingsRule::kUsers && PathExists(staged_config)) {
    const bool copy_there = rule == SettingsRule::kUsersUnlessPayloads && SameBytes(config, staged_config);
    if (!WriteIniValue(kSettingsSection, kInstallerKey, InstallerName(), staged_config)) {
      Fail(failure, staged_config);
      Abandon();
      return kExtractNotWritten;
    }
    payloads = payloads || copy_there ||
               (rule == SettingsRule::kUsersUnlessPayloads && SameBytes(config, staged_config));
  }
  files.erase(
      std::remove_if(files.begin(), files.end(), [](const WString& f) { return SamePath(f, ConfigEntry()); }),
      files.end());
  if (payloads) files.push_back(ConfigEntry());
  std::sort(files.begin(), files.end());
  std::sort(folders.begin(), folders.end());
  folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
  std::sort(record_.kept.begin(), record_.kept.end());
  record_.files = std::move(files);
  record_.folders = std::move(folders);

  InstalledList installed;
  ReadInstalledList(base_, installed);
  // What the commit replaces or drops: the files whose programs are asked to close, and the old
  // bytes that a power cut after the commit point could cost.
  std::vector<WString> replaced;
  for (const WString& entry : Dropped(installed, record_)) replaced.push_back(EntryPath(r.base, entry));
  const KeySet installed_files = KeysOf(installed.files), installed_folders = KeysOf(installed.folders);
  for (const WString& f : record_.folders) {
    const WString path = EntryPath(r.base, f);
    if (IsInstallFolder(f) || FolderAt(path)) continue;
    record_.made.push_back(f);
    if (!PathExists(path)) continue;
    // A file where the new tree has a folder goes aside when the last installation installed it;
    // anything else there is the user's, which no update moves.
    if (installed_files.count(PathKey(f)) == 0) {
      Fail(failure, path, FailureKind::kUsersFile);
      Abandon();
      return kExtractNotWritten;
    }
    replaced.push_back(path);
  }
  // A folder where the new tree has a file is cleared, when all it holds is what the last
  // installation installed (it goes aside as dropped); anything else there is the user's, which
  // no update moves.
  for (const WString& entry : record_.files) {
    const WString path = EntryPath(r.base, entry);
    if (!IsFolder(path)) {
      if (PathExists(path)) replaced.push_back(path);
      continue;
    }
    std::vector<WString> inner_files, inner_folders;
    bool ours =
        installed_folders.count(PathKey(entry)) != 0 && Walk(r.base, entry, inner_files, inner_folders);
    for (const WString& f : inner_files) ours = ours && installed_files.count(PathKey(f)) != 0;
    for (const WString& f : inner_folders) ours = ours && installed_folders.count(PathKey(f)) != 0;
    if (!ours) {
      Fail(failure, path, FailureKind::kUsersInFolder);
      Abandon();
      return kExtractNotWritten;
    }
    record_.cleared.push_back(entry);
    record_.cleared.insert(record_.cleared.end(), inner_folders.begin(), inner_folders.end());
  }
  std::sort(record_.cleared.begin(), record_.cleared.end());  // a folder before what it holds
  // The staged files durable before any of them is moved in, the plan before the first move; only
  // when old files are at stake. A commit that only adds files risks none: a new file a power cut
  // leaves short is one the next run finds by its size and checksum and writes again.
  const bool durable = !replaced.empty();
  if (durable) FlushVolume(r.staging);
  record_.phase = Phase::kCommitting;
  if (!WriteRunRecord(base_, record_)) {
    Fail(failure, InstallFolder(base_));
    Abandon();
    return kExtractNotWritten;
  }
  AskHoldersToClose(replaced, InstallFolder(base_));
  if (g_before_first_move != nullptr) g_before_first_move();
  if (Complete(r, record_, installed, failure, false, durable) != Outcome::kCommitted)
    return kExtractNotWritten;
  // A file left in place gets the archive's attributes again where they differ.
  for (const KeptEntry& k : kept) {
    if (k.attribDefined && !k.folder)
      ApplyFileAttributes(EntryPath(r.base, k.name), k.attrib, FileCreationMask());
  }
  return kExtractOk;
}

}  // namespace zyv
