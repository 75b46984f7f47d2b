// CClientExpiry: when a producer withdraws consumers that have gone without withdrawing
// themselves. Consumers refresh their entry's LastSeen only while frames are written, so
// an entry is judged only once this producer has been writing for longer than
// channel::kStaleClientMs itself; from then on every write withdraws the entries not seen
// for longer than that (32-bit tick arithmetic, so a wrapped tick count is measured
// correctly).
//
//   const int withdrawn = expiry.Sweep(header, tick());   // at every frame write
//
// Ownership: plain values. Threading: the channel's m_lock and the access mutex cover
// every call.
#pragma once

#include <cstdint>

#include "channel/frame_region.h"

class CClientExpiry {
 public:
  // With the header mapped and the mutex held: the number of entries withdrawn now.
  int Sweep(channel::RegionHeader* header, std::uint32_t nowMs);
  // Forgets the first write (the channel is set up again).
  void Reset() { m_firstWriteSeen = false; }

 private:
  bool m_firstWriteSeen = false;      // this producer has written since its set-up
  std::uint32_t m_firstWriteTick = 0;  // when it first did (tick ms)
};
