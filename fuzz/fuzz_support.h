// Helpers shared by the fuzz targets: process set-up (private channel names, a log that
// formats every line but keeps none) and the failure used for a broken invariant.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "diagnostics/log_file.h"

namespace fuzz_support {

// A broken invariant: libFuzzer records the input as a crash.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

inline void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

// Gives this process's channel objects names no other process uses, so that a fuzz run
// never meets a real producer's region (or another run's).
inline void UsePrivateChannelNames(const char* target) {
  const std::string value = std::string("AmberlineFuzz_") + target + "_" + std::to_string(::getpid()) + "_";
  ::setenv("AMBERLINE_CHANNEL_NAMESPACE", value.c_str(), 1);
}

// The one set-up of a fuzz target, made on first use and destroyed when the process
// exits (libFuzzer ends a run with exit()), so that its channels close and the last
// closer removes their objects instead of leaving them in shared memory.
template <class TWorld>
TWorld& ProcessWorld() {
  static TWorld* world = new TWorld;
  static const int registered = std::atexit([] {
    delete world;
    world = nullptr;
  });
  (void)registered;
  return *world;
}

// Every line at or below level is formatted (so hostile values go through the log's
// conversions) and written to /dev/null.
inline void LogEverything(int level) {
  g_Log.Open(L"/dev/null", L"a");
  g_Log.SetLevel(level);
}

}  // namespace fuzz_support
