// Small helpers shared by the tests: scratch folders, environment overrides, whole-file I/O, and
// what the Windows build needs to know when it runs under Wine.
#pragma once

#ifdef _WIN32
#include <windows.h>
#endif

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/text.h"
#include "platform/worker_pool.h"

namespace zyv::test {

namespace fs = std::filesystem;

/// UTF-16 path as a filesystem path, and back.
inline fs::path ToPath(const WString& p) { return fs::path(std::u16string(p.begin(), p.end())); }
inline WString ToWString(const fs::path& p) {
  const std::u16string s = p.u16string();
  return WString(s.begin(), s.end());
}

/// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    path_ = fs::temp_directory_path() / ("zyv-test-" + std::to_string(rd()) + std::to_string(rd()));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    // Read-only files must become writable before they can be removed on Windows.
    for (auto it = fs::recursive_directory_iterator(path_, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const fs::path& path() const { return path_; }
  /// The folder as a platform path, optionally with a name appended after a separator.
  WString W(const WString& name = {}) const {
    WString p = ToWString(path_);
    if (!name.empty()) p += kPathSeparator + name;
    return p;
  }

 private:
  fs::path path_;
};

/// Fixes the worker pool's size for the scope (SetWorkerCountForTesting), then gives the choice
/// back to the processor count.
class ScopedWorkerCount {
 public:
  explicit ScopedWorkerCount(unsigned count) { SetWorkerCountForTesting(count); }
  ~ScopedWorkerCount() { SetWorkerCountForTesting(kWorkersFromCores); }
  ScopedWorkerCount(const ScopedWorkerCount&) = delete;
  ScopedWorkerCount& operator=(const ScopedWorkerCount&) = delete;
};

/// Sets (or with nullopt, unsets) an environment variable for the scope, then restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Set(value);
  }
  ~ScopedEnv() { Set(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void Set(const std::optional<std::string>& v) {
#ifdef _WIN32
    _putenv_s(name_.c_str(), v ? v->c_str() : "");
#else
    if (v)
      setenv(name_.c_str(), v->c_str(), 1);
    else
      unsetenv(name_.c_str());
#endif
  }
  std::string name_;
  std::optional<std::string> old_;
};

inline std::string ReadFileBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFileBytes(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// ---- The Windows build under Wine ------------------------------------------------------------

/// A path on the build host (one the build hands over) as this program reaches it: under Wine the
/// host's root is drive Z:, natively the path is as it stands.
inline fs::path HostPath(const std::string& path) {
#ifdef _WIN32
  return fs::path("Z:" + path);
#else
  return fs::path(path);
#endif
}

#ifdef _WIN32
/// True under Wine, whose ntdll exports its version; false on Windows itself.
inline bool UnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

/// Runs a Unix program under Wine (which starts one named by its path like a Windows one), with
/// arguments quoted as the Windows command line quotes them, without waiting: Wine hands on neither
/// its end nor its exit status.
inline bool StartUnixProgram(const std::wstring& program, const std::vector<fs::path>& paths) {
  using UnixName = char*(__cdecl*)(const wchar_t*);
  const auto unix_name = reinterpret_cast<UnixName>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unix_name == nullptr) return false;
  std::wstring command = program;
  for (const fs::path& path : paths) {
    char* name = unix_name(fs::absolute(path).c_str());
    if (name == nullptr) return false;
    const std::u16string units = Utf8ToUtf16(name);
    HeapFree(GetProcessHeap(), 0, name);
    command += L" \"" + std::wstring(units.begin(), units.end()) + L"\"";
  }
  const std::wstring image = L"Z:" + program.substr(0, program.find(L' '));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(image.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

/// Waits (five seconds at most) until path is there, or gone; true when it is as wanted.
inline bool AwaitPath(const fs::path& path, bool there) {
  for (int i = 0; i < 500; ++i) {
    if ((GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) == there) return true;
    Sleep(10);
  }
  return false;
}
#endif

/// Symbolic links planted as a process of the user could plant them (under Wine from the Linux
/// side: Wine's own mklink makes none, but it shows a Unix symbolic link to a program as a reparse
/// point, or as what it leads to), and removed from that side again when this ends, before the
/// scratch folder that holds them (which could not remove them).
class PlantedLinks {
 public:
  PlantedLinks() = default;
  PlantedLinks(const PlantedLinks&) = delete;
  PlantedLinks& operator=(const PlantedLinks&) = delete;
  ~PlantedLinks() {
    for (const fs::path& link : links_) {
#ifdef _WIN32
      if (StartUnixProgram(L"/bin/rm -f", {link})) AwaitPath(link, false);
#else
      std::error_code ec;
      fs::remove(link, ec);
#endif
    }
  }

  /// A link at link to target (an existing one); false where none can be planted (Windows itself).
  bool Plant(const fs::path& target, const fs::path& link) {
#ifdef _WIN32
    if (!UnderWine() || !StartUnixProgram(L"/bin/ln -s", {target, link})) return false;
    links_.push_back(link);
    return AwaitPath(link, true);
#else
    std::error_code ec;
    fs::create_symlink(target, link, ec);
    if (!ec) links_.push_back(link);
    return !ec;
#endif
  }

 private:
  std::vector<fs::path> links_;
};

#ifdef _WIN32
/// What a file's attributes read back as after word was applied. Wine keeps only read-only, hidden
/// and system (in an extended attribute of the Unix file) and reports every file as archive.
inline std::uint32_t AttributesAsStored(std::uint32_t word) {
  if (!UnderWine()) return word;
  return (word & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) |
         FILE_ATTRIBUTE_ARCHIVE;
}
#endif

/// A folder tree by relative name ("/" between names): folders as "<dir>", links as "<link>", files
/// as their bytes.
using Tree = std::map<std::string, std::string>;

/// The tree under root (empty when root does not exist); with modes, each file's value starts with
/// its permission bits (POSIX). Entries named skip are left out.
inline Tree ReadTree(const fs::path& root, [[maybe_unused]] bool modes = false, std::string_view skip = {}) {
  Tree tree;
  if (!fs::exists(root)) return tree;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!skip.empty() && e.path().filename() == skip) continue;
    const auto rel = e.path().lexically_relative(root).generic_u8string();
    std::string& value = tree[std::string(rel.begin(), rel.end())];
    const auto st = e.symlink_status();
    if (fs::is_symlink(st)) {
      value = "<link>";
    } else if (fs::is_directory(st)) {
      value = "<dir>";
    } else {
#ifndef _WIN32
      if (modes) value = std::to_string(static_cast<unsigned>(st.permissions() & fs::perms::mask)) + ":";
#endif
      value += ReadFileBytes(e.path());
    }
  }
  return tree;
}

/// What got lacks, has beyond, or holds otherwise than want: one "missing", "extra" or "differs"
/// line a name; empty when the trees are the same.
inline std::vector<std::string> Differences(const Tree& got, const Tree& want) {
  std::vector<std::string> diff;
  for (const auto& [name, value] : want) {
    const auto it = got.find(name);
    if (it == got.end()) {
      diff.push_back("missing " + name);
    } else if (it->second != value) {
      diff.push_back("differs " + name);
    }
  }
  for (const auto& [name, value] : got) {
    if (!want.count(name)) diff.push_back("extra " + name);
  }
  return diff;
}

}  // namespace zyv::test
