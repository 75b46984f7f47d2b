#include "channel/hold_ledger.h"

#include "channel/client_table.h"
#include "diagnostics/log_file.h"
#include "platform/windows_types.h"

static_assert(!channel::FrameFits(channel::kUsableFrameIndices, 0) && channel::FrameFits(channel::kUsableFrameIndices - 1, 1),
              "a hold timer for every index a frame can be stored at");

bool CHoldLedger::MayWrite(int index, channel::FrameDescriptor& d, std::uint32_t now) {
  if (d.LockCount <= 0) return true;
  std::uint32_t& blockedSince = m_blockedSince[index];
  std::int32_t& leastHeld = m_blockedLeast[index];
  if (blockedSince == 0) {
    blockedSince = now | 1u;  // 0 means "not blocked"
    leastHeld = d.LockCount;
    return false;
  }
  if (d.LockCount < leastHeld) leastHeld = d.LockCount;
  // Measured from the same marked tick: a write in the millisecond the run began reads
  // 0 ms, never a wrapped-around 2^32 - 1 that would drop a live hold.
  const std::uint32_t blockedFor = (now | 1u) - blockedSince;
  if (blockedFor < kAbandonedHoldMs) return false;
  // Only the holds present at every write of the run are abandoned; a live consumer holds
  // for milliseconds, and one that holds now is between its lock and its copy: its hold
  // stays, and this write waits for its unlock.
  g_Log.Write(0, L"Frame %d has been held through every write for %lu ms; the hold (count %d) is taken "
                 L"as abandoned.\n",
              index, static_cast<DWORD>(blockedFor), static_cast<int>(leastHeld));
  CClientTable::Step(d.LockCount, -leastHeld);
  blockedSince = 0;
  return d.LockCount <= 0;
}
