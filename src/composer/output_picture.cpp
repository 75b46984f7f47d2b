#include "composer/output_picture.h"

#include <algorithm>

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

int PlaneCount(PixelFormat format) {
  switch (format) {
    case PixelFormat::kI420: return 3;
    case PixelFormat::kNv12: return 2;
    default: return 1;
  }
}

namespace {

constexpr std::int64_t kLargestSide = 1 << 20;
constexpr std::int64_t kLargestOffset = std::int64_t{1} << 40;

std::int64_t PlaneRows(const OutputPicture& picture, int index) {
  return index == 0 ? picture.height : (static_cast<std::int64_t>(picture.height) + 1) / 2;
}

// The bytes a row of plane index needs.
std::int64_t PlaneRowBytes(const OutputPicture& picture, int index) {
  const std::int64_t chromaWidth = (static_cast<std::int64_t>(picture.width) + 1) / 2;
  switch (picture.format) {
    case PixelFormat::kI420: return index == 0 ? picture.width : chromaWidth;
    case PixelFormat::kNv12: return index == 0 ? picture.width : chromaWidth * 2;
    default: return RowBytes(picture.format, picture.width);
  }
}

}  // namespace

PlaneLayout PlaneOf(const OutputPicture& picture, int index) {
  if (picture.planes != 0) return picture.plane[index];
  const auto stride = static_cast<std::size_t>(picture.stride);
  const std::size_t lumaBytes = stride * static_cast<std::size_t>(picture.height);
  const auto chromaRows = static_cast<std::size_t>(PlaneRows(picture, 1));
  switch (index) {
    case 0: return {0, picture.stride};
    case 1:
      return picture.format == PixelFormat::kI420 ? PlaneLayout{lumaBytes, (picture.stride + 1) / 2}
                                                  : PlaneLayout{lumaBytes, picture.stride};
    default: return {lumaBytes + (stride + 1) / 2 * chromaRows, (picture.stride + 1) / 2};
  }
}

std::int64_t PictureBytes(const OutputPicture& picture) {
  if (picture.width <= 0 || picture.height <= 0 || picture.width > kLargestSide || picture.height > kLargestSide)
    return -1;
  if (picture.planes == 0) {
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
  if (picture.planes != PlaneCount(picture.format)) return -1;
  std::int64_t end = 0;
  for (int index = 0; index < picture.planes; ++index) {
    const PlaneLayout& plane = picture.plane[index];
    if (plane.stride < PlaneRowBytes(picture, index) || plane.stride > kLargestSide * 4 ||
        plane.offset > static_cast<std::uint64_t>(kLargestOffset))
      return -1;
    end = std::max(end, static_cast<std::int64_t>(plane.offset) + std::int64_t{plane.stride} * PlaneRows(picture, index));
  }
  return end;
}

bool IsUsable(const OutputPicture& picture) {
  const std::int64_t bytes = PictureBytes(picture);
  return picture.buffer != nullptr && bytes > 0 && static_cast<std::uint64_t>(bytes) <= picture.bytes;
}
