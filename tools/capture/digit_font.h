// CDigitFont: a built-in 3x5 pixel font for the digits 0–9, drawn enlarged by a whole
// factor, so that the contact sheet can number its thumbnails without a font file.
// Characters other than digits advance the pen and draw nothing. Stateless.
#pragma once

#include <cstdint>
#include <string>

#include "rgb_picture.h"

class CDigitFont {
 public:
  static constexpr int kGlyphWidth = 3;
  static constexpr int kGlyphHeight = 5;
  static constexpr int kGap = 1;  // columns between glyphs, before scaling

  // Whether the glyph of digit has its pixel (column, row) set.
  static bool GlyphPixel(char digit, int column, int row);
  // Width and height in pixels of text drawn at scale.
  static int TextWidth(const std::string& text, int scale);
  static int TextHeight(int scale) { return kGlyphHeight * scale; }
  // Draws text with its top-left corner at (x, y), clipped to the picture.
  static void Draw(CRgbPicture& picture, int x, int y, const std::string& text, int scale, std::uint8_t r,
                   std::uint8_t g, std::uint8_t b);
};
