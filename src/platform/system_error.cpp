#include "platform/system_error.h"

namespace platform {

std::wstring DescribeSystemError(DWORD code) {
  std::wstring text = FormatSystemMessage(code);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L'.' || text.back() == L' '))
    text.pop_back();
  if (text.empty()) text = L"system error";
  return text + L" (error " + std::to_wstring(code) + L")";
}

}  // namespace platform
