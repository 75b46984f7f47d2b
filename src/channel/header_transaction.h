// CHeaderTransaction: one turn at the region's header under the cross-process access
// mutex, for the operations of CFileMapping (and its frame leases). It waits for the
// mutex (at most channel::kAccessWaitMs), repairs a header left by an owner that ended
// while holding it, maps the header through the channel's one view, and on destruction
// unmaps whatever view is left and releases the mutex.
//
//   CLockHolder<CRecursiveLock> hold(m_lock);
//   CHeaderTransaction transaction(*this, CHeaderTransaction::Kind::kHeaderOnly);
//   if (transaction.Header() == nullptr) return 0;   // no access or no view
//   transaction.Header()->ShowLogo = showLogo;
//   return 1;                                        // unmapped and released here
//
// The abandoned-owner rule. A wait that acquires the mutex from an owner that ended while
// holding it (WaitResult::kAbandoned) first recounts ClientCount from the occupied
// entries, as the dead owner may have stopped halfway through a registration or a
// withdrawal. What follows depends on the kind:
//  - kFrames (taking a hold, writing a frame) goes on only after a clean acquire. After an
//    abandoned one it stops at the repair (Outcome() is kNoAccess, the mutex is released
//    at once): that consumer shows no frame this turn, that write is dropped, and the
//    next operation, on a clean acquire, finds the descriptor as the dead owner left it.
//    A frame write cut off by its owner's death left Valid 0, so its torn bytes are never
//    held and never handed out. kFrames needs the mutex: without one it does nothing.
//  - kHeaderOnly (the header fields, the client table, a copy from or release of a frame
//    the caller already holds, which no writer touches while the hold lasts) goes on after
//    the repair; it also goes on, without the mutex, when the wait failed outright (no
//    mutex to wait for), as the header accessors always have.
// Either kind gives up on a timeout (a peer that keeps the mutex is stopped or hung):
// nothing is mapped or changed, and Outcome() is kNoAccess.
//
// Ownership: borrows the channel, which must outlive it; neither copied nor moved.
// Threading: the caller holds the channel's m_lock for the transaction's whole life (the
// channel's one view is used). Failure: Header() is null and Outcome() says why.
#pragma once

#include "channel/channel_outcome.h"
#include "channel/file_mapping.h"
#include "channel/frame_region.h"

class CHeaderTransaction {
 public:
  enum class Kind { kHeaderOnly, kFrames };

  CHeaderTransaction(CFileMapping& channel, Kind kind) REQUIRES(channel.m_lock);
  ~CHeaderTransaction();
  CHeaderTransaction(const CHeaderTransaction&) = delete;
  CHeaderTransaction& operator=(const CHeaderTransaction&) = delete;

  // The mapped header, or null when the transaction did not open or the header is
  // unmapped now (UnmapHeader).
  channel::RegionHeader* Header() const { return m_header; }
  // kDone once the header was mapped under the rule above, otherwise why not.
  ChannelOutcome Outcome() const { return m_outcome; }

  // Unmaps the header, so that the channel's one view can map a frame window while the
  // mutex stays held; MapHeader maps it again (null when that fails).
  void UnmapHeader();
  channel::RegionHeader* MapHeader();

 private:
  // With the mutex just taken from an owner that ended while holding it (the header may
  // be half updated): makes ClientCount the number of occupied entries again.
  void RepairAbandonedHeader();

  CFileMapping& m_channel;
  bool m_mutexTaken = false;
  channel::RegionHeader* m_header = nullptr;
  ChannelOutcome m_outcome = ChannelOutcome::kNoAccess;
};
