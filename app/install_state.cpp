#include "app/install_state.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "payload/extract_shared.h"
#include "platform/path_key.h"
#include "platform/product_names.h"
#include "platform/text.h"

namespace zyv {
namespace {

constexpr char16_t kRecordName[] = u"ZyvInstall.pending";
constexpr char16_t kInstalledName[] = u"ZyvInstall.installed";
constexpr std::string_view kRecordHeading = "ZyvInstall pending installation\n";
constexpr std::string_view kInstalledHeading = "ZyvInstall installed files\n";
constexpr std::string_view kNoSettings = "none";

struct PhaseName {
  Phase phase;
  std::string_view name;
};
constexpr PhaseName kPhaseNames[] = {{Phase::kStaging, "staging"},
                                     {Phase::kCommitting, "committing"},
                                     {Phase::kCommitted, "committed"},
                                     {Phase::kSettled, "settled"}};

WString RecordPath(const WString& base) { return InstallFolder(base) + kPathSeparator + kRecordName; }
WString InstalledPath(const WString& base) { return InstallFolder(base) + kPathSeparator + kInstalledName; }

/// "SIZE HASH": the file's size and its 64-bit FNV-1a, enough to tell the user's file from the
/// payload's copy or an older leftover, which is all it is asked to do.
std::string Fingerprint(const std::string& bytes) {
  std::uint64_t hash = 0xcbf29ce484222325u;
  for (const unsigned char c : bytes) hash = (hash ^ c) * 0x100000001b3u;
  // Spelt out rather than formatted: a printf in the Windows installer would bring in its whole
  // implementation for this one line.
  std::string hex(16, '0');
  for (int i = 15; i >= 0; --i, hash >>= 4) hex[static_cast<size_t>(i)] = "0123456789abcdef"[hash & 0xF];
  return std::to_string(bytes.size()) + " " + hex;
}

/// Whether the file at path is the one the settings line describes.
bool Matches(const WString& path, std::string_view settings) {
  std::string bytes;
  return ReadWholeFile(path, bytes) && Fingerprint(bytes) == settings;
}

/// A path on a line of its own: the line breaks and the escape character itself escaped.
std::string Escaped(const WString& path) {
  std::string out;
  for (const char c : Utf16ToUtf8(path)) {
    if (c == '%') {
      out += "%25";
    } else if (c == '\n') {
      out += "%0A";
    } else if (c == '\r') {
      out += "%0D";
    } else {
      out += c;
    }
  }
  return out;
}

WString Unescaped(std::string_view line) {
  std::string out;
  for (size_t i = 0; i < line.size(); ++i) {
    const std::string_view code = line.substr(i, 3);
    const char c = code == "%25" ? '%' : code == "%0A" ? '\n' : code == "%0D" ? '\r' : '\0';
    if (c != '\0') {
      out += c;
      i += 2;
    } else {
      out += line[i];
    }
  }
  return Utf8ToUtf16(out);
}

void AppendPaths(std::string& text, std::string_view key, const std::vector<WString>& paths) {
  for (const WString& p : paths) {
    text += key;
    text += ' ';
    text += Escaped(p);
    text += '\n';
  }
}

/// Calls take(key, value) for each "key value" line of text after heading; false when text does not
/// start with heading.
template <typename Take>
bool ForEachLine(std::string_view text, std::string_view heading, Take take) {
  if (!text.starts_with(heading)) return false;
  text.remove_prefix(heading.size());
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    const size_t space = line.find(' ');
    take(line.substr(0, space),
         space == std::string_view::npos ? std::string_view() : line.substr(space + 1));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return true;
}

}  // namespace

WString InstallFolder(const WString& base) { return base + kInstallFolderName; }
WString ConfigPath(const WString& base) { return InstallFolder(base) + kPathSeparator + kConfigName; }
WString BackupPath(const WString& base) { return ConfigPath(base) + kBackupSuffix; }
WString ConfigEntry() { return WString(kInstallFolderName) + u'/' + kConfigName; }

bool IsOwnName(const WString& entry) {
  return PathKey(entry).starts_with(PathKey(WString(kInstallFolderName) + u'/' + kOwnPrefix));
}

bool IsProductEntry(const WString& entry, bool folder) {
  // The one spelling the installer writes: names joined by single "/", none empty or ".", so that
  // no second spelling of a path (dudizu//config.ini) passes for another entry.
  for (size_t start = 0; start <= entry.size();) {
    const size_t end = std::min(entry.find(u'/', start), entry.size());
    const std::u16string_view name(entry.data() + start, end - start);
    if (name.empty() || name == u"." ||
        (kNativePathStyle == PathStyle::kWindows && name.find(u'\\') != std::u16string_view::npos)) {
      return false;
    }
    start = end + 1;
  }
  const bool inside =
      PathStartsWith(entry, kInstallFolderName) && (folder || !SamePath(entry, kInstallFolderName));
  return inside && EntryNameIsSafe(entry) && !IsOwnName(entry);
}

std::string SettingsOf(const WString& path) {
  std::string bytes;
  return ReadWholeFile(path, bytes) ? Fingerprint(bytes) : std::string(kNoSettings);
}

namespace {

/// Whether name is stem, or stem and one digit: the only names a run gives its folders.
bool IsRunFolderName(const WString& name, std::u16string_view stem) {
  return name.starts_with(stem) &&
         (name.size() == stem.size() ||
          (name.size() == stem.size() + 1 && name.back() >= u'0' && name.back() <= u'9'));
}

bool AllProducts(const std::vector<WString>& paths, bool folders) {
  return std::all_of(paths.begin(), paths.end(),
                     [folders](const WString& p) { return IsProductEntry(p, folders); });
}

}  // namespace

bool ReadRunRecord(const WString& base, RunRecord& record) {
  std::string text;
  if (!ReadWholeFile(RecordPath(base), text)) return false;
  record = RunRecord{};
  record.phase = Phase::kLegacy;  // until a phase line says otherwise
  // A record that is not ours at all still says that a run was stopped: read as an earlier
  // installer's, it keeps whatever settings file is there.
  ForEachLine(text, kRecordHeading, [&](std::string_view key, std::string_view value) {
    if (key == "settings") {
      record.settings = value;
    } else if (key == "phase") {
      for (const PhaseName& p : kPhaseNames) {
        if (p.name == value) record.phase = p.phase;
      }
    } else if (key == "staging") {
      record.staging = Unescaped(value);
    } else if (key == "aside") {
      record.aside = Unescaped(value);
    } else if (key == "file") {
      record.files.push_back(Unescaped(value));
    } else if (key == "folder") {
      record.folders.push_back(Unescaped(value));
    } else if (key == "made") {
      record.made.push_back(Unescaped(value));
    } else if (key == "kept") {
      record.kept.push_back(Unescaped(value));
    } else if (key == "cleared") {
      record.cleared.push_back(Unescaped(value));
    }
  });
  // A record whose folders or paths are not a run's own is honoured for its settings alone: nothing
  // is moved or deleted by it.
  const bool sound = IsRunFolderName(record.staging, kStagingStem) &&
                     IsRunFolderName(record.aside, kAsideStem) && AllProducts(record.files, false) &&
                     AllProducts(record.folders, true) && AllProducts(record.made, false) &&
                     AllProducts(record.kept, false) && AllProducts(record.cleared, false);
  if (!sound) record.phase = record.phase == Phase::kSettled ? Phase::kSettled : Phase::kLegacy;
  return true;
}

bool WriteRunRecord(const WString& base, const RunRecord& record) {
  std::string text(kRecordHeading);
  text += "settings " + record.settings + "\n";
  for (const PhaseName& p : kPhaseNames) {
    if (p.phase == record.phase) text += "phase " + std::string(p.name) + "\n";
  }
  text += "staging " + Escaped(record.staging) + "\naside " + Escaped(record.aside) + "\n";
  AppendPaths(text, "file", record.files);
  AppendPaths(text, "folder", record.folders);
  AppendPaths(text, "made", record.made);
  AppendPaths(text, "kept", record.kept);
  AppendPaths(text, "cleared", record.cleared);
  // The base exists (it is Local Application Data) save on a fresh account elsewhere; one level each.
  if (!PathExists(base)) MakeDirectory(base);
  MakeDirectory(InstallFolder(base));
  return WriteFileReplacing(RecordPath(base), text);
}

void ClearRunRecord(const WString& base) {
  const WString path = RecordPath(base);
  if (RemoveFile(path) || !PathExists(path)) return;
  RunRecord settled;
  settled.phase = Phase::kSettled;
  settled.settings = SettingsOf(ConfigPath(base));
  WriteRunRecord(base, settled);
}

bool ReadInstalledList(const WString& base, InstalledList& list) {
  std::string text;
  if (!ReadWholeFile(InstalledPath(base), text)) return false;
  InstalledList read;
  const bool ours = ForEachLine(text, kInstalledHeading, [&](std::string_view key, std::string_view value) {
    if (key == "file") read.files.push_back(Unescaped(value));
    if (key == "folder") read.folders.push_back(Unescaped(value));
  });
  // What the next update removes is read from it: a list that names anything but the product's
  // entries was not written by this installer, and removes nothing.
  if (!ours || !AllProducts(read.files, false) || !AllProducts(read.folders, true)) return false;
  list = std::move(read);
  return true;
}

bool WriteInstalledList(const WString& base, const InstalledList& list) {
  std::string text(kInstalledHeading);
  AppendPaths(text, "file", list.files);
  AppendPaths(text, "folder", list.folders);
  return WriteFileReplacing(InstalledPath(base), text);
}

InstallState ReadInstallState(const WString& base) {
  InstallState state;
  const bool config = PathExists(ConfigPath(base));
  const bool backup = PathExists(BackupPath(base));
  RunRecord record;
  if (!ReadRunRecord(base, record)) {
    // No run is under way: a config.ini is the user's, whoever wrote it last; a lone backup is not
    // evidence of anything and stays where it is.
    state.settings = config ? SettingsPlace::kConfig : SettingsPlace::kNone;
    return state;
  }
  if (record.settings == kNoSettings) {
    // The run that left the record found no settings: a config.ini now is its payload's copy,
    // unless the user has changed it since (the program may have run in between).
    state.settings = config ? SettingsPlace::kConfig : SettingsPlace::kNone;
    state.config_may_be_payloads = config;
    return state;
  }
  if (record.phase == Phase::kLegacy && backup && !(config && Matches(ConfigPath(base), record.settings)) &&
      (Matches(BackupPath(base), record.settings) || !config)) {
    // An earlier installer moved the user's file aside and was stopped before it put it back.
    state.settings = SettingsPlace::kBackup;
    return state;
  }
  // The user's file is config.ini; should neither match (a record that cannot be read, a file
  // changed since), nothing is thrown away on a guess: a config.ini is taken as the user's.
  state.settings = config ? SettingsPlace::kConfig : SettingsPlace::kNone;
  return state;
}

}  // namespace zyv
