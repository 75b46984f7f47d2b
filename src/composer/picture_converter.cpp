#include "composer/picture_converter.h"

#include <libyuv/convert.h>
#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/planar_functions.h>

bool CPictureConverter::Convert(const std::uint8_t* bgr, std::int64_t bgrStride, const OutputPicture& picture) {
  if (bgr == nullptr || !IsUsable(picture) || bgrStride < static_cast<std::int64_t>(picture.width) * 3 ||
      bgrStride > (std::int64_t{1} << 30))
    return false;
  const int width = picture.width;
  const int srcStride = static_cast<int>(bgrStride);
  // The source is bottom-up: a bottom-up output takes its rows in order, a top-down one
  // takes them last row first, which libyuv does for a negative height.
  const int height = picture.bottomUp ? picture.height : -picture.height;
  const int rows = picture.height;
  const int chromaRows = (rows + 1) / 2;
  const PlaneLayout first = PlaneOf(picture, 0);
  const int stride = first.stride;
  std::uint8_t* out = picture.buffer + first.offset;
  try {
    switch (picture.format) {
      case PixelFormat::kBgr24:
        libyuv::CopyPlane(bgr, srcStride, out, stride, width * 3, height);
        return true;
      case PixelFormat::kRgb24:
        // Swapping the first and third byte of each pixel is its own inverse.
        return libyuv::RAWToRGB24(bgr, srcStride, out, stride, width, height) == 0;
      case PixelFormat::kBgra:
      case PixelFormat::kBgrx:
        return libyuv::RGB24ToARGB(bgr, srcStride, out, stride, width, height) == 0;
      case PixelFormat::kI420: {
        const PlaneLayout u = PlaneOf(picture, 1), v = PlaneOf(picture, 2);
        return libyuv::RGB24ToI420(bgr, srcStride, out, stride, picture.buffer + u.offset, u.stride,
                                   picture.buffer + v.offset, v.stride, width, height) == 0;
      }
      case PixelFormat::kNv12: {
        // Y straight into the picture, U and V through scratch, then interleaved.
        const int chromaWidth = (width + 1) / 2;
        const std::size_t chromaBytes = static_cast<std::size_t>(chromaWidth) * static_cast<std::size_t>(chromaRows);
        m_scratch.resize(2 * chromaBytes);
        std::uint8_t* u = m_scratch.data();
        std::uint8_t* v = u + chromaBytes;
        if (libyuv::RGB24ToI420(bgr, srcStride, out, stride, u, chromaWidth, v, chromaWidth, width, height) != 0)
          return false;
        // The chroma rows already follow the output's row order.
        const PlaneLayout uv = PlaneOf(picture, 1);
        libyuv::MergeUVPlane(u, chromaWidth, v, chromaWidth, picture.buffer + uv.offset, uv.stride, chromaWidth,
                             chromaRows);
        return true;
      }
      case PixelFormat::kYuy2: {
        // Through 32-bit pixels in the output's row order; chroma is shared by two pixels
        // of one row (4:2:2).
        const std::size_t argbStride = static_cast<std::size_t>(width) * 4;
        m_scratch.resize(argbStride * static_cast<std::size_t>(rows));
        if (libyuv::RGB24ToARGB(bgr, srcStride, m_scratch.data(), static_cast<int>(argbStride), width, height) != 0)
          return false;
        return libyuv::ARGBToYUY2(m_scratch.data(), static_cast<int>(argbStride), out, stride, width, rows) == 0;
      }
    }
  } catch (...) {
    return false;
  }
  return false;
}
