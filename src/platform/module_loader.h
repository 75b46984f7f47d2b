// Facts and switches of the system's module loader.
#pragma once

#include "platform/windows_types.h"

namespace platform {

// Asks the loader not to call the module's entry point for thread attach and detach.
// Elsewhere than Windows the loader never sends those, so there is nothing to switch off.
void DisableThreadLibraryCalls(HMODULE module);
// The operating-system platform identifier the framework records (the NT family, 2, on
// every system the module runs on).
DWORD GetPlatformId();

}  // namespace platform
