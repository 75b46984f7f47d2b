// Who and where this process is (Windows): the facts the camera's Media Foundation source
// logs when it loads and uses to choose how it reaches the producer's frames, and the
// user sessions it can pick a bridge from.
//
// Windows only. Threading: any thread, no state. Failure: a fact that cannot be read is
// left empty or zero and named in ProcessContext::problems; nothing throws.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct ProcessContext {
  std::uint32_t processId = 0;
  std::wstring executable;        // full path of the host program
  std::uint32_t sessionId = 0;    // ProcessIdToSessionId of this process
  std::wstring userSid;           // "S-1-5-19", ...
  std::uint32_t integrityRid = 0; // SECURITY_MANDATORY_*_RID (0x2000 medium, 0x4000 system, ...)
  bool restricted = false;        // IsTokenRestricted
  bool appContainer = false;
  std::vector<std::wstring> problems;
};

ProcessContext QueryProcessContext();
// "low", "medium", "high", "system", or the number in hexadecimal for another level.
std::wstring IntegrityName(std::uint32_t rid);

// The session attached to the physical console; 0xFFFFFFFF while none is.
std::uint32_t ActiveConsoleSession();
// The sessions other than 0 that are active (a user signed in and attached), or an empty
// list and the reason in *problem.
std::vector<std::uint32_t> ActiveUserSessions(std::wstring* problem);
// The Windows version as "10.0.22631" (from the system, not the compatibility shim).
std::wstring WindowsBuild();

}  // namespace platform
