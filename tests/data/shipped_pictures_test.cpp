// Checks the pictures staged with the module, as a host's installation holds them: that
// they decode, and that each has the form the camera relies on (an opaque 4:3 placeholder,
// a small logo with straight alpha and a transparent surround).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
// A private copy of the decoder, so this program does not depend on which library of the
// module happens to carry one.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb_image.h>
#pragma GCC diagnostic pop

namespace {

struct SPicture {
  int width = 0;
  int height = 0;
  int channels = 0;  // as stored in the file
  std::unique_ptr<unsigned char, void (*)(void*)> pixels{nullptr, stbi_image_free};

  const unsigned char* At(int x, int y) const {
    return pixels.get() + (static_cast<std::size_t>(y) * width + x) * channels;
  }
};

SPicture LoadStaged(const std::string& relative) {
  const std::filesystem::path file = std::filesystem::path(AMBERLINE_STAGE_DIR) / relative;
  SPicture picture;
  picture.pixels.reset(stbi_load(file.string().c_str(), &picture.width, &picture.height, &picture.channels, 0));
  if (!picture.pixels) ADD_FAILURE() << file << ": " << stbi_failure_reason();
  return picture;
}

int Luma(const unsigned char* p) { return (p[0] * 299 + p[1] * 587 + p[2] * 114) / 1000; }

TEST(ShippedPicturesTest, PlaceholderIsAnOpaqueFourByThreePictureWithContent) {
  const SPicture picture = LoadStaged("Data/Images/VideoSrc/PleaseStart.png");
  ASSERT_TRUE(picture.pixels);
  EXPECT_EQ(picture.channels, 3) << "the placeholder is stored as 24-bit RGB";
  EXPECT_EQ(picture.width * 3, picture.height * 4);
  EXPECT_GE(picture.width, 640);
  EXPECT_GE(picture.height, 480);

  // A dark background with light text on it: both must be present, and the margins clear.
  int bright = 0;
  int dark = 0;
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x) {
      const int luma = Luma(picture.At(x, y));
      if (luma > 200) ++bright;
      if (luma < 60) ++dark;
    }
  }
  const int total = picture.width * picture.height;
  EXPECT_GT(dark, total / 2);
  EXPECT_GT(bright, total / 500);
  const int margin = picture.width / 20;
  for (int y = 0; y < picture.height; ++y) {
    for (int x : {0, margin - 1, picture.width - margin, picture.width - 1}) {
      ASSERT_LT(Luma(picture.At(x, y)), 80) << "at " << x << "," << y;
    }
  }
}

TEST(ShippedPicturesTest, LogoIsSmallWithStraightAlphaAndATransparentSurround) {
  const SPicture logo = LoadStaged("data/effect_data/logo/logo.png");
  ASSERT_TRUE(logo.pixels);
  ASSERT_EQ(logo.channels, 4) << "the logo needs its own alpha";
  EXPECT_LT(logo.width, 320) << "the logo must fit a 320-pixel-wide frame";
  EXPECT_GT(logo.height, 0);

  for (int x = 0; x < logo.width; ++x) {
    EXPECT_EQ(logo.At(x, 0)[3], 0) << "top edge at " << x;
    EXPECT_EQ(logo.At(x, logo.height - 1)[3], 0) << "bottom edge at " << x;
  }
  for (int y = 0; y < logo.height; ++y) {
    EXPECT_EQ(logo.At(0, y)[3], 0) << "left edge at " << y;
    EXPECT_EQ(logo.At(logo.width - 1, y)[3], 0) << "right edge at " << y;
  }

  int opaque = 0;
  int partial = 0;
  int brightPartial = 0;
  for (int y = 0; y < logo.height; ++y) {
    for (int x = 0; x < logo.width; ++x) {
      const unsigned char* p = logo.At(x, y);
      if (p[3] == 255) ++opaque;
      if (p[3] > 0 && p[3] < 255) ++partial;
      // With premultiplied colour, every faint edge pixel would be dark as well.
      if (p[3] > 0 && p[3] < 128 && std::max({p[0], p[1], p[2]}) > 160) ++brightPartial;
    }
  }
  EXPECT_GT(opaque, 0);
  EXPECT_GT(partial, 0) << "edges are smoothed through alpha";
  EXPECT_GT(brightPartial, 0) << "colour is stored straight, not premultiplied";
}

}  // namespace
