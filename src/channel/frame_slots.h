// CFrameSlots: the frames of the region as one participant sees them through a header
// transaction: a producer stores a frame in an index, a consumer takes a hold on one
// (to copy it, or to read it in place under a lease) and copies a frame it holds.
//
//   CHeaderTransaction transaction(channel, CHeaderTransaction::Kind::kFrames);
//   if (transaction.Header() != nullptr)
//     outcome = slots.Store(transaction, region, index, fields, data, platform::GetTickCount());
//
// Every field read from the region is untrusted: an index or length whose bytes would pass
// the end of the region or of the index's frame area is refused (kRefused). A frame is
// marked valid only once all its bytes are stored, so a producer killed in the middle of
// a write leaves no torn frame behind, and a hold that blocks every write for
// CHoldLedger::kAbandonedHoldMs is dropped as a dead consumer's (hold_ledger.h).
//
// Ownership: the producer's hold ledger; nothing else. Threading: the channel's m_lock
// and the access mutex (the transaction's) cover every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "channel/channel_outcome.h"
#include "channel/frame_region.h"
#include "channel/hold_ledger.h"
#include "channel/region_view.h"

class CHeaderTransaction;

class CFrameSlots {
 public:
  // Producer, in a kFrames transaction with the header mapped: stores fields (Width,
  // Height, Aux32, Aux64A, Aux64B, Length) and the Length bytes of data as frame index,
  // which the caller has checked to fit. kRefused while a live hold blocks the index.
  // The header is unmapped while the bytes are copied and mapped again to set Valid.
  // `write` fills the Length bytes of the frame's window (it must not fail: what it
  // needs is checked before).
  using FrameWriter = std::function<void(std::uint8_t* frame)>;
  ChannelOutcome Store(CHeaderTransaction& transaction, CRegionView& region, int index,
                       const channel::FrameDescriptor& fields, const FrameWriter& write, std::uint32_t nowMs);

  // What a lease needs besides the hold, filled in by the hold's transaction.
  struct LeaseTerms {
    const std::u16string* name = nullptr;  // whose LastSeen to refresh
    CRegionView::LeaseWindow window;
    bool showLogo = false;
    bool listed = true;  // false: a lease was given and name had no entry
  };
  // Consumer, with the header mapped: takes a hold on frame index (Valid 1, LockCount
  // below its maximum) and copies its descriptor, with the new count, to *copy. With
  // terms, only for a frame that can be read in place (Length is FrameBytes(Width,
  // Height), the frame fits its area, LockCount not negative), whose window, ShowLogo and
  // the name's LastSeen are then handled in the same transaction. The descriptor is judged
  // on one copy of it, so that what is checked is what is used.
  static ChannelOutcome Hold(channel::RegionHeader* header, const CRegionView& region, int index,
                             channel::FrameDescriptor* copy, LeaseTerms* terms);

  // Consumer, with the header mapped: drops one hold on frame index. A count the producer
  // has already cleared as abandoned (0 or below) is not driven below zero; an index
  // outside the descriptors is left alone.
  static void Drop(channel::RegionHeader* header, int index);

  // Consumer, with the header mapped: copies frame index, which the caller holds and whose
  // descriptor names exactly length bytes, to destination. The header is unmapped first.
  static ChannelOutcome CopyHeld(CHeaderTransaction& transaction, CRegionView& region, int index, void* destination,
                                 std::int32_t length);

 private:
  CHoldLedger m_holds;
};
