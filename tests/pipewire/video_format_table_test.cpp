// The PipeWire camera's format table without a daemon: the layouts consumers expect, the
// EnumFormat pods as a peer reads them, and what a fixed Format pod from a peer may be.
#include "pipewire/video_format_table.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include <spa/param/format-utils.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/iter.h>
#include <spa/pod/parser.h>

namespace {

using namespace pipewire_camera;

struct LayoutCase {
  spa_video_format format;
  std::uint32_t width, height;
  int planes;
  std::array<std::int64_t, 3> offset;
  std::array<std::int32_t, 3> stride;
  std::int64_t size;
};

class ConsumerLayoutTest : public testing::TestWithParam<LayoutCase> {};

// The numbers are GStreamer's default layout for each format, worked out by hand.
TEST_P(ConsumerLayoutTest, MatchesWhatAConsumerDerivesFromTheFormat) {
  const LayoutCase& c = GetParam();
  const auto layout = ConsumerLayout(c.format, c.width, c.height);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->planes, c.planes);
  for (int i = 0; i < c.planes; ++i) {
    EXPECT_EQ(layout->offset[i], c.offset[i]) << "plane " << i;
    EXPECT_EQ(layout->stride[i], c.stride[i]) << "plane " << i;
  }
  EXPECT_EQ(layout->size, c.size);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ConsumerLayoutTest,
    testing::Values(LayoutCase{SPA_VIDEO_FORMAT_BGRx, 641, 481, 1, {0}, {2564}, 2564 * 481},
                    LayoutCase{SPA_VIDEO_FORMAT_RGBx, 320, 240, 1, {0}, {1280}, 1280 * 240},
                    LayoutCase{SPA_VIDEO_FORMAT_RGB, 641, 481, 1, {0}, {1924}, 1924 * 481},
                    LayoutCase{SPA_VIDEO_FORMAT_BGR, 1280, 720, 1, {0}, {3840}, 3840 * 720},
                    LayoutCase{SPA_VIDEO_FORMAT_YUY2, 641, 480, 1, {0}, {1284}, 1284 * 480},
                    LayoutCase{SPA_VIDEO_FORMAT_I420, 640, 480, 3, {0, 307200, 384000}, {640, 320, 320}, 460800},
                    // Chroma rows of 321 bytes padded to 324; the luma plane padded to 362 rows.
                    LayoutCase{SPA_VIDEO_FORMAT_I420, 642, 361, 3, {0, 644 * 362, 644 * 362 + 324 * 181},
                               {644, 324, 324}, 644 * 362 + 2 * 324 * 181},
                    LayoutCase{SPA_VIDEO_FORMAT_NV12, 642, 361, 2, {0, 644 * 362}, {644, 644}, 644 * 362 + 644 * 181}));

TEST(ConsumerLayout, RefusesSizesOutsideTheOfferedRangeAndFormatsNotOffered) {
  EXPECT_FALSE(ConsumerLayout(SPA_VIDEO_FORMAT_BGRx, kMinSide - 1, 480));
  EXPECT_FALSE(ConsumerLayout(SPA_VIDEO_FORMAT_BGRx, 640, kMaxHeight + 1));
  EXPECT_FALSE(ConsumerLayout(SPA_VIDEO_FORMAT_BGRx, kMaxWidth + 1, 480));
  EXPECT_FALSE(ConsumerLayout(SPA_VIDEO_FORMAT_ARGB, 640, 480));
  EXPECT_TRUE(ConsumerLayout(SPA_VIDEO_FORMAT_I420, kMaxWidth, kMaxHeight));
}

// The composer's plane model (PlaneOf) must describe exactly the bytes it writes, or a
// reader of its packed frames would take the wrong rows.
TEST(ComposerLayout, SpansExactlyThePictureBytesOfEveryFormat) {
  for (const FormatEntry& entry : OfferedFormats()) {
    for (const auto& [w, h] : std::vector<std::pair<int, int>>{{641, 481}, {642, 361}, {16, 16}, {1920, 1080}}) {
      const auto stride = static_cast<std::int32_t>(PackedStride(entry.composed, w));
      const OutputPicture picture{w, h, entry.composed, stride, false, nullptr, 0};
      const int last = PlaneCount(entry.composed) - 1;
      const PlaneLayout plane = PlaneOf(picture, last);
      const std::int64_t size =
          static_cast<std::int64_t>(plane.offset) + std::int64_t{plane.stride} * (last == 0 ? h : (h + 1) / 2);
      EXPECT_EQ(size, PictureBytes(picture)) << static_cast<int>(entry.spaFormat) << " " << w << "x" << h;
    }
  }
}

// Reads back what a peer sees in one EnumFormat pod.
struct ReadPod {
  std::uint32_t format = 0;
  std::uint32_t sizeChoice = 0;
  std::vector<spa_rectangle> sizes;
  std::uint32_t rateChoice = 0;
  std::vector<spa_fraction> rates;
};

ReadPod Read(const spa_pod* pod) {
  ReadPod read;
  const auto* object = reinterpret_cast<const spa_pod_object*>(pod);
  const spa_pod_prop* format = spa_pod_object_find_prop(object, nullptr, SPA_FORMAT_VIDEO_format);
  const spa_pod_prop* size = spa_pod_object_find_prop(object, nullptr, SPA_FORMAT_VIDEO_size);
  const spa_pod_prop* rate = spa_pod_object_find_prop(object, nullptr, SPA_FORMAT_VIDEO_framerate);
  if (format == nullptr || size == nullptr || rate == nullptr) return read;
  spa_pod_get_id(&format->value, &read.format);
  std::uint32_t count = 0;
  const spa_pod* values = spa_pod_get_values(&size->value, &count, &read.sizeChoice);
  const auto* rectangles = static_cast<const spa_rectangle*>(SPA_POD_BODY_CONST(values));
  read.sizes.assign(rectangles, rectangles + count);
  values = spa_pod_get_values(&rate->value, &count, &read.rateChoice);
  const auto* fractions = static_cast<const spa_fraction*>(SPA_POD_BODY_CONST(values));
  read.rates.assign(fractions, fractions + count);
  return read;
}

TEST(EnumFormats, OfferEachSizeOnItsOwnFirstThenTheListsThenTheRanges) {
  std::vector<std::uint8_t> storage(kEnumFormatBuilderBytes);
  spa_pod_builder builder{};
  spa_pod_builder_init(&builder, storage.data(), static_cast<std::uint32_t>(storage.size()));
  std::vector<const spa_pod*> params;
  ASSERT_TRUE(BuildEnumFormats(&builder, 1280, 720, &params));
  const std::vector<spa_video_format> order = {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGB,
                                               SPA_VIDEO_FORMAT_BGR,  SPA_VIDEO_FORMAT_I420, SPA_VIDEO_FORMAT_NV12,
                                               SPA_VIDEO_FORMAT_YUY2};
  // Per format: the producer's size, then the rest of the ladder; per size the rates 30,
  // 15, 25, 60; each object one fixed size at one fixed rate.
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> oneSizes = {
      {1280, 720}, {320, 240}, {640, 480}, {1920, 1080}};
  const std::vector<std::uint32_t> oneRates = {30, 15, 25, 60};
  const std::size_t perFormat = oneSizes.size() * oneRates.size();
  const std::size_t fixedCount = order.size() * perFormat;
  ASSERT_EQ(params.size(), fixedCount + order.size() * 2);
  for (std::size_t i = 0; i < fixedCount; ++i) {
    const ReadPod pod = Read(params[i]);
    EXPECT_EQ(pod.format, static_cast<std::uint32_t>(order[i / perFormat])) << i;
    ASSERT_EQ(pod.sizeChoice, SPA_CHOICE_None) << i;
    ASSERT_EQ(pod.sizes.size(), 1u);
    const auto& size = oneSizes[(i % perFormat) / oneRates.size()];
    EXPECT_EQ(pod.sizes[0].width, size.first) << i;
    EXPECT_EQ(pod.sizes[0].height, size.second) << i;
    ASSERT_EQ(pod.rateChoice, SPA_CHOICE_None) << i;
    ASSERT_EQ(pod.rates.size(), 1u);
    EXPECT_EQ(pod.rates[0].num, oneRates[i % oneRates.size()]) << i;
    EXPECT_EQ(pod.rates[0].denom, 1u);
  }
  for (std::size_t i = fixedCount; i < params.size(); ++i) {
    const ReadPod pod = Read(params[i]);
    EXPECT_EQ(pod.format, static_cast<std::uint32_t>(order[(i - fixedCount) % order.size()])) << i;
    if (i < fixedCount + order.size()) {
      // Default and first alternative the producer's size, then the ladder without it.
      ASSERT_EQ(pod.sizeChoice, SPA_CHOICE_Enum);
      ASSERT_EQ(pod.sizes.size(), 5u);
      const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {
          {1280, 720}, {1280, 720}, {320, 240}, {640, 480}, {1920, 1080}};
      for (std::size_t s = 0; s < expected.size(); ++s) {
        EXPECT_EQ(pod.sizes[s].width, expected[s].first);
        EXPECT_EQ(pod.sizes[s].height, expected[s].second);
      }
      ASSERT_EQ(pod.rateChoice, SPA_CHOICE_Enum);
      const std::vector<std::uint32_t> rates = {30, 30, 15, 25, 60};
      ASSERT_EQ(pod.rates.size(), rates.size());
      for (std::size_t r = 0; r < rates.size(); ++r) {
        EXPECT_EQ(pod.rates[r].num, rates[r]);
        EXPECT_EQ(pod.rates[r].denom, 1u);
      }
    } else {
      ASSERT_EQ(pod.sizeChoice, SPA_CHOICE_Range);
      ASSERT_EQ(pod.sizes.size(), 3u);
      EXPECT_EQ(pod.sizes[0].width, 1280u);
      EXPECT_EQ(pod.sizes[1].width, kMinSide);
      EXPECT_EQ(pod.sizes[2].width, kMaxWidth);
      EXPECT_EQ(pod.sizes[2].height, kMaxHeight);
      ASSERT_EQ(pod.rateChoice, SPA_CHOICE_Range);
      ASSERT_EQ(pod.rates.size(), 3u);
      EXPECT_EQ(pod.rates[0].num, 30u);
      EXPECT_EQ(pod.rates[1].num, 1u);
      EXPECT_EQ(pod.rates[2].num, 60u);
    }
  }
}

TEST(EnumFormats, BuilderTooSmallIsAFailureNotATruncatedOffer) {
  std::vector<std::uint8_t> storage(512);
  spa_pod_builder builder{};
  spa_pod_builder_init(&builder, storage.data(), static_cast<std::uint32_t>(storage.size()));
  std::vector<const spa_pod*> params;
  EXPECT_FALSE(BuildEnumFormats(&builder, 640, 480, &params));
  EXPECT_TRUE(params.empty());
}

TEST(FirstSize, IsTheProducersSizeOnlyWhenAFrameCanHaveIt) {
  EXPECT_EQ(FirstSize(1280, 720), std::make_pair(1280u, 720u));
  EXPECT_EQ(FirstSize(0, 0), std::make_pair(kFallbackWidth, kFallbackHeight));
  EXPECT_EQ(FirstSize(-640, 480), std::make_pair(kFallbackWidth, kFallbackHeight));
  EXPECT_EQ(FirstSize(3840, 2160), std::make_pair(kFallbackWidth, kFallbackHeight));  // larger than a frame area
  EXPECT_EQ(FirstSize(100000, 2), std::make_pair(kFallbackWidth, kFallbackHeight));
}

// A fixed Format pod as a peer would send it.
const spa_pod* FixedFormat(spa_pod_builder* builder, spa_video_format format, std::uint32_t w, std::uint32_t h,
                           std::uint32_t num, std::uint32_t denom, std::uint32_t mediaType = SPA_MEDIA_TYPE_video) {
  spa_pod_frame object{};
  spa_pod_builder_push_object(builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_Format);
  spa_pod_builder_prop(builder, SPA_FORMAT_mediaType, 0);
  spa_pod_builder_id(builder, mediaType);
  spa_pod_builder_prop(builder, SPA_FORMAT_mediaSubtype, 0);
  spa_pod_builder_id(builder, SPA_MEDIA_SUBTYPE_raw);
  spa_pod_builder_prop(builder, SPA_FORMAT_VIDEO_format, 0);
  spa_pod_builder_id(builder, format);
  spa_pod_builder_prop(builder, SPA_FORMAT_VIDEO_size, 0);
  spa_pod_builder_rectangle(builder, w, h);
  spa_pod_builder_prop(builder, SPA_FORMAT_VIDEO_framerate, 0);
  spa_pod_builder_fraction(builder, num, denom);
  return static_cast<const spa_pod*>(spa_pod_builder_pop(builder, &object));
}

TEST(ParseVideoFormat, AcceptsOnlyAFixedFormatThisCameraDelivers) {
  std::vector<std::uint8_t> storage(kEnumFormatBuilderBytes);
  spa_pod_builder builder{};
  spa_pod_builder_init(&builder, storage.data(), static_cast<std::uint32_t>(storage.size()));

  const auto ok = ParseVideoFormat(FixedFormat(&builder, SPA_VIDEO_FORMAT_NV12, 642, 361, 30000, 1001));
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->format, SPA_VIDEO_FORMAT_NV12);
  EXPECT_EQ(ok->width, 642u);
  EXPECT_EQ(ok->height, 361u);
  EXPECT_EQ(ok->rateNum, 30000u);
  EXPECT_EQ(ok->rateDenom, 1001u);
  EXPECT_TRUE(ParseVideoFormat(FixedFormat(&builder, SPA_VIDEO_FORMAT_BGRx, 640, 480, 1, 1)));
  EXPECT_TRUE(ParseVideoFormat(FixedFormat(&builder, SPA_VIDEO_FORMAT_BGRx, 640, 480, 60, 1)));

  EXPECT_FALSE(ParseVideoFormat(nullptr));
  EXPECT_FALSE(ParseVideoFormat(FixedFormat(&builder, SPA_VIDEO_FORMAT_ARGB, 640, 480, 30, 1)));
  EXPECT_FALSE(ParseVideoFormat(FixedFormat(&builder, SPA_VIDEO_FORMAT_BGRx, 8, 8, 30, 1)));
  EXPECT_FALSE(ParseVideoFormat(FixedFormat(&builder, SPA_VIDEO_FORMAT_BGRx, 7680, 4320, 30, 1)));
  EXPECT_FALSE(ParseVideoFormat(FixedFormat(&builder, SPA_VIDEO_FORMAT_BGRx, 640, 480, 0, 1)));
  EXPECT_FALSE(ParseVideoFormat(FixedFormat(&builder, SPA_VIDEO_FORMAT_BGRx, 640, 480, 30, 0)));
  EXPECT_FALSE(ParseVideoFormat(FixedFormat(&builder, SPA_VIDEO_FORMAT_BGRx, 640, 480, 1, 2)));
  EXPECT_FALSE(ParseVideoFormat(FixedFormat(&builder, SPA_VIDEO_FORMAT_BGRx, 640, 480, 61, 1)));
  // 64 frames a second, where denom x 60 passes 32 bits.
  EXPECT_FALSE(ParseVideoFormat(FixedFormat(&builder, SPA_VIDEO_FORMAT_BGRx, 640, 480, 0xFFFFFFFFu, 0x04000000u)));
  EXPECT_TRUE(ParseVideoFormat(FixedFormat(&builder, SPA_VIDEO_FORMAT_BGRx, 640, 480, 0xFFFFFFFFu, 0x7FFFFFFFu)));
  EXPECT_FALSE(ParseVideoFormat(FixedFormat(&builder, SPA_VIDEO_FORMAT_BGRx, 640, 480, 30, 1, SPA_MEDIA_TYPE_audio)));

  // An EnumFormat pod with choices is an offer, not a format; one of one size and one
  // rate is the format a peer may fix from it.
  std::vector<const spa_pod*> offer;
  ASSERT_TRUE(BuildEnumFormats(&builder, 640, 480, &offer));
  EXPECT_TRUE(ParseVideoFormat(offer[0]));
  EXPECT_FALSE(ParseVideoFormat(offer.back()));
  ASSERT_LE(builder.state.offset, builder.size);
}

}  // namespace
