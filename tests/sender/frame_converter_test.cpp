// The converter on its own, on each side of the size from which it splits a frame
// between two threads: every format, flipped and mirrored, against the plain per-pixel
// decoding, so that a band that starts at the wrong row of a plane or of the frame shows.
#include "sender/frame_converter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/sender_input.h"
#include "support/test_pictures.h"

namespace {

using testing_support::CPicture;
using sender::CFrameConverter;

TEST(FrameConverterTest, FramesSplitBetweenTwoThreadsEqualTheReferenceInEveryFormatAndOrientation) {
  static_assert(CFrameConverter::kSplitPixels == 640 * 480);
  struct Size {
    int width, height;
  };
  // At the limit (split), one row pair under it (whole), an odd height of a packed format
  // (split, bands of 240 and 241 rows) and the smallest height that is split.
  const Size sizes[] = {{640, 480}, {640, 478}, {640, 481}, {76800, 4}};
  const std::uint32_t formats[] = {AMBERLINE_FORMAT_BGR24,  AMBERLINE_FORMAT_RGB24, AMBERLINE_FORMAT_BGRA32,
                                   AMBERLINE_FORMAT_RGBA32, AMBERLINE_FORMAT_GRAY8, AMBERLINE_FORMAT_I420,
                                   AMBERLINE_FORMAT_NV12,   AMBERLINE_FORMAT_YUY2};
  CFrameConverter converter;
  for (const Size& size : sizes) {
    const CPicture picture = testing_support::BlockPicture(size.width, size.height);
    for (const std::uint32_t format : formats) {
      const bool yuv = format >= AMBERLINE_FORMAT_I420;
      if (yuv && size.height % 2 != 0 && format != AMBERLINE_FORMAT_YUY2) continue;
      // BT.709 limited goes through the widening tables, a step of its own per band.
      const std::uint32_t color = format == AMBERLINE_FORMAT_NV12 ? AMBERLINE_COLOR_BT709_LIMITED : 0;
      const CPicture expected = testing_support::ExpectedFromSender(picture, format, color);
      // Turned after decoding: the chroma a 2x2 block shares stays its own when it moves.
      const CPicture turnedExpected = testing_support::MakePicture(size.width, size.height, [&](int x, int y) {
        const std::uint8_t* c = expected.At(size.width - 1 - x, size.height - 1 - y);
        return testing_support::Rgb{c[0], c[1], c[2]};
      });
      const testing_support::SenderInput in = testing_support::EncodeSenderInput(picture, format, color, 8);
      const amberline_frame f = testing_support::SenderFrameOf(in, format, size.width, size.height);
      sender::InputPicture input{static_cast<sender::InputFormat>(format), size.width, size.height, {}, {}};
      for (std::size_t i = 0; i < 4; ++i) {
        input.planes[i] = static_cast<const std::uint8_t*>(f.planes[i].data);
        input.strides[i] = f.planes[i].stride;
      }
      for (const bool turned : {false, true}) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height) + " format " +
                     std::to_string(format) + (turned ? " flipped and mirrored" : ""));
        sender::ConvertOptions options;
        options.color = static_cast<sender::ColorSpace>(color);
        options.flip = options.mirror = turned;
        std::vector<std::uint8_t> frame;
        ASSERT_EQ(converter.Convert(input, options, &frame), "");
        const CPicture shown = testing_support::PictureFromFrame(frame.data(), frame.size(), size.width, size.height);
        EXPECT_EQ(testing_support::DifferenceWithin(shown, turned ? turnedExpected : expected, yuv ? 2 : 0), "");
      }
    }
  }
}

}  // namespace
