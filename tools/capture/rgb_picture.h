// CRgbPicture: a picture as a viewer sees it — rows top to bottom, three bytes per pixel
// in red, green, blue order, no row padding. Everything the capture tool writes (Y4M,
// PNG, contact sheet) starts from one.
//
// FromFrame reads a delivered RGB24 frame: blue, green, red per pixel, rows padded to a
// multiple of 4 bytes, bottom line first when the format's height is positive, top line
// first when it is negative. The frame's bytes come from another component and are
// untrusted: a frame shorter than its format says, or a format whose size cannot be
// formed, gives false and leaves the picture empty. Sizes are computed in 64 bits.
// Plain value object, no threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class CRgbPicture {
 public:
  CRgbPicture() = default;
  CRgbPicture(int width, int height, std::uint8_t r = 0, std::uint8_t g = 0, std::uint8_t b = 0);

  // Bytes of one padded RGB24 row, or -1 when width is not positive or too large.
  static long long FrameStride(long long width);
  bool FromFrame(const std::uint8_t* data, std::size_t size, long long width, long long height);

  int Width() const { return m_width; }
  int Height() const { return m_height; }
  bool Empty() const { return m_pixels.empty(); }
  const std::uint8_t* Data() const { return m_pixels.data(); }
  std::uint8_t* Pixel(int x, int y) { return &m_pixels[(static_cast<std::size_t>(y) * m_width + x) * 3]; }
  const std::uint8_t* Pixel(int x, int y) const {
    return &m_pixels[(static_cast<std::size_t>(y) * m_width + x) * 3];
  }
  void Fill(int x, int y, int w, int h, std::uint8_t r, std::uint8_t g, std::uint8_t b);
  // This picture reduced (or enlarged) to width x height by averaging the source pixels
  // each target pixel covers.
  CRgbPicture Scaled(int width, int height) const;
  // Copies source into this picture with its top-left corner at (x, y), clipped.
  void Paste(const CRgbPicture& source, int x, int y);

 private:
  int m_width = 0;
  int m_height = 0;
  std::vector<std::uint8_t> m_pixels;
};
