#include "mfsource/mf_last_producer_size.h"

#include <cwchar>
#include <string>

#include "channel/frame_region.h"
#include "platform/reg_key.h"

namespace {

constexpr const wchar_t* kKey = L"Software\\Trelvox\\Amberline";
constexpr std::int32_t kLargestSide = 16384;

bool Plausible(long long side) { return side >= 1 && side <= kLargestSide; }

}  // namespace

std::pair<std::int32_t, std::int32_t> ReadLastProducerSize() {
  CRegKey key;
  if (key.Open(HKEY_CURRENT_USER, kKey, KEY_QUERY_VALUE) != ERROR_SUCCESS) return {0, 0};
  std::wstring text;
  if (key.QueryString(channel::ObjectName(L"LastProducerSize").c_str(), &text) != ERROR_SUCCESS) return {0, 0};
  // Exactly "<digits>x<digits>", nothing before, between or after.
  const std::size_t x = text.find(L'x');
  if (x == std::wstring::npos || x == 0 || x + 1 >= text.size() || text.size() > 11) return {0, 0};
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i != x && (text[i] < L'0' || text[i] > L'9')) return {0, 0};
  }
  const long long width = std::wcstoll(text.substr(0, x).c_str(), nullptr, 10);
  const long long height = std::wcstoll(text.substr(x + 1).c_str(), nullptr, 10);
  if (!Plausible(width) || !Plausible(height)) return {0, 0};
  return {static_cast<std::int32_t>(width), static_cast<std::int32_t>(height)};
}

void RememberProducerSize(std::int32_t width, std::int32_t height) {
  if (!Plausible(width) || !Plausible(height)) return;
  CRegKey key;
  if (key.Create(HKEY_CURRENT_USER, kKey, KEY_SET_VALUE) != ERROR_SUCCESS) return;
  key.SetString(channel::ObjectName(L"LastProducerSize").c_str(), std::to_wstring(width) + L"x" + std::to_wstring(height));
}
