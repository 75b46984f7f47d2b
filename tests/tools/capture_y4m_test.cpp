// The capture tool's YUV4MPEG2 output and the reading of delivered frames it starts from:
// rows come out top line first whichever order the frame has, padding is skipped, and
// colours convert to the documented BT.601 limited-range values.
#include "y4m_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "rgb_picture.h"
#include "support/test_support.h"

namespace {

struct Rgb {
  std::uint8_t r, g, b;
};

// A delivered frame: BGR, rows padded to 4 bytes, bottom line first when bottomUp.
std::vector<std::uint8_t> Frame(int width, int height, bool bottomUp, Rgb (*pixel)(int x, int y)) {
  const long long stride = CRgbPicture::FrameStride(width);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(stride * height), 0xEE);  // padding marker
  for (int y = 0; y < height; ++y) {
    const int row = bottomUp ? height - 1 - y : y;
    for (int x = 0; x < width; ++x) {
      const Rgb c = pixel(x, y);
      std::uint8_t* p = &bytes[static_cast<std::size_t>(row * stride + x * 3)];
      p[0] = c.b;
      p[1] = c.g;
      p[2] = c.r;
    }
  }
  return bytes;
}

// Top line red, bottom line blue, a white pixel at the top-left corner.
Rgb Marked(int x, int y) {
  if (x == 0 && y == 0) return {255, 255, 255};
  return y == 0 ? Rgb{255, 0, 0} : y == 2 ? Rgb{0, 0, 255} : Rgb{0, 255, 0};
}

TEST(CaptureFrame, ReadsBothRowOrdersTopLineFirstAndSkipsPadding) {
  for (bool bottomUp : {true, false}) {
    SCOPED_TRACE(bottomUp ? "bottom-up" : "top-down");
    const std::vector<std::uint8_t> bytes = Frame(5, 3, bottomUp, &Marked);  // 15 bytes of row, 1 of padding
    CRgbPicture picture;
    ASSERT_TRUE(picture.FromFrame(bytes.data(), bytes.size(), 5, bottomUp ? 3 : -3));
    ASSERT_EQ(picture.Width(), 5);
    ASSERT_EQ(picture.Height(), 3);
    EXPECT_EQ(std::vector<std::uint8_t>(picture.Pixel(0, 0), picture.Pixel(0, 0) + 6),
              (std::vector<std::uint8_t>{255, 255, 255, 255, 0, 0}));
    EXPECT_EQ(std::vector<std::uint8_t>(picture.Pixel(4, 1), picture.Pixel(4, 1) + 3),
              (std::vector<std::uint8_t>{0, 255, 0}));
    EXPECT_EQ(std::vector<std::uint8_t>(picture.Pixel(4, 2), picture.Pixel(4, 2) + 3),
              (std::vector<std::uint8_t>{0, 0, 255}));
  }
}

TEST(CaptureFrame, RefusesFramesShorterThanTheirFormatOrWithImpossibleSizes) {
  const std::vector<std::uint8_t> bytes = Frame(5, 3, true, &Marked);
  CRgbPicture picture(2, 2);
  EXPECT_FALSE(picture.FromFrame(bytes.data(), bytes.size() - 1, 5, 3));
  EXPECT_TRUE(picture.Empty());
  EXPECT_FALSE(picture.FromFrame(bytes.data(), bytes.size(), 5, 0));
  EXPECT_FALSE(picture.FromFrame(bytes.data(), bytes.size(), 0, 3));
  EXPECT_FALSE(picture.FromFrame(bytes.data(), bytes.size(), -5, 3));
  EXPECT_FALSE(picture.FromFrame(bytes.data(), bytes.size(), 1LL << 40, 1LL << 40));
  EXPECT_FALSE(picture.FromFrame(nullptr, 0, 5, 3));
}

TEST(CaptureY4m, HeaderNamesSizeRateAndFourFourFourSampling) {
  EXPECT_EQ(CY4mWriter::Header(640, 480, 25, 1), "YUV4MPEG2 W640 H480 F25:1 Ip A1:1 C444\n");
  EXPECT_EQ(CY4mWriter::Header(2, 2, 0, 0), "YUV4MPEG2 W2 H2 F25:1 Ip A1:1 C444\n");
  std::uint32_t n = 0, d = 0;
  CY4mWriter::RateFromDuration(400000, &n, &d);
  EXPECT_EQ(std::make_pair(n, d), std::make_pair(25u, 1u));
  CY4mWriter::RateFromDuration(333333, &n, &d);
  EXPECT_EQ(std::make_pair(n, d), std::make_pair(10000000u, 333333u));
  CY4mWriter::RateFromDuration(0, &n, &d);
  EXPECT_EQ(std::make_pair(n, d), std::make_pair(25u, 1u));
}

TEST(CaptureY4m, ConvertsKnownColoursToLimitedRangeBt601) {
  struct Case {
    Rgb rgb;
    std::uint8_t y, cb, cr;
  };
  const Case cases[] = {{{0, 0, 0}, 16, 128, 128},     {{255, 255, 255}, 235, 128, 128},
                        {{255, 0, 0}, 82, 90, 240},    {{0, 255, 0}, 144, 54, 34},
                        {{0, 0, 255}, 41, 240, 110},   {{128, 128, 128}, 126, 128, 128}};
  CRgbPicture picture(6, 1);
  for (int i = 0; i < 6; ++i) {
    picture.Pixel(i, 0)[0] = cases[i].rgb.r;
    picture.Pixel(i, 0)[1] = cases[i].rgb.g;
    picture.Pixel(i, 0)[2] = cases[i].rgb.b;
  }
  const std::vector<std::uint8_t> planes = CY4mWriter::Planes(picture);
  ASSERT_EQ(planes.size(), 18u);
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(planes[i], cases[i].y);
    EXPECT_EQ(planes[6 + i], cases[i].cb);
    EXPECT_EQ(planes[12 + i], cases[i].cr);
  }
}

TEST(CaptureY4m, FileHoldsHeaderThenFramesOfExactSizeTopLineFirst) {
  testing_support::CTempDir dir;
  const std::string path = (dir.Path() / "out.y4m").string();
  const std::vector<std::uint8_t> bytes = Frame(5, 3, true, &Marked);
  CRgbPicture picture;
  ASSERT_TRUE(picture.FromFrame(bytes.data(), bytes.size(), 5, 3));

  CY4mWriter writer;
  ASSERT_TRUE(writer.Open(path, 5, 3, 25, 1));
  ASSERT_TRUE(writer.WriteFrame(picture));
  EXPECT_FALSE(writer.WriteFrame(CRgbPicture(4, 3)));  // another size is refused, nothing written
  ASSERT_TRUE(writer.WriteFrame(picture));
  EXPECT_EQ(writer.FramesWritten(), 2);
  ASSERT_TRUE(writer.Close());

  const std::string file = testing_support::ReadFile(path);
  const std::string header = "YUV4MPEG2 W5 H3 F25:1 Ip A1:1 C444\n";
  const std::size_t frameBytes = 6 + 5 * 3 * 3;
  ASSERT_EQ(file.size(), header.size() + 2 * frameBytes);
  EXPECT_EQ(file.substr(0, header.size()), header);
  for (int f = 0; f < 2; ++f) {
    const std::size_t at = header.size() + f * frameBytes;
    EXPECT_EQ(file.substr(at, 6), "FRAME\n");
    const auto* y = reinterpret_cast<const std::uint8_t*>(file.data() + at + 6);
    EXPECT_EQ(y[0], 235);   // white corner, top-left
    EXPECT_EQ(y[1], 82);    // red top line
    EXPECT_EQ(y[5], 144);   // green middle line
    EXPECT_EQ(y[10], 41);   // blue bottom line
    EXPECT_EQ(y[15 + 1], 90);   // Cb of red
    EXPECT_EQ(y[30 + 10], 110);  // Cr of blue
  }
}

TEST(CaptureY4m, OpenFailsWhereNoFileCanBeMade) {
  testing_support::CTempDir dir;
  CY4mWriter writer;
  EXPECT_FALSE(writer.Open((dir.Path() / "missing" / "out.y4m").string(), 5, 3, 25, 1));
  EXPECT_FALSE(writer.WriteFrame(CRgbPicture(5, 3)));
}

}  // namespace
