#include "filter/picture_loader.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include <opencv2/imgproc.hpp>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_NO_STDIO
#define STBI_NO_HDR
#define STBI_NO_LINEAR
#define STBI_ONLY_PNG
#define STBI_MAX_DIMENSIONS 16384
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#endif
#include <stb_image.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace {

bool ReadWholeFile(const std::wstring& path, std::vector<unsigned char>* bytes) {
  try {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    if (!in) return false;
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size <= 0 || static_cast<std::uint64_t>(size) > kMaxPictureFileBytes) return false;
    in.seekg(0, std::ios::beg);
    bytes->resize(static_cast<std::size_t>(size));
    return static_cast<bool>(in.read(reinterpret_cast<char*>(bytes->data()), size));
  } catch (...) {
    return false;
  }
}

// The picture as red, green, blue, alpha rows, bottom line first; null when it cannot
// be decoded.
std::unique_ptr<CImage> DecodeRgba(const std::wstring& path, CImage::Origin origin) {
  std::vector<unsigned char> bytes;
  if (!ReadWholeFile(path, &bytes)) return nullptr;
  int width = 0, height = 0, channels = 0;
  const int size = static_cast<int>(bytes.size());
  if (stbi_info_from_memory(bytes.data(), size, &width, &height, &channels) == 0) return nullptr;
  if (width <= 0 || height <= 0 || width > kMaxPictureSide || height > kMaxPictureSide ||
      static_cast<long long>(width) * height > kMaxPicturePixels)
    return nullptr;
  stbi_uc* pixels = stbi_load_from_memory(bytes.data(), size, &width, &height, &channels, 4);
  if (pixels == nullptr) return nullptr;
  std::unique_ptr<CImage> image = CImage::Create(width, height, 4, origin);
  if (image != nullptr) {
    const std::size_t row = static_cast<std::size_t>(width) * 4;
    for (int y = 0; y < height; ++y)
      std::memcpy(image->Mat().ptr(height - 1 - y), pixels + row * static_cast<std::size_t>(y), row);
  }
  stbi_image_free(pixels);
  return image;
}

}  // namespace

std::unique_ptr<CImage> LoadPictureBGR(const std::wstring& path) {
  std::unique_ptr<CImage> rgba = DecodeRgba(path, CImage::kBottomLeft);
  if (rgba == nullptr) return nullptr;
  std::unique_ptr<CImage> bgr = CImage::Create(rgba->Width(), rgba->Height(), 3, CImage::kBottomLeft);
  if (bgr == nullptr) return nullptr;
  try {
    cv::cvtColor(rgba->Mat(), bgr->Mat(), cv::COLOR_RGBA2BGR);
  } catch (...) {
    return nullptr;
  }
  return bgr;
}

std::unique_ptr<CImage> LoadPictureRGBA(const std::wstring& path) { return DecodeRgba(path, CImage::kTopLeft); }
