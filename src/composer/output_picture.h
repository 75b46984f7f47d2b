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

// One plane of a picture: where its first row in memory starts in the buffer, and the
// bytes from one row to the next.
struct PlaneLayout {
  std::size_t offset = 0;
  std::int32_t stride = 0;
};

struct OutputPicture {
  std::int32_t width = 0;
  std::int32_t height = 0;
  PixelFormat format = PixelFormat::kBgr24;
  std::int32_t stride = 0;  // bytes from one row of the first plane to the next
  bool bottomUp = true;
  std::uint8_t* buffer = nullptr;
  std::size_t bytes = 0;  // the buffer's size
  // A layout of the planes' own (a consumer's buffer whose planes lie apart, or whose
  // chroma rows have a stride of their own), used when planes is the format's plane
  // count; 0 (the default) lays the planes out from stride as described above, and any
  // other count describes no picture.
  int planes = 0;
  PlaneLayout plane[3] = {};
};

// 1, 2 for NV12 (Y, interleaved UV), 3 for I420 (Y, U, V).
int PlaneCount(PixelFormat format);
// Plane index of the picture as the composer writes it: the picture's own layout when it
// has one, else the one its stride implies. Meaningful for a picture PictureBytes accepts.
PlaneLayout PlaneOf(const OutputPicture& picture, int index);

// The usual stride of a picture of width pixels: 24-bit rows padded to 4 bytes (as a
// device-independent bitmap), 32-bit rows as they are, YUV rows of an even pixel count.
// 0 for a width that is not positive.
std::int64_t PackedStride(PixelFormat format, std::int64_t width);
// The bytes from the buffer's start to the end of the plane that ends last, as the
// picture's layout places them; -1 when its width, height, strides or offsets cannot
// describe a picture (not positive, a stride shorter than its plane's row, a plane count
// that is not the format's, an offset past 2^40).
std::int64_t PictureBytes(const OutputPicture& picture);
// A picture the composer can write: sizes valid, a buffer, and PictureBytes() within it.
bool IsUsable(const OutputPicture& picture);
