// CBufferStarvation: when a streaming camera node must make its buffers anew because none
// is free. A consumer marks each buffer it holds busy and clears the mark when it gives
// the buffer back; one that dies holding buffers leaves the marks set for good, and once
// every buffer carries one the node delivers nothing. The node is starved when no buffer
// was free for kStarvedNs (since streaming began, or since the last free one); it then
// renews its buffers. Renewals are spaced out whatever the stream does in between: the
// one after a renewal comes no sooner than kFirstWaitNs later, each further one no sooner
// than twice the previous wait, up to kLastWaitNs; the wait starts from kFirstWaitNs
// again once kForgetNs passed without a renewal. So a peer that keeps every buffer costs
// a bounded number of renewals, never one per frame.
//
// Only computes: the caller reads the clock and renews, so the timing is tested with
// made-up times. Plain value object; one thread uses it.
#pragma once

#include <cstdint>

class CBufferStarvation {
 public:
  static constexpr std::int64_t kStarvedNs = 1000000000;
  static constexpr std::int64_t kFirstWaitNs = 2000000000;
  static constexpr std::int64_t kLastWaitNs = 32000000000;
  static constexpr std::int64_t kForgetNs = 64000000000;

  // Streaming (re)starts at nowNs: no buffer can have been missing before.
  void Start(std::int64_t nowNs) { m_sinceNs = nowNs; }
  // A buffer was free at nowNs.
  void Free(std::int64_t nowNs) { m_sinceNs = nowNs; }
  // True when the buffers should be made anew at nowNs (and counts that renewal).
  bool RenewDue(std::int64_t nowNs);
  // How long no buffer has been free at nowNs.
  std::int64_t StarvedFor(std::int64_t nowNs) const { return nowNs - m_sinceNs; }

 private:
  std::int64_t m_sinceNs = 0;
  bool m_renewed = false;  // m_lastRenewNs holds a renewal
  std::int64_t m_lastRenewNs = 0;
  std::int64_t m_waitNs = 0;  // the least time from m_lastRenewNs to the next renewal
};
