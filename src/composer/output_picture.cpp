#include "composer/output_picture.h"

namespace {

// The bytes one row of the first plane needs.
std::int64_t RowBytes(PixelFormat format, std::int64_t width) {
  switch (format) {
    case PixelFormat::kBgr24:
    case PixelFormat::kRgb24: return width * 3;
    case PixelFormat::kBgra:
    case PixelFormat::kBgrx: return width * 4;
    case PixelFormat::kI420: return width;
    case PixelFormat::kNv12: return (width + 1) / 2 * 2;
    case PixelFormat::kYuy2: return (width + 1) / 2 * 4;
  }
  return -1;
}

}  // namespace

std::int64_t PackedStride(PixelFormat format, std::int64_t width) {
  if (width <= 0) return 0;
  switch (format) {
    case PixelFormat::kBgr24:
    case PixelFormat::kRgb24: return (width * 3 + 3) & ~std::int64_t{3};
    case PixelFormat::kI420: return (width + 1) & ~std::int64_t{1};
    default: return RowBytes(format, width);
  }
}

std::int64_t PictureBytes(const OutputPicture& picture) {
  constexpr std::int64_t kLargestSide = 1 << 20;
  if (picture.width <= 0 || picture.height <= 0 || picture.width > kLargestSide || picture.height > kLargestSide)
    return -1;
  const std::int64_t stride = picture.stride;
  if (stride < RowBytes(picture.format, picture.width) || stride > kLargestSide * 4) return -1;
  const std::int64_t plane = stride * picture.height;
  const std::int64_t chromaRows = (static_cast<std::int64_t>(picture.height) + 1) / 2;
  switch (picture.format) {
    case PixelFormat::kI420: return plane + 2 * ((stride + 1) / 2) * chromaRows;
    case PixelFormat::kNv12: return plane + stride * chromaRows;
    default: return plane;
  }
}

bool IsUsable(const OutputPicture& picture) {
  const std::int64_t bytes = PictureBytes(picture);
  return picture.buffer != nullptr && bytes > 0 && static_cast<std::uint64_t>(bytes) <= picture.bytes;
}
