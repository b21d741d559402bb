#include "payload/stage.h"

namespace zyv {

int StagePayload(const WString&) { return 0; }

}  // namespace zyv
