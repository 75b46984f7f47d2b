#include "pipewire/video_format_table.h"

#include <spa/param/buffers.h>
#include <spa/param/format-utils.h>
#include <spa/param/format.h>
#include <spa/param/param.h>
#include <spa/param/video/format-utils.h>
#include <spa/buffer/meta.h>
#include <spa/pod/iter.h>

#include "channel/frame_region.h"

namespace pipewire_camera {
namespace {

constexpr std::int64_t RoundUp4(std::int64_t value) { return (value + 3) & ~std::int64_t{3}; }
constexpr std::int64_t RoundUp2(std::int64_t value) { return (value + 1) & ~std::int64_t{1}; }

struct Size {
  std::uint32_t width;
  std::uint32_t height;
};
constexpr Size kLadder[] = {{320, 240}, {640, 480}, {1280, 720}, {1920, 1080}};
constexpr std::uint32_t kListedRates[] = {15, 25, 30, 60};

void AddRectangle(spa_pod_builder* builder, std::uint32_t width, std::uint32_t height) {
  spa_pod_builder_rectangle(builder, width, height);
}

// What one EnumFormat object offers of its format.
enum class Offer {
  kOneSize,  // one fixed size at one fixed rate (consumers that read only fixed values)
  kLists,    // the listed sizes and rates, the first size and rate preferred
  kRanges,   // any size and rate in range
};

// One EnumFormat object: the format, then its sizes and rates as the offer says (rate is
// the one rate of a kOneSize object).
const spa_pod* BuildOne(spa_pod_builder* builder, spa_video_format format, std::uint32_t firstWidth,
                        std::uint32_t firstHeight, Offer offer, std::uint32_t rate = 0) {
  const bool ranges = offer == Offer::kRanges;
  spa_pod_frame object{};
  spa_pod_builder_push_object(builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_prop(builder, SPA_FORMAT_mediaType, 0);
  spa_pod_builder_id(builder, SPA_MEDIA_TYPE_video);
  spa_pod_builder_prop(builder, SPA_FORMAT_mediaSubtype, 0);
  spa_pod_builder_id(builder, SPA_MEDIA_SUBTYPE_raw);
  spa_pod_builder_prop(builder, SPA_FORMAT_VIDEO_format, 0);
  spa_pod_builder_id(builder, format);

  spa_pod_frame choice{};
  spa_pod_builder_prop(builder, SPA_FORMAT_VIDEO_size, 0);
  if (offer == Offer::kOneSize) {
    AddRectangle(builder, firstWidth, firstHeight);
  } else if (ranges) {
    spa_pod_builder_push_choice(builder, &choice, SPA_CHOICE_Range, 0);
    AddRectangle(builder, firstWidth, firstHeight);
    AddRectangle(builder, kMinSide, kMinSide);
    AddRectangle(builder, kMaxWidth, kMaxHeight);
  } else {
    spa_pod_builder_push_choice(builder, &choice, SPA_CHOICE_Enum, 0);
    // The default, then the same size again as the first alternative: a consumer that
    // reads only the alternatives still meets the producer's size first.
    AddRectangle(builder, firstWidth, firstHeight);
    AddRectangle(builder, firstWidth, firstHeight);
    for (const Size& size : kLadder) {
      if (size.width != firstWidth || size.height != firstHeight) AddRectangle(builder, size.width, size.height);
    }
  }
  if (offer != Offer::kOneSize) spa_pod_builder_pop(builder, &choice);

  spa_pod_builder_prop(builder, SPA_FORMAT_VIDEO_framerate, 0);
  if (offer == Offer::kOneSize) {
    spa_pod_builder_fraction(builder, rate, 1);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(builder, &object));
  }
  if (ranges) {
    spa_pod_builder_push_choice(builder, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_fraction(builder, kPreferredRate, 1);
    spa_pod_builder_fraction(builder, 1, 1);
    spa_pod_builder_fraction(builder, kMaxRate, 1);
  } else {
    spa_pod_builder_push_choice(builder, &choice, SPA_CHOICE_Enum, 0);
    spa_pod_builder_fraction(builder, kPreferredRate, 1);
    spa_pod_builder_fraction(builder, kPreferredRate, 1);
    for (std::uint32_t listed : kListedRates) {
      if (listed != kPreferredRate) spa_pod_builder_fraction(builder, listed, 1);
    }
  }
  spa_pod_builder_pop(builder, &choice);
  return static_cast<const spa_pod*>(spa_pod_builder_pop(builder, &object));
}

}  // namespace

const std::vector<FormatEntry>& OfferedFormats() {
  static const std::vector<FormatEntry> formats = {
      {SPA_VIDEO_FORMAT_BGRx, PixelFormat::kBgrx, false}, {SPA_VIDEO_FORMAT_RGBx, PixelFormat::kBgrx, true},
      {SPA_VIDEO_FORMAT_RGB, PixelFormat::kRgb24, false}, {SPA_VIDEO_FORMAT_BGR, PixelFormat::kBgr24, false},
      {SPA_VIDEO_FORMAT_I420, PixelFormat::kI420, false}, {SPA_VIDEO_FORMAT_NV12, PixelFormat::kNv12, false},
      {SPA_VIDEO_FORMAT_YUY2, PixelFormat::kYuy2, false},
  };
  return formats;
}

std::optional<FormatEntry> FindFormat(spa_video_format format) {
  for (const FormatEntry& entry : OfferedFormats()) {
    if (entry.spaFormat == format) return entry;
  }
  return std::nullopt;
}

std::optional<FrameLayout> ConsumerLayout(spa_video_format format, std::uint32_t width, std::uint32_t height) {
  if (!FindFormat(format) || width < kMinSide || height < kMinSide || width > kMaxWidth || height > kMaxHeight)
    return std::nullopt;
  const std::int64_t w = width;
  const std::int64_t h = height;
  FrameLayout layout;
  layout.planes = 1;
  layout.rows[0] = h;
  switch (format) {
    case SPA_VIDEO_FORMAT_BGRx:
    case SPA_VIDEO_FORMAT_RGBx: layout.stride[0] = static_cast<std::int32_t>(w * 4); break;
    case SPA_VIDEO_FORMAT_RGB:
    case SPA_VIDEO_FORMAT_BGR: layout.stride[0] = static_cast<std::int32_t>(RoundUp4(w * 3)); break;
    case SPA_VIDEO_FORMAT_YUY2: layout.stride[0] = static_cast<std::int32_t>(RoundUp4(RoundUp2(w) * 2)); break;
    case SPA_VIDEO_FORMAT_I420: {
      layout.planes = 3;
      layout.stride[0] = static_cast<std::int32_t>(RoundUp4(w));
      layout.stride[1] = layout.stride[2] = static_cast<std::int32_t>(RoundUp4(RoundUp2(w) / 2));
      layout.rows[1] = layout.rows[2] = RoundUp2(h) / 2;
      layout.offset[1] = layout.stride[0] * RoundUp2(h);
      layout.offset[2] = layout.offset[1] + layout.stride[1] * layout.rows[1];
      break;
    }
    case SPA_VIDEO_FORMAT_NV12: {
      layout.planes = 2;
      layout.stride[0] = layout.stride[1] = static_cast<std::int32_t>(RoundUp4(w));
      layout.rows[1] = RoundUp2(h) / 2;
      layout.offset[1] = layout.stride[0] * RoundUp2(h);
      break;
    }
    default: return std::nullopt;
  }
  const int last = layout.planes - 1;
  layout.size = layout.offset[last] + std::int64_t{layout.stride[last]} * layout.rows[last];
  return layout;
}

std::pair<std::uint32_t, std::uint32_t> FirstSize(std::int32_t producerWidth, std::int32_t producerHeight) {
  const std::int64_t bytes = channel::FrameBytes(producerWidth, producerHeight);
  if (bytes <= 0 || bytes > channel::kFrameAreaSize || producerWidth < static_cast<std::int32_t>(kMinSide) ||
      producerHeight < static_cast<std::int32_t>(kMinSide) || producerWidth > static_cast<std::int32_t>(kMaxWidth) ||
      producerHeight > static_cast<std::int32_t>(kMaxHeight))
    return {kFallbackWidth, kFallbackHeight};
  return {static_cast<std::uint32_t>(producerWidth), static_cast<std::uint32_t>(producerHeight)};
}

bool BuildEnumFormats(spa_pod_builder* builder, std::uint32_t firstWidth, std::uint32_t firstHeight,
                      std::vector<const spa_pod*>* params) {
  std::vector<const spa_pod*> built;
  const auto add = [&](spa_video_format format, std::uint32_t width, std::uint32_t height, Offer offer,
                       std::uint32_t rate) {
    const spa_pod* pod = BuildOne(builder, format, width, height, offer, rate);
    if (pod != nullptr) built.push_back(pod);
    return pod != nullptr;
  };
  // Every format at every listed size and rate, one size and rate an object: some
  // consumers (the browsers' PipeWire camera code) list a camera only by such objects.
  std::vector<std::uint32_t> rates = {kPreferredRate};
  for (std::uint32_t listed : kListedRates) {
    if (listed != kPreferredRate) rates.push_back(listed);
  }
  for (const FormatEntry& entry : OfferedFormats()) {
    for (std::uint32_t rate : rates) {
      if (!add(entry.spaFormat, firstWidth, firstHeight, Offer::kOneSize, rate)) return false;
    }
    for (const Size& size : kLadder) {
      if (size.width == firstWidth && size.height == firstHeight) continue;
      for (std::uint32_t rate : rates) {
        if (!add(entry.spaFormat, size.width, size.height, Offer::kOneSize, rate)) return false;
      }
    }
  }
  for (Offer offer : {Offer::kLists, Offer::kRanges}) {
    for (const FormatEntry& entry : OfferedFormats()) {
      if (!add(entry.spaFormat, firstWidth, firstHeight, offer, 0)) return false;
    }
  }
  // An overflowing builder keeps counting without writing: only now is every pod whole.
  if (builder->state.offset > builder->size) return false;
  params->insert(params->end(), built.begin(), built.end());
  return true;
}

bool BuildBufferParams(spa_pod_builder* builder, const FrameLayout& layout, std::vector<const spa_pod*>* params) {
  if (layout.size <= 0 || layout.size > INT32_MAX) return false;
  spa_pod_frame object{};
  spa_pod_builder_push_object(builder, &object, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
  spa_pod_builder_prop(builder, SPA_PARAM_BUFFERS_buffers, 0);
  spa_pod_frame choice{};
  spa_pod_builder_push_choice(builder, &choice, SPA_CHOICE_Range, 0);
  spa_pod_builder_int(builder, 4);
  spa_pod_builder_int(builder, 2);
  spa_pod_builder_int(builder, 8);
  spa_pod_builder_pop(builder, &choice);
  spa_pod_builder_prop(builder, SPA_PARAM_BUFFERS_blocks, 0);
  spa_pod_builder_int(builder, 1);
  spa_pod_builder_prop(builder, SPA_PARAM_BUFFERS_size, 0);
  spa_pod_builder_int(builder, static_cast<std::int32_t>(layout.size));
  spa_pod_builder_prop(builder, SPA_PARAM_BUFFERS_stride, 0);
  spa_pod_builder_int(builder, layout.stride[0]);
  const auto* buffers = static_cast<const spa_pod*>(spa_pod_builder_pop(builder, &object));

  spa_pod_builder_push_object(builder, &object, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
  spa_pod_builder_prop(builder, SPA_PARAM_META_type, 0);
  spa_pod_builder_id(builder, SPA_META_Header);
  spa_pod_builder_prop(builder, SPA_PARAM_META_size, 0);
  spa_pod_builder_int(builder, static_cast<std::int32_t>(sizeof(spa_meta_header)));
  const auto* meta = static_cast<const spa_pod*>(spa_pod_builder_pop(builder, &object));

  if (buffers == nullptr || meta == nullptr || builder->state.offset > builder->size) return false;
  params->push_back(buffers);
  params->push_back(meta);
  return true;
}

std::optional<VideoFormat> ParseVideoFormat(const spa_pod* format) {
  if (format == nullptr || !spa_pod_is_object_type(format, SPA_TYPE_OBJECT_Format)) return std::nullopt;
  // Every property that decides the frame must be one fixed value, not a choice.
  const auto* object = reinterpret_cast<const spa_pod_object*>(format);
  for (std::uint32_t key : {SPA_FORMAT_VIDEO_format, SPA_FORMAT_VIDEO_size, SPA_FORMAT_VIDEO_framerate}) {
    const spa_pod_prop* prop = spa_pod_object_find_prop(object, nullptr, key);
    if (prop == nullptr) return std::nullopt;
    if (spa_pod_is_choice(&prop->value) &&
        (SPA_POD_CHOICE_TYPE(&prop->value) != SPA_CHOICE_None || SPA_POD_CHOICE_N_VALUES(&prop->value) < 1))
      return std::nullopt;
  }
  std::uint32_t mediaType = 0;
  std::uint32_t mediaSubtype = 0;
  if (spa_format_parse(format, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
      mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
    return std::nullopt;
  spa_video_info_raw info{};
  if (spa_format_video_raw_parse(format, &info) < 0) return std::nullopt;
  VideoFormat result;
  result.format = info.format;
  result.width = info.size.width;
  result.height = info.size.height;
  result.rateNum = info.framerate.num;
  result.rateDenom = info.framerate.denom;
  if (!ConsumerLayout(result.format, result.width, result.height)) return std::nullopt;
  // A rate from 1 to 60 frames a second: num / denom in [1, 60] without overflow.
  const std::uint64_t num = result.rateNum;
  const std::uint64_t denom = result.rateDenom;
  if (num == 0 || denom == 0 || num < denom || num > denom * kMaxRate) return std::nullopt;
  return result;
}

}  // namespace pipewire_camera
