// OutputPicture: the picture a front end wants one camera frame in — its size, pixel
// format, row stride and row order, and the writable buffer that receives it. The
// composer writes exactly the picture's rows (the pixels of each row, never the bytes
// between a row's end and the stride) and nothing past PictureBytes().
//
//   OutputPicture picture{640, 480, PixelFormat::kNv12, PackedStride(PixelFormat::kNv12, 640),
//                         /*bottomUp=*/false, buffer, bufferBytes};
//   if (!IsUsable(picture)) return;   // the buffer is too small or a size is not positive
//
// Plane layout of the YUV formats (BT.601, limited range): I420 is the Y plane (stride
// bytes a row), then U and V with (stride + 1) / 2 bytes a row, each (height + 1) / 2 rows;
// NV12 is the Y plane, then the interleaved UV plane with the same stride; YUY2 is one
// plane of Y0 U Y1 V groups. bottomUp means that the first row in memory is the
// picture's bottom line (as in the region's frames); it applies to every plane.
// Plain value type, no ownership of the buffer.
#pragma once

#include <cstddef>
#include <cstdint>

enum class PixelFormat {
  kBgr24,  // blue, green, red; the region's own format
  kBgra,   // blue, green, red, alpha (255)
  kBgrx,   // blue, green, red, one unused byte (written as 255)
  kRgb24,  // red, green, blue
  kI420,
  kNv12,
  kYuy2,
};

struct OutputPicture {
  std::int32_t width = 0;
  std::int32_t height = 0;
  PixelFormat format = PixelFormat::kBgr24;
  std::int32_t stride = 0;  // bytes from one row of the first plane to the next
  bool bottomUp = true;
  std::uint8_t* buffer = nullptr;
  std::size_t bytes = 0;  // the buffer's size
};

// The usual stride of a picture of width pixels: 24-bit rows padded to 4 bytes (as a
// device-independent bitmap), 32-bit rows as they are, YUV rows of an even pixel count.
// 0 for a width that is not positive.
std::int64_t PackedStride(PixelFormat format, std::int64_t width);
// The bytes of every plane of the picture as its stride lays them out; -1 when its
// width, height or stride cannot describe a picture (not positive, a stride shorter than
// a row).
std::int64_t PictureBytes(const OutputPicture& picture);
// A picture the composer can write: sizes valid, a buffer, and PictureBytes() within it.
bool IsUsable(const OutputPicture& picture);
