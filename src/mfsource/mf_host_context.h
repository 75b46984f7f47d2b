// Where the camera's Media Foundation source runs, found once per process and said in the
// log: the host program and its process id, the session, the token's user SID, integrity
// level and whether it is restricted, and whether the process is the FrameServer or the
// FrameServerMonitor service. It decides how the source reaches the producer's frames:
//
//   session other than 0 (an application's own process)  the channel, by its plain names
//   session 0 (the camera service)                        the bridge agent of a user's
//                                                         session, over its pipe; plain
//                                                         names are never touched there
//
// Test seam: AMBERLINE_MF_BRIDGE_SESSION=<n>, honoured only together with a non-empty
// AMBERLINE_CHANNEL_NAMESPACE, makes a source behave as in session 0 and use the bridge of
// session n (and makes the agent skip its FrameServer check).
//
// Windows only. Threading: any thread; the facts are read once. Failure: a fact that cannot
// be read is logged as such; the mode then follows the session id (0 when unreadable).
#pragma once

#include <cstdint>
#include <optional>

struct MfHostMode {
  bool bridge = false;                         // frames come from a bridge agent
  std::optional<std::uint32_t> forcedSession;  // the test seam's session
};

// The process's facts are read and logged at the first call; the seam is read at every
// call, and the mode is logged whenever it differs from the last call's.
MfHostMode MfHostContext();
// The seam's session, when the environment sets it validly; none otherwise.
std::optional<std::uint32_t> BridgeSessionFromEnvironment();
