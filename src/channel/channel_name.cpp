#include "channel/channel_name.h"

#include <algorithm>

#include "platform/paths.h"

namespace channel {

namespace {

// Plain storage (no constructor), ready before any load-time start-up runs.
wchar_t g_processChannel[kMaxChannelNameChars + 1] = {};

template <class Char>
bool IsNameOf(std::basic_string_view<Char> name) {
  if (name.empty() || name.size() > kMaxChannelNameChars) return false;
  return std::all_of(name.begin(), name.end(), [](Char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
  });
}

}  // namespace

bool IsChannelName(std::wstring_view name) { return IsNameOf(name); }
bool IsChannelName(std::string_view name) { return IsNameOf(name); }

std::wstring ChannelNamespace(std::wstring_view name) {
  std::wstring nameSpace = platform::GetEnv(L"AMBERLINE_CHANNEL_NAMESPACE");
  if (!name.empty()) nameSpace.append(name).push_back(L'_');
  return nameSpace;
}

void SetProcessChannel(std::wstring_view name) {
  if (!name.empty() && !IsChannelName(name)) return;
  std::fill(std::begin(g_processChannel), std::end(g_processChannel), L'\0');
  std::copy(name.begin(), name.end(), g_processChannel);
}

std::wstring ProcessChannel() { return g_processChannel; }

}  // namespace channel
