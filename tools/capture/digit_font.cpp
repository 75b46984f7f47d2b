#include "digit_font.h"

namespace {

// Five rows of three bits each (most significant bit = left column).
constexpr std::uint8_t kGlyphs[10][5] = {
    {7, 5, 5, 5, 7},  // 0
    {2, 6, 2, 2, 7},  // 1
    {7, 1, 7, 4, 7},  // 2
    {7, 1, 7, 1, 7},  // 3
    {5, 5, 7, 1, 1},  // 4
    {7, 4, 7, 1, 7},  // 5
    {7, 4, 7, 5, 7},  // 6
    {7, 1, 2, 2, 2},  // 7
    {7, 5, 7, 5, 7},  // 8
    {7, 5, 7, 1, 7},  // 9
};

}  // namespace

bool CDigitFont::GlyphPixel(char digit, int column, int row) {
  if (digit < '0' || digit > '9' || column < 0 || column >= kGlyphWidth || row < 0 || row >= kGlyphHeight)
    return false;
  return (kGlyphs[digit - '0'][row] >> (kGlyphWidth - 1 - column)) & 1;
}

int CDigitFont::TextWidth(const std::string& text, int scale) {
  if (text.empty()) return 0;
  return static_cast<int>(text.size()) * (kGlyphWidth + kGap) * scale - kGap * scale;
}

void CDigitFont::Draw(CRgbPicture& picture, int x, int y, const std::string& text, int scale, std::uint8_t r,
                      std::uint8_t g, std::uint8_t b) {
  int penX = x;
  for (char c : text) {
    for (int row = 0; row < kGlyphHeight; ++row)
      for (int column = 0; column < kGlyphWidth; ++column)
        if (GlyphPixel(c, column, row)) picture.Fill(penX + column * scale, y + row * scale, scale, scale, r, g, b);
    penX += (kGlyphWidth + kGap) * scale;
  }
}
