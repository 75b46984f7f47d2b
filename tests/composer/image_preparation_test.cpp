#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <cstring>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "channel/frame_region.h"
#include "damaged_png.h"
#include "composer/image.h"
#include "composer/install_paths.h"
#include "composer/letterbox.h"
#include "composer/picture_loader.h"
#include "composer/stream_images.h"
#include "platform/paths.h"
#include "support/log_capture.h"
#include "support/test_support.h"

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#endif
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace {

using testing_support::CTempDir;

constexpr wchar_t kSep = platform::kPathSeparator;

std::wstring P(std::initializer_list<const wchar_t*> parts, bool trailing) {
  std::wstring path;
  for (const wchar_t* part : parts) path += std::wstring(part) + kSep;
  if (!trailing && !path.empty()) path.pop_back();
  return path;
}

// A bottom-up BGR frame buffer of width x height, rows padded to 4 bytes.
struct Frame {
  Frame(int w, int h, std::uint8_t fill = 0) : width(w), height(h), step((w * 3 + 3) & ~3), bytes(step * h, fill) {}
  std::uint8_t* At(int row, int column) { return bytes.data() + static_cast<std::size_t>(row) * step + column * 3; }
  int width, height;
  std::size_t step;
  std::vector<std::uint8_t> bytes;
};

TEST(InstallPathsTest, RootIsTheParentOfTheModuleFolder) {
  // "<sep>opt<sep>Trelvox<sep>Bin<sep>" -> "<sep>opt<sep>Trelvox<sep>"
  const std::wstring bin = std::wstring(1, kSep) + P({L"opt", L"Trelvox", L"Bin"}, true);
  EXPECT_EQ(GetParentDirectory(bin), std::wstring(1, kSep) + P({L"opt", L"Trelvox"}, true));
  EXPECT_EQ(GetPlaceholderPath(GetParentDirectory(bin)),
            std::wstring(1, kSep) + P({L"opt", L"Trelvox", L"Data", L"Images", L"VideoSrc", L"PleaseStart.png"}, false));
  EXPECT_EQ(GetLogoPath(L"R" + std::wstring(1, kSep)),
            L"R" + std::wstring(1, kSep) + P({L"data", L"effect_data", L"logo", L"logo.png"}, false));
}

TEST(InstallPathsTest, ParentOfAFolderDirectlyBelowARootIsThatRoot) {
  EXPECT_EQ(GetParentDirectory(std::wstring(1, kSep) + L"Bin" + kSep), std::wstring(1, kSep));
  EXPECT_EQ(GetParentDirectory(std::wstring(L"C:") + kSep + L"Bin" + kSep), std::wstring(L"C:") + kSep);
  EXPECT_EQ(GetPlaceholderPath(GetParentDirectory(std::wstring(L"C:") + kSep + L"Bin" + kSep)).substr(0, 9),
            std::wstring(L"C:") + kSep + L"Data" + kSep + L"I");
  EXPECT_EQ(GetParentDirectory(L"nofolder"), L"nofolder");
}

TEST(InstallPathsTest, ModuleDirectoryEndsWithASeparator) {
  const std::wstring folder = GetModuleDirectory(platform::ModuleHandleFromAddress(reinterpret_cast<const void*>(&P)));
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), kSep);
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  EXPECT_TRUE(std::filesystem::exists(folder + L"amberline_unit_tests") ||
              std::filesystem::exists(folder + L"amberline_unit_tests.exe"));
}

// A program's installation root is the first layout around its folder that holds the
// placeholder picture; with none, the build tree's stage (whose pictures a build puts there).
struct ProgramRootCase {
  const char* layout;
  std::vector<const wchar_t*> programFolder;  // below the temporary folder
  std::vector<std::vector<const wchar_t*>> pictureRoots;  // where pictures are
  std::vector<const wchar_t*> expectedRoot;
};
class ProgramInstallationRootTest : public testing::TestWithParam<ProgramRootCase> {};

TEST_P(ProgramInstallationRootTest, IsTheFirstLayoutThatHoldsThePictures) {
  CTempDir temp;
  auto below = [&](const std::vector<const wchar_t*>& parts) {
    std::wstring path = temp.Wide() + kSep;
    for (const wchar_t* part : parts) path += std::wstring(part) + kSep;
    return path;
  };
  const std::wstring folder = below(GetParam().programFolder);
  std::filesystem::create_directories(folder);
  for (const std::vector<const wchar_t*>& root : GetParam().pictureRoots) {
    const std::filesystem::path picture(GetPlaceholderPath(below(root)));
    std::filesystem::create_directories(picture.parent_path());
    std::ofstream(picture) << "png";
  }
  EXPECT_EQ(FindProgramInstallationRoot(folder), below(GetParam().expectedRoot)) << GetParam().layout;
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ProgramInstallationRootTest,
    testing::Values(
        ProgramRootCase{"installation", {L"Trelvox", L"Bin"}, {{L"Trelvox"}}, {L"Trelvox"}},
        ProgramRootCase{"system prefix", {L"usr", L"bin"}, {{L"usr", L"lib", L"amberline"}}, {L"usr", L"lib", L"amberline"}},
        ProgramRootCase{"build tree", {L"build", L"bin"}, {{L"build", L"stage"}}, {L"build", L"stage"}},
        ProgramRootCase{"installation before prefix", {L"usr", L"bin"}, {{L"usr", L"lib", L"amberline"}, {L"usr"}}, {L"usr"}},
        ProgramRootCase{"nothing installed", {L"build", L"bin"}, {}, {L"build", L"stage"}},
        ProgramRootCase{"pictures elsewhere", {L"usr", L"bin"}, {{L"opt"}}, {L"usr", L"stage"}}));

struct LetterboxCase {
  int sw, sh, w, h;
  LetterboxPlacement expected;
};
class LetterboxTest : public testing::TestWithParam<LetterboxCase> {};

TEST_P(LetterboxTest, PlacesThePictureCentredWithItsAspectKept) {
  const LetterboxCase& c = GetParam();
  const LetterboxPlacement p = ComputeLetterbox(c.sw, c.sh, c.w, c.h);
  EXPECT_EQ(p.x, c.expected.x);
  EXPECT_EQ(p.y, c.expected.y);
  EXPECT_EQ(p.width, c.expected.width);
  EXPECT_EQ(p.height, c.expected.height);
}

INSTANTIATE_TEST_SUITE_P(Sizes, LetterboxTest,
                         testing::Values(LetterboxCase{1280, 720, 640, 480, {0, 60, 640, 360}},
                                         LetterboxCase{640, 480, 1280, 720, {160, 0, 960, 720}},
                                         LetterboxCase{720, 576, 640, 480, {0, 0, 640, 480}},  // ratio 1.0667
                                         LetterboxCase{1920, 1080, 640, 480, {0, 60, 640, 360}},
                                         // 641 wide: the bars cannot be equal; x = 320 - 240 = 80.
                                         LetterboxCase{640, 480, 641, 360, {80, 0, 480, 360}},
                                         // 21 / (16/9) = 11.81 rounds to 12; y = 10 - 6 = 4.
                                         LetterboxCase{1920, 1080, 21, 20, {0, 4, 21, 12}},
                                         // Ties go to even: 5 / 2 = 2.5 gives 2, 7 / 2 = 3.5 gives 4.
                                         LetterboxCase{200, 100, 5, 4, {0, 1, 5, 2}},
                                         LetterboxCase{200, 100, 7, 4, {0, 0, 7, 4}},
                                         // Odd and even widths of frame and picture, each way round:
                                         // x = W/2 - pw/2 truncates both halves.
                                         LetterboxCase{481, 480, 640, 480, {80, 0, 481, 480}},   // even W, odd pw
                                         LetterboxCase{481, 480, 641, 480, {80, 0, 481, 480}},   // odd W, odd pw
                                         LetterboxCase{482, 480, 641, 480, {79, 0, 482, 480}},   // odd W, even pw
                                         LetterboxCase{482, 480, 640, 480, {79, 0, 482, 480}},   // even W, even pw
                                         // The same for heights, y counted from the bottom line.
                                         LetterboxCase{640, 361, 640, 480, {0, 60, 640, 361}},   // even H, odd ph
                                         LetterboxCase{640, 361, 640, 481, {0, 60, 640, 361}},   // odd H, odd ph
                                         LetterboxCase{640, 362, 640, 481, {0, 59, 640, 362}},   // odd H, even ph
                                         LetterboxCase{640, 362, 640, 480, {0, 59, 640, 362}})); // even H, even ph

TEST(LetterboxScaleTest, BarsAreBlackAndThePictureFillsItsRegionInMemoryOrder) {
  std::unique_ptr<CImage> source = CImage::Create(1280, 720, 3, CImage::kBottomLeft);
  ASSERT_NE(source, nullptr);
  source->Mat().setTo(cv::Scalar(200, 150, 100));
  Frame frame(640, 480, 0x55);
  ASSERT_TRUE(ScaleFrameLetterboxed(*source, frame.bytes.data(), frame.width, frame.height));
  for (int row : {0, 59, 60, 419, 420, 479}) {
    const std::uint8_t* px = frame.At(row, 320);
    const bool inside = row >= 60 && row < 420;
    EXPECT_EQ(px[0], inside ? 200 : 0) << row;
    EXPECT_EQ(px[2], inside ? 100 : 0) << row;
  }
  Frame tiny(4, 4);
  EXPECT_FALSE(ScaleFrameLetterboxed(*source, nullptr, 4, 4));
  EXPECT_FALSE(ScaleFrameLetterboxed(*source, tiny.bytes.data(), 0, 4));
}

// Every byte of a dirty buffer ends up either the picture's colour (inside its placement)
// or black, for bars above and below as for bars left and right; the padding at the end
// of each row is not the picture's to touch.
TEST(LetterboxScaleTest, EveryPixelOutsideThePictureIsClearedWhateverSideTheBarsAreOn) {
  struct Case {
    int sourceWidth, sourceHeight, width, height;
  };
  for (const Case c : {Case{1280, 720, 640, 480}, Case{640, 480, 1280, 720}, Case{200, 100, 30, 7},
                       Case{481, 480, 640, 480}, Case{482, 480, 641, 480}, Case{640, 361, 640, 480},
                       Case{640, 362, 640, 481}}) {
    std::unique_ptr<CImage> source = CImage::Create(c.sourceWidth, c.sourceHeight, 3, CImage::kBottomLeft);
    ASSERT_NE(source, nullptr);
    source->Mat().setTo(cv::Scalar(200, 150, 100));
    Frame frame(c.width, c.height, 0x55);
    ASSERT_TRUE(ScaleFrameLetterboxed(*source, frame.bytes.data(), frame.width, frame.height));
    const LetterboxPlacement p = ComputeLetterbox(c.sourceWidth, c.sourceHeight, c.width, c.height);
    int wrong = 0;
    for (int row = 0; row < c.height; ++row) {
      for (int column = 0; column < c.width; ++column) {
        const bool inside = row >= p.y && row < p.y + p.height && column >= p.x && column < p.x + p.width;
        const std::uint8_t* px = frame.At(row, column);
        const bool right = inside ? px[0] == 200 && px[1] == 150 && px[2] == 100 : px[0] == 0 && px[1] == 0 && px[2] == 0;
        if (!right && wrong++ == 0) ADD_FAILURE() << c.width << "x" << c.height << ": first wrong pixel at row " << row
                                                  << ", column " << column << (inside ? " (picture)" : " (bar)");
      }
      for (std::size_t pad = static_cast<std::size_t>(c.width) * 3; pad < frame.step; ++pad)
        EXPECT_EQ(frame.bytes[static_cast<std::size_t>(row) * frame.step + pad], 0x55);
    }
  }
}

// A logo image lw x lh whose every pixel is (r, g, b, a), rows in memory order.
std::unique_ptr<CImage> SolidLogo(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b,
                                  std::uint8_t a) {
  std::unique_ptr<CImage> logo = CImage::Create(width, height, 4, CImage::kTopLeft);
  logo->Mat().setTo(cv::Scalar(r, g, b, a));
  return logo;
}

struct LogoPlacementCase {
  int logoWidth, logoHeight, frameWidth, frameHeight, firstColumn, lastColumn, rows;
};
class LogoPlacementTest : public testing::TestWithParam<LogoPlacementCase> {};

TEST_P(LogoPlacementTest, LogoScalesWithTheFrameAndEndsOneColumnBeforeTheRightEdge) {
  const LogoPlacementCase& c = GetParam();
  CStreamImages images;
  images.SetLogo(SolidLogo(c.logoWidth, c.logoHeight, 10, 20, 30, 255));
  Frame frame(c.frameWidth, c.frameHeight, 0);
  ASSERT_TRUE(images.BlendLogo(frame.bytes.data(), frame.width, frame.height));
  for (int row = 0; row < frame.height; ++row)
    for (int column = 0; column < frame.width; ++column) {
      const bool inside = row < c.rows && column >= c.firstColumn && column <= c.lastColumn;
      const std::uint8_t* px = frame.At(row, column);
      ASSERT_EQ(px[0], inside ? 30 : 0) << row << "," << column;
      ASSERT_EQ(px[2], inside ? 10 : 0) << row << "," << column;
    }
}

INSTANTIATE_TEST_SUITE_P(Frames, LogoPlacementTest,
                         testing::Values(LogoPlacementCase{64, 32, 320, 240, 255, 318, 32},
                                         LogoPlacementCase{64, 32, 640, 480, 511, 638, 64},
                                         // 125 x 40 once scaled, in a 100 x 20 frame: clipped at column 0
                                         // and at the last row, never written outside.
                                         LogoPlacementCase{400, 128, 100, 20, 0, 98, 20}));

TEST(LogoBlendTest, TransparentOpaqueAndHalfAlphaPixels) {
  CStreamImages images;
  images.SetLogo(SolidLogo(64, 32, 255, 255, 255, 128));
  Frame frame(320, 240, 0);
  ASSERT_TRUE(images.BlendLogo(frame.bytes.data(), 320, 240));
  EXPECT_EQ(frame.At(0, 300)[1], 128);
  images.SetLogo(SolidLogo(64, 32, 255, 255, 255, 0));
  Frame untouched(320, 240, 77);
  ASSERT_TRUE(images.BlendLogo(untouched.bytes.data(), 320, 240));
  EXPECT_EQ(untouched.bytes, Frame(320, 240, 77).bytes);
}

// The blend as it is defined, written plainly: columns outer, rows inner, floating point.
void ReferenceBlend(const CImage& scaled, Frame& frame) {
  const int lw = scaled.Width(), lh = scaled.Height();
  for (int j = 0; j < lw; ++j)
    for (int i = 0; i < lh; ++i) {
      const std::uint8_t* s = scaled.Mat().ptr(i) + j * 4;
      std::uint8_t* d = frame.At(i, frame.width - lw - 1 + j);
      const float a = static_cast<float>(s[3] / 255.0);
      d[0] = static_cast<std::uint8_t>(static_cast<int>(s[2] * a + d[0] * (1 - a)));
      d[1] = static_cast<std::uint8_t>(static_cast<int>(s[1] * a + d[1] * (1 - a)));
      d[2] = static_cast<std::uint8_t>(static_cast<int>(s[0] * a + d[2] * (1 - a)));
    }
}

TEST(LogoBlendTest, MatchesTheDefiningFormulaBitForBitForEveryAlpha) {
  // A 255-wide logo (one column per alpha but the last; its rows are 765 bytes, so the
  // blend's tail after whole groups of eight bytes is covered too) of 64 rows (a spread of
  // colour values) over a frame holding another spread; at frame width 320 the logo keeps
  // its size.
  std::unique_ptr<CImage> logo = CImage::Create(255, 64, 4, CImage::kTopLeft);
  for (int row = 0; row < 64; ++row)
    for (int alpha = 0; alpha < 255; ++alpha) {
      std::uint8_t* px = logo->Mat().ptr(row) + alpha * 4;
      px[0] = static_cast<std::uint8_t>(row * 4 + 3);
      px[1] = static_cast<std::uint8_t>(255 - row * 4);
      px[2] = static_cast<std::uint8_t>((row * 37 + alpha) & 0xFF);
      px[3] = static_cast<std::uint8_t>(alpha);
    }
  Frame frame(320, 64), expected(320, 64);
  for (std::size_t i = 0; i < frame.bytes.size(); ++i)
    frame.bytes[i] = expected.bytes[i] = static_cast<std::uint8_t>((i * 131 + i / 320) & 0xFF);
  CStreamImages images;
  std::unique_ptr<CImage> copy = CImage::Create(255, 64, 4, CImage::kTopLeft);
  logo->Mat().copyTo(copy->Mat());
  images.SetLogo(std::move(logo));
  ASSERT_TRUE(images.BlendLogo(frame.bytes.data(), 320, 64));
  ReferenceBlend(*copy, expected);
  EXPECT_EQ(frame.bytes, expected.bytes);
}

TEST(LogoBlendTest, EveryAlphaLogoAndFrameValueGivesTheDefinedResult) {
  // All 256 x 256 x 256 combinations: for each alpha a 320 x 256 frame whose row r holds
  // the value r everywhere, under a 256 x 256 logo whose column c holds the value c.
  std::unique_ptr<CImage> logo = CImage::Create(256, 256, 4, CImage::kTopLeft);
  for (int alpha = 0; alpha < 256; ++alpha) {
    for (int row = 0; row < 256; ++row)
      for (int column = 0; column < 256; ++column) {
        std::uint8_t* px = logo->Mat().ptr(row) + column * 4;
        px[0] = px[1] = px[2] = static_cast<std::uint8_t>(column);
        px[3] = static_cast<std::uint8_t>(alpha);
      }
    Frame frame(320, 256), expected(320, 256);
    for (int row = 0; row < 256; ++row) {
      std::memset(frame.At(row, 0), row, 320 * 3);
      std::memset(expected.At(row, 0), row, 320 * 3);
    }
    std::unique_ptr<CImage> copy = CImage::Create(256, 256, 4, CImage::kTopLeft);
    logo->Mat().copyTo(copy->Mat());
    CStreamImages images;
    images.SetLogo(std::move(copy));
    ASSERT_TRUE(images.BlendLogo(frame.bytes.data(), 320, 256));
    ReferenceBlend(*logo, expected);
    ASSERT_EQ(frame.bytes, expected.bytes) << "alpha " << alpha;
  }
}

TEST(LogoBlendTest, LogoScaledPastThePictureLimitIsNotDrawn) {
  // 1024 x 1024 in a 2000-wide frame would be 6400 x 6400 (41 million pixels).
  int lw = -1, lh = -1;
  CStreamImages::LogoSize(1024, 1024, 2000, &lw, &lh);
  EXPECT_EQ(lw, 0);
  EXPECT_EQ(lh, 0);
  CStreamImages::LogoSize(16384, 16384, 2147483647, &lw, &lh);
  EXPECT_EQ(lw, 0) << "no size past what an int holds";
  CStreamImages::LogoSize(1024, 1024, 1600, &lw, &lh);
  EXPECT_EQ(lw, 5120) << "within the limit the logo scales as always";
  EXPECT_EQ(lh, 5120);
  CStreamImages::LogoSize(kMaxPicturePixels, 1, 320, &lw, &lh);
  EXPECT_EQ(lw, kMaxPicturePixels) << "exactly the limit is a size";
  EXPECT_EQ(lh, 1);
  CStreamImages::LogoSize(kMaxPicturePixels + 1, 1, 320, &lw, &lh);
  EXPECT_EQ(lw, 0) << "one pixel past the limit is not";

  std::unique_ptr<CImage> logo = CImage::Create(1024, 1024, 4, CImage::kTopLeft);
  logo->Mat().setTo(cv::Scalar(255, 255, 255, 255));
  CStreamImages images;
  images.SetLogo(std::move(logo));
  Frame frame(2000, 2, 7);
  EXPECT_FALSE(images.BlendLogo(frame.bytes.data(), 2000, 2));
  EXPECT_EQ(frame.bytes, Frame(2000, 2, 7).bytes);
}

TEST(PlaceholderTest, StretchesOverTheWholeBufferOnlyWhenItFits) {
  CStreamImages images;
  Frame frame(64, 48, 9);
  EXPECT_FALSE(images.FillPlaceholder(frame.bytes.data(), frame.bytes.size(), 64, 48)) << "no placeholder yet";
  std::unique_ptr<CImage> placeholder = CImage::Create(4, 3, 3, CImage::kBottomLeft);
  placeholder->Mat().setTo(cv::Scalar(1, 2, 3));
  images.SetPlaceholder(std::move(placeholder));
  EXPECT_FALSE(images.FillPlaceholder(frame.bytes.data(), frame.bytes.size() - 1, 64, 48));
  EXPECT_EQ(frame.bytes, Frame(64, 48, 9).bytes);
  ASSERT_TRUE(images.FillPlaceholder(frame.bytes.data(), frame.bytes.size(), 64, 48));
  EXPECT_EQ(frame.At(0, 0)[2], 3);
  EXPECT_EQ(frame.At(47, 63)[0], 1);
}

// The placeholder is scaled once per output size and copied afterwards: every frame must
// still be exactly what a fresh scale of the current placeholder to the current size gives,
// with the rows' padding bytes untouched.
TEST(PlaceholderTest, KeptPictureFollowsTheOutputSizeAndThePlaceholder) {
  auto gradient = [](int seed) {
    std::unique_ptr<CImage> picture = CImage::Create(97, 61, 3, CImage::kBottomLeft);
    for (int row = 0; row < 61; ++row)
      for (int byte = 0; byte < 97 * 3; ++byte)
        picture->Mat().ptr(row)[byte] = static_cast<std::uint8_t>(row * 7 + byte * seed);
    return picture;
  };
  auto expected = [](const CImage& picture, int w, int h) {
    Frame frame(w, h, 0xA5);
    cv::Mat target(h, w, CV_8UC3, frame.bytes.data(), frame.step);
    cv::resize(picture.Mat(), target, target.size(), 0, 0, cv::INTER_LINEAR);
    return frame.bytes;
  };
  CStreamImages images;
  std::unique_ptr<CImage> first = gradient(3);
  const std::vector<std::uint8_t> first64 = expected(*first, 64, 48), first33 = expected(*first, 33, 17);
  images.SetPlaceholder(std::move(first));
  for (int round = 0; round < 2; ++round) {
    Frame large(64, 48, 0xA5), small(33, 17, 0xA5);
    ASSERT_TRUE(images.FillPlaceholder(large.bytes.data(), large.bytes.size(), 64, 48));
    EXPECT_EQ(large.bytes, first64) << "round " << round;
    ASSERT_TRUE(images.FillPlaceholder(small.bytes.data(), small.bytes.size(), 33, 17));
    EXPECT_EQ(small.bytes, first33) << "round " << round << " (padding included)";
  }
  std::unique_ptr<CImage> second = gradient(5);
  const std::vector<std::uint8_t> second33 = expected(*second, 33, 17);
  images.SetPlaceholder(std::move(second));
  Frame small(33, 17, 0xA5);
  ASSERT_TRUE(images.FillPlaceholder(small.bytes.data(), small.bytes.size(), 33, 17));
  EXPECT_EQ(small.bytes, second33) << "a new placeholder replaces the kept one";
}

// ---- Picture files ------------------------------------------------------------------

std::wstring WritePng(const CTempDir& dir, const char* name, int width, int height, const std::vector<std::uint8_t>& rgba) {
  const auto path = dir.Path() / name;
  EXPECT_NE(stbi_write_png(path.string().c_str(), width, height, 4, rgba.data(), width * 4), 0);
  return path.wstring();
}

TEST(PictureLoaderTest, RowsArriveBottomLineFirstInTheirChannelOrder) {
  CTempDir dir;
  // 2 x 2, top row red then green, bottom row blue then half-transparent white.
  const std::vector<std::uint8_t> rgba = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 128};
  const std::wstring path = WritePng(dir, "p.png", 2, 2, rgba);
  std::unique_ptr<CImage> logo = LoadPictureRGBA(path);
  ASSERT_NE(logo, nullptr);
  EXPECT_EQ(logo->Mat().ptr(0)[2], 255) << "first row in memory is the bottom line (blue)";
  EXPECT_EQ(logo->Mat().ptr(0)[7], 128);
  EXPECT_EQ(logo->Mat().ptr(1)[0], 255) << "then the top line (red)";
  std::unique_ptr<CImage> bgr = LoadPictureBGR(path);
  ASSERT_NE(bgr, nullptr);
  EXPECT_EQ(bgr->Channels(), 3);
  EXPECT_EQ(bgr->Mat().ptr(0)[0], 255) << "blue first in BGR";
  EXPECT_EQ(bgr->Mat().ptr(1)[2], 255) << "red last in BGR";
}

TEST(PictureLoaderTest, EmptyImageDataChunksChangeNothing) {
  CTempDir dir;
  const std::vector<std::uint8_t> rgba = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 128};
  const std::wstring plain = WritePng(dir, "plain.png", 2, 2, rgba);
  std::vector<char> bytes;
  {
    std::ifstream in(std::filesystem::path(plain), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // An empty IDAT chunk (length 0, type, the CRC of "IDAT") before the first real one and
  // another after it.
  const char empty[12] = {0, 0, 0, 0, 'I', 'D', 'A', 'T', '\x35', '\xAF', '\x06', '\x1E'};
  std::string text(bytes.begin(), bytes.end());
  const std::size_t first = text.find("IDAT") - 4;
  text.insert(first, empty, sizeof empty);
  text.insert(text.find("IEND") - 4, empty, sizeof empty);
  const auto padded = dir.Path() / "padded.png";
  std::ofstream(padded, std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));

  std::unique_ptr<CImage> expected = LoadPictureRGBA(plain);
  std::unique_ptr<CImage> logo = LoadPictureRGBA(padded.wstring());
  ASSERT_NE(expected, nullptr);
  ASSERT_NE(logo, nullptr);
  EXPECT_EQ(cv::norm(logo->Mat(), expected->Mat(), cv::NORM_INF), 0.0);
  EXPECT_NE(LoadPictureBGR(padded.wstring()), nullptr);
}

std::vector<char> FromBase64(const char* text) {
  std::vector<char> bytes;
  unsigned bits = 0;
  int count = 0;
  for (const char* c = text; *c != '\0' && *c != '='; ++c) {
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    bits = (bits << 6) | static_cast<unsigned>(std::strchr(alphabet, *c) - alphabet);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return bytes;
}

TEST(PictureLoaderTest, ImageDataChunkLongerThanTheFileIsRefused) {
  // A few bytes that claim two gigabytes of image data give no picture, and no buffer of
  // that size is ever asked for.
  CTempDir dir;
  const std::vector<std::uint8_t> rgba(4 * 4 * 4, 200);
  std::vector<char> bytes;
  {
    std::ifstream in(std::filesystem::path(WritePng(dir, "good.png", 4, 4, rgba)), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::string text(bytes.begin(), bytes.end());
  const std::size_t length = text.find("IDAT") - 4;
  text.replace(length, 4, std::string("\x7F\xFF\xFF\xF0", 4));
  const auto path = dir.Path() / "claims.png";
  std::ofstream(path, std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));
  EXPECT_EQ(LoadPictureRGBA(path.wstring()), nullptr);
  EXPECT_EQ(LoadPictureBGR(path.wstring()), nullptr);
}

TEST(PictureLoaderTest, PaletteIndexPastThePaletteIsOpaqueBlack) {
  // An 8 x 6 palette picture with 4 palette entries whose pixels use indices past them.
  const unsigned char png[] = {
      0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52,
      0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x06, 0x08, 0x03, 0x00, 0x00, 0x00, 0xC9, 0xDB, 0x2F,
      0xC9, 0x00, 0x00, 0x00, 0x0C, 0x50, 0x4C, 0x54, 0x45, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06,
      0x07, 0x08, 0x09, 0x0A, 0x0B, 0xDC, 0x4C, 0x39, 0x9C, 0x00, 0x00, 0x00, 0x02, 0x74, 0x52, 0x4E,
      0x53, 0x00, 0x80, 0x9B, 0x2B, 0x4E, 0x18, 0x00, 0x00, 0x00, 0x17, 0x49, 0x44, 0x41, 0x54, 0x78,
      0xDA, 0x63, 0x59, 0x60, 0x64, 0x62, 0x46, 0xC1, 0x03, 0xFC, 0x36, 0x03, 0x4C, 0x8C, 0x00, 0x43,
      0x00, 0x0D, 0x01, 0xC6, 0x07, 0x49, 0x77, 0xFF, 0x9F, 0xB6, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45,
      0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
  CTempDir dir;
  const auto path = dir.Path() / "palette.png";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(png), sizeof png);
  std::unique_ptr<CImage> picture = LoadPictureRGBA(path.wstring());
  ASSERT_NE(picture, nullptr);
  // Every pixel is palette entry 0 (0, 1, 2 with alpha 0 from tRNS) or, for an index past
  // the palette, opaque black; none comes from memory the file never wrote.
  int black = 0;
  for (int y = 0; y < picture->Height(); ++y) {
    for (int x = 0; x < picture->Width(); ++x) {
      const cv::Vec4b p = picture->Mat().at<cv::Vec4b>(y, x);
      const bool entry0 = p == cv::Vec4b(0, 1, 2, 0);
      const bool opaqueBlack = p == cv::Vec4b(0, 0, 0, 255);
      EXPECT_TRUE(entry0 || opaqueBlack) << y << "," << x;
      black += opaqueBlack ? 1 : 0;
    }
  }
  EXPECT_EQ(black, 8);
}

TEST(PictureLoaderTest, DamagedFileDecodesTheSameEveryTime) {
  // Whatever the decoder makes of a damaged file, it never depends on what the heap held.
  CTempDir dir;
  const std::vector<char> bytes = FromBase64(kDamagedPngBase64);
  const auto path = dir.Path() / "damaged.png";
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  std::unique_ptr<CImage> first = LoadPictureRGBA(path.wstring());
  for (int i = 0; i < 4; ++i) {
    std::vector<std::uint8_t> noise(1 << 16, static_cast<std::uint8_t>(0xA5 + i));  // leaves the heap dirty
    std::unique_ptr<CImage> again = LoadPictureRGBA(path.wstring());
    ASSERT_EQ(again == nullptr, first == nullptr) << "load " << i;
    if (first != nullptr) {
      EXPECT_EQ(cv::norm(again->Mat(), first->Mat(), cv::NORM_INF), 0.0) << "load " << i;
    }
    EXPECT_EQ(LoadPictureBGR(path.wstring()) == nullptr, first == nullptr) << "load " << i;
  }
}

TEST(PictureLoaderTest, LoadingLogsThePlaceholderPathAndEveryPictureThatCouldNotBeLoaded) {
  CTempDir dir;
  const std::wstring root = dir.Wide() + kSep;
  const std::filesystem::path placeholder(GetPlaceholderPath(root)), logo(GetLogoPath(root));
  std::filesystem::create_directories(placeholder.parent_path());
  std::filesystem::create_directories(logo.parent_path());
  const std::vector<std::uint8_t> rgba(4 * 4 * 4, 100);
  ASSERT_NE(stbi_write_png(placeholder.string().c_str(), 4, 4, 4, rgba.data(), 16), 0);
  testing_support::CLogCapture log(0);
  {
    CStreamImages images;
    images.LoadPictures(root);
    EXPECT_TRUE(images.HasPlaceholder());
    EXPECT_FALSE(images.HasLogo());
  }
  // The line names the logo but gives the placeholder's path, as it always has.
  EXPECT_EQ(log.Messages(), "Path to logo = " + placeholder.string() + "\nFailed to load picture " + logo.string() + "\n");

  testing_support::WriteFile(placeholder, "not a picture");
  ASSERT_NE(stbi_write_png(logo.string().c_str(), 4, 4, 4, rgba.data(), 16), 0);
  const std::string before = log.Messages();
  {
    CStreamImages images;
    images.LoadPictures(root);
    EXPECT_FALSE(images.HasPlaceholder());
    EXPECT_TRUE(images.HasLogo());
  }
  EXPECT_EQ(log.Messages().substr(before.size()),
            "Path to logo = " + placeholder.string() + "\nFailed to load picture " + placeholder.string() + "\n");
}

TEST(PictureLoaderTest, MissingTruncatedForeignAndAbsurdFilesGiveNoPicture) {
  CTempDir dir;
  EXPECT_EQ(LoadPictureBGR((dir.Path() / "missing.png").wstring()), nullptr);
  std::vector<std::uint8_t> rgba(64 * 64 * 4, 200);
  const std::wstring good = WritePng(dir, "good.png", 64, 64, rgba);
  const std::string bytes = testing_support::ReadFile(good);
  testing_support::WriteFile(dir.Path() / "truncated.png", bytes.substr(0, bytes.size() / 2));
  testing_support::WriteFile(dir.Path() / "empty.png", "");
  testing_support::WriteFile(dir.Path() / "text.png", "this is not a picture at all");
  // A valid header that claims 100000 x 100000 pixels.
  std::string huge = bytes.substr(0, 33);
  const unsigned char side[4] = {0x00, 0x01, 0x86, 0xA0};
  huge.replace(16, 4, reinterpret_cast<const char*>(side), 4);
  huge.replace(20, 4, reinterpret_cast<const char*>(side), 4);
  testing_support::WriteFile(dir.Path() / "huge.png", huge + bytes.substr(33));
  for (const char* name : {"truncated.png", "empty.png", "text.png", "huge.png"}) {
    EXPECT_EQ(LoadPictureBGR((dir.Path() / name).wstring()), nullptr) << name;
    EXPECT_EQ(LoadPictureRGBA((dir.Path() / name).wstring()), nullptr) << name;
  }
  EXPECT_EQ(LoadPictureRGBA(dir.Path().wstring()), nullptr) << "a folder";
  EXPECT_NE(LoadPictureRGBA(good), nullptr);

  // The longest side a picture may have, and one pixel more.
  const std::vector<std::uint8_t> line(static_cast<std::size_t>(kMaxPictureSide + 1) * 4, 90);
  const std::wstring longest = WritePng(dir, "longest.png", kMaxPictureSide, 1, line);
  const std::wstring tooLong = WritePng(dir, "too-long.png", kMaxPictureSide + 1, 1, line);
  const std::wstring tallest = WritePng(dir, "tallest.png", 1, kMaxPictureSide, line);
  const std::wstring tooTall = WritePng(dir, "too-tall.png", 1, kMaxPictureSide + 1, line);
  EXPECT_NE(LoadPictureRGBA(longest), nullptr);
  EXPECT_NE(LoadPictureBGR(tallest), nullptr);
  EXPECT_EQ(LoadPictureRGBA(tooLong), nullptr);
  EXPECT_EQ(LoadPictureBGR(tooTall), nullptr);
}

}  // namespace
