// The sender library's C interface over CSender: argument checks, the per-thread last
// error, and a handle that destroy can wait on while calls on other threads finish.
#include <amberline/sender.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "channel/channel_name.h"
#include "platform/wide_string.h"
#include "sender/sender.h"

struct amberline_sender {
  std::unique_ptr<CSender> impl;
  std::atomic<int> calls{0};
};

namespace {

thread_local std::string t_lastError;

amberline_result Fail(amberline_result result, std::string text) {
  t_lastError = std::move(text);
  return result;
}

amberline_result Done(SenderResult result, const std::string& problem = {}) {
  const auto code = static_cast<amberline_result>(result);
  if (code < 0) return Fail(code, problem);
  t_lastError.clear();
  return code;
}

// Counts a call on the handle for as long as it runs, so that destroy waits for it.
class CCall {
 public:
  explicit CCall(amberline_sender* sender) : m_sender(sender) { m_sender->calls.fetch_add(1); }
  ~CCall() { m_sender->calls.fetch_sub(1); }
  CCall(const CCall&) = delete;
  CCall& operator=(const CCall&) = delete;

 private:
  amberline_sender* m_sender;
};

bool SizeCovers(std::uint32_t given, std::size_t needed) { return given >= needed; }

}  // namespace

extern "C" {

AMBERLINE_API int32_t AMBERLINE_CALL amberline_sender_version(void) { return AMBERLINE_SENDER_VERSION; }

AMBERLINE_API const char* AMBERLINE_CALL amberline_last_error(void) { return t_lastError.c_str(); }

AMBERLINE_API void AMBERLINE_CALL amberline_sender_options_init(amberline_sender_options* options) {
  if (options == nullptr) return;
  std::memset(options, 0, sizeof *options);
  options->size = sizeof *options;
  options->width = 640;
  options->height = 480;
  options->fps_num = 30;
  options->fps_den = 1;
  options->format = AMBERLINE_FORMAT_BGR24;
  options->color = AMBERLINE_COLOR_BT601_LIMITED;
  options->channel = nullptr;
}

AMBERLINE_API amberline_result AMBERLINE_CALL amberline_sender_create(const amberline_sender_options* options,
                                                                     amberline_sender** sender) {
  if (sender == nullptr) return Fail(AMBERLINE_ERROR_INVALID_ARGUMENT, "amberline_sender_create needs a place for the sender");
  *sender = nullptr;
  if (options == nullptr || !SizeCovers(options->size, sizeof(amberline_sender_options)))
    return Fail(AMBERLINE_ERROR_INVALID_ARGUMENT,
                "the options were not prepared with amberline_sender_options_init (their size field is wrong)");
  constexpr std::uint32_t kKnownFlags = AMBERLINE_FLAG_MIRROR | AMBERLINE_FLAG_FLIP | AMBERLINE_FLAG_SHOW_LOGO |
                                        AMBERLINE_FLAG_WAIT_FOR_CHANNEL | AMBERLINE_FLAG_ALLOW_SECOND;
  if ((options->flags & ~kKnownFlags) != 0)
    return Fail(AMBERLINE_ERROR_INVALID_ARGUMENT, "unknown option flags 0x" + [&] {
      char text[16];
      std::snprintf(text, sizeof text, "%x", options->flags & ~kKnownFlags);
      return std::string(text);
    }());
  CSender::Settings settings;
  settings.width = options->width;
  settings.height = options->height;
  settings.fpsNum = options->fps_num;
  settings.fpsDen = options->fps_den;
  settings.format = options->format;
  settings.color = options->color;
  settings.mirror = (options->flags & AMBERLINE_FLAG_MIRROR) != 0;
  settings.flip = (options->flags & AMBERLINE_FLAG_FLIP) != 0;
  settings.showLogo = (options->flags & AMBERLINE_FLAG_SHOW_LOGO) != 0;
  settings.waitForChannel = (options->flags & AMBERLINE_FLAG_WAIT_FOR_CHANNEL) != 0;
  settings.allowSecond = (options->flags & AMBERLINE_FLAG_ALLOW_SECOND) != 0;
  settings.waitMs = options->wait_ms;
  if (options->channel != nullptr) {
    const std::string name = options->channel;
    if (!name.empty() && !channel::IsChannelName(name))
      return Fail(AMBERLINE_ERROR_INVALID_ARGUMENT,
                  "the channel name \"" + name.substr(0, 80) + "\" may hold only letters, digits, '-' and '_', at most " +
                      std::to_string(channel::kMaxChannelNameChars) + " of them");
    settings.channelNamespace = channel::ChannelNamespace(platform::Utf8ToWide(name));
  }
  auto handle = std::unique_ptr<amberline_sender>(new (std::nothrow) amberline_sender);
  if (!handle) return Fail(AMBERLINE_ERROR_CHANNEL, "out of memory");
  std::string problem;
  const SenderResult result = CSender::Create(settings, &handle->impl, &problem);
  if (result != SenderResult::kOk) return Done(result, problem);
  *sender = handle.release();
  return Done(result);
}

AMBERLINE_API void AMBERLINE_CALL amberline_sender_destroy(amberline_sender* sender) {
  if (sender == nullptr) return;
  // Waits end at once; every other call returns within a frame's store.
  sender->impl->Interrupt();
  while (sender->calls.load() != 0) {
    sender->impl->Interrupt();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  delete sender;
}

AMBERLINE_API amberline_result AMBERLINE_CALL amberline_sender_send(amberline_sender* sender, const void* pixels,
                                                                   int32_t stride) {
  if (sender == nullptr) return Fail(AMBERLINE_ERROR_INVALID_ARGUMENT, "amberline_sender_send needs a sender");
  CCall call(sender);
  CSender& impl = *sender->impl;
  sender::InputPicture picture;
  picture.format = impl.Format();
  picture.width = impl.Width();
  picture.height = impl.Height();
  const auto* base = static_cast<const std::uint8_t*>(pixels);
  picture.planes[0] = base;
  picture.strides[0] = stride;
  // The other planes follow the first, each after its rows (chroma rows of I420 at half
  // the stride). With a negative stride every plane is bottom-up in memory: the picture's
  // top row of a plane is its highest row, and the next plane starts after that.
  if (base != nullptr && (picture.format == sender::InputFormat::kI420 || picture.format == sender::InputFormat::kNv12)) {
    const std::int64_t rows = picture.height;
    const std::int64_t chromaRows = rows / 2;
    const std::int64_t chromaStride = picture.format == sender::InputFormat::kI420 ? stride / 2 : stride;
    // The lowest and one-past-highest address of the Y plane.
    const std::uint8_t* yLow = stride >= 0 ? base : base + static_cast<std::int64_t>(stride) * (rows - 1);
    const std::uint8_t* next = yLow + (stride >= 0 ? stride : -static_cast<std::int64_t>(stride)) * rows;
    const std::int64_t chromaBytes = (chromaStride >= 0 ? chromaStride : -chromaStride) * chromaRows;
    const auto top = [&](const std::uint8_t* low) {
      return chromaStride >= 0 ? low : low + (-chromaStride) * (chromaRows - 1);
    };
    picture.planes[1] = top(next);
    picture.strides[1] = static_cast<std::int32_t>(chromaStride);
    if (picture.format == sender::InputFormat::kI420) {
      picture.planes[2] = top(next + chromaBytes);
      picture.strides[2] = static_cast<std::int32_t>(chromaStride);
    }
  }
  std::string problem;
  return Done(impl.Send(picture, &problem), problem);
}

AMBERLINE_API amberline_result AMBERLINE_CALL amberline_sender_send_frame(amberline_sender* sender,
                                                                         const amberline_frame* frame) {
  if (sender == nullptr || frame == nullptr)
    return Fail(AMBERLINE_ERROR_INVALID_ARGUMENT, "amberline_sender_send_frame needs a sender and a frame");
  if (!SizeCovers(frame->size, sizeof(amberline_frame)))
    return Fail(AMBERLINE_ERROR_INVALID_ARGUMENT, "the frame's size field is not sizeof(amberline_frame)");
  CCall call(sender);
  sender::InputPicture picture;
  picture.format = static_cast<sender::InputFormat>(frame->format);
  picture.width = frame->width;
  picture.height = frame->height;
  for (std::size_t i = 0; i < 4; ++i) {
    picture.planes[i] = static_cast<const std::uint8_t*>(frame->planes[i].data);
    picture.strides[i] = frame->planes[i].stride;
  }
  std::string problem;
  return Done(sender->impl->Send(picture, &problem), problem);
}

AMBERLINE_API amberline_result AMBERLINE_CALL amberline_sender_wait_next_frame(amberline_sender* sender) {
  if (sender == nullptr) return Fail(AMBERLINE_ERROR_INVALID_ARGUMENT, "amberline_sender_wait_next_frame needs a sender");
  CCall call(sender);
  return Done(sender->impl->WaitNextFrame(), "the wait for the next frame was interrupted");
}

AMBERLINE_API amberline_result AMBERLINE_CALL amberline_sender_poll_next_frame(amberline_sender* sender,
                                                                              int64_t* wait_ns) {
  if (sender == nullptr) return Fail(AMBERLINE_ERROR_INVALID_ARGUMENT, "amberline_sender_poll_next_frame needs a sender");
  CCall call(sender);
  std::int64_t wait = 0;
  const SenderResult result = sender->impl->PollNextFrame(&wait);
  if (wait_ns != nullptr) *wait_ns = wait;
  return Done(result);
}

AMBERLINE_API void AMBERLINE_CALL amberline_sender_interrupt(amberline_sender* sender) {
  if (sender != nullptr) sender->impl->Interrupt();
}

AMBERLINE_API amberline_result AMBERLINE_CALL amberline_sender_get_stats(amberline_sender* sender,
                                                                        amberline_sender_stats* stats) {
  if (sender == nullptr || stats == nullptr)
    return Fail(AMBERLINE_ERROR_INVALID_ARGUMENT, "amberline_sender_get_stats needs a sender and a place for the figures");
  if (!SizeCovers(stats->size, sizeof(amberline_sender_stats)))
    return Fail(AMBERLINE_ERROR_INVALID_ARGUMENT, "the statistics' size field is not sizeof(amberline_sender_stats)");
  CCall call(sender);
  const CSender::Stats figures = sender->impl->GetStats();
  stats->frames_sent = figures.sent;
  stats->frames_dropped = figures.dropped;
  stats->deadlines_skipped = figures.skipped;
  stats->current_fps = figures.fps;
  stats->beside_another = figures.besideAnother ? 1 : 0;
  return Done(SenderResult::kOk);
}

AMBERLINE_API amberline_result AMBERLINE_CALL amberline_sender_consumers(amberline_sender* sender,
                                                                        amberline_consumer* consumers,
                                                                        int32_t capacity, int32_t* count,
                                                                        uint64_t* generation) {
  if (sender == nullptr || count == nullptr || capacity < 0 || (capacity > 0 && consumers == nullptr))
    return Fail(AMBERLINE_ERROR_INVALID_ARGUMENT,
                "amberline_sender_consumers needs a sender, a place for the count and room for `capacity` entries");
  for (std::int32_t i = 0; i < capacity; ++i)
    if (!SizeCovers(consumers[i].size, sizeof(amberline_consumer)))
      return Fail(AMBERLINE_ERROR_INVALID_ARGUMENT,
                  "entry " + std::to_string(i) + "'s size field is not sizeof(amberline_consumer)");
  CCall call(sender);
  std::vector<CSender::Consumer> list;
  sender->impl->GetConsumers(&list, generation);
  *count = static_cast<std::int32_t>(list.size());
  for (std::size_t i = 0; i < list.size() && i < static_cast<std::size_t>(capacity); ++i) {
    amberline_consumer& out = consumers[i];
    out.width = list[i].width;
    out.height = list[i].height;
    out.idle_ms = list[i].idleMs;
    // Cut at a whole UTF-8 character.
    std::size_t length = std::min(list[i].name.size(), sizeof out.name - 1);
    while (length > 0 && length < list[i].name.size() && (static_cast<unsigned char>(list[i].name[length]) & 0xC0) == 0x80)
      --length;
    std::memcpy(out.name, list[i].name.data(), length);
    out.name[length] = 0;
  }
  return Done(SenderResult::kOk);
}

AMBERLINE_API amberline_result AMBERLINE_CALL amberline_sender_wait_consumers(amberline_sender* sender,
                                                                             uint64_t generation,
                                                                             int32_t timeout_ms) {
  if (sender == nullptr || timeout_ms < 0)
    return Fail(AMBERLINE_ERROR_INVALID_ARGUMENT, "amberline_sender_wait_consumers needs a sender and a time of 0 ms or more");
  CCall call(sender);
  const SenderResult result = sender->impl->WaitConsumers(generation, timeout_ms);
  return Done(result, result == SenderResult::kTimeout ? "the consumer list did not change within " +
                                                             std::to_string(timeout_ms) + " ms"
                                                       : "the wait for the consumer list was interrupted");
}

AMBERLINE_API amberline_result AMBERLINE_CALL amberline_sender_set_clock(amberline_sender* sender,
                                                                        amberline_clock_fn clock,
                                                                        amberline_sleep_fn sleep, void* context) {
  if (sender == nullptr) return Fail(AMBERLINE_ERROR_INVALID_ARGUMENT, "amberline_sender_set_clock needs a sender");
  if ((clock == nullptr) != (sleep == nullptr))
    return Fail(AMBERLINE_ERROR_INVALID_ARGUMENT, "a clock and a sleep are replaced together");
  CCall call(sender);
  if (clock == nullptr) {
    sender->impl->SetClock({}, {});
  } else {
    sender->impl->SetClock([clock, context] { return clock(context); },
                           [sleep, context](std::int64_t ns) { sleep(context, ns); });
  }
  return Done(SenderResult::kOk);
}

}  // extern "C"
