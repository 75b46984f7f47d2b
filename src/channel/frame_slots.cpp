#include "channel/frame_slots.h"

#include <cstring>
#include <limits>

#include "channel/client_table.h"
#include "channel/header_transaction.h"
#include "platform/clock.h"

using channel::FrameDescriptor;

ChannelOutcome CFrameSlots::Store(CHeaderTransaction& transaction, CRegionView& region, int index,
                                  const FrameDescriptor& fields, const FrameWriter& write, std::uint32_t nowMs) {
  FrameDescriptor& d = transaction.Header()->Frames[index];
  if (!m_holds.MayWrite(index, d, nowMs)) return ChannelOutcome::kRefused;
  m_holds.Forget(index);
  d.Width = fields.Width;
  d.Height = fields.Height;
  d.Aux32 = fields.Aux32;
  // Not valid while the bytes are copied: a producer that ends in the middle of the copy
  // (its process killed) leaves no frame rather than a torn one, and the consumers show
  // their placeholder until the next write. Nobody else sees this state, as the mutex is
  // held until Valid is 1 again.
  d.Valid = 0;
  d.LockCount = 0;
  d.Aux64A = fields.Aux64A;
  d.Aux64B = fields.Aux64B;
  d.Length = fields.Length;
  transaction.UnmapHeader();
  ChannelOutcome outcome = ChannelOutcome::kNoView;
  if (std::uint8_t* frame = region.MapFrame(index, fields.Length)) {
    if (fields.Length > 0) write(frame);
    outcome = ChannelOutcome::kDone;
  }
  static_cast<void>(region.Unmap());
  if (channel::RegionHeader* again = transaction.MapHeader()) again->Frames[index].Valid = 1;
  return outcome;
}

ChannelOutcome CFrameSlots::Hold(channel::RegionHeader* header, const CRegionView& region, int index,
                                 FrameDescriptor* copy, LeaseTerms* terms) {
  FrameDescriptor& shared = header->Frames[index];
  FrameDescriptor d;
  std::memcpy(&d, &shared, sizeof d);
  // A count already at its maximum cannot count one more hold: the frame is not taken
  // rather than the count wrapping to a negative one.
  if (d.Valid != 1 || d.LockCount >= std::numeric_limits<std::int32_t>::max()) return ChannelOutcome::kRefused;
  if (terms != nullptr) {
    // Read in place, the frame must be exactly the picture its descriptor names, inside
    // its own area, and the hold must keep the producer off it: a count below zero would
    // stay at or below zero with this hold, and the producer writes such a frame.
    if (d.Length != channel::FrameBytes(d.Width, d.Height) || !channel::FrameFits(index, d.Length) || d.LockCount < 0)
      return ChannelOutcome::kRefused;
    if (const ChannelOutcome mapped = region.MapLeaseWindow(index, d.Length, &terms->window);
        mapped != ChannelOutcome::kDone)
      return mapped;
    terms->showLogo = header->ShowLogo != 0;
    terms->listed = CClientTable(header).Touch(*terms->name, platform::GetTickCount());
  }
  shared.LockCount = d.LockCount + 1;
  d.LockCount = shared.LockCount;
  std::memcpy(copy, &d, sizeof d);
  return ChannelOutcome::kDone;
}

void CFrameSlots::Drop(channel::RegionHeader* header, int index) {
  if (index >= 0 && index < channel::kFrameDescriptorCount && header->Frames[index].LockCount > 0)
    --header->Frames[index].LockCount;
}

ChannelOutcome CFrameSlots::CopyHeld(CHeaderTransaction& transaction, CRegionView& region, int index,
                                     void* destination, std::int32_t length) {
  transaction.UnmapHeader();
  const std::uint8_t* frame = region.MapFrame(index, length);
  if (frame == nullptr) return ChannelOutcome::kNoView;
  if (length > 0) std::memcpy(destination, frame, static_cast<std::size_t>(length));
  return ChannelOutcome::kDone;
}
