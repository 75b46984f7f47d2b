#include "composer/picture_loader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include <opencv2/imgproc.hpp>

// The decoder's working memory comes zero-filled: a damaged file can leave parts of its
// buffers unwritten that it then reads, and a picture must never depend on (or show)
// whatever the heap held before.
namespace {
void* DecoderAlloc(std::size_t size) { return std::calloc(1, size != 0 ? size : 1); }
void* DecoderRealloc(void* block, std::size_t oldSize, std::size_t newSize) {
  auto* grown = static_cast<unsigned char*>(std::realloc(block, newSize != 0 ? newSize : 1));
  if (grown != nullptr && block != nullptr && newSize > oldSize) std::memset(grown + oldSize, 0, newSize - oldSize);
  if (grown != nullptr && block == nullptr) std::memset(grown, 0, newSize);
  return grown;
}
}  // namespace
#define STBI_MALLOC(size) DecoderAlloc(size)
#define STBI_REALLOC_SIZED(block, oldSize, newSize) DecoderRealloc(block, oldSize, newSize)
#define STBI_FREE(block) std::free(block)
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

// A PNG's chunks, each: 4-byte big-endian data length, 4-byte type, data, 4-byte CRC.
constexpr unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

std::uint32_t Crc32(const unsigned char* bytes, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= bytes[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void AppendBigEndian(std::vector<unsigned char>* out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<unsigned char>(value >> shift));
}

// Readies a PNG for the decoder; false for a file it must not be given.
// - An IDAT chunk whose length passes the end of the file is refused: the decoder would
//   first grow its data buffer to the claimed length (gigabytes, from a file of a few
//   bytes) and only then find the data missing.
// - Empty IDAT chunks are dropped. They carry no image data, so the picture stays the
//   same; the decoder copies an IDAT chunk into its data buffer before it has one when
//   the first IDAT chunk is empty, which it must never be asked to do.
// - A palette of fewer than 256 entries is filled up with black ones. The decoder keeps
//   the palette in memory that only the file's entries are written to, so a pixel whose
//   index passes the palette's end would otherwise take whatever that memory held.
// Chunks are walked up to IEND while they are well formed; whatever follows is passed on
// as it is (the decoder refuses it itself when it gets there).
bool PrepareImageData(std::vector<unsigned char>* bytes) {
  const std::vector<unsigned char>& in = *bytes;
  if (in.size() < sizeof kPngSignature || std::memcmp(in.data(), kPngSignature, sizeof kPngSignature) != 0) return true;
  constexpr std::size_t kFullPalette = 256 * 3;
  std::vector<unsigned char> out;
  std::size_t at = sizeof kPngSignature;
  std::size_t copiedTo = 0;
  bool changed = false;
  while (in.size() - at >= 8) {
    const std::uint64_t length = (std::uint64_t{in[at]} << 24) | (in[at + 1] << 16) | (in[at + 2] << 8) | in[at + 3];
    const unsigned char* type = &in[at + 4];
    const bool imageData = std::memcmp(type, "IDAT", 4) == 0;
    if (in.size() - at < 12 || length > in.size() - at - 12) {
      if (imageData) return false;
      break;  // the rest is passed on as it is
    }
    if (std::memcmp(type, "IEND", 4) == 0) break;
    const std::size_t end = at + 12 + static_cast<std::size_t>(length);
    const bool shortPalette = std::memcmp(type, "PLTE", 4) == 0 && length % 3 == 0 && length < kFullPalette;
    if ((length == 0 && imageData) || shortPalette) {
      out.insert(out.end(), in.begin() + static_cast<std::ptrdiff_t>(copiedTo), in.begin() + static_cast<std::ptrdiff_t>(at));
      if (shortPalette) {
        std::vector<unsigned char> chunk(type, type + 4 + length);
        chunk.resize(4 + kFullPalette, 0);
        AppendBigEndian(&out, static_cast<std::uint32_t>(kFullPalette));
        out.insert(out.end(), chunk.begin(), chunk.end());
        AppendBigEndian(&out, Crc32(chunk.data(), chunk.size()));
      }
      copiedTo = end;
      changed = true;
    }
    at = end;
  }
  if (!changed) return true;
  out.insert(out.end(), in.begin() + static_cast<std::ptrdiff_t>(copiedTo), in.end());
  bytes->swap(out);
  return true;
}

// The picture as red, green, blue, alpha rows, bottom line first; null when it cannot
// be decoded.
std::unique_ptr<CImage> DecodeRgba(const std::wstring& path, CImage::Origin origin) {
  std::vector<unsigned char> bytes;
  if (!ReadWholeFile(path, &bytes)) return nullptr;
  if (!PrepareImageData(&bytes)) return nullptr;
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
