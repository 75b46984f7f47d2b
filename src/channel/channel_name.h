// Camera channels by name. The default channel's objects have the five names of
// frame_region.h; a named channel's are the same names with "<name>_" in front, and
// AMBERLINE_CHANNEL_NAMESPACE (tests) in front of that:
//
//   ChannelNamespace(L"desk")  ->  L"desk_"      (objects "desk_Trelvox_FileMapping", ...)
//   ChannelNamespace(L"")      ->  L""           (the default channel)
//
// A channel name is 1 to 32 of the ASCII letters, the digits, '-' and '_' (so it is a
// safe part of an object, pipe and registry value name on every system).
//
// A process (a module copy, the bridge agent) has one channel of its own, which every
// channel object name without an explicit namespace uses (channel::ObjectName). It is set
// once at start-up, before any channel is opened, and read afterwards without a lock;
// until then it is the default channel.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace channel {

inline constexpr std::size_t kMaxChannelNameChars = 32;

bool IsChannelName(std::wstring_view name);
bool IsChannelName(std::string_view name);

// The namespace of channel `name` ("" for the default channel) in this process's
// environment.
std::wstring ChannelNamespace(std::wstring_view name);

// This process's own channel; SetProcessChannel ignores a name that is not a channel
// name (the default channel stays).
void SetProcessChannel(std::wstring_view name);
std::wstring ProcessChannel();

}  // namespace channel
