#include "app/transaction.h"

#include <algorithm>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/product_names.h"

namespace zyv {
namespace {

/// The installer's own names in the install folder, which no archive entry may take.
constexpr char16_t kOwnPrefix[] = u"ZyvInstall.";

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

/// Every file and folder under root + prefix, as entries relative to root.
void Walk(const WString& root, const WString& prefix, std::vector<WString>& files,
          std::vector<WString>& folders) {
  std::vector<FolderEntry> entries;
  if (!ListFolder(EntryPath(root, prefix), entries)) return;
  for (const FolderEntry& e : entries) {
    const WString entry = prefix.empty() ? e.name : prefix + u'/' + e.name;
    if (e.folder) {
      folders.push_back(entry);
      Walk(root, entry, files, folders);
    } else {
      files.push_back(entry);
    }
  }
}

/// Deletes path and everything under it. A file that cannot go yet (a program still runs it) is
/// deleted at the next restart where the system can, else by the next run.
void RemoveTree(const WString& path) {
  std::vector<FolderEntry> entries;
  if (!ListFolder(path, entries)) return;
  bool emptied = true;
  for (const FolderEntry& e : entries) {
    const WString inner = path + kPathSeparator + e.name;
    if (e.folder) {
      RemoveTree(inner);
    } else if (!RemoveFile(inner)) {
      DeleteAtRestart(inner);
      emptied = false;
    }
  }
  if (!RemoveFolder(path) && !emptied) DeleteAtRestart(path);
}

/// stem, or stem followed by a digit, whichever names nothing in folder yet.
WString FreeName(const WString& folder, const WString& stem) {
  for (char16_t n = u'0'; n <= u'9'; ++n) {
    const WString name = n == u'0' ? stem : stem + n;
    if (!PathExists(folder + kPathSeparator + name)) return name;
  }
  return stem;
}

bool Fail(ExtractFailure* failure, const WString& path) {
  const int error = LastSystemError();
  if (failure != nullptr) {
    failure->path = path;
    failure->systemError = error;
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

/// The folders of sorted that lie in none of the others.
std::vector<WString> Outermost(const std::vector<WString>& sorted) {
  std::vector<WString> outer;
  for (const WString& f : sorted) {
    if (outer.empty() ||
        !(f.starts_with(outer.back()) && f.size() > outer.back().size() && f[outer.back().size()] == u'/')) {
      outer.push_back(f);
    }
  }
  return outer;
}

bool SameBytes(const WString& a, const WString& b) {
  std::string x, y;
  return ReadWholeFile(a, x) && ReadWholeFile(b, y) && x == y;
}

/// Whether entry is one of the installer's own files in the install folder.
bool IsOwnName(const WString& entry) {
  const WString own = WString(kInstallFolderName) + u'/' + kOwnPrefix;
  return entry.compare(0, own.size(), own) == 0;
}

/// The new tree's files: those moved in and those that were there already, sorted.
std::vector<WString> TreeFiles(const RunRecord& record) {
  std::vector<WString> tree = record.files;
  tree.insert(tree.end(), record.kept.begin(), record.kept.end());
  if (!std::binary_search(record.files.begin(), record.files.end(), ConfigEntry()))
    tree.push_back(ConfigEntry());
  std::sort(tree.begin(), tree.end());
  tree.erase(std::unique(tree.begin(), tree.end()), tree.end());
  return tree;
}

/// The files the last installation installed that the new tree no longer holds: never the
/// settings, never the installer's own.
std::vector<WString> Dropped(const InstalledList& installed, const RunRecord& record) {
  const std::vector<WString> tree = TreeFiles(record);
  std::vector<WString> dropped;
  for (const WString& f : installed.files) {
    if (!std::binary_search(tree.begin(), tree.end(), f) && !IsOwnName(f)) dropped.push_back(f);
  }
  return dropped;
}

/// Moves every file of the record's tree that is still in staging in, what it replaces and what the
/// new tree drops aside. On a second pass (a stopped run rolled forward) config.ini is moved in over
/// one that is there only when the two are the same bytes, as it was planned then; a file that is
/// there otherwise is the user's now.
bool MoveAll(const Roots& r, const RunRecord& record, const InstalledList& installed, bool second_pass,
             ExtractFailure* failure) {
  Mover mover;
  for (const WString& entry : Dropped(installed, record)) {
    const WString path = EntryPath(r.base, entry);
    if (PathExists(path) && !IsFolder(path) && !mover.To(r.aside, path, entry, failure)) return false;
  }
  // A folder the new tree adds goes in whole, with all it holds: one rename instead of one a file.
  for (const WString& folder : Outermost(record.made)) {
    const WString from = EntryPath(r.staging, folder);
    if (PathExists(from) && !PathExists(EntryPath(r.base, folder)) &&
        !mover.To(r.base, from, folder, failure)) {
      return false;
    }
  }
  for (const WString& entry : record.files) {
    const WString from = EntryPath(r.staging, entry);
    const WString to = EntryPath(r.base, entry);
    if (!PathExists(from)) continue;  // moved in already
    if (PathExists(to)) {
      if (second_pass && entry == ConfigEntry() && !SameBytes(from, to)) continue;
      // A folder where the file goes is not the installation's to move: it may hold the user's files.
      if (IsFolder(to)) return Fail(failure, to);
      if (!mover.To(r.aside, to, entry, failure)) return false;
    }
    if (!mover.To(r.base, from, entry, failure)) return false;
  }
  return true;
}

/// Undoes the moves of MoveAll, whichever of them happened: the folders and files it moved in back
/// to staging, the files put aside back in place, and the folders the commit made removed once
/// empty again. False when something could not be moved back.
bool RollBack(const Roots& r, const RunRecord& record) {
  Mover mover;
  bool whole = true;
  for (const WString& folder : Outermost(record.made)) {
    const WString in = EntryPath(r.base, folder);
    if (!PathExists(EntryPath(r.staging, folder)) && PathExists(in))
      whole = mover.To(r.staging, in, folder) && whole;
  }
  for (const WString& entry : record.files) {
    const WString from = EntryPath(r.staging, entry);
    const WString in = EntryPath(r.base, entry);
    if (!PathExists(from) && PathExists(in)) whole = mover.To(r.staging, in, entry) && whole;
  }
  std::vector<WString> aside, aside_folders;
  Walk(r.aside, u"", aside, aside_folders);
  for (const WString& entry : aside) whole = mover.To(r.base, EntryPath(r.aside, entry), entry) && whole;
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

/// After the commit point: the folders the old tree had and the new one does not go when empty, the
/// list of what is installed is written, and the staging and aside folders and the record go.
void Finish(const Roots& r, const RunRecord& record, const InstalledList& installed) {
  std::vector<WString> old = installed.folders;
  std::sort(old.rbegin(), old.rend());
  for (const WString& folder : old) {
    if (folder != kInstallFolderName &&
        std::find(record.folders.begin(), record.folders.end(), folder) == record.folders.end()) {
      RemoveFolder(EntryPath(r.base, folder));
    }
  }
  // config.ini counts as installed whoever's it is now: the tree the next run finds is the same.
  WriteInstalledList(r.base, {TreeFiles(record), record.folders});
  RemoveWorkFolders(r);
  ClearRunRecord(r.base);
}

/// Rolls forward a run stopped in its commit, or back when that cannot be done; false when neither
/// could be completed (the record stays for the next run). With durable, everything is on disk
/// before the commit point says so.
bool Complete(const Roots& r, RunRecord& record, const InstalledList& installed, ExtractFailure* failure,
              bool second_pass, bool durable) {
  if (MoveAll(r, record, installed, second_pass, failure)) {
    if (durable) FlushVolume(r.base);
    record.phase = Phase::kCommitted;
    if (WriteRunRecord(r.base, record)) {
      Finish(r, record, installed);
      return true;
    }
    Fail(failure, InstallFolder(r.base));
  }
  if (RollBack(r, record)) {
    RemoveWorkFolders(r);
    ClearRunRecord(r.base);
  }
  return false;
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

void RecoverInstallFolder(const WString& base, InstallState& state) {
  const WString folder = InstallFolder(base);
  RunRecord record;
  const bool found = ReadRunRecord(base, record);
  if (found) {
    const Roots r = RootsOf(base, record.staging, record.aside);
    // What the last run installed: read only by the phases that move or remove files.
    const auto installed = [&base] {
      InstalledList list;
      ReadInstalledList(base, list);
      return list;
    };
    switch (record.phase) {
      case Phase::kLegacy:
        // The user's file back in its place: from now on it is never moved.
        if (state.settings == SettingsPlace::kBackup &&
            ReplaceFileAtomically(BackupPath(base), ConfigPath(base))) {
          state.settings = SettingsPlace::kConfig;
        }
        ClearRunRecord(base);
        break;
      case Phase::kStaging:
        RemoveWorkFolders(r);
        ClearRunRecord(base);
        break;
      case Phase::kCommitting:
        Complete(r, record, installed(), nullptr, true, true);
        break;
      case Phase::kCommitted:
        Finish(r, record, installed());
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
  for (const FolderEntry& e : entries) {
    const bool ours = e.name.starts_with(kStagingStem) || e.name.starts_with(kAsideStem);
    if (e.folder && ours && !(pending && (e.name == still.staging || e.name == still.aside))) {
      RemoveTree(folder + kPathSeparator + e.name);
    }
  }
}

Transaction::Transaction(const WString& base, const InstallState& state, ExtractFailure* failure)
    : base_(base), state_(state) {
  const WString folder = InstallFolder(base);
  if (!PathExists(base)) MakeDirectory(base);
  MakeDirectory(folder);
  record_.phase = Phase::kStaging;
  // No settings of the user's yet, or a config.ini that may be the payload's copy (see above).
  const bool none_yet = state.settings == SettingsPlace::kNone || state.config_may_be_payloads;
  record_.settings = none_yet ? std::string("none") : SettingsOf(ConfigPath(base));
  // Otherwise the user's file stays, and the payload's copy is not needed.
  wants_settings_ = none_yet || !PathExists(ConfigPath(base));
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
  Walk(r.staging, u"", files, folders);
  // The files that were there already stay where they are, and so do their folders.
  for (const KeptEntry& k : kept) {
    (k.folder ? folders : record_.kept).push_back(k.name);
    for (size_t at = k.name.find(u'/'); at != WString::npos; at = k.name.find(u'/', at + 1)) {
      folders.push_back(k.name.substr(0, at));
    }
  }
  if (std::any_of(files.begin(), files.end(), IsOwnName) ||
      std::any_of(folders.begin(), folders.end(), IsOwnName)) {
    Abandon();
    return kExtractRefused;
  }

  // config.ini: the user's stays and the payload's copy is not moved in; without one the payload's
  // copy goes in, with the installer's file name recorded.
  const WString staged_config = EntryPath(r.staging, ConfigEntry());
  const WString config = ConfigPath(base_);
  bool keep = !wants_settings_ || (state_.settings != SettingsPlace::kNone && PathExists(config));
  const bool may_be_payloads = keep && state_.config_may_be_payloads;
  bool payloads_copy = may_be_payloads && SameBytes(config, staged_config);
  if (!keep || may_be_payloads)
    WriteIniValue(kSettingsSection, kInstallerKey, InstallerName(), staged_config);
  if (may_be_payloads && !payloads_copy) payloads_copy = SameBytes(config, staged_config);  // name recorded
  if (payloads_copy) keep = false;
  files.erase(std::remove(files.begin(), files.end(), ConfigEntry()), files.end());
  // Without settings of its own, a payload gets the file the profile writer made.
  if (!keep) files.push_back(ConfigEntry());
  std::sort(files.begin(), files.end());
  std::sort(folders.begin(), folders.end());
  folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
  std::sort(record_.kept.begin(), record_.kept.end());

  record_.files = std::move(files);
  record_.folders = std::move(folders);
  for (const WString& f : record_.folders) {
    if (!PathExists(EntryPath(r.base, f))) record_.made.push_back(f);
  }
  // What the commit replaces or drops: the files whose programs are asked to close, and the old
  // bytes that a power cut after the commit point could cost.
  std::vector<WString> replaced;
  InstalledList installed;
  ReadInstalledList(base_, installed);
  for (const WString& entry : Dropped(installed, record_)) replaced.push_back(EntryPath(r.base, entry));
  for (const WString& entry : record_.files) {
    if (PathExists(EntryPath(r.base, entry))) replaced.push_back(EntryPath(r.base, entry));
  }
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
  AskHoldersToClose(replaced);
  if (!Complete(r, record_, installed, failure, false, durable)) return kExtractNotWritten;
  // A file left in place gets the archive's attributes again where they differ.
  for (const KeptEntry& k : kept) {
    if (k.attribDefined && !k.folder)
      ApplyFileAttributes(EntryPath(r.base, k.name), k.attrib, FileCreationMask());
  }
  return kExtractOk;
}

}  // namespace zyv
