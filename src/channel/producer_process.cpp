#include "channel/producer_process.h"

#include "platform/paths.h"
#include "platform/wide_string.h"

namespace channel {

bool IsProducerExecutable(const std::wstring& exePath) {
  const std::size_t separator = exePath.find_last_of(platform::kPathSeparator);
  const std::wstring name = separator == std::wstring::npos ? exePath : exePath.substr(separator + 1);
  return platform::EqualsNoCase(name, L"Trelvox.exe") || platform::EqualsNoCase(name, L"Trelvoxd.exe");
}

bool HostIsProducer() { return IsProducerExecutable(platform::GetHostExecutablePath()); }

}  // namespace channel
