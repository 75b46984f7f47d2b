#include "sender/frame_converter.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

#include <libyuv.h>

#include "channel/frame_region.h"

namespace sender {

namespace {

struct FormatFacts {
  const char* name;
  int planes;
  int bytesPerPixel;  // of the first plane
  bool evenSides;     // chroma at half width (and half height for 4:2:0)
};

FormatFacts Facts(InputFormat format) {
  switch (format) {
    case InputFormat::kBgr24: return {"BGR24", 1, 3, false};
    case InputFormat::kRgb24: return {"RGB24", 1, 3, false};
    case InputFormat::kBgra32: return {"BGRA32", 1, 4, false};
    case InputFormat::kRgba32: return {"RGBA32", 1, 4, false};
    case InputFormat::kGray8: return {"GRAY8", 1, 1, false};
    case InputFormat::kI420: return {"I420", 3, 1, true};
    case InputFormat::kNv12: return {"NV12", 2, 1, true};
    case InputFormat::kYuy2: return {"YUY2", 1, 2, true};
  }
  return {"", 0, 0, false};
}

// libyuv's constants for limited-range BT.709 miss the standard by up to 13 levels in
// blue (measured against the plain formula for every in-gamut colour; BT.601 limited and
// both full ranges are within 2). Limited BT.709 is therefore widened to full range
// through a table first and converted with the full-range constants.
const libyuv::YuvConstants* Matrix(ColorSpace color) {
  switch (color) {
    case ColorSpace::kBt601Full: return &libyuv::kYuvJPEGConstants;
    case ColorSpace::kBt709Limited: return &libyuv::kYuvF709Constants;
    case ColorSpace::kBt709Full: return &libyuv::kYuvF709Constants;
    case ColorSpace::kBt601Limited: break;
  }
  return &libyuv::kYuvI601Constants;
}

// Limited-range luma (16..235) and chroma (16..240 around 128) to full range.
struct RangeTables {
  std::array<std::uint8_t, 256> luma{}, chroma{};
  RangeTables() {
    for (int v = 0; v < 256; ++v) {
      const double y = (v - 16) * 255.0 / 219.0, c = 128 + (v - 128) * 255.0 / 224.0;
      luma[static_cast<std::size_t>(v)] = static_cast<std::uint8_t>(std::lround(std::clamp(y, 0.0, 255.0)));
      chroma[static_cast<std::size_t>(v)] = static_cast<std::uint8_t>(std::lround(std::clamp(c, 0.0, 255.0)));
    }
  }
};
const RangeTables& Widening() {
  static const RangeTables tables;
  return tables;
}

// Copies `rows` rows of `bytes` bytes through `table` into a packed plane at `out`.
std::uint8_t* Widen(const std::uint8_t* in, std::int32_t stride, std::int64_t bytes, std::int64_t rows,
                    const std::array<std::uint8_t, 256>& table, std::uint8_t* out) {
  for (std::int64_t y = 0; y < rows; ++y) {
    const std::uint8_t* row = in + static_cast<std::ptrdiff_t>(y) * stride;
    for (std::int64_t x = 0; x < bytes; ++x) out[x] = table[row[x]];
    out += bytes;
  }
  return out;
}

// Bytes of one row of plane `plane`.
std::int64_t PlaneRowBytes(InputFormat format, int plane, std::int64_t width) {
  if (plane == 0) return RowBytes(format, width);
  return format == InputFormat::kNv12 ? width : width / 2;  // UV pairs, or U or V
}

}  // namespace

std::string InputFormatName(std::uint32_t format) {
  if (IsInputFormat(format)) return Facts(static_cast<InputFormat>(format)).name;
  return "format " + std::to_string(format);
}

bool IsInputFormat(std::uint32_t format) {
  return format >= static_cast<std::uint32_t>(InputFormat::kBgr24) && format <= static_cast<std::uint32_t>(InputFormat::kYuy2);
}

int PlaneCount(InputFormat format) { return Facts(format).planes; }

std::int64_t RowBytes(InputFormat format, std::int64_t width) { return width * Facts(format).bytesPerPixel; }

std::string CFrameConverter::Check(const InputPicture& picture) {
  if (!IsInputFormat(static_cast<std::uint32_t>(picture.format)))
    return "the pixel format " + std::to_string(static_cast<std::uint32_t>(picture.format)) +
           " is not one of BGR24, RGB24, BGRA32, RGBA32, GRAY8, I420, NV12 and YUY2";
  const FormatFacts facts = Facts(picture.format);
  const std::string size = std::to_string(picture.width) + "x" + std::to_string(picture.height);
  if (picture.width < 1 || picture.height < 1) return "a frame of " + size + " has no pixels; each side must be at least 1";
  if (channel::FrameBytes(picture.width, picture.height) < 0) return "a frame of " + size + " is far too large";
  if (facts.evenSides && (picture.width % 2 != 0 || (picture.format != InputFormat::kYuy2 && picture.height % 2 != 0)))
    return std::string(facts.name) + " frames need an even " +
           (picture.format == InputFormat::kYuy2 ? "width" : "width and height") + " (their colour is shared by " +
           (picture.format == InputFormat::kYuy2 ? "pairs of pixels" : "squares of 2x2 pixels") + "); " + size +
           " is not";
  for (int plane = 0; plane < facts.planes; ++plane) {
    const std::string which = facts.planes == 1 ? "the picture" : "plane " + std::to_string(plane);
    if (picture.planes[static_cast<std::size_t>(plane)] == nullptr) return which + " of the " + facts.name + " frame is missing";
    const std::int64_t need = PlaneRowBytes(picture.format, plane, picture.width);
    const std::int64_t stride = std::llabs(picture.strides[static_cast<std::size_t>(plane)]);
    if (stride < need)
      return "the stride of " + which + " is " + std::to_string(picture.strides[static_cast<std::size_t>(plane)]) +
             " bytes, shorter than one row of " + std::to_string(need) + " bytes (" + size + " " + facts.name + ")";
  }
  return {};
}

std::string CFrameConverter::Convert(const InputPicture& picture, const ConvertOptions& options,
                                     std::vector<std::uint8_t>* frame) {
  if (std::string problem = Check(picture); !problem.empty()) return problem;
  frame->resize(static_cast<std::size_t>(channel::FrameBytes(picture.width, picture.height)));
  return ConvertInto(picture, options, frame->data()) ? std::string() : "the frame could not be converted";
}

namespace {

// The rows y0..y1 of a picture as a picture of their own (4:2:0 chroma rows halved).
InputPicture Rows(const InputPicture& picture, int y0, int y1) {
  InputPicture band = picture;
  band.height = y1 - y0;
  const bool halfHeightChroma = picture.format == InputFormat::kI420 || picture.format == InputFormat::kNv12;
  for (int i = 0; i < PlaneCount(picture.format); ++i) {
    const std::size_t plane = static_cast<std::size_t>(i);
    const std::ptrdiff_t rows = i > 0 && halfHeightChroma ? y0 / 2 : y0;
    band.planes[plane] = picture.planes[plane] + rows * picture.strides[plane];
  }
  return band;
}

}  // namespace

bool CFrameConverter::ConvertInto(const InputPicture& picture, const ConvertOptions& options, std::uint8_t* frame) {
  const int w = picture.width;
  const int h = picture.height;
  const int dstStride = static_cast<int>((static_cast<std::int64_t>(w) * 3 + 3) & ~std::int64_t{3});
  // The channel is bottom-up: the picture's top row is the buffer's last. A flip writes
  // it top-down instead.
  std::uint8_t* top = frame;
  int step = dstStride;
  if (!options.flip) {
    top += static_cast<std::size_t>(dstStride) * static_cast<std::size_t>(h - 1);
    step = -dstStride;
  }
  if (static_cast<std::int64_t>(w) * h < kSplitPixels || h < 4) return ConvertBand(picture, options, top, step, &m_bands[0]);
  // An even number of rows above the split, so that 4:2:0 chroma rows split with them.
  const int split = (h / 2) & ~1;
  std::uint8_t* const lowerTop = top + static_cast<std::ptrdiff_t>(split) * step;
  bool upper = false, lower = false;
  m_worker.RunBeside([&] { lower = ConvertBand(Rows(picture, split, h), options, lowerTop, step, &m_bands[1]); },
                     [&] { upper = ConvertBand(Rows(picture, 0, split), options, top, step, &m_bands[0]); });
  return upper && lower;
}

bool CFrameConverter::ConvertBand(const InputPicture& picture, const ConvertOptions& options, std::uint8_t* dst,
                                  int dstStep, Scratch* scratch) {
  const int w = picture.width;
  const int h = picture.height;
  std::array<const std::uint8_t*, 4> p = picture.planes;
  std::array<std::int32_t, 4> s = picture.strides;
  const libyuv::YuvConstants* matrix = Matrix(options.color);
  if (options.color == ColorSpace::kBt709Limited &&
      (picture.format == InputFormat::kI420 || picture.format == InputFormat::kNv12)) {
    const RangeTables& tables = Widening();
    const std::int64_t cw = picture.format == InputFormat::kNv12 ? w : w / 2, ch = h / 2;
    scratch->widened.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) + static_cast<std::size_t>(cw * ch) * 2);
    std::uint8_t* out = scratch->widened.data();
    p[0] = out;
    out = Widen(picture.planes[0], picture.strides[0], w, h, tables.luma, out);
    s[0] = w;
    const int chromaPlanes = picture.format == InputFormat::kNv12 ? 1 : 2;
    for (int i = 1; i <= chromaPlanes; ++i) {
      p[static_cast<std::size_t>(i)] = out;
      out = Widen(picture.planes[static_cast<std::size_t>(i)], picture.strides[static_cast<std::size_t>(i)], cw, ch,
                  tables.chroma, out);
      s[static_cast<std::size_t>(i)] = static_cast<std::int32_t>(cw);
    }
  }
  int result = 0;
  switch (picture.format) {
    case InputFormat::kBgr24:
      libyuv::CopyPlane(p[0], s[0], dst, dstStep, w * 3, h);
      break;
    case InputFormat::kRgb24:
      result = libyuv::RAWToRGB24(p[0], s[0], dst, dstStep, w, h);
      break;
    case InputFormat::kBgra32:
      result = libyuv::ARGBToRGB24(p[0], s[0], dst, dstStep, w, h);
      break;
    case InputFormat::kRgba32:
      // R,G,B,A bytes read as libyuv's ARGB (B,G,R,A) swap red and blue; writing them as
      // RAW (R,G,B) swaps them back: B,G,R in memory.
      result = libyuv::ARGBToRAW(p[0], s[0], dst, dstStep, w, h);
      break;
    case InputFormat::kGray8:
      for (int y = 0; y < h; ++y) {
        const std::uint8_t* in = p[0] + static_cast<std::ptrdiff_t>(y) * s[0];
        std::uint8_t* out = dst + static_cast<std::ptrdiff_t>(y) * dstStep;
        for (int x = 0; x < w; ++x) out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = in[x];
      }
      break;
    case InputFormat::kI420:
      result = libyuv::I420ToRGB24Matrix(p[0], s[0], p[1], s[1], p[2], s[2], dst, dstStep, matrix, w, h);
      break;
    case InputFormat::kNv12:
      result = libyuv::NV12ToRGB24Matrix(p[0], s[0], p[1], s[1], dst, dstStep, matrix, w, h);
      break;
    case InputFormat::kYuy2: {
      const int half = w / 2;
      scratch->planar.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 2);
      std::uint8_t* y = scratch->planar.data();
      std::uint8_t* u = y + static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
      std::uint8_t* v = u + static_cast<std::size_t>(half) * static_cast<std::size_t>(h);
      result = libyuv::YUY2ToI422(p[0], s[0], y, w, u, half, v, half, w, h);
      if (result == 0 && options.color == ColorSpace::kBt709Limited) {
        const RangeTables& tables = Widening();
        Widen(y, w, w, h, tables.luma, y);
        Widen(u, half, half, h * 2, tables.chroma, u);
      }
      if (result == 0) result = libyuv::I422ToRGB24Matrix(y, w, u, half, v, half, dst, dstStep, matrix, w, h);
      break;
    }
  }
  if (result != 0) return false;
  if (options.mirror) {
    for (int y = 0; y < h; ++y) {
      std::uint8_t* row = dst + static_cast<std::ptrdiff_t>(y) * dstStep;
      for (int left = 0, right = w - 1; left < right; ++left, --right)
        for (int c = 0; c < 3; ++c) std::swap(row[3 * left + c], row[3 * right + c]);
    }
  }
  return true;
}

}  // namespace sender
