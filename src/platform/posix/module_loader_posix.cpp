#include "platform/module_loader.h"

namespace platform {

void DisableThreadLibraryCalls(HMODULE) {}

DWORD GetPlatformId() { return 2; }

}  // namespace platform
