// The shared frame region: byte layout and object names.
//
// This layout is a wire format between independently built processes (the producer
// application and every process that hosts the camera): every offset and width below is
// fixed, little-endian, and the same for 32- and 64-bit participants.
//
//   offset       size         field
//   0            8            reserved (never read or written here)
//   8            4            ClientCount   int32   occupied client entries
//   12           14,400       Clients       100 x ClientEntry (144 bytes)
//   14,412       4            ServerWidth   int32   frame width the producer delivers, 0 = none
//   14,416       4            ServerHeight  int32
//   14,420       4            ShowLogo      int32   nonzero: consumers blend the logo
//   14,424       49,152       Frames        1,024 x FrameDescriptor (48 bytes)
//   63,576       104,857,600  frame data: index i at 63,576 + i x 15,728,640 (indices 0-5)
//
//   ClientEntry:     0 InUse int32 | 4 Name 64 x UTF-16 (zero-terminated, <= 63 units)
//                    | 132 Width int32 | 136 Height int32 | 140 LastSeen uint32 (tick ms)
//   FrameDescriptor: 0 Valid uint8 | 1 pad[3] | 4 LockCount int32 | 8 Width int32
//                    | 12 Height int32 | 16 Aux32 int32 | 20 pad[4] | 24 Aux64A int64
//                    | 32 Aux64B int64 | 40 Length int32 | 44 pad[4]
//
// Frame bytes are a bottom-up 24-bit DIB: B, G, R per pixel, rows padded to 4 bytes,
// bottom row first; Length = padded row size x Height.
//
// Objects (named without a prefix; on Linux made per-user by the platform layer):
//   "Trelvox_FileMapping"               the region, 104,921,176 bytes
//   "Trelvox_FileMapping_AccessMutex"   serialises every access to the region
//   "Trelvox_FileMapping_ServerEvent"   manual reset: set by every frame write, reset
//                                       when the producer shuts down
//   "Trelvox_FileMapping_ClientEvent"   automatic reset: set by every client
//                                       registration or withdrawal
//   "Trelvox_FileMapping_ProducerMutex" held by the producer for its whole life (below)
//
// Protocol (every step takes the access mutex for one header update or one frame copy,
// and no participant waits for it longer than kAccessWaitMs: a frame that cannot be had
// in that time is no frame, and a consumer shows its placeholder):
//   producer  Init: open or create all five objects, then claim the producer mutex (wait
//             up to kProducerClaimMs; a live producer holds it, so a timeout means that
//             another producer runs, and this one stands aside: it does not hold it).
//             Each frame: SetMediaSample(0, ...) writes descriptor 0 and frame 0 unless a
//             consumer holds it (LockCount > 0), then sets the server event. Each write
//             also withdraws client entries not seen for more than kStaleClientMs, once
//             the producer has itself been writing for that long.
//             Destroy: reset the server event (only a producer that held the producer
//             mutex), release the producer mutex, close everything.
//   consumer  Init: open or create all five objects (the producer mutex is never held by
//             a consumer beyond one check). Each frame: check the producer mutex with a
//             wait of 0 ms and release it again when it was taken; then, when the server
//             event is set, LockMediaSample (LockCount + 1), GetMediaSampleData (copy;
//             refreshes the entry's LastSeen, re-registers a vanished entry),
//             UnlockMediaSample (LockCount - 1). Activation registers a client entry,
//             deactivation withdraws it; both set the client event.
//   liveness  The producer mutex is owned by the producer's thread from Init to Destroy.
//             When that producer ends without Destroy (killed, crashed), the system marks
//             the mutex abandoned and the next participant to take it is told so, once:
//             that participant resets the server event while it owns the mutex, doing
//             the producer's shut-down for it. Every camera, running or opened later, then
//             finds no frame and shows its placeholder, until any producer writes again
//             and sets the event. A producer that only follows the byte layout never takes
//             the producer mutex, so for it nothing changes; abandonment is the only
//             signal consumers act on, never "not held".
// A named channel (channel_name.h) prefixes every name with "<name>_"; with
// AMBERLINE_CHANNEL_NAMESPACE set in the environment, every name is prefixed with its
// value before that, so that tests (or a second system on one machine) never meet the
// real producer's objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>

namespace channel {

inline constexpr int kMaxClients = 100;
inline constexpr int kClientNameUnits = 64;
inline constexpr int kFrameDescriptorCount = 1024;
inline constexpr std::uint32_t kHeaderSize = 63576;
inline constexpr std::uint32_t kFrameAreaSize = 15728640;
inline constexpr std::uint32_t kFrameDataSize = 104857600;
inline constexpr std::uint32_t kRegionSize = kHeaderSize + kFrameDataSize;
// Indices whose whole frame area lies inside the region.
inline constexpr int kStorableFrameIndices = static_cast<int>(kFrameDataSize / kFrameAreaSize);
// Indices at which some frame can be stored: the last one's area is cut by the region's
// end, but a frame short enough still ends inside it.
inline constexpr int kUsableFrameIndices =
    static_cast<int>((kFrameDataSize + kFrameAreaSize - 1) / kFrameAreaSize);
// Posted to the producer's window when the client count changes (WM_APP + 235).
inline constexpr unsigned kClientCountMessage = 33003;
// The longest wait of any participant for the access mutex. A live holder keeps it for
// one header update or one frame copy (milliseconds); a holder that keeps it longer is
// stopped or hung, and waiting for it would hang the camera's host.
inline constexpr unsigned kAccessWaitMs = 300;
// How long a starting producer waits for the producer mutex: consumers hold it for one
// check only, a live producer for its whole life.
inline constexpr unsigned kProducerClaimMs = 300;
// A client entry whose LastSeen is older than this is withdrawn by the producer's writes.
inline constexpr std::uint32_t kStaleClientMs = 5000;

struct ClientEntry {
  std::int32_t InUse;
  char16_t Name[kClientNameUnits];
  std::int32_t Width;
  std::int32_t Height;
  std::uint32_t LastSeen;
};

struct FrameDescriptor {
  std::uint8_t Valid;
  std::uint8_t Padding1[3];
  std::int32_t LockCount;
  std::int32_t Width;
  std::int32_t Height;
  std::int32_t Aux32;
  std::uint8_t Padding2[4];
  std::int64_t Aux64A;
  std::int64_t Aux64B;
  std::int32_t Length;
  std::uint8_t Padding3[4];
};

struct RegionHeader {
  std::uint8_t Reserved[8];
  std::int32_t ClientCount;
  ClientEntry Clients[kMaxClients];
  std::int32_t ServerWidth;
  std::int32_t ServerHeight;
  std::int32_t ShowLogo;
  FrameDescriptor Frames[kFrameDescriptorCount];
};

static_assert(sizeof(char16_t) == 2);
static_assert(sizeof(ClientEntry) == 144);
static_assert(offsetof(ClientEntry, InUse) == 0);
static_assert(offsetof(ClientEntry, Name) == 4);
static_assert(offsetof(ClientEntry, Width) == 132);
static_assert(offsetof(ClientEntry, Height) == 136);
static_assert(offsetof(ClientEntry, LastSeen) == 140);
static_assert(sizeof(FrameDescriptor) == 48);
static_assert(offsetof(FrameDescriptor, Valid) == 0);
static_assert(offsetof(FrameDescriptor, LockCount) == 4);
static_assert(offsetof(FrameDescriptor, Width) == 8);
static_assert(offsetof(FrameDescriptor, Height) == 12);
static_assert(offsetof(FrameDescriptor, Aux32) == 16);
static_assert(offsetof(FrameDescriptor, Aux64A) == 24);
static_assert(offsetof(FrameDescriptor, Aux64B) == 32);
static_assert(offsetof(FrameDescriptor, Length) == 40);
static_assert(sizeof(RegionHeader) == kHeaderSize);
static_assert(offsetof(RegionHeader, ClientCount) == 8);
static_assert(offsetof(RegionHeader, Clients) == 12);
static_assert(offsetof(RegionHeader, ServerWidth) == 14412);
static_assert(offsetof(RegionHeader, ServerHeight) == 14416);
static_assert(offsetof(RegionHeader, ShowLogo) == 14420);
static_assert(offsetof(RegionHeader, Frames) == 14424);
static_assert(kRegionSize == 104921176u);
// The explicit padding is where the layout puts it, and every record is plain bytes: no
// member whose size or alignment depends on the compiler or the word size.
static_assert(offsetof(FrameDescriptor, Padding1) == 1);
static_assert(offsetof(FrameDescriptor, Padding2) == 20);
static_assert(offsetof(FrameDescriptor, Padding3) == 44);
static_assert(std::is_standard_layout_v<ClientEntry> && std::is_trivially_copyable_v<ClientEntry>);
static_assert(std::is_standard_layout_v<FrameDescriptor> && std::is_trivially_copyable_v<FrameDescriptor>);
static_assert(std::is_standard_layout_v<RegionHeader> && std::is_trivially_copyable_v<RegionHeader>);
static_assert(alignof(RegionHeader) <= 8 && kHeaderSize % alignof(RegionHeader) == 0);

// Offset of frame index's first byte in the region (index must be >= 0).
inline constexpr std::uint64_t FrameOffset(int index) {
  return kHeaderSize + static_cast<std::uint64_t>(index) * kFrameAreaSize;
}

// True when length bytes of frame index lie inside both the index's frame area and the
// region; false for every other index or length.
inline constexpr bool FrameFits(int index, std::int64_t length) {
  return index >= 0 && index < kFrameDescriptorCount && length >= 0 && length <= kFrameAreaSize &&
         FrameOffset(index) + static_cast<std::uint64_t>(length) <= kRegionSize;
}

// Bytes of one frame of a bottom-up 24-bit DIB with rows padded to 4 bytes, computed in
// 64 bits; -1 for a size that is not positive or has a side over 2^24 pixels (no such
// frame fits anywhere, and the product could not be formed).
inline constexpr std::int64_t FrameBytes(std::int64_t width, std::int64_t height) {
  constexpr std::int64_t kMaxSide = std::int64_t{1} << 24;
  if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return -1;
  return ((width * 3 + 3) & ~std::int64_t{3}) * height;
}

// The name of a channel object (one of the names above) in this process's own channel
// (channel_name.h: AMBERLINE_CHANNEL_NAMESPACE, read at each call, then the process's
// channel name), or in `nameSpace` when one is given.
std::wstring ObjectName(const wchar_t* baseName);
std::wstring ObjectName(const std::optional<std::wstring>& nameSpace, const wchar_t* baseName);

}  // namespace channel
