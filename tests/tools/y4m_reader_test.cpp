// CY4mReader on streams built here: headers it must refuse (with the place named),
// damaged and truncated frames, and the conversion of every sampling into bottom-up BGR
// rows with padded strides.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "y4m_reader.h"

namespace {

// A reader over bytes held here, handing them out in pieces of at most `piece` bytes so
// that no code path depends on a read returning everything at once.
struct CMemoryStream {
  std::string bytes;
  std::size_t position = 0;
  std::size_t piece = 7;
  CY4mReader::ReadFunction Function() {
    return [this](std::uint8_t* buffer, std::size_t size) {
      const std::size_t n = std::min({size, piece, bytes.size() - position});
      std::copy_n(bytes.data() + position, n, buffer);
      position += n;
      return n;
    };
  }
};

struct Yuv {
  std::uint8_t y, u, v;
};
// BT.601 studio range.
constexpr Yuv kRed{81, 90, 240};
constexpr Yuv kBlue{41, 240, 110};
constexpr Yuv kWhite{235, 128, 128};
constexpr Yuv kBlack{16, 128, 128};

// One frame: the top half of the picture in `top`, the bottom half in `bottom`, planes
// sized for the sampling.
std::string Frame(int width, int height, const std::string& sampling, Yuv top, Yuv bottom) {
  int cw = width, ch = height;
  if (sampling == "420") cw = (width + 1) / 2, ch = (height + 1) / 2;
  if (sampling == "422") cw = (width + 1) / 2;
  std::string out = "FRAME\n";
  const auto plane = [&](int w, int h, std::uint8_t Yuv::*sample) {
    for (int row = 0; row < h; ++row)
      out.append(static_cast<std::size_t>(w), static_cast<char>(row < h / 2 ? top.*sample : bottom.*sample));
  };
  plane(width, height, &Yuv::y);
  if (sampling != "mono") {
    plane(cw, ch, &Yuv::u);
    plane(cw, ch, &Yuv::v);
  }
  return out;
}

std::string HeaderFailure(const std::string& stream) {
  CMemoryStream memory{stream};
  CY4mReader reader(memory.Function());
  std::string error;
  EXPECT_FALSE(reader.ReadHeader(&error)) << stream.substr(0, 80);
  return error;
}

struct HostileHeader {
  const char* stream;
  const char* says;  // what the message must contain
};

class Y4mHostileHeaderTest : public testing::TestWithParam<HostileHeader> {};

TEST_P(Y4mHostileHeaderTest, IsRefusedWithAMessageNamingWhatAndWhere) {
  const std::string error = HeaderFailure(GetParam().stream);
  EXPECT_NE(error.find(GetParam().says), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, Y4mHostileHeaderTest,
    testing::Values(HostileHeader{"", "empty"}, HostileHeader{"YUV4MPEG W4 H4\n", "not a YUV4MPEG2 stream"},
                    HostileHeader{"YUV4MPEG2W4 H4\n", "not a YUV4MPEG2 stream"},
                    HostileHeader{"YUV4MPEG2 W4 H4", "ends inside the stream header"},
                    HostileHeader{"YUV4MPEG2 W0 H4\n", "\"W0\" at byte offset 10"},
                    HostileHeader{"YUV4MPEG2 W4 H-4\n", "\"H-4\" at byte offset 13"},
                    HostileHeader{"YUV4MPEG2 W99999999999 H4\n", "the width must be"},
                    HostileHeader{"YUV4MPEG2 W2147483648 H4\n", "the width must be"},
                    HostileHeader{"YUV4MPEG2 W4\n", "no height"}, HostileHeader{"YUV4MPEG2 H4\n", "no width"},
                    HostileHeader{"YUV4MPEG2 W4 H4 F30:0\n", "frame rate"},
                    HostileHeader{"YUV4MPEG2 W4 H4 F30\n", "frame rate"},
                    HostileHeader{"YUV4MPEG2 W4 H4 Ix\n", "interlacing"},
                    HostileHeader{"YUV4MPEG2 W4 H4 A1\n", "pixel aspect"},
                    HostileHeader{"YUV4MPEG2 W4 H4 C420p10\n", "10-bit samples; only 8-bit"},
                    HostileHeader{"YUV4MPEG2 W4 H4 Cmono16\n", "16-bit samples"},
                    HostileHeader{"YUV4MPEG2 W4 H4 C411\n", "colour space not supported"},
                    HostileHeader{"YUV4MPEG2 W4 H4 C444alpha\n", "colour space not supported"},
                    HostileHeader{"YUV4MPEG2 W3840 H2160\n", "15,728,640"},
                    HostileHeader{"YUV4MPEG2 W2147483647 H2147483647\n", "does not fit the channel"}));

TEST(Y4mReaderTest, HeaderLongerThanTheLimitIsRefusedWithoutReadingOn) {
  const std::string error = HeaderFailure("YUV4MPEG2 W4 H4" + std::string(CY4mReader::kMaxHeaderBytes, ' ') + "\n");
  EXPECT_NE(error.find("longer than"), std::string::npos) << error;
  // The limit counts the line with its "\n": a header of exactly that many bytes is read,
  // one byte more is not.
  const std::string start = "YUV4MPEG2 W4 H4";
  for (const std::size_t total : {CY4mReader::kMaxHeaderBytes, CY4mReader::kMaxHeaderBytes + 1}) {
    CMemoryStream memory{start + std::string(total - start.size() - 1, ' ') + "\n"};
    CY4mReader reader(memory.Function());
    std::string failure;
    EXPECT_EQ(reader.ReadHeader(&failure), total == CY4mReader::kMaxHeaderBytes) << total << ": " << failure;
  }
}

TEST(Y4mReaderTest, HeaderGivesSizeRateSamplingAndRange) {
  CMemoryStream memory{"YUV4MPEG2  W6 H4 F30000:1001 It A1:1 C422 XYSCSS=422 XCOLORRANGE=FULL Zfuture\n"};
  CY4mReader reader(memory.Function());
  std::string error;
  ASSERT_TRUE(reader.ReadHeader(&error)) << error;
  const CY4mReader::Format& f = reader.GetFormat();
  EXPECT_EQ(f.width, 6);
  EXPECT_EQ(f.height, 4);
  EXPECT_EQ(f.rateNumerator, 30000);
  EXPECT_EQ(f.rateDenominator, 1001);
  EXPECT_EQ(f.chroma, CY4mReader::Chroma::k422);
  EXPECT_TRUE(f.fullRange);
  EXPECT_EQ(reader.OutputBytes(), 20 * 4) << "rows of 18 bytes padded to 20";

  CMemoryStream plain{"YUV4MPEG2 W2 H2\n"};
  CY4mReader defaults(plain.Function());
  ASSERT_TRUE(defaults.ReadHeader(&error)) << error;
  EXPECT_EQ(defaults.GetFormat().rateNumerator, 25);
  EXPECT_EQ(defaults.GetFormat().rateDenominator, 1);
  EXPECT_EQ(defaults.GetFormat().chroma, CY4mReader::Chroma::k420);
  EXPECT_FALSE(defaults.GetFormat().fullRange);
}

// Reads the header and every frame; the message of the first failure, "end" after a
// clean end, and the number of frames read before.
std::string ReadAll(const std::string& stream, std::int64_t* frames) {
  CMemoryStream memory{stream};
  CY4mReader reader(memory.Function());
  std::string error;
  if (!reader.ReadHeader(&error)) return "header: " + error;
  while (true) {
    const CY4mReader::Result result = reader.ReadFrame(&error);
    *frames = reader.FramesRead();
    if (result == CY4mReader::Result::kEnd) return "end";
    if (result == CY4mReader::Result::kError) return error;
  }
}

TEST(Y4mReaderTest, DamagedFramesEndTheStreamNamingTheByteOffset) {
  const std::string header = "YUV4MPEG2 W4 H2 C444\n";  // 21 bytes; frames of 6 + 24 bytes
  const std::string frame = Frame(4, 2, "444", kRed, kBlue);
  ASSERT_EQ(frame.size(), 30u);
  struct Case {
    std::string stream;
    std::int64_t framesBefore;
    std::string says;
  };
  const Case cases[] = {
      {header + frame + frame, 2, "end"},
      {header, 0, "end"},
      {header + frame + "FRA", 1, "the stream ends at byte offset 54 inside the mark of frame 2"},
      {header + frame + "FRAMX\n" + frame.substr(6), 1, "no \"FRAME\" mark at byte offset 51 where frame 2"},
      {header + "FRAMES\n" + frame.substr(6), 0, "no \"FRAME\" mark at byte offset 21 where frame 1"},
      {header + "FRAME Ixyz", 0, "the stream ends inside the frame 1 header"},
      {header + frame + frame.substr(0, 20), 1,
       "frame 2 needs 24 bytes of samples starting at byte offset 57; the stream ends at byte offset 71, after 14"},
      {header + "FRAME " + std::string(CY4mReader::kMaxHeaderBytes, 'x') + "\n", 0, "longer than"},
  };
  for (const Case& c : cases) {
    std::int64_t frames = -1;
    const std::string said = ReadAll(c.stream, &frames);
    EXPECT_NE(said.find(c.says), std::string::npos) << said;
    EXPECT_EQ(frames, c.framesBefore) << c.says;
  }
  // FRAME parameters are allowed and skipped.
  std::int64_t frames = -1;
  EXPECT_EQ(ReadAll(header + "FRAME Ip XCOLORRANGE=FULL\n" + frame.substr(6) + frame, &frames), "end");
  EXPECT_EQ(frames, 2);
}

struct Sampling {
  const char* tag;
  const char* sampling;
};

class Y4mConversionTest : public testing::TestWithParam<Sampling> {};

// Odd sizes, so that chroma planes round up and rows need padding; two frames of
// different colours, so that a plane of the wrong size shows in the second.
TEST_P(Y4mConversionTest, FramesBecomeBottomUpBgrRowsWithTheirColours) {
  const int width = 5, height = 7;
  const std::string sampling = GetParam().sampling;
  const bool mono = sampling == "mono";
  const Yuv top1 = mono ? kWhite : kRed, bottom1 = mono ? kBlack : kBlue;
  const std::string stream = "YUV4MPEG2 W5 H7 F25:1 " + std::string(GetParam().tag) + "\n" +
                             Frame(width, height, sampling, top1, bottom1) +
                             Frame(width, height, sampling, bottom1, top1);
  CMemoryStream memory{stream};
  CY4mReader reader(memory.Function());
  std::string error;
  ASSERT_TRUE(reader.ReadHeader(&error)) << error;
  const std::size_t stride = 16;
  ASSERT_EQ(reader.OutputBytes(), static_cast<std::int64_t>(stride * height));

  struct Bgr {
    int b, g, r;
  };
  const Bgr top = mono ? Bgr{255, 255, 255} : Bgr{0, 0, 255};
  const Bgr bottom = mono ? Bgr{0, 0, 0} : Bgr{255, 0, 0};
  for (int frame = 0; frame < 2; ++frame) {
    ASSERT_EQ(reader.ReadFrame(&error), CY4mReader::Result::kFrame) << error;
    std::vector<std::uint8_t> out(stride * height + 8, 0xA5);
    reader.ConvertFrame(out.data(), stride);
    const Bgr wantFirst = frame == 0 ? bottom : top;  // the first row in memory is the bottom line
    const Bgr wantLast = frame == 0 ? top : bottom;
    for (int x = 0; x < width; ++x) {
      const std::uint8_t* first = &out[static_cast<std::size_t>(x) * 3];
      const std::uint8_t* last = &out[stride * (height - 1) + static_cast<std::size_t>(x) * 3];
      EXPECT_NEAR(first[0], wantFirst.b, 3) << "frame " << frame << " x " << x;
      EXPECT_NEAR(first[1], wantFirst.g, 3) << "frame " << frame << " x " << x;
      EXPECT_NEAR(first[2], wantFirst.r, 3) << "frame " << frame << " x " << x;
      EXPECT_NEAR(last[0], wantLast.b, 3) << "frame " << frame << " x " << x;
      EXPECT_NEAR(last[1], wantLast.g, 3) << "frame " << frame << " x " << x;
      EXPECT_NEAR(last[2], wantLast.r, 3) << "frame " << frame << " x " << x;
    }
    EXPECT_EQ(out[stride * height], 0xA5) << "nothing written past the frame";
  }
  EXPECT_EQ(reader.ReadFrame(&error), CY4mReader::Result::kEnd) << error;
}

INSTANTIATE_TEST_SUITE_P(Samplings, Y4mConversionTest,
                         testing::Values(Sampling{"C420jpeg", "420"}, Sampling{"C420mpeg2", "420"},
                                         Sampling{"C422", "422"}, Sampling{"C444", "444"},
                                         Sampling{"Cmono", "mono"}),
                         [](const testing::TestParamInfo<Sampling>& info) { return std::string(info.param.tag); });

TEST(Y4mReaderTest, FullRangeStreamsKeepTheirLevels) {
  // Y 235 is white in the studio range but a light grey at full range.
  for (const bool full : {false, true}) {
    CMemoryStream memory{std::string("YUV4MPEG2 W2 H2 C444") + (full ? " XCOLORRANGE=FULL" : "") + "\n" +
                         Frame(2, 2, "444", kWhite, kWhite)};
    CY4mReader reader(memory.Function());
    std::string error;
    ASSERT_TRUE(reader.ReadHeader(&error)) << error;
    ASSERT_EQ(reader.ReadFrame(&error), CY4mReader::Result::kFrame) << error;
    std::vector<std::uint8_t> out(16);
    reader.ConvertFrame(out.data(), 8);
    EXPECT_NEAR(out[1], full ? 235 : 255, 2) << (full ? "full range" : "studio range");
  }
}

}  // namespace
