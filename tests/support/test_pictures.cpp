#include "support/test_pictures.h"

#include <gtest/gtest.h>

#include <stb_image.h>
#include <stb_image_write.h>

#include "composer/stream_images.h"
#include "platform/paths.h"
#include "support/test_support.h"

namespace testing_support {

CPicture MakePicture(int width, int height, const std::function<Rgb(int, int)>& colour) {
  CPicture p{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 3)};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const Rgb c = colour(x, y);
      std::uint8_t* d = &p.rgb[(static_cast<std::size_t>(y) * width + x) * 3];
      d[0] = c.r;
      d[1] = c.g;
      d[2] = c.b;
    }
  return p;
}

Rgb Quadrant(int x, int y, int width, int height) {
  const bool right = x >= width / 2, bottom = y >= height / 2;
  if (!right && !bottom) return {220, 30, 40};
  if (right && !bottom) return {30, 200, 60};
  if (!right && bottom) return {40, 60, 210};
  return {230, 210, 20};
}

CPicture MarkedPicture(int width, int height) {
  return MakePicture(width, height, [=](int x, int y) -> Rgb {
    if (x >= 10 && x < 50 && y >= 8 && y < 18) return {255, 255, 255};
    if (x >= width - 20 && x < width - 14 && y >= height - 50 && y < height - 10) return {10, 20, 30};
    if (x == y) return {128, 64, 192};
    return Quadrant(x, y, width, height);
  });
}

void WritePng(const std::filesystem::path& path, const CPicture& p) {
  ASSERT_NE(stbi_write_png(path.string().c_str(), p.width, p.height, 3, p.rgb.data(), p.width * 3), 0);
}

CPicture ReadPng(const std::filesystem::path& path) {
  const std::string bytes = ReadFile(path);
  int width = 0, height = 0, channels = 0;
  stbi_uc* data = stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(bytes.data()), static_cast<int>(bytes.size()),
                                        &width, &height, &channels, 3);
  CPicture p;
  if (data == nullptr) return p;
  p.width = width;
  p.height = height;
  p.rgb.assign(data, data + static_cast<std::size_t>(width) * height * 3);
  stbi_image_free(data);
  return p;
}

std::size_t FrameStride(int width) { return (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3}; }

CPicture PictureFromFrame(const std::uint8_t* frame, std::size_t bytes, int width, int height) {
  const std::size_t stride = FrameStride(width);
  if (frame == nullptr || width <= 0 || height <= 0 || bytes < stride * static_cast<std::size_t>(height)) return {};
  return MakePicture(width, height, [&](int x, int y) -> Rgb {
    const std::uint8_t* s = &frame[static_cast<std::size_t>(height - 1 - y) * stride + static_cast<std::size_t>(x) * 3];
    return {s[2], s[1], s[0]};
  });
}

std::string FirstDifference(const CPicture& actual, const CPicture& expected) {
  if (expected.rgb.empty()) return "no expected picture";
  if (actual.rgb.empty()) return "no picture";
  if (actual.width != expected.width || actual.height != expected.height)
    return "size " + std::to_string(actual.width) + "x" + std::to_string(actual.height) + " instead of " +
           std::to_string(expected.width) + "x" + std::to_string(expected.height);
  for (int y = 0; y < actual.height; ++y)
    for (int x = 0; x < actual.width; ++x)
      for (int c = 0; c < 3; ++c)
        if (actual.At(x, y)[c] != expected.At(x, y)[c])
          return "pixel (" + std::to_string(x) + ", " + std::to_string(y) + ") channel " + std::to_string(c) + ": " +
                 std::to_string(actual.At(x, y)[c]) + " instead of " + std::to_string(expected.At(x, y)[c]);
  return {};
}

CPicture ExpectedPlaceholder(int width, int height) {
  // The installation root as the camera names it: the module folder's parent, ending in
  // a separator.
  CStreamImages images;
  images.LoadPictures(StagedModulePath().parent_path().parent_path().wstring() + platform::kPathSeparator);
  if (!images.HasPlaceholder()) return {};
  std::vector<std::uint8_t> frame(FrameStride(width) * static_cast<std::size_t>(height));
  if (!images.FillPlaceholder(frame.data(), frame.size(), width, height)) return {};
  return PictureFromFrame(frame.data(), frame.size(), width, height);
}

}  // namespace testing_support
