// CFrameConverter: a sender's frame, in any of the input formats, into the channel's
// frame layout (bottom-up BGR24, rows padded to 4 bytes) in one libyuv pass where
// libyuv has one (two for YUY2: to planar 4:2:2, then to BGR; gray is expanded here).
//
//   CFrameConverter converter;
//   InputPicture in{InputFormat::kI420, 640, 480, {y, u, v}, {640, 320, 320}};
//   std::string problem = converter.Convert(in, options, &frame);   // "" when converted
//
// Every plane's rows are read from `planes[i]` (the picture's top row) `strides[i]` bytes
// apart; a negative stride means a bottom-up picture. The picture is checked before a
// byte is read: formats it does not know, missing planes, strides shorter than a row,
// odd sizes of 4:2:0 and 4:2:2 formats are refused with a sentence. A frame of
// kSplitPixels or more is converted in two bands at once: the lower rows on a worker
// thread the converter owns, the upper on the caller's. One thread at a time calls it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sender/band_worker.h"

namespace sender {

enum class InputFormat : std::uint32_t {
  kBgr24 = 1,
  kRgb24 = 2,
  kBgra32 = 3,
  kRgba32 = 4,
  kGray8 = 5,
  kI420 = 6,
  kNv12 = 7,
  kYuy2 = 8,
};
enum class ColorSpace : std::uint32_t { kBt601Limited = 0, kBt601Full = 1, kBt709Limited = 2, kBt709Full = 3 };

struct InputPicture {
  InputFormat format = InputFormat::kBgr24;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::array<const std::uint8_t*, 4> planes{};
  std::array<std::int32_t, 4> strides{};
};

struct ConvertOptions {
  ColorSpace color = ColorSpace::kBt601Limited;
  bool mirror = false;  // left and right swapped
  bool flip = false;    // top and bottom swapped
};

// The format's name as the library's header spells it ("I420"), or "format N".
std::string InputFormatName(std::uint32_t format);
bool IsInputFormat(std::uint32_t format);
// Planes a format has (1..3).
int PlaneCount(InputFormat format);
// The stride of a tightly packed first plane of that width, as amberline_sender_send
// derives the other planes from it: bytes a row of the first plane takes.
std::int64_t RowBytes(InputFormat format, std::int64_t width);

class CFrameConverter {
 public:
  // Frames of this many pixels or more are split between two threads.
  static constexpr std::int64_t kSplitPixels = 640 * 480;

  // "" when the picture is a valid one of its format; else why not.
  static std::string Check(const InputPicture& picture);
  // Converts into *frame (resized to the channel's frame bytes for the picture's size).
  // "" on success, else the sentence Check gives (nothing written then).
  std::string Convert(const InputPicture& picture, const ConvertOptions& options, std::vector<std::uint8_t>* frame);
  // Converts a picture Check accepted into `frame`, channel::FrameBytes of its size long
  // (a frame window of the channel itself). False only if libyuv refused the arguments.
  bool ConvertInto(const InputPicture& picture, const ConvertOptions& options, std::uint8_t* frame);

 private:
  // Intermediate planes of one band.
  struct Scratch {
    std::vector<std::uint8_t> planar;   // YUY2's planar step
    std::vector<std::uint8_t> widened;  // limited-range BT.709 planes widened to full range
  };
  // Converts all rows of `picture` to the rows dst, dst + dstStep, ... (and mirrors them).
  static bool ConvertBand(const InputPicture& picture, const ConvertOptions& options, std::uint8_t* dst, int dstStep,
                          Scratch* scratch);

  std::array<Scratch, 2> m_bands;
  CBandWorker m_worker;
};

}  // namespace sender
