// The video formats the PipeWire camera offers and how a frame of each lies in a buffer.
//
// Offered, in order of preference: BGRx, RGBx, RGB, BGR, I420, NV12, YUY2. Each maps to
// the composer's PixelFormat that writes it (RGBx is composed as BGRx and its red and
// blue bytes swapped afterwards). Sizes: the producer's size first (640x480 when no
// producer runs), then 320x240, 640x480, 1280x720, 1920x1080 (each size at each listed
// rate also offered as an object of its own), then any size from
// kMinSide to kMaxWidth x kMaxHeight; rates: 30 (preferred), 15, 25, 60, then any
// fraction from 1 to 60 frames a second.
//
// Frame layout: one data block per buffer, top line first, with the strides and plane
// offsets a consumer derives from the format alone (GStreamer's default video layout):
// packed 24-bit rows padded to 4 bytes, 32-bit rows as they are, YUY2 rows of an even
// pixel count padded to 4 bytes, I420/NV12 luma rows padded to 4 bytes, chroma planes
// after a luma plane of an even number of rows, I420 chroma rows of half the even width
// padded to 4 bytes.
//
// EnumFormat and Buffers parameters are built into a caller's spa_pod_builder (the pods
// live in the builder's memory). ParseVideoFormat accepts only a fixed raw video format
// this table offers, at a size and rate inside the offered ranges; anything else from a
// peer is refused. Plain functions, no state; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include <spa/param/video/raw.h>
#include <spa/pod/builder.h>

#include "composer/output_picture.h"

namespace pipewire_camera {

inline constexpr std::uint32_t kMinSide = 16;
inline constexpr std::uint32_t kMaxWidth = 3840;
inline constexpr std::uint32_t kMaxHeight = 2160;
inline constexpr std::uint32_t kMaxRate = 60;
inline constexpr std::uint32_t kPreferredRate = 30;
// The first size offered when no producer announces one.
inline constexpr std::uint32_t kFallbackWidth = 640;
inline constexpr std::uint32_t kFallbackHeight = 480;

struct FormatEntry {
  spa_video_format spaFormat;
  PixelFormat composed;  // what the composer writes
  bool swapRedBlue;      // red and blue bytes exchanged after composing
};

// The offered formats in order of preference.
const std::vector<FormatEntry>& OfferedFormats();
// The entry of a format, or nothing for one not offered.
std::optional<FormatEntry> FindFormat(spa_video_format format);

// Where the planes of one frame lie in its buffer.
struct FrameLayout {
  int planes = 0;
  std::int64_t offset[3] = {};
  std::int32_t stride[3] = {};
  std::int64_t rows[3] = {};  // rows of each plane
  std::int64_t size = 0;      // bytes of the whole frame
};
// The consumer's layout of a width x height frame; nothing for a size outside the range.
std::optional<FrameLayout> ConsumerLayout(spa_video_format format, std::uint32_t width, std::uint32_t height);

struct VideoFormat {
  spa_video_format format = SPA_VIDEO_FORMAT_UNKNOWN;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t rateNum = 0;
  std::uint32_t rateDenom = 1;
};

// The size offered first: the producer's when it is one a frame can have and lies in
// the offered range, else 640x480.
std::pair<std::uint32_t, std::uint32_t> FirstSize(std::int32_t producerWidth, std::int32_t producerHeight);

// Room a builder needs for BuildEnumFormats (and the Buffers pods after it).
constexpr std::size_t kEnumFormatBuilderBytes = 32768;

// Appends the EnumFormat pods to params: every format at the first size, then at each
// other listed size, at each listed rate (30 first), one fixed size and rate an object;
// then the size and rate lists of every format; then the ranges of every format. False
// when the builder ran out of room.
bool BuildEnumFormats(spa_pod_builder* builder, std::uint32_t firstWidth, std::uint32_t firstHeight,
                      std::vector<const spa_pod*>* params);
// Appends the Buffers pod for a frame layout and the Meta pod of the presentation-time
// header. False when the builder ran out of room.
bool BuildBufferParams(spa_pod_builder* builder, const FrameLayout& layout, std::vector<const spa_pod*>* params);

// A fixed Format pod this table can deliver, or nothing.
std::optional<VideoFormat> ParseVideoFormat(const spa_pod* format);

}  // namespace pipewire_camera
