#include "shell/shortcut.h"

namespace zyv {

void CreateDesktopShortcut(const WString& base) { (void)base; }

}  // namespace zyv
