// Gives this benchmark process (and the producers it starts, which inherit the
// environment) channel object names of its own, so a benchmark never meets a producer or
// a camera outside it. Call once at the start of main, before any channel is opened.
#pragma once

#include "platform/guid.h"
#include "platform/paths.h"

inline void UsePrivateChannelNamespace() {
  GUID guid{};
  platform::CreateGuid(&guid);
  platform::SetEnv(L"AMBERLINE_CHANNEL_NAMESPACE",
                   (L"AmberlineBench" + platform::GuidToRegistryString(guid).substr(1, 36) + L"_").c_str());
}
