#include "platform/module_loader.h"

namespace platform {

void DisableThreadLibraryCalls(HMODULE module) { ::DisableThreadLibraryCalls(module); }

DWORD GetPlatformId() { return VER_PLATFORM_WIN32_NT; }

}  // namespace platform
