// The message box shown to the user.
#include "platform/win32/wide.h"

namespace zyv {

void ShowMessage(const WString& text, const WString& caption) {
  MessageBoxW(nullptr, win32::W(text), win32::W(caption), MB_OK);
}

}  // namespace zyv
