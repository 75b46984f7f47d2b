#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "channel/file_mapping.h"
#include "channel/frame_region.h"
#include "composer/frame_composer.h"
#include "composer/image.h"
#include "composer/letterbox.h"
#include "composer/output_picture.h"
#include "composer/stream_images.h"
#include "platform/wide_string.h"
#include "support/channel_fixture.h"

namespace {

constexpr std::uint8_t kSentinel = 0xEE;

// A bottom-up BGR24 picture, rows padded to 4 bytes, as the region carries frames.
struct Bgr {
  Bgr(int w, int h) : width(w), height(h), step((w * 3 + 3) & ~3), bytes(step * static_cast<std::size_t>(h), 0) {}
  const std::uint8_t* At(int row, int column) const { return bytes.data() + row * step + column * 3; }
  int width, height;
  std::size_t step;
  std::vector<std::uint8_t> bytes;
};

// Colours constant over 2 x 2 blocks (so that chroma has one exact value per block),
// varying enough that every channel and every block differs.
Bgr BlockFrame(int w, int h, int seed) {
  Bgr frame(w, h);
  for (int row = 0; row < h; ++row)
    for (int column = 0; column < w; ++column) {
      std::uint8_t* px = frame.bytes.data() + row * frame.step + column * 3;
      const int block = (row / 2) * 131 + (column / 2) * 7 + seed;
      px[0] = static_cast<std::uint8_t>(block * 37);
      px[1] = static_cast<std::uint8_t>(block * 11 + 90);
      px[2] = static_cast<std::uint8_t>(255 - block * 23);
    }
  return frame;
}

// A soft logo (transparent border, opaque centre) and a gradient placeholder.
std::unique_ptr<CImage> TestLogo() {
  std::unique_ptr<CImage> logo = CImage::Create(40, 20, 4, CImage::kTopLeft);
  for (int row = 0; row < 20; ++row)
    for (int column = 0; column < 40; ++column) {
      std::uint8_t* px = logo->Mat().ptr(row) + column * 4;
      px[0] = 250, px[1] = static_cast<std::uint8_t>(column * 6), px[2] = 30;
      px[3] = static_cast<std::uint8_t>(std::clamp(255 - std::abs(column - 20) * 14 - std::abs(row - 10) * 20, 0, 255));
    }
  return logo;
}

std::unique_ptr<CImage> TestPlaceholder() {
  std::unique_ptr<CImage> picture = CImage::Create(50, 30, 3, CImage::kBottomLeft);
  for (int row = 0; row < 30; ++row)
    for (int byte = 0; byte < 150; ++byte) picture->Mat().ptr(row)[byte] = static_cast<std::uint8_t>(row * 8 + byte);
  return picture;
}

// The output buffer of a picture, every byte a sentinel first. With ownPlanes the
// picture carries a plane layout of its own, as a consumer's buffer may: every plane
// starts after a gap of 40 bytes and has extraStride bytes (and, for chroma, 24 more)
// beyond what its row needs, and the buffer ends 40 bytes after the last plane.
struct Output {
  Output(int w, int h, PixelFormat format, bool bottomUp, int extraStride, bool ownPlanes = false) {
    picture.width = w;
    picture.height = h;
    picture.format = format;
    picture.stride = static_cast<std::int32_t>(PackedStride(format, w)) + extraStride;
    picture.bottomUp = bottomUp;
    std::size_t size = static_cast<std::size_t>(PictureBytes(picture));
    if (ownPlanes) {
      const int chromaWidth = (w + 1) / 2;
      const std::int32_t planeRow[3] = {
          format == PixelFormat::kI420 || format == PixelFormat::kNv12 ? w : static_cast<std::int32_t>(PackedStride(format, w)),
          format == PixelFormat::kNv12 ? chromaWidth * 2 : chromaWidth, chromaWidth};
      picture.planes = PlaneCount(format);
      std::size_t offset = 40;
      for (int i = 0; i < picture.planes; ++i) {
        picture.plane[i] = PlaneLayout{offset, planeRow[i] + extraStride + (i > 0 ? 24 : 0)};
        offset += static_cast<std::size_t>(picture.plane[i].stride) * static_cast<std::size_t>(i == 0 ? h : (h + 1) / 2) + 40;
      }
      size = offset;
      EXPECT_EQ(PictureBytes(picture), static_cast<std::int64_t>(offset) - 40);
    }
    bytes.assign(size, kSentinel);
    picture.buffer = bytes.data();
    picture.bytes = bytes.size();
  }
  OutputPicture picture;
  std::vector<std::uint8_t> bytes;
};

// BT.601 limited range, computed plainly in floating point.
int Luma(const std::uint8_t* bgr) { return static_cast<int>(std::lround(16 + 0.2568 * bgr[2] + 0.5041 * bgr[1] + 0.0979 * bgr[0])); }
int ChromaU(const std::uint8_t* bgr) {
  return static_cast<int>(std::lround(128 - 0.1482 * bgr[2] - 0.2910 * bgr[1] + 0.4392 * bgr[0]));
}
int ChromaV(const std::uint8_t* bgr) {
  return static_cast<int>(std::lround(128 + 0.4392 * bgr[2] - 0.3678 * bgr[1] - 0.0714 * bgr[0]));
}

// Checks out against the bottom-up BGR24 picture expected: every pixel (exactly for the
// RGB formats, within 1 for YUV), and every byte between a row's end and the stride
// still the sentinel.
void ExpectPicture(const Output& out, const Bgr& expected) {
  const OutputPicture& p = out.picture;
  const int w = p.width, h = p.height;
  const auto source = [&](int memoryRow) { return p.bottomUp ? memoryRow : h - 1 - memoryRow; };
  const std::uint8_t* base = out.bytes.data();
  int mismatches = 0;
  auto check = [&](int actual, int wanted, int tolerance, int row, int column, const char* what) {
    if (std::abs(actual - wanted) <= tolerance || ++mismatches > 5) return;
    ADD_FAILURE() << what << " at memory row " << row << ", column " << column << ": " << actual << ", expected "
                  << wanted;
  };
  auto checkPadding = [&](const std::uint8_t* row, std::size_t used, std::size_t stride, int r) {
    for (std::size_t k = used; k < stride; ++k) check(row[k], kSentinel, 0, r, static_cast<int>(k), "padding");
  };
  const std::size_t stride = static_cast<std::size_t>(PlaneOf(p, 0).stride);
  const int chromaRows = (h + 1) / 2;
  // Every byte no row of a plane may write keeps its sentinel: the gaps before, between
  // and after the planes, and each row's padding.
  std::vector<bool> written(out.bytes.size(), false);
  for (int i = 0; i < PlaneCount(p.format); ++i) {
    const PlaneLayout plane = PlaneOf(p, i);
    const int planeRows = i == 0 ? h : chromaRows;
    const std::size_t used = i == 0 ? static_cast<std::size_t>(std::min<std::int64_t>(PackedStride(p.format, w), plane.stride))
                                    : static_cast<std::size_t>(p.format == PixelFormat::kNv12 ? (w + 1) / 2 * 2 : (w + 1) / 2);
    for (int r = 0; r < planeRows; ++r)
      std::fill_n(written.begin() + static_cast<std::ptrdiff_t>(plane.offset + r * static_cast<std::size_t>(plane.stride)),
                  p.format == PixelFormat::kI420 || p.format == PixelFormat::kNv12 ? (i == 0 ? static_cast<std::size_t>(w) : used) : used,
                  true);
  }
  for (std::size_t k = 0; k < out.bytes.size(); ++k) {
    if (!written[k]) check(out.bytes[k], kSentinel, 0, -1, static_cast<int>(k), "byte outside every plane's rows");
  }
  base += PlaneOf(p, 0).offset;
  for (int r = 0; r < h; ++r) {
    const std::uint8_t* row = base + r * stride;
    switch (p.format) {
      case PixelFormat::kBgr24:
      case PixelFormat::kRgb24:
        for (int c = 0; c < w; ++c)
          for (int k = 0; k < 3; ++k) {
            const int channel = p.format == PixelFormat::kBgr24 ? k : 2 - k;
            check(row[c * 3 + k], expected.At(source(r), c)[channel], 0, r, c, "colour");
          }
        checkPadding(row, static_cast<std::size_t>(w) * 3, stride, r);
        break;
      case PixelFormat::kBgra:
      case PixelFormat::kBgrx:
        for (int c = 0; c < w; ++c) {
          for (int k = 0; k < 3; ++k) check(row[c * 4 + k], expected.At(source(r), c)[k], 0, r, c, "colour");
          check(row[c * 4 + 3], 255, 0, r, c, "fourth byte");
        }
        checkPadding(row, static_cast<std::size_t>(w) * 4, stride, r);
        break;
      case PixelFormat::kI420:
      case PixelFormat::kNv12:
        for (int c = 0; c < w; ++c) check(row[c], Luma(expected.At(source(r), c)), 1, r, c, "Y");
        checkPadding(row, static_cast<std::size_t>(w), stride, r);
        break;
      case PixelFormat::kYuy2:
        for (int c = 0; c < w; ++c) {
          const std::uint8_t* px = expected.At(source(r), c);
          check(row[c * 2], Luma(px), 1, r, c, "Y");
          check(row[c * 2 + 1], c % 2 == 0 ? ChromaU(px) : ChromaV(px), 1, r, c, c % 2 == 0 ? "U" : "V");
        }
        checkPadding(row, static_cast<std::size_t>(w) * 2, stride, r);
        break;
    }
  }
  // 4:2:0 chroma: one value per 2 x 2 block, which the test frames keep uniform.
  const PlaneLayout first = PlaneOf(p, 1), second = PlaneOf(p, 2);
  const std::uint8_t* chroma = out.bytes.data() + first.offset;
  const std::size_t chromaStride = static_cast<std::size_t>(first.stride);
  for (int r = 0; r < chromaRows && (p.format == PixelFormat::kI420 || p.format == PixelFormat::kNv12); ++r) {
    const std::uint8_t* px = expected.At(source(r * 2), 0);
    for (int c = 0; c < (w + 1) / 2; ++c, px = expected.At(source(r * 2), c * 2)) {
      if (p.format == PixelFormat::kI420) {
        check(chroma[r * chromaStride + c], ChromaU(px), 1, r, c, "U plane");
        check(out.bytes[second.offset + r * static_cast<std::size_t>(second.stride) + c], ChromaV(px), 1, r, c, "V plane");
      } else {
        check(chroma[r * chromaStride + c * 2], ChromaU(px), 1, r, c, "UV plane, U");
        check(chroma[r * chromaStride + c * 2 + 1], ChromaV(px), 1, r, c, "UV plane, V");
      }
    }
  }
}

// A producer and a consumer on private channel names, the consumer's composer with a
// test placeholder and logo.
class FrameComposerTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(m_consumer.Init(false, nullptr), 0);
    m_images.SetPlaceholder(TestPlaceholder());
    m_images.SetLogo(TestLogo());
  }

  void StartProducer() { ASSERT_EQ(m_producer.Init(true, nullptr), 0); }
  void Publish(const Bgr& frame, bool logo) {
    ASSERT_EQ(m_producer.SetShowLogo(logo ? 1 : 0), 1);  // header setters give 1
    ASSERT_EQ(m_producer.SetMediaSample(0, frame.width, frame.height, frame.bytes.data(),
                                        static_cast<std::int32_t>(frame.bytes.size()), 0, nullptr, nullptr),
              0);
  }
  // What the camera has always shown for this frame at w x h, in bottom-up BGR24.
  Bgr Expected(const Bgr* frame, int w, int h, bool logo) {
    Bgr expected(w, h);
    CStreamImages reference;
    reference.SetPlaceholder(TestPlaceholder());
    reference.SetLogo(TestLogo());
    if (frame == nullptr) {
      EXPECT_TRUE(reference.FillPlaceholder(expected.bytes.data(), expected.bytes.size(), w, h));
      return expected;
    }
    if (frame->width == w && frame->height == h) {
      expected.bytes = frame->bytes;
    } else {
      Bgr source = *frame;
      const auto image =
          CImage::Wrap(source.bytes.data(), source.width, source.height, 8, 3, CImage::kBottomLeft, 4);
      EXPECT_TRUE(ScaleFrameLetterboxed(*image, expected.bytes.data(), w, h));
    }
    if (logo) {
      EXPECT_TRUE(reference.BlendLogo(expected.bytes.data(), w, h));
    }
    return expected;
  }
  int Entries(const std::wstring& name) {
    std::vector<channel::ClientEntry> clients;
    m_producer.GetClientInfo(&clients);
    const std::u16string wanted = platform::WideToUtf16(name);
    return static_cast<int>(std::count_if(clients.begin(), clients.end(), [&](const channel::ClientEntry& entry) {
      return entry.InUse != 0 && std::u16string(entry.Name, std::char_traits<char16_t>::length(entry.Name)) == wanted;
    }));
  }

  testing_support::CChannelNamespace m_names;
  CFileMapping m_producer;
  CFileMapping m_consumer;
  CStreamImages m_images;
  CFrameComposer m_composer{m_consumer, m_images};
};

struct FormatCase {
  PixelFormat format;
  bool bottomUp;
  int extraStride;
  int sourceWidth, sourceHeight;  // 0: no producer (the placeholder)
  bool logo;
  bool ownPlanes = false;  // the picture carries a plane layout of its own
};

class FrameComposerFormatTest : public FrameComposerTest, public testing::WithParamInterface<FormatCase> {};

TEST_P(FrameComposerFormatTest, WritesTheCameraPictureInTheOutputFormatStrideAndRowOrder) {
  const FormatCase& c = GetParam();
  constexpr int kWidth = 64, kHeight = 48;
  const Bgr frame = BlockFrame(c.sourceWidth > 0 ? c.sourceWidth : 2, c.sourceHeight > 0 ? c.sourceHeight : 2, 3);
  if (c.sourceWidth > 0) {
    StartProducer();
    Publish(frame, c.logo);
  }
  Output out(kWidth, kHeight, c.format, c.bottomUp, c.extraStride, c.ownPlanes);
  const CFrameComposer::Report report = m_composer.Compose(out.picture);
  EXPECT_EQ(report.result, CFrameComposer::Result::kOk);
  EXPECT_EQ(report.live, c.sourceWidth > 0);
  EXPECT_EQ(report.producerWidth, c.sourceWidth);
  EXPECT_EQ(report.producerHeight, c.sourceHeight);
  ExpectPicture(out, Expected(c.sourceWidth > 0 ? &frame : nullptr, kWidth, kHeight, c.logo));
}

// The YUV cases keep the frame's 2 x 2 blocks (same size, no logo) so that chroma has
// one exact value per block; the lossless formats also take letterbox, logo and
// placeholder through the conversion.
INSTANTIATE_TEST_SUITE_P(
    Formats, FrameComposerFormatTest,
    testing::Values(FormatCase{PixelFormat::kBgr24, true, 0, 64, 48, true},    // the camera's own
                    FormatCase{PixelFormat::kBgr24, true, 0, 128, 48, true},   // letterboxed in place
                    FormatCase{PixelFormat::kBgr24, true, 0, 0, 0, false},     // placeholder
                    FormatCase{PixelFormat::kBgr24, false, 8, 96, 96, true},   // pillarboxed, top-down
                    FormatCase{PixelFormat::kBgr24, true, 5, 64, 48, false},   // padded rows
                    FormatCase{PixelFormat::kRgb24, false, 0, 64, 48, true},
                    FormatCase{PixelFormat::kRgb24, true, 3, 0, 0, false},
                    FormatCase{PixelFormat::kBgra, false, 0, 128, 72, true},
                    FormatCase{PixelFormat::kBgrx, true, 12, 0, 0, false},
                    FormatCase{PixelFormat::kI420, false, 0, 64, 48, false},
                    FormatCase{PixelFormat::kI420, true, 6, 64, 48, false},
                    FormatCase{PixelFormat::kNv12, false, 4, 64, 48, false},
                    FormatCase{PixelFormat::kNv12, true, 0, 64, 48, false},
                    FormatCase{PixelFormat::kYuy2, false, 0, 64, 48, false},
                    FormatCase{PixelFormat::kYuy2, true, 8, 64, 48, false},
                    // A consumer's own plane layout: planes apart, chroma strides of their own.
                    FormatCase{PixelFormat::kI420, false, 4, 64, 48, false, true},
                    FormatCase{PixelFormat::kNv12, false, 0, 64, 48, false, true},
                    FormatCase{PixelFormat::kNv12, true, 6, 64, 48, false, true},
                    FormatCase{PixelFormat::kBgrx, false, 8, 128, 72, true, true},
                    FormatCase{PixelFormat::kBgr24, true, 0, 64, 48, true, true}));

// With neither a producer frame nor a placeholder picture every output format gets a
// black frame (checked pixel by pixel against black through the test's own conversion),
// never the bytes its buffer held: for every front end, whatever it asks for.
TEST_F(FrameComposerTest, NoFrameAndNoPlaceholderGiveBlackInEveryFormat) {
  CStreamImages none;
  CFrameComposer composer(m_consumer, none);
  const Bgr black(64, 48);
  for (const FormatCase& c : {FormatCase{PixelFormat::kBgr24, true, 0, 0, 0, false},
                              FormatCase{PixelFormat::kBgr24, false, 5, 0, 0, false},
                              FormatCase{PixelFormat::kRgb24, true, 3, 0, 0, false},
                              FormatCase{PixelFormat::kBgra, false, 0, 0, 0, false},
                              FormatCase{PixelFormat::kBgrx, true, 12, 0, 0, false},
                              FormatCase{PixelFormat::kI420, false, 6, 0, 0, false},
                              FormatCase{PixelFormat::kNv12, true, 4, 0, 0, false},
                              FormatCase{PixelFormat::kYuy2, false, 8, 0, 0, false}}) {
    SCOPED_TRACE(static_cast<int>(c.format));
    Output out(64, 48, c.format, c.bottomUp, c.extraStride);
    const CFrameComposer::Report report = composer.Compose(out.picture);
    EXPECT_EQ(report.result, CFrameComposer::Result::kOk);
    EXPECT_FALSE(report.live);
    ExpectPicture(out, black);
  }
}

TEST_F(FrameComposerTest, PictureThatDoesNotFitItsBufferIsRefusedUntouched) {
  Output out(64, 48, PixelFormat::kNv12, false, 0);
  OutputPicture picture = out.picture;
  picture.bytes -= 1;  // one byte short of the UV plane's end
  EXPECT_EQ(m_composer.Compose(picture).result, CFrameComposer::Result::kBadPicture);
  picture = out.picture;
  picture.stride = 63;  // shorter than a row of UV pairs
  EXPECT_EQ(m_composer.Compose(picture).result, CFrameComposer::Result::kBadPicture);
  EXPECT_TRUE(std::all_of(out.bytes.begin(), out.bytes.end(), [](std::uint8_t b) { return b == kSentinel; }));
}

// The client shows up in the producer's table with its first frame, once; again after a
// gap without frames and after the producer lost its entry; never twice; and leaves it
// on Withdraw.
TEST_F(FrameComposerTest, ClientPresenceFollowsTheFramesFound) {
  const std::wstring name = L"host.exe-composer";
  Output out(64, 48, PixelFormat::kBgr24, true, 0);
  m_composer.Announce(name, 64, 48);  // no producer yet: the region holds the entry
  StartProducer();
  const Bgr frame = BlockFrame(64, 48, 1);
  Publish(frame, false);
  ASSERT_TRUE(m_composer.Compose(out.picture).live);
  EXPECT_EQ(Entries(name), 1);

  // The entry withdrawn behind the consumer's back: the next frame registers it again.
  ASSERT_EQ(m_producer.NotifyServerAboutClientConnection(false, name, 0, 0), 0);
  ASSERT_EQ(Entries(name), 0);
  Publish(frame, false);
  ASSERT_TRUE(m_composer.Compose(out.picture).live);
  EXPECT_EQ(Entries(name), 1);
  Publish(frame, false);
  ASSERT_TRUE(m_composer.Compose(out.picture).live);
  EXPECT_EQ(Entries(name), 1) << "a listed client is not registered twice";

  m_composer.Withdraw();
  EXPECT_EQ(Entries(name), 0);
}

}  // namespace

namespace {

TEST(OutputPictureTest, OwnPlaneLayoutIsAcceptedOnlyWhenEveryPlaneHoldsItsRows) {
  // 63 x 5 I420: Y rows of 63 bytes, 3 chroma rows of 32 bytes each.
  OutputPicture picture{63, 5, PixelFormat::kI420, 64, false, nullptr, 0};
  picture.planes = 3;
  picture.plane[0] = {0, 63};
  picture.plane[1] = {400, 32};
  picture.plane[2] = {330, 32};  // V before U is a layout too
  EXPECT_EQ(PictureBytes(picture), 400 + 32 * 3) << "up to the end of the plane that ends last";
  struct Row {
    const char* what;
    int planes, plane, stride;
    std::uint64_t offset;
    bool accepted;
  };
  const std::uint64_t kLimit = std::uint64_t{1} << 40;
  for (const Row& row : {Row{"Y stride one short", 3, 0, 62, 0, false}, Row{"chroma stride one short", 3, 1, 31, 400, false},
                         Row{"chroma stride exact", 3, 2, 32, 330, true}, Row{"offset at the limit", 3, 2, 32, kLimit, true},
                         Row{"offset past the limit", 3, 2, 32, kLimit + 1, false}, Row{"two planes", 2, 0, 63, 0, false},
                         Row{"four planes", 4, 0, 63, 0, false}}) {
    OutputPicture changed = picture;
    changed.planes = row.planes;
    changed.plane[row.plane] = PlaneLayout{static_cast<std::size_t>(row.offset), row.stride};
    EXPECT_EQ(PictureBytes(changed) > 0, row.accepted) << row.what;
  }
  // NV12's UV rows hold pairs: an odd width still needs an even row.
  OutputPicture nv12{63, 5, PixelFormat::kNv12, 64, false, nullptr, 0};
  nv12.planes = 2;
  nv12.plane[0] = {0, 63};
  nv12.plane[1] = {320, 64};
  EXPECT_EQ(PictureBytes(nv12), 320 + 64 * 3);
  nv12.plane[1].stride = 63;
  EXPECT_EQ(PictureBytes(nv12), -1);
  // Sides up to 2^20 pixels and strides up to 2^22 bytes, one past each refused.
  constexpr std::int32_t kSide = 1 << 20, kStride = 4 << 20;
  struct Limit {
    std::int32_t width, height, stride;
    bool accepted;
  };
  for (const Limit& row : {Limit{kSide, 1, kStride, true}, Limit{kSide + 1, 1, kStride, false}, Limit{1, kSide, 4, true},
                           Limit{1, kSide + 1, 4, false}, Limit{1, 1, kStride + 1, false}}) {
    OutputPicture bgrx{row.width, row.height, PixelFormat::kBgrx, row.stride, false, nullptr, 0};
    EXPECT_EQ(PictureBytes(bgrx) > 0, row.accepted) << row.width << "x" << row.height << " stride " << row.stride;
    bgrx.planes = 1;
    bgrx.plane[0] = PlaneLayout{0, row.stride};
    EXPECT_EQ(PictureBytes(bgrx) > 0, row.accepted) << "own layout, " << row.width << "x" << row.height;
  }
  // Without a layout of its own, the planes follow from the stride as before.
  const OutputPicture derived{63, 5, PixelFormat::kI420, 64, false, nullptr, 0};
  EXPECT_EQ(PlaneOf(derived, 1).offset, 64u * 5);
  EXPECT_EQ(PlaneOf(derived, 2).offset, 64u * 5 + 32 * 3);
  EXPECT_EQ(PlaneOf(derived, 2).stride, 32);
}

}  // namespace
