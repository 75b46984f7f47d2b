// Module-wide counts that decide whether the module may be unloaded: the number of live
// framework objects and the server lock count. Both change atomically and may be read
// and changed from any thread.
#pragma once

#include <atomic>

#include "platform/windows_types.h"

extern std::atomic<LONG> g_cActiveObjects;
extern std::atomic<LONG> g_cServerLocks;
