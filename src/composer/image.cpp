#include "composer/image.h"

#include <opencv2/core/utility.hpp>

#include <limits>
#include <new>

std::size_t CImage::RowStep(int width, int channels, int align) {
  if (width <= 0 || channels <= 0 || align <= 0 || (align & (align - 1)) != 0) return 0;
  const std::uint64_t raw = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(channels);
  const std::uint64_t step = (raw + static_cast<std::uint64_t>(align) - 1) & ~(static_cast<std::uint64_t>(align) - 1);
  if (step > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) return 0;
  return static_cast<std::size_t>(step);
}

std::unique_ptr<CImage> CImage::Wrap(void* pixels, int width, int height, int depth, int channels, Origin origin,
                                     int align) {
  if (pixels == nullptr || depth != 8 || (channels != 3 && channels != 4) || height <= 0) return nullptr;
  const std::size_t step = RowStep(width, channels, align);
  if (step == 0) return nullptr;
  try {
    std::unique_ptr<CImage> image(new CImage);
    image->m_mat = cv::Mat(height, width, CV_8UC(channels), pixels, step);
    image->m_origin = origin;
    return image;
  } catch (...) {
    return nullptr;
  }
}

std::unique_ptr<CImage> CImage::Create(int width, int height, int channels, Origin origin) {
  if ((channels != 3 && channels != 4) || height <= 0) return nullptr;
  const std::size_t step = RowStep(width, channels, 4);
  if (step == 0) return nullptr;
  const std::uint64_t bytes = static_cast<std::uint64_t>(step) * static_cast<std::uint64_t>(height);
  if (bytes > (std::uint64_t{1} << 31)) return nullptr;
  try {
    std::unique_ptr<CImage> image(new CImage);
    image->m_storage.resize(static_cast<std::size_t>(bytes));
    image->m_mat = cv::Mat(height, width, CV_8UC(channels), image->m_storage.data(), step);
    image->m_origin = origin;
    return image;
  } catch (...) {
    return nullptr;
  }
}

namespace {

int SilentImageErrorHandler(int, const char*, const char*, const char*, int, void*) { return 0; }

}  // namespace

void SilenceImageLibraryErrors() { cv::redirectError(SilentImageErrorHandler); }
