// The capture tool's contact sheet and PNG output: which frames a sheet shows however
// long the capture, where the thumbnails go, and that the frame numbers can be seen in
// the written file (decoded back and compared with the built-in digit font).
#include "contact_sheet.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <stb_image.h>

#include "digit_font.h"
#include "png_writer.h"
#include "support/test_support.h"

namespace {

// A decoded RGB PNG.
struct Decoded {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;
  const std::uint8_t* At(int x, int y) const { return &pixels[(static_cast<std::size_t>(y) * width + x) * 3]; }
};

Decoded Decode(const std::string& bytes) {
  Decoded d;
  int channels = 0;
  stbi_uc* data = stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(bytes.data()), static_cast<int>(bytes.size()),
                                        &d.width, &d.height, &channels, 3);
  if (data == nullptr) return {};
  d.pixels.assign(data, data + static_cast<std::size_t>(d.width) * d.height * 3);
  stbi_image_free(data);
  return d;
}

CRgbPicture Solid(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  return CRgbPicture(width, height, r, g, b);
}

TEST(CaptureSheet, LayoutPutsAtMostSixThumbnailsInARowWithTheFramesAspect) {
  const CContactSheet::Layout one = CContactSheet::Plan(1, 640, 480);
  EXPECT_EQ(one.columns, 1);
  EXPECT_EQ(one.rows, 1);
  EXPECT_EQ(one.thumbnailWidth, 160);
  EXPECT_EQ(one.thumbnailHeight, 120);
  EXPECT_EQ(one.width, 8 + 160 + 8);
  EXPECT_EQ(one.height, 8 + 120 + 8);

  const CContactSheet::Layout full = CContactSheet::Plan(24, 1280, 720);
  EXPECT_EQ(full.columns, 6);
  EXPECT_EQ(full.rows, 4);
  EXPECT_EQ(full.thumbnailHeight, 90);
  EXPECT_EQ(full.width, 8 + 6 * 168);
  EXPECT_EQ(full.height, 8 + 4 * 98);
  EXPECT_EQ(full.CellX(7), 8 + 168);
  EXPECT_EQ(full.CellY(7), 8 + 98);

  EXPECT_EQ(CContactSheet::Plan(7, 640, 480).rows, 2);
  EXPECT_EQ(CContactSheet::Plan(0, 640, 480).width, 0);
  EXPECT_EQ(CContactSheet::Plan(1, 10000, 1).thumbnailHeight, 1);  // never a thumbnail without rows
}

TEST(CaptureSheet, SpreadsItsThumbnailsEvenlyFromFirstToLastFrame) {
  EXPECT_EQ(CContactSheet::Spread({1, 2, 3}, 24), (std::vector<long long>{1, 2, 3}));
  EXPECT_EQ(CContactSheet::Spread({1, 2, 3, 4, 5, 6, 7, 8, 9}, 3), (std::vector<long long>{1, 5, 9}));

  for (long long total : {5LL, 24LL, 25LL, 100LL, 1000LL}) {
    SCOPED_TRACE(total);
    CContactSheet sheet(24);
    const CRgbPicture frame = Solid(32, 24, 1, 2, 3);
    for (long long n = 1; n <= total; ++n) sheet.Offer(n, frame);
    const std::vector<long long> chosen = sheet.Chosen();
    ASSERT_EQ(chosen.size(), static_cast<std::size_t>(std::min<long long>(total, 24)));
    EXPECT_EQ(chosen.front(), 1);
    EXPECT_EQ(chosen.back(), total);
    // Evenly spread: no gap more than twice the ideal one (the sheet keeps every
    // step-th frame, so gaps are multiples of the step).
    const double ideal = static_cast<double>(total - 1) / (chosen.size() - 1);
    for (std::size_t i = 1; i < chosen.size(); ++i) {
      EXPECT_GT(chosen[i], chosen[i - 1]);
      EXPECT_LE(chosen[i] - chosen[i - 1], 2 * ideal + 1);
    }
  }
}

TEST(CaptureSheet, WrittenSheetShowsEachFramesPictureAndNumber) {
  CContactSheet sheet(24);
  // Frame n is a solid grey of level 10 * n, so each cell tells which frame it shows.
  for (int n = 1; n <= 8; ++n) {
    const auto level = static_cast<std::uint8_t>(10 * n);
    sheet.Offer(n, Solid(64, 48, level, level, level));
  }
  testing_support::CTempDir dir;
  const std::string path = (dir.Path() / "sheet.png").string();
  ASSERT_TRUE(CPngWriter::Write(path, sheet.Render()));
  const Decoded png = Decode(testing_support::ReadFile(path));
  const CContactSheet::Layout layout = CContactSheet::Plan(8, 64, 48);
  ASSERT_EQ(png.width, layout.width);
  ASSERT_EQ(png.height, layout.height);
  EXPECT_EQ(png.At(0, 0)[0], 40);  // the ground between cells

  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    const int x = layout.CellX(i), y = layout.CellY(i);
    const std::uint8_t level = static_cast<std::uint8_t>(10 * (i + 1));
    // The picture: bottom-right corner of the cell, away from the label.
    EXPECT_EQ(png.At(x + layout.thumbnailWidth - 1, y + layout.thumbnailHeight - 1)[1], level);
    // The number: every pixel of the glyph is white, every other pixel of its box black.
    const int scale = CContactSheet::kLabelScale, pad = CContactSheet::kLabelPadding;
    const char digit = static_cast<char>('1' + i);
    for (int row = 0; row < CDigitFont::kGlyphHeight; ++row)
      for (int column = 0; column < CDigitFont::kGlyphWidth; ++column) {
        const std::uint8_t expected = CDigitFont::GlyphPixel(digit, column, row) ? 255 : 0;
        const std::uint8_t* p = png.At(x + pad + column * scale + scale / 2, y + pad + row * scale + scale / 2);
        ASSERT_EQ(p[0], expected) << "digit " << digit << " column " << column << " row " << row;
        ASSERT_EQ(p[2], expected);
      }
  }
}

TEST(CaptureSheet, DigitGlyphsAreDistinctAndMultiDigitNumbersAdvance) {
  for (char a = '0'; a <= '9'; ++a)
    for (char b = static_cast<char>(a + 1); b <= '9'; ++b) {
      bool differ = false;
      for (int row = 0; row < 5; ++row)
        for (int column = 0; column < 3; ++column)
          differ = differ || CDigitFont::GlyphPixel(a, column, row) != CDigitFont::GlyphPixel(b, column, row);
      EXPECT_TRUE(differ) << a << " and " << b;
    }
  CRgbPicture picture(40, 10);
  CDigitFont::Draw(picture, 0, 0, "17", 2, 255, 255, 255);
  EXPECT_EQ(CDigitFont::TextWidth("17", 2), 14);
  // "1" has its stem in the middle column; "7" its top bar across all three, 8 pixels on.
  EXPECT_EQ(picture.Pixel(2, 4)[0], 255);
  EXPECT_EQ(picture.Pixel(0, 4)[0], 0);
  EXPECT_EQ(picture.Pixel(8, 0)[0], 255);
  EXPECT_EQ(picture.Pixel(12, 0)[0], 255);
  EXPECT_EQ(picture.Pixel(8, 9)[0], 0);
}

TEST(CapturePng, RoundTripsTopDownRgb) {
  CRgbPicture picture(3, 2);
  picture.Fill(0, 0, 3, 1, 255, 0, 0);
  picture.Fill(0, 1, 3, 1, 0, 0, 255);
  picture.Fill(2, 1, 1, 1, 1, 2, 3);
  const std::vector<unsigned char> bytes = CPngWriter::Encode(picture);
  const Decoded png = Decode(std::string(bytes.begin(), bytes.end()));
  ASSERT_EQ(png.width, 3);
  ASSERT_EQ(png.height, 2);
  EXPECT_EQ(std::vector<std::uint8_t>(png.pixels.begin(), png.pixels.end()),
            (std::vector<std::uint8_t>{255, 0, 0, 255, 0, 0, 255, 0, 0, 0, 0, 255, 0, 0, 255, 1, 2, 3}));
  EXPECT_TRUE(CPngWriter::Encode(CRgbPicture()).empty());
  testing_support::CTempDir dir;
  EXPECT_FALSE(CPngWriter::Write((dir.Path() / "missing" / "x.png").string(), picture));
}

}  // namespace
