#include "channel/frame_region.h"

#include "channel/channel_name.h"

namespace channel {

std::wstring ObjectName(const wchar_t* baseName) { return ChannelNamespace(ProcessChannel()) + baseName; }

std::wstring ObjectName(const std::optional<std::wstring>& nameSpace, const wchar_t* baseName) {
  return nameSpace ? *nameSpace + baseName : ObjectName(baseName);
}

}  // namespace channel
