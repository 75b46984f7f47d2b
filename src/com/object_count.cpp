#include "com/object_count.h"

constinit std::atomic<LONG> g_cActiveObjects{0};
constinit std::atomic<LONG> g_cServerLocks{0};
