// Reports, from inside the Wine prefix, what the user is shown: every visible top-level window with
// its class and caption, and below it each child control with its class and text. The end-to-end
// tests run it while the installer's message box is up, to read the box's text itself (the X server
// knows only the caption). Output is UTF-8, one tab-separated record a line:
//   window<TAB>CLASS<TAB>CAPTION
//   child<TAB>CLASS<TAB>TEXT
#include <windows.h>

#include <string>
#include <string_view>

#include "platform/text.h"

namespace {

/// Line breaks and tabs of a text become spaces, so each record stays one line.
std::string Field(std::wstring s) {
  for (wchar_t& c : s) {
    if (c == L'\r' || c == L'\n' || c == L'\t') c = L' ';
  }
  return zyv::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(s.data()), s.size()));
}

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  const int n = GetClassNameW(window, name, 256);
  return std::wstring(name, n > 0 ? n : 0);
}

/// The text of a window of another process: WM_GETTEXT is carried across processes by the system.
std::wstring TextOf(HWND window) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length)) return {};
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                           SMTO_ABORTIFHUNG, 2000, &copied)) {
    return {};
  }
  text.resize(copied);
  return text;
}

std::string g_out;

BOOL CALLBACK OnChild(HWND child, LPARAM) {
  if (IsWindowVisible(child)) g_out += "child\t" + Field(ClassOf(child)) + "\t" + Field(TextOf(child)) + "\n";
  return TRUE;
}

BOOL CALLBACK OnTopLevel(HWND window, LPARAM) {
  if (!IsWindowVisible(window)) return TRUE;
  g_out += "window\t" + Field(ClassOf(window)) + "\t" + Field(TextOf(window)) + "\n";
  EnumChildWindows(window, OnChild, 0);
  return TRUE;
}

}  // namespace

int main() {
  EnumWindows(OnTopLevel, 0);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), g_out.data(), static_cast<DWORD>(g_out.size()), &written,
            nullptr);
  return 0;
}
