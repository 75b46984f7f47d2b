#include "pipewire/raw_video.h"

#include <libyuv/convert_argb.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace testing_support {
namespace {

std::size_t RoundUp4(std::size_t value) { return (value + 3) & ~std::size_t{3}; }

// GStreamer's default strides: every row of every plane padded to 4 bytes, chroma planes
// of a 4:2:0 format half as wide and high (rounded up).
struct Layout {
  std::size_t stride = 0;        // the first plane's
  std::size_t chromaStride = 0;  // I420's U and V, NV12's UV
  std::size_t chromaRows = 0;
  std::size_t bytes = 0;
};

Layout LayoutOf(const std::string& format, int width, int height) {
  Layout l;
  if (width <= 0 || height <= 0) return l;
  const std::size_t w = static_cast<std::size_t>(width), h = static_cast<std::size_t>(height);
  const std::size_t evenWidth = (w + 1) & ~std::size_t{1};
  l.chromaRows = (h + 1) / 2;
  if (format == "BGRx" || format == "RGBx") {
    l.stride = w * 4;
    l.bytes = l.stride * h;
  } else if (format == "RGB" || format == "BGR") {
    l.stride = RoundUp4(w * 3);
    l.bytes = l.stride * h;
  } else if (format == "I420") {
    l.stride = RoundUp4(w);
    l.chromaStride = RoundUp4(evenWidth / 2);
    l.bytes = l.stride * h + 2 * l.chromaStride * l.chromaRows;
  } else if (format == "NV12") {
    l.stride = RoundUp4(w);
    l.chromaStride = RoundUp4(evenWidth);
    l.bytes = l.stride * h + l.chromaStride * l.chromaRows;
  } else if (format == "YUY2") {
    l.stride = RoundUp4(evenWidth * 2);
    l.bytes = l.stride * h;
  }
  return l;
}

}  // namespace

std::size_t RawFrameBytes(const std::string& format, int width, int height) {
  return LayoutOf(format, width, height).bytes;
}

std::size_t WholeFrames(const std::filesystem::path& file, std::size_t frameBytes) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(file, error);
  return error || frameBytes == 0 ? 0 : static_cast<std::size_t>(size / frameBytes);
}

std::vector<std::uint8_t> ReadRawFrame(const std::filesystem::path& file, std::size_t frameBytes, std::size_t index) {
  std::vector<std::uint8_t> frame(frameBytes);
  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(frameBytes * index));
  if (frameBytes == 0 || !in.read(reinterpret_cast<char*>(frame.data()), static_cast<std::streamsize>(frameBytes)))
    return {};
  return frame;
}

CPicture PictureFromRaw(const std::string& format, int width, int height, const std::vector<std::uint8_t>& frame) {
  const Layout l = LayoutOf(format, width, height);
  if (l.bytes == 0 || frame.size() < l.bytes) return {};
  CPicture p{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 3)};
  const int rgbStride = width * 3;
  const std::uint8_t* y = frame.data();
  const int stride = static_cast<int>(l.stride), chromaStride = static_cast<int>(l.chromaStride);
  if (format == "I420") {
    const std::uint8_t* u = y + l.stride * static_cast<std::size_t>(height);
    const std::uint8_t* v = u + l.chromaStride * l.chromaRows;
    // libyuv's RAW is R, G, B in memory.
    if (libyuv::I420ToRAW(y, stride, u, chromaStride, v, chromaStride, p.rgb.data(), rgbStride, width, height) != 0)
      return {};
    return p;
  }
  if (format == "NV12") {
    const std::uint8_t* uv = y + l.stride * static_cast<std::size_t>(height);
    if (libyuv::NV12ToRAW(y, stride, uv, chromaStride, p.rgb.data(), rgbStride, width, height) != 0) return {};
    return p;
  }
  std::vector<std::uint8_t> argb;
  const std::uint8_t* source = frame.data();
  std::size_t sourceStride = l.stride;
  if (format == "YUY2") {
    // libyuv's ARGB is B, G, R, A in memory, as BGRx.
    argb.resize(static_cast<std::size_t>(width) * 4 * static_cast<std::size_t>(height));
    if (libyuv::YUY2ToARGB(y, stride, argb.data(), width * 4, width, height) != 0) return {};
    source = argb.data();
    sourceStride = static_cast<std::size_t>(width) * 4;
  }
  const bool four = format == "BGRx" || format == "RGBx" || format == "YUY2";
  const bool redFirst = format == "RGBx" || format == "RGB";
  for (int row = 0; row < height; ++row)
    for (int x = 0; x < width; ++x) {
      const std::uint8_t* s =
          source + sourceStride * static_cast<std::size_t>(row) + static_cast<std::size_t>(x) * (four ? 4 : 3);
      std::uint8_t* d = &p.rgb[(static_cast<std::size_t>(row) * width + x) * 3];
      d[0] = redFirst ? s[0] : s[2];
      d[1] = s[1];
      d[2] = redFirst ? s[2] : s[0];
    }
  return p;
}

std::string Deviation::Describe() const {
  if (largest > 255) return "pictures of different sizes";
  if (largest == 0) return "equal";
  return "largest channel difference " + std::to_string(largest) + ", first at pixel (" + std::to_string(x) + ", " +
         std::to_string(y) + "); " + std::to_string(beyondLimit) + " pixels beyond the limit";
}

Deviation LargestDeviation(const CPicture& actual, const CPicture& expected, int limit) {
  Deviation d;
  if (actual.rgb.empty() || actual.width != expected.width || actual.height != expected.height ||
      actual.rgb.size() != expected.rgb.size()) {
    d.largest = 256;
    return d;
  }
  for (int y = 0; y < actual.height; ++y)
    for (int x = 0; x < actual.width; ++x) {
      int pixel = 0;
      for (int c = 0; c < 3; ++c) pixel = std::max(pixel, std::abs(actual.At(x, y)[c] - expected.At(x, y)[c]));
      d.beyondLimit += pixel > limit;
      if (pixel > d.largest) {
        d.largest = pixel;
        d.x = x;
        d.y = y;
      }
    }
  return d;
}

}  // namespace testing_support
