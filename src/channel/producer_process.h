// Whether a process is the producer application ("Trelvox.exe" or "Trelvoxd.exe", any
// letter case). A camera hosted inside the producer never registers as a client.
#pragma once

#include <string>

namespace channel {

// exePath's file name (after the last path separator) is a producer executable's.
bool IsProducerExecutable(const std::wstring& exePath);
// This process runs a producer executable.
bool HostIsProducer();

}  // namespace channel
