#include "channel/frame_region.h"

#include "platform/paths.h"

namespace channel {

std::wstring ObjectName(const wchar_t* baseName) {
  return platform::GetEnv(L"AMBERLINE_CHANNEL_NAMESPACE") + baseName;
}

std::wstring ObjectName(const std::optional<std::wstring>& nameSpace, const wchar_t* baseName) {
  return nameSpace ? *nameSpace + baseName : ObjectName(baseName);
}

}  // namespace channel
