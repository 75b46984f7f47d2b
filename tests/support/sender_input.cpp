#include "support/sender_input.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>

namespace testing_support {

namespace {

struct Matrix {
  double kr, kb;
  bool full;
};
Matrix MatrixOf(std::uint32_t color) {
  const bool bt709 = color == AMBERLINE_COLOR_BT709_LIMITED || color == AMBERLINE_COLOR_BT709_FULL;
  return {bt709 ? 0.2126 : 0.299, bt709 ? 0.0722 : 0.114,
          color == AMBERLINE_COLOR_BT601_FULL || color == AMBERLINE_COLOR_BT709_FULL};
}
std::uint8_t Clamp(double v) { return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 255.0))); }

struct Yuv {
  std::uint8_t y, u, v;
};
Yuv ToYuv(Rgb c, const Matrix& m) {
  const double r = c.r / 255.0, g = c.g / 255.0, b = c.b / 255.0;
  const double y = m.kr * r + (1 - m.kr - m.kb) * g + m.kb * b;
  const double pb = (b - y) / (2 * (1 - m.kb)), pr = (r - y) / (2 * (1 - m.kr));
  if (m.full) return {Clamp(255 * y), Clamp(128 + 255 * pb), Clamp(128 + 255 * pr)};
  return {Clamp(16 + 219 * y), Clamp(128 + 224 * pb), Clamp(128 + 224 * pr)};
}
Rgb ToRgb(Yuv c, const Matrix& m) {
  const double y = m.full ? c.y / 255.0 : (c.y - 16) / 219.0;
  const double pb = (c.u - 128) / (m.full ? 255.0 : 224.0), pr = (c.v - 128) / (m.full ? 255.0 : 224.0);
  const double r = y + 2 * (1 - m.kr) * pr, b = y + 2 * (1 - m.kb) * pb;
  const double g = (y - m.kr * r - m.kb * b) / (1 - m.kr - m.kb);
  return {Clamp(255 * r), Clamp(255 * g), Clamp(255 * b)};
}

Rgb At(const CPicture& p, int x, int y) {
  const std::uint8_t* c = p.At(x, y);
  return {c[0], c[1], c[2]};
}

}  // namespace

CPicture BlockPicture(int width, int height) {
  return MakePicture(width, height, [=](int x, int y) -> Rgb {
    const int bx = x / 2, by = y / 2;
    if (bx == 1 && by == 1) return {255, 255, 255};  // top-left mark
    const Rgb base = Quadrant(x, y, width, height);
    return {static_cast<std::uint8_t>((base.r + bx * 13) % 256), static_cast<std::uint8_t>((base.g + by * 7) % 256),
            static_cast<std::uint8_t>((base.b + (bx ^ by) * 5) % 256)};
  });
}

SenderInput EncodeSenderInput(const CPicture& p, std::uint32_t format, std::uint32_t color, int pad) {
  const int w = p.width, h = p.height;
  const Matrix m = MatrixOf(color);
  SenderInput in;
  const auto packed = [&](int bytesPerPixel, const std::function<void(std::uint8_t*, Rgb)>& put) {
    const int stride = w * bytesPerPixel + pad;
    in.bytes.assign(static_cast<std::size_t>(stride) * h, 0xEE);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) put(&in.bytes[static_cast<std::size_t>(y) * stride + x * bytesPerPixel], At(p, x, y));
    in.offsets = {0};
    in.strides = {stride};
  };
  switch (format) {
    case AMBERLINE_FORMAT_BGR24: packed(3, [](std::uint8_t* o, Rgb c) { o[0] = c.b, o[1] = c.g, o[2] = c.r; }); break;
    case AMBERLINE_FORMAT_RGB24: packed(3, [](std::uint8_t* o, Rgb c) { o[0] = c.r, o[1] = c.g, o[2] = c.b; }); break;
    case AMBERLINE_FORMAT_BGRA32: packed(4, [](std::uint8_t* o, Rgb c) { o[0] = c.b, o[1] = c.g, o[2] = c.r, o[3] = 7; }); break;
    case AMBERLINE_FORMAT_RGBA32: packed(4, [](std::uint8_t* o, Rgb c) { o[0] = c.r, o[1] = c.g, o[2] = c.b, o[3] = 7; }); break;
    case AMBERLINE_FORMAT_GRAY8: packed(1, [](std::uint8_t* o, Rgb c) { o[0] = c.r; }); break;
    case AMBERLINE_FORMAT_YUY2:
      packed(2, [](std::uint8_t*, Rgb) {});
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; x += 2) {
          const Yuv a = ToYuv(At(p, x, y), m), b = ToYuv(At(p, x + 1, y), m);
          std::uint8_t* o = &in.bytes[static_cast<std::size_t>(y) * in.strides[0] + x * 2];
          o[0] = a.y, o[1] = a.u, o[2] = b.y, o[3] = a.v;
        }
      break;
    case AMBERLINE_FORMAT_I420:
    case AMBERLINE_FORMAT_NV12: {
      const bool nv12 = format == AMBERLINE_FORMAT_NV12;
      const int ys = w + pad, cs = nv12 ? w + pad : w / 2 + pad;
      const std::size_t ySize = static_cast<std::size_t>(ys) * h, cSize = static_cast<std::size_t>(cs) * (h / 2);
      in.bytes.assign(ySize + cSize * (nv12 ? 1 : 2), 0xEE);
      in.offsets = nv12 ? std::vector<std::size_t>{0, ySize} : std::vector<std::size_t>{0, ySize, ySize + cSize};
      in.strides = nv12 ? std::vector<std::int32_t>{ys, cs} : std::vector<std::int32_t>{ys, cs, cs};
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          const Yuv c = ToYuv(At(p, x, y), m);
          in.bytes[static_cast<std::size_t>(y) * ys + x] = c.y;
          if (x % 2 || y % 2) continue;
          const std::size_t row = ySize + static_cast<std::size_t>(y / 2) * cs;
          if (nv12) {
            in.bytes[row + x] = c.u, in.bytes[row + x + 1] = c.v;
          } else {
            in.bytes[row + x / 2] = c.u, in.bytes[row + cSize + x / 2] = c.v;
          }
        }
      break;
    }
    default: break;
  }
  return in;
}

CPicture ExpectedFromSender(const CPicture& p, std::uint32_t format, std::uint32_t color) {
  if (format == AMBERLINE_FORMAT_GRAY8)
    return MakePicture(p.width, p.height, [&](int x, int y) {
      const std::uint8_t v = p.At(x, y)[0];
      return Rgb{v, v, v};
    });
  if (format != AMBERLINE_FORMAT_I420 && format != AMBERLINE_FORMAT_NV12 && format != AMBERLINE_FORMAT_YUY2) return p;
  const Matrix m = MatrixOf(color);
  return MakePicture(p.width, p.height, [&](int x, int y) {
    const Yuv own = ToYuv(At(p, x, y), m);
    const Yuv shared = ToYuv(At(p, x - x % 2, format == AMBERLINE_FORMAT_YUY2 ? y : y - y % 2), m);
    return ToRgb({own.y, shared.u, shared.v}, m);
  });
}

std::string DifferenceWithin(const CPicture& actual, const CPicture& expected, int tolerance) {
  if (actual.width != expected.width || actual.height != expected.height)
    return "size " + std::to_string(actual.width) + "x" + std::to_string(actual.height) + ", expected " +
           std::to_string(expected.width) + "x" + std::to_string(expected.height);
  for (int y = 0; y < actual.height; ++y)
    for (int x = 0; x < actual.width; ++x)
      for (int c = 0; c < 3; ++c)
        if (std::abs(actual.At(x, y)[c] - expected.At(x, y)[c]) > tolerance)
          return "pixel (" + std::to_string(x) + "," + std::to_string(y) + ") channel " + std::to_string(c) + ": " +
                 std::to_string(actual.At(x, y)[c]) + ", expected " + std::to_string(expected.At(x, y)[c]);
  return {};
}

amberline_frame SenderFrameOf(const SenderInput& in, std::uint32_t format, int width, int height) {
  amberline_frame frame{};
  frame.size = sizeof frame;
  frame.format = format;
  frame.width = width;
  frame.height = height;
  for (std::size_t i = 0; i < in.offsets.size(); ++i) {
    frame.planes[i].data = in.bytes.data() + in.offsets[i];
    frame.planes[i].stride = in.strides[i];
  }
  return frame;
}

}  // namespace testing_support
