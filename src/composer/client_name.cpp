#include "composer/client_name.h"

#include "platform/guid.h"
#include "platform/paths.h"

std::wstring NewClientName(const std::wstring& prefix) {
  GUID guid{};
  if (FAILED(platform::CreateGuid(&guid))) return prefix;
  const std::wstring text = platform::GuidToRegistryString(guid);
  if (text.size() != 38) return prefix;
  return prefix + L"-" + text.substr(1, 36);
}

std::wstring HostProcessName() {
  const std::wstring path = platform::GetHostExecutablePath();
  const std::size_t separator = path.find_last_of(platform::kPathSeparator);
  return separator == std::wstring::npos ? path : path.substr(separator + 1);
}
