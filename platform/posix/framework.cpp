// Framework chores that only Windows has: common-control classes and the restart manager.
#include "platform/platform.h"

namespace zyv {

bool InitCommonControlsClasses(std::uint32_t, std::uint32_t) { return true; }

bool RegisterForRestart(std::uint32_t) { return true; }

}  // namespace zyv
