// ZyvSHelp, the sample product's program. Each start appends one line naming its working directory
// to launch.log in that directory, so whoever started it can see that, and where, it ran. Then it
// shows the [ZeReveza] settings of config.ini: on standard output on POSIX; on Windows in a message
// box only when ZYVSHELP_SHOW is set, because an unattended start must never wait for a click. With
// ZYVSHELP_WAIT set, it then stays open until its standard input ends, as a program a user has open
// does while an update runs.
#include <cctype>
#include <string>
#include <string_view>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>
#endif

namespace {

constexpr char kSection[] = "ZeReveza";

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

/// The whole of a file in the working directory; empty when it cannot be read.
std::string ReadWholeFile(const char* name);

/// The lines of [ZeReveza] in config.ini (UTF-8), one per line; empty when there are none.
std::string ReadSettings() {
  const std::string text = ReadWholeFile("config.ini");
  std::string settings;
  bool inside = false;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line = Trim(std::string_view(text).substr(start, end - start));
    start = end + 1;
    if (!line.empty() && line.front() == '[') {
      const std::size_t close = line.find(']');
      inside =
          close != std::string_view::npos && EqualsIgnoringCase(Trim(line.substr(1, close - 1)), kSection);
    } else if (inside && !line.empty()) {
      settings.append(line).push_back('\n');
    }
  }
  return settings;
}

}  // namespace

#ifdef _WIN32

namespace {

std::string ToUtf8(const std::wstring& s) {
  if (s.empty()) return {};
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n : 0, '\0');
  if (n > 0)
    WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring FromUtf8(const std::string& s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(n > 0 ? n : 0, L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

std::wstring CurrentDirectory() {
  std::wstring dir(GetCurrentDirectoryW(0, nullptr), L'\0');
  dir.resize(GetCurrentDirectoryW(static_cast<DWORD>(dir.size()), dir.data()));
  return dir;
}

// Plain file calls rather than streams keep the statically linked program small.
std::string ReadWholeFile(const char* name) {
  const HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string text;
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
  CloseHandle(file);
  return text;
}

void AppendLaunchLine(const std::string& line) {
  const HANDLE log = CreateFileW(L"launch.log", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(log);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  AppendLaunchLine(ToUtf8(CurrentDirectory()) + "\r\n");
  if (GetEnvironmentVariableW(L"ZYVSHELP_SHOW", nullptr, 0) != 0) {
    const std::string settings = ReadSettings();
    const std::wstring text =
        settings.empty() ? L"config.ini has no [ZeReveza] settings." : FromUtf8(settings);
    MessageBoxW(nullptr, text.c_str(), L"ZyvSHelp", MB_OK | MB_ICONINFORMATION);
  }
  if (GetEnvironmentVariableW(L"ZYVSHELP_WAIT", nullptr, 0) != 0) {
    char c;
    DWORD n = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &n, nullptr) && n > 0) {
    }
  }
  return 0;
}

#else

namespace {

std::string CurrentDirectory() {
  std::vector<char> buffer(256);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (buffer.size() > (1u << 20)) return {};
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

std::string ReadWholeFile(const char* name) {
  const int file = open(name, O_RDONLY | O_CLOEXEC);
  if (file < 0) return {};
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(file, buffer, sizeof buffer)) > 0;)
    text.append(buffer, static_cast<std::size_t>(n));
  close(file);
  return text;
}

void AppendLaunchLine(const std::string& line) {
  const int log = open("launch.log", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (log < 0) return;
  // One write with O_APPEND: lines of concurrent starts do not interleave.
  [[maybe_unused]] const ssize_t written = write(log, line.data(), line.size());
  close(log);
}

}  // namespace

int main() {
  const std::string dir = CurrentDirectory();
  AppendLaunchLine(dir + "\n");
  const std::string settings = ReadSettings();
  std::printf("ZyvSHelp started in %s\n", dir.c_str());
  std::fputs(settings.empty() ? "config.ini has no [ZeReveza] settings.\n" : settings.c_str(), stdout);
  if (std::getenv("ZYVSHELP_WAIT") != nullptr) {
    std::fflush(stdout);
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
  }
  return 0;
}

#endif
