// CHoldLedger: the producer's memory of frame holds that block its writes, per frame
// index, so that a hold left by a consumer that died while holding it is found and
// dropped, and a live consumer's brief hold never is.
//
// A hold that has blocked every write to its index for kAbandonedHoldMs is abandoned:
// the producer drops the part of the hold count that was present at every write of that
// run (the least count seen), logs one line, and writes once no live hold is left.
// Ownership: plain values, no handles. Threading: the owner's lock (CFileMapping's
// m_lock) covers every call, and the caller holds the access mutex while the descriptor
// it hands in is read and changed.
#pragma once

#include <cstdint>

#include "channel/frame_region.h"

class CHoldLedger {
 public:
  static constexpr std::uint32_t kAbandonedHoldMs = 2000;

  // Whether the producer may write the frame at index (0 <= index < kUsableFrameIndices)
  // now. Drops an abandoned hold from descriptor.LockCount first when one is found.
  bool MayWrite(int index, channel::FrameDescriptor& descriptor, std::uint32_t nowMs);

  // Forgets index's blocked run (after a write, or when the channel is set up again).
  void Forget(int index) { m_blockedSince[index] = 0; }

 private:
  // Tick (ms, low bit set) of the first write a hold blocked in the current run; 0: none.
  std::uint32_t m_blockedSince[channel::kUsableFrameIndices] = {};
  // The least hold count seen at the writes of that run.
  std::int32_t m_blockedLeast[channel::kUsableFrameIndices] = {};
};
