// The user's folders, located as the XDG base-directory and user-dirs conventions place them.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"
#include "platform/text.h"

namespace zyv {
namespace {

/// An environment variable's value when it is an absolute path; the XDG rules say a relative one
/// is invalid and must be ignored, and HOME is held to the same rule.
std::optional<std::string> AbsoluteEnv(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return std::string(value);
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string Join(const std::string& folder, std::string_view name) {
  std::string joined = WithoutTrailingSlashes(folder);
  if (joined.back() != '/') joined += '/';
  joined += name;
  return joined;
}

/// mkdir -p with mode 0700; failures show up later, when something is written there.
void CreateMissingFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return;
    if (slash == std::string::npos) return;
  }
}

bool IsNameChar(char c) {
  return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

/// Expands "$HOME" or "${HOME}" at value[i]; false for any other expansion, which this reader
/// does not evaluate (the line is then ignored, as a value we cannot know).
bool ExpandHome(std::string_view value, size_t& i, const std::string& home, std::string& out) {
  const std::string_view rest = value.substr(i);
  if (rest.starts_with("${HOME}")) {
    i += 7;
  } else if (rest.starts_with("$HOME") && (rest.size() == 5 || !IsNameChar(rest[5]))) {
    i += 5;
  } else {
    return false;
  }
  out += home;
  return true;
}

/// One shell word as user-dirs.dirs writes it: double quotes with backslash escapes, single
/// quotes, bare text, and $HOME. Stops at the first unquoted blank; nullopt when the word uses
/// something a shell would evaluate differently from a plain path.
std::optional<std::string> ParseShellWord(std::string_view value, const std::string& home) {
  std::string out;
  size_t i = 0;
  while (i < value.size() && value[i] != ' ' && value[i] != '\t') {
    const char c = value[i];
    if (c == '\'') {
      const size_t close = value.find('\'', i + 1);
      if (close == std::string_view::npos) return std::nullopt;
      out.append(value.substr(i + 1, close - i - 1));
      i = close + 1;
    } else if (c == '"') {
      for (++i;; ++i) {
        if (i >= value.size()) return std::nullopt;
        const char d = value[i];
        if (d == '"') break;
        if (d == '\\' && i + 1 < value.size() &&
            std::string_view("\"\\$`").find(value[i + 1]) != std::string_view::npos) {
          out += value[++i];
        } else if (d == '$') {
          if (!ExpandHome(value, i, home, out)) return std::nullopt;
          --i;  // the loop steps past the expansion's last character
        } else if (d == '`') {
          return std::nullopt;
        } else {
          out += d;
        }
      }
      ++i;
    } else if (c == '\\') {
      if (i + 1 >= value.size()) return std::nullopt;
      out += value[i + 1];
      i += 2;
    } else if (c == '$') {
      if (!ExpandHome(value, i, home, out)) return std::nullopt;
    } else if (c == '`' || c == ';' || c == '&' || c == '|' || c == '<' || c == '>' || c == '(' || c == ')') {
      return std::nullopt;
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

/// XDG_DESKTOP_DIR from user-dirs.dirs; the last valid assignment wins, as when a shell sources
/// the file. Values that are not absolute paths are ignored.
std::optional<std::string> DesktopFromUserDirs(const std::string& config_home, const std::string& home) {
  std::ifstream in(Join(config_home, "user-dirs.dirs"));
  std::optional<std::string> desktop;
  std::string line;
  constexpr std::string_view kName = "XDG_DESKTOP_DIR";
  while (std::getline(in, line)) {
    std::string_view rest(line);
    while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
    if (!rest.starts_with(kName)) continue;
    rest.remove_prefix(kName.size());
    if (rest.empty() || rest.front() != '=') continue;
    rest.remove_prefix(1);
    if (!rest.empty() && rest.back() == '\r') rest.remove_suffix(1);
    std::optional<std::string> value = ParseShellWord(rest, home);
    if (value && !value->empty() && value->front() == '/') desktop = WithoutTrailingSlashes(*value);
  }
  return desktop;
}

}  // namespace

WString KnownFolderPath(int csidl) {
  const std::optional<std::string> home = AbsoluteEnv("HOME");
  if (!home) return {};
  switch (csidl) {
    case kCsidlLocalAppData: {
      const std::optional<std::string> data_home = AbsoluteEnv("XDG_DATA_HOME");
      const std::string folder = data_home ? WithoutTrailingSlashes(*data_home) : Join(*home, ".local/share");
      // Windows' folder always exists and its callers create only one level below it; a fresh
      // account here may have no ~/.local yet, which the XDG rules say to create, private.
      CreateMissingFolders(folder);
      return Utf8ToUtf16(folder);
    }
    case kCsidlDesktop: {
      const std::string config_home = AbsoluteEnv("XDG_CONFIG_HOME").value_or(Join(*home, ".config"));
      const std::string home_folder = WithoutTrailingSlashes(*home);
      return Utf8ToUtf16(
          DesktopFromUserDirs(config_home, home_folder).value_or(Join(home_folder, "Desktop")));
    }
    default:
      return {};
  }
}

}  // namespace zyv
