// What a GStreamer consumer's filesink writes for raw video: each buffer's bytes one after
// the other, every frame in GStreamer's default layout for its format and size (rows
// padded to 4 bytes, planes one after the other). These helpers size such frames, read
// them back from a file that may still be growing, and turn one into a top-down RGB
// picture to compare with what the producer sent. The YUV formats are turned back with
// libyuv's BT.601 limited-range conversions (the matrix and range the camera writes).
// Plain functions over values; nothing is kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_pictures.h"

namespace testing_support {

// The bytes of one width x height frame of a GStreamer format name ("BGRx", "I420", ...);
// 0 for a format these helpers do not know.
std::size_t RawFrameBytes(const std::string& format, int width, int height);
// The number of whole frames of frameBytes in the file so far.
std::size_t WholeFrames(const std::filesystem::path& file, std::size_t frameBytes);
// Frame `index` of the file; empty when the file does not hold it whole.
std::vector<std::uint8_t> ReadRawFrame(const std::filesystem::path& file, std::size_t frameBytes, std::size_t index);
// One raw frame as top-down RGB; an empty picture for an unknown format or a short frame.
CPicture PictureFromRaw(const std::string& format, int width, int height, const std::vector<std::uint8_t>& frame);

// The largest difference of one channel between two pictures of one size, the first
// pixel where it occurs and how many pixels differ by more than `limit` in a channel;
// largest is 256 when the sizes differ or one is empty.
struct Deviation {
  int largest = 0;
  int x = -1;
  int y = -1;
  long long beyondLimit = 0;
  std::string Describe() const;
};
Deviation LargestDeviation(const CPicture& actual, const CPicture& expected, int limit = 0);

}  // namespace testing_support
