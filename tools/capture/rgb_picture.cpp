#include "rgb_picture.h"

#include <algorithm>
#include <limits>

namespace {
// Larger frames than this are refused rather than allocated.
constexpr long long kMaxSide = 1 << 15;
}  // namespace

CRgbPicture::CRgbPicture(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b)
    : m_width(std::max(width, 0)), m_height(std::max(height, 0)) {
  m_pixels.resize(static_cast<std::size_t>(m_width) * m_height * 3);
  Fill(0, 0, m_width, m_height, r, g, b);
}

long long CRgbPicture::FrameStride(long long width) {
  if (width <= 0 || width > kMaxSide) return -1;
  return (width * 3 + 3) & ~3LL;
}

bool CRgbPicture::FromFrame(const std::uint8_t* data, std::size_t size, long long width, long long height) {
  m_width = m_height = 0;
  m_pixels.clear();
  const long long stride = FrameStride(width);
  const bool bottomUp = height > 0;
  const long long rows = bottomUp ? height : -height;
  if (stride < 0 || rows <= 0 || rows > kMaxSide || data == nullptr) return false;
  if (static_cast<unsigned long long>(stride * rows) > size) return false;
  m_width = static_cast<int>(width);
  m_height = static_cast<int>(rows);
  m_pixels.resize(static_cast<std::size_t>(m_width) * m_height * 3);
  for (int y = 0; y < m_height; ++y) {
    const long long sourceRow = bottomUp ? rows - 1 - y : y;
    const std::uint8_t* in = data + sourceRow * stride;
    std::uint8_t* out = Pixel(0, y);
    for (int x = 0; x < m_width; ++x, in += 3, out += 3) {
      out[0] = in[2];
      out[1] = in[1];
      out[2] = in[0];
    }
  }
  return true;
}

void CRgbPicture::Fill(int x, int y, int w, int h, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  const int x0 = std::max(x, 0), y0 = std::max(y, 0);
  const int x1 = std::min(x + w, m_width), y1 = std::min(y + h, m_height);
  for (int yy = y0; yy < y1; ++yy)
    for (int xx = x0; xx < x1; ++xx) {
      std::uint8_t* p = Pixel(xx, yy);
      p[0] = r;
      p[1] = g;
      p[2] = b;
    }
}

CRgbPicture CRgbPicture::Scaled(int width, int height) const {
  CRgbPicture out(width, height);
  if (Empty() || out.Empty()) return out;
  for (int y = 0; y < out.m_height; ++y) {
    const int sy0 = static_cast<int>(static_cast<long long>(y) * m_height / out.m_height);
    const int sy1 = std::max(sy0 + 1, static_cast<int>(static_cast<long long>(y + 1) * m_height / out.m_height));
    for (int x = 0; x < out.m_width; ++x) {
      const int sx0 = static_cast<int>(static_cast<long long>(x) * m_width / out.m_width);
      const int sx1 = std::max(sx0 + 1, static_cast<int>(static_cast<long long>(x + 1) * m_width / out.m_width));
      unsigned long long sum[3] = {0, 0, 0};
      for (int sy = sy0; sy < sy1; ++sy)
        for (int sx = sx0; sx < sx1; ++sx) {
          const std::uint8_t* p = Pixel(sx, sy);
          sum[0] += p[0];
          sum[1] += p[1];
          sum[2] += p[2];
        }
      const unsigned long long n = static_cast<unsigned long long>(sy1 - sy0) * (sx1 - sx0);
      std::uint8_t* o = out.Pixel(x, y);
      for (int c = 0; c < 3; ++c) o[c] = static_cast<std::uint8_t>((sum[c] + n / 2) / n);
    }
  }
  return out;
}

void CRgbPicture::Paste(const CRgbPicture& source, int x, int y) {
  for (int sy = 0; sy < source.m_height; ++sy) {
    const int ty = y + sy;
    if (ty < 0 || ty >= m_height) continue;
    for (int sx = 0; sx < source.m_width; ++sx) {
      const int tx = x + sx;
      if (tx < 0 || tx >= m_width) continue;
      std::copy_n(source.Pixel(sx, sy), 3, Pixel(tx, ty));
    }
  }
}
