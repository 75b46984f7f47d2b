// Frames for the sender library made from a test picture, and what a camera shows for
// them, by the plain per-pixel formulas (BT.601/BT.709, limited and full range), so that
// the library's conversion is checked against arithmetic rather than against itself.
#pragma once

#include <amberline/sender.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/test_pictures.h"

namespace testing_support {

// One input frame: its bytes, its planes' offsets and strides.
struct SenderInput {
  std::vector<std::uint8_t> bytes;
  std::vector<std::size_t> offsets;
  std::vector<std::int32_t> strides;
};

// A picture whose colours change every 2x2 block (so 4:2:0 chroma is exact) and whose
// quadrants and a white top-left mark show a flip or a mirror.
CPicture BlockPicture(int width, int height);

// The picture in `format`, rows `pad` bytes longer than needed (the padding 0xEE).
SenderInput EncodeSenderInput(const CPicture& p, std::uint32_t format,
                              std::uint32_t color = AMBERLINE_COLOR_BT601_LIMITED, int pad = 0);

// What a camera shows for the picture sent in `format`: the reference decoding of what
// EncodeSenderInput wrote (grey from the red channel for GRAY8).
CPicture ExpectedFromSender(const CPicture& p, std::uint32_t format,
                            std::uint32_t color = AMBERLINE_COLOR_BT601_LIMITED);

// Where two pictures differ by more than `tolerance` in a channel, or "".
std::string DifferenceWithin(const CPicture& actual, const CPicture& expected, int tolerance);

// The frame description of `in` (which must outlive it).
amberline_frame SenderFrameOf(const SenderInput& in, std::uint32_t format, int width, int height);

}  // namespace testing_support
