// A small Windows program for the platform tests: writes its own path, as ModuleFileName gives it,
// and on a second line the file name of the program that started it, to probe.txt in its working
// directory (through a temporary name, so a reader never sees half).
#include <windows.h>
// This needs windows.h before it.
#include <tlhelp32.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "platform/text.h"

namespace {

/// The executable file name of the process that started this one; empty when it cannot be told.
std::string ParentName() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return {};
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  DWORD parent = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId()) parent = entry.th32ParentProcessID;
  }
  std::string name;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && parent != 0;
       more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == parent) {
      name = zyv::Utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(entry.szExeFile)));
    }
  }
  CloseHandle(snapshot);
  return name;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const std::string text = zyv::Utf16ToUtf8(zyv::ModuleFileName()) + "\n" + ParentName();
  std::FILE* out = std::fopen("probe.tmp", "wb");
  if (out == nullptr) return 1;
  const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
  if (std::fclose(out) != 0 || !written) return 1;
  return MoveFileExW(L"probe.tmp", L"probe.txt", MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
