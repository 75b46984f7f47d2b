#include "pipewire/camera_node.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include <libyuv/convert_argb.h>
#include <spa/buffer/meta.h>
#include <spa/param/param.h>

#include "channel/channel_name.h"
#include "composer/client_name.h"
#include "pipewire/node_name.h"
#include "platform/clock.h"

namespace {

constexpr std::size_t kParamBufferBytes = pipewire_camera::kEnumFormatBuilderBytes;
// How often an unused node looks whether the producer's size changed.
constexpr time_t kOfferCheckSeconds = 1;

}  // namespace

CCameraNode::CCameraNode(std::string name, std::wstring picturesRoot, std::wstring channelName)
    : m_name(std::move(name)),
      m_nodeName(CameraNodeName(m_name)),
      m_picturesRoot(std::move(picturesRoot)),
      m_channelName(std::move(channelName)),
      m_composer(m_channel, m_images) {}

CCameraNode::~CCameraNode() {
  Unpublish();
  m_channel.Destroy();
}

bool CCameraNode::Init() {
  if (!m_channelName.empty()) m_channel.SetChannelNamespace(channel::ChannelNamespace(m_channelName));
  if (m_channel.Init(false, nullptr) != 0) return false;
  if (!m_picturesRoot.empty()) m_images.LoadPictures(m_picturesRoot);
  return true;
}

bool CCameraNode::Publish(pw_core* core, pw_loop* loop, PublishedCallback onPublished, EndedCallback onEnded,
                          RenewCallback onRenew) {
  Unpublish();
  if (core == nullptr || loop == nullptr) return false;
  m_loop = loop;
  m_onPublished = std::move(onPublished);
  m_onEnded = std::move(onEnded);
  m_onRenew = std::move(onRenew);
  m_reported = false;
  m_renewDue = false;

  pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                           PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_ROLE, "Camera",
                                           PW_KEY_NODE_NAME, m_nodeName.c_str(), PW_KEY_NODE_DESCRIPTION,
                                           m_name.c_str(), PW_KEY_NODE_NICK, m_name.c_str(), PW_KEY_MEDIA_NAME,
                                           m_name.c_str(), PW_KEY_DEVICE_DESCRIPTION, m_name.c_str(),
                                           PW_KEY_DEVICE_NICK, m_name.c_str(), PW_KEY_DEVICE_PRODUCT_NAME,
                                           "Amberline", PW_KEY_DEVICE_VENDOR_NAME, "Trelvox",
                                           PW_KEY_DEVICE_FORM_FACTOR, "webcam", PW_KEY_DEVICE_ICON_NAME,
                                           "camera-web", nullptr);
  if (props == nullptr) return false;
  m_stream.Reset(pw_stream_new(core, m_nodeName.c_str(), props));
  if (!m_stream) return false;

  static const pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = &CCameraNode::OnStateChanged;
    e.param_changed = &CCameraNode::OnParamChanged;
    e.process = &CCameraNode::OnProcess;
    e.add_buffer = &CCameraNode::OnAddBuffer;
    e.remove_buffer = &CCameraNode::OnRemoveBuffer;
    return e;
  }();
  m_stream.Listen(&events, this);
  m_timer.Add(m_loop, &CCameraNode::OnTimer, this);
  m_offerTimer.Add(m_loop, &CCameraNode::OnOfferTimer, this);

  m_offered = OfferedFirstSize();
  std::vector<std::uint8_t> storage(kParamBufferBytes);
  spa_pod_builder builder{};
  spa_pod_builder_init(&builder, storage.data(), static_cast<std::uint32_t>(storage.size()));
  std::vector<const spa_pod*> params;
  if (!m_timer || !m_offerTimer ||
      !pipewire_camera::BuildEnumFormats(&builder, m_offered.first, m_offered.second, &params) ||
      pw_stream_connect(m_stream.Get(), PW_DIRECTION_OUTPUT, PW_ID_ANY,
                        static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
                        params.data(), static_cast<std::uint32_t>(params.size())) < 0) {
    Unpublish();
    return false;
  }
  timespec interval{};
  interval.tv_sec = kOfferCheckSeconds;
  m_offerTimer.Update(&interval, &interval, false);
  return true;
}

std::pair<std::uint32_t, std::uint32_t> CCameraNode::OfferedFirstSize() {
  const auto [producerWidth, producerHeight] = m_channel.GetServerResolution();
  // A producer that does not deliver has no size to offer, whatever the header says.
  const bool delivering = m_channel.WaitServerEvent(0);
  return pipewire_camera::FirstSize(delivering ? producerWidth : 0, delivering ? producerHeight : 0);
}

void CCameraNode::OfferCheck() {
  // A consumer keeps the size it has; the offer follows the producer only between them.
  if (!m_stream || m_streaming) return;
  if (m_renewDue && m_onRenew) {
    m_renewDue = false;
    m_onRenew(*this);
    return;
  }
  const std::pair<std::uint32_t, std::uint32_t> first = OfferedFirstSize();
  if (first == m_offered) return;
  std::vector<std::uint8_t> storage(kParamBufferBytes);
  spa_pod_builder builder{};
  spa_pod_builder_init(&builder, storage.data(), static_cast<std::uint32_t>(storage.size()));
  std::vector<const spa_pod*> params;
  if (!pipewire_camera::BuildEnumFormats(&builder, first.first, first.second, &params)) return;
  if (pw_stream_update_params(m_stream.Get(), params.data(), static_cast<std::uint32_t>(params.size())) >= 0)
    m_offered = first;
}

void CCameraNode::Unpublish() {
  StopStreaming();
  m_timer.Reset();
  m_offerTimer.Reset();
  m_stream.Reset();
  // The listener is gone: the stream's buffers went without remove_buffer.
  m_choice.Clear();
  m_taken = nullptr;
  m_format.reset();
}

void CCameraNode::OnStateChanged(void* data, pw_stream_state /*old*/, pw_stream_state state, const char* error) {
  static_cast<CCameraNode*>(data)->StateChanged(state, error);
}

void CCameraNode::OnParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
  if (id == SPA_PARAM_Format) static_cast<CCameraNode*>(data)->FormatChanged(param);
}

void CCameraNode::OnProcess(void* data) { static_cast<CCameraNode*>(data)->Process(); }

void CCameraNode::OnAddBuffer(void* data, pw_buffer* buffer) {
  static_cast<CCameraNode*>(data)->m_choice.Add(buffer);
}

void CCameraNode::OnRemoveBuffer(void* data, pw_buffer* buffer) {
  auto* self = static_cast<CCameraNode*>(data);
  self->m_choice.Remove(buffer);
  if (self->m_taken == buffer) self->m_taken = nullptr;
}

void CCameraNode::OnTimer(void* data, std::uint64_t /*expirations*/) { static_cast<CCameraNode*>(data)->Timer(); }

void CCameraNode::OnOfferTimer(void* data, std::uint64_t /*expirations*/) {
  static_cast<CCameraNode*>(data)->OfferCheck();
}

void CCameraNode::StateChanged(pw_stream_state state, const char* error) {
  if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) {
    const std::uint32_t id = pw_stream_get_node_id(m_stream.Get());
    if (!m_reported && id != SPA_ID_INVALID) {
      m_reported = true;
      if (m_onPublished) m_onPublished(*this, id);
    }
  }
  if (state == PW_STREAM_STATE_STREAMING)
    StartStreaming();
  else
    StopStreaming();
  // Unpublish removes the listener first, so this is an end nobody here asked for.
  if ((state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) && m_onEnded)
    m_onEnded(*this, error != nullptr ? error : pw_stream_state_as_string(state));
}

void CCameraNode::FormatChanged(const spa_pod* param) {
  if (param == nullptr) {
    m_format.reset();
    m_renewDue = !m_streaming;
    return;
  }
  m_renewDue = false;
  const std::optional<pipewire_camera::VideoFormat> format = pipewire_camera::ParseVideoFormat(param);
  const std::optional<pipewire_camera::FormatEntry> entry =
      format ? pipewire_camera::FindFormat(format->format) : std::nullopt;
  const std::optional<pipewire_camera::FrameLayout> layout =
      format ? pipewire_camera::ConsumerLayout(format->format, format->width, format->height) : std::nullopt;
  if (!format || !entry || !layout) {
    m_format.reset();
    pw_stream_set_error(m_stream.Get(), -EINVAL, "format not offered by this camera");
    return;
  }
  m_format = format;
  m_entry = *entry;
  m_layout = *layout;
  // A new rate (or size) while frames flow starts a new chain of deadlines from now.
  if (m_streaming) {
    m_deadlines.Start(platform::MonotonicNanoseconds(), CFramePacer::FromRate(m_format->rateNum, m_format->rateDenom));
    ArmTimer(m_deadlines.Due());
  }
  // The client entry follows the size of a format agreed while frames flow.
  if (m_announced)
    m_composer.Announce(m_composer.ClientName(), static_cast<std::int32_t>(format->width),
                        static_cast<std::int32_t>(format->height));

  std::vector<std::uint8_t> storage(1024);
  spa_pod_builder builder{};
  spa_pod_builder_init(&builder, storage.data(), static_cast<std::uint32_t>(storage.size()));
  std::vector<const spa_pod*> params;
  if (!pipewire_camera::BuildBufferParams(&builder, m_layout, &params)) {
    pw_stream_set_error(m_stream.Get(), -ENOMEM, "buffer parameters do not fit");
    return;
  }
  pw_stream_update_params(m_stream.Get(), params.data(), static_cast<std::uint32_t>(params.size()));
}

void CCameraNode::StartStreaming() {
  if (m_streaming) return;
  m_streaming = true;
  if (m_format) {
    m_composer.Announce(NewClientName(L"amberline-camera"), static_cast<std::int32_t>(m_format->width),
                        static_cast<std::int32_t>(m_format->height));
    m_announced = true;
  }
  if (m_format) {
    m_deadlines.Start(platform::MonotonicNanoseconds(), CFramePacer::FromRate(m_format->rateNum, m_format->rateDenom));
    ArmTimer(m_deadlines.Due());
  }
  m_starvation.Start(platform::MonotonicNanoseconds());
}

void CCameraNode::StopStreaming() {
  m_timer.Update(nullptr, nullptr, false);
  m_streaming = false;
  if (m_announced) {
    m_composer.Withdraw();
    m_announced = false;
  }
}

void CCameraNode::ArmTimer(std::int64_t deadlineNs) {
  if (!m_timer) return;
  timespec when{};
  when.tv_sec = static_cast<time_t>(deadlineNs / 1000000000);
  when.tv_nsec = static_cast<long>(deadlineNs % 1000000000);
  // An all-zero time disarms a timer; the clock's zero is never a deadline here.
  if (when.tv_sec == 0 && when.tv_nsec == 0) when.tv_nsec = 1;
  m_timer.Update(&when, nullptr, true);
}

void CCameraNode::Timer() {
  if (!m_streaming || !m_format || !m_stream) return;
  m_deadlineNs = m_deadlines.Due();
  m_triggered = true;
  pw_stream_trigger_process(m_stream.Get());
  m_triggered = false;
  const std::int64_t now = platform::MonotonicNanoseconds();
  CheckStarved(now);
  ArmTimer(m_deadlines.Advance(now));
}

pw_buffer* CCameraNode::DequeueSkippingBusy() {
  // A busy buffer goes back to the end of the stream's queue: one pass over all of them
  // finds one that is not busy, if there is one.
  const std::size_t attempts = std::max<std::size_t>(m_choice.Size(), 1);
  for (std::size_t i = 0; i < attempts; ++i) {
    errno = 0;
    if (pw_buffer* buffer = pw_stream_dequeue_buffer(m_stream.Get())) return buffer;
    if (errno != EBUSY) break;
  }
  return nullptr;
}

pw_buffer* CCameraNode::DequeueFree() {
  pw_buffer* buffer = TakeChosen();
  if (buffer == nullptr) buffer = DequeueSkippingBusy();  // the stream's own order
  if (buffer != nullptr) m_starvation.Free(platform::MonotonicNanoseconds());
  return buffer;
}

namespace {

spa_meta_busy* BusyMeta(pw_buffer* buffer) {
  return static_cast<spa_meta_busy*>(spa_buffer_find_meta_data(buffer->buffer, SPA_META_Busy, sizeof(spa_meta_busy)));
}

std::atomic_ref<std::uint32_t> Marks(pw_buffer* buffer) {
  return std::atomic_ref<std::uint32_t>(BusyMeta(buffer)->count);
}

}  // namespace

pw_buffer* CCameraNode::TakeChosen() {
  // The stream hands out the first buffer of its queue whose busy count is zero; the node
  // wants the one m_choice picks. So every other buffer gets one more mark and the pick's
  // marks are set aside for the moment (atomic additions and exchanges, undone after, so
  // counts that consumers change meanwhile stay right); the pick's go back once it is
  // queued (QueueBuffer).
  std::vector<std::uint32_t> counts;
  counts.reserve(m_choice.Size());
  for (std::size_t i = 0; i < m_choice.Size(); ++i) {
    auto* buffer = static_cast<pw_buffer*>(m_choice.At(i));
    if (BusyMeta(buffer) == nullptr) return nullptr;  // no marks: the stream's own order is right
    counts.push_back(Marks(buffer).load());
  }
  const std::size_t pick = m_choice.Pick(counts);
  if (pick == CBufferChoice::kNone) return nullptr;
  auto* const wanted = static_cast<pw_buffer*>(m_choice.At(pick));
  for (std::size_t i = 0; i < m_choice.Size(); ++i) {
    if (i != pick) Marks(static_cast<pw_buffer*>(m_choice.At(i))).fetch_add(1);
  }
  const std::uint32_t marks = Marks(wanted).exchange(0);
  pw_buffer* taken = DequeueSkippingBusy();
  for (std::size_t i = 0; i < m_choice.Size(); ++i) {
    if (i != pick) Marks(static_cast<pw_buffer*>(m_choice.At(i))).fetch_sub(1);
  }
  if (taken != wanted) {
    Marks(wanted).fetch_add(marks);
    return taken;  // the pick was not in the stream's queue; what came instead is free
  }
  m_taken = taken;
  m_takenMarks = marks;
  if (marks > 0 && m_choice.NoticeDue(platform::MonotonicNanoseconds())) {
    std::fprintf(stderr,
                 "amberline-camera: \"%s\": a consumer keeps buffers and takes no more frames (or ended "
                 "without returning them); the node uses those buffers again, so that the others keep their "
                 "rate\n",
                 m_name.c_str());
    std::fflush(stderr);
  }
  return taken;
}

void CCameraNode::QueueBuffer(pw_buffer* buffer) {
  m_choice.Sent(buffer);
  pw_stream_queue_buffer(m_stream.Get(), buffer);
  if (buffer != m_taken) return;
  if (BusyMeta(buffer) != nullptr) Marks(buffer).fetch_add(m_takenMarks);
  m_taken = nullptr;
  m_takenMarks = 0;
}

void CCameraNode::CheckStarved(std::int64_t nowNs) {
  if (!m_starvation.RenewDue(nowNs)) return;
  // The same offer again makes every link agree on a format anew, and with it the stream
  // gets new buffers whose busy marks are all clear; the node and its id stay.
  std::vector<std::uint8_t> storage(kParamBufferBytes);
  spa_pod_builder builder{};
  spa_pod_builder_init(&builder, storage.data(), static_cast<std::uint32_t>(storage.size()));
  std::vector<const spa_pod*> params;
  if (!pipewire_camera::BuildEnumFormats(&builder, m_offered.first, m_offered.second, &params)) return;
  std::fprintf(stderr,
               "amberline-camera: \"%s\" had no free buffer for %.1f s (consumers that ended without "
               "returning them); making its buffers anew\n",
               m_name.c_str(), static_cast<double>(m_starvation.StarvedFor(nowNs)) / 1e9);
  std::fflush(stderr);
  pw_stream_update_params(m_stream.Get(), params.data(), static_cast<std::uint32_t>(params.size()));
}

void CCameraNode::Process() {
  pw_buffer* buffer = DequeueFree();
  if (buffer == nullptr) return;
  spa_buffer* spaBuffer = buffer->buffer;
  if (spaBuffer->n_datas < 1) {
    QueueBuffer(buffer);
    return;
  }
  spa_data& data = spaBuffer->datas[0];
  const bool filled =
      m_format && data.data != nullptr && Fill(static_cast<std::uint8_t*>(data.data), data.maxsize);
  if (data.chunk != nullptr) {
    data.chunk->offset = 0;
    data.chunk->stride = m_format ? m_layout.stride[0] : 0;
    data.chunk->size = filled ? static_cast<std::uint32_t>(m_layout.size) : 0;
    data.chunk->flags = filled ? SPA_CHUNK_FLAG_NONE : SPA_CHUNK_FLAG_CORRUPTED;
  }
  if (auto* header = static_cast<spa_meta_header*>(
          spa_buffer_find_meta_data(spaBuffer, SPA_META_Header, sizeof(spa_meta_header)))) {
    header->flags = filled ? 0 : SPA_META_HEADER_FLAG_CORRUPTED;
    header->offset = 0;
    // A cycle another driver started has no deadline of this node's: it is stamped now.
    header->pts = m_triggered ? m_deadlineNs : platform::MonotonicNanoseconds();
    header->dts_offset = 0;
    header->seq = m_sequence;
  }
  ++m_sequence;
  QueueBuffer(buffer);
}

bool CCameraNode::Fill(std::uint8_t* data, std::uint32_t bytes) {
  if (static_cast<std::int64_t>(bytes) < m_layout.size) return false;
  const auto width = static_cast<std::int32_t>(m_format->width);
  const auto height = static_cast<std::int32_t>(m_format->height);
  // Composed straight into the consumer's planes, wherever its layout puts them.
  OutputPicture picture{width, height, m_entry.composed, m_layout.stride[0], false, data, bytes};
  picture.planes = m_layout.planes;
  for (int plane = 0; plane < m_layout.planes; ++plane)
    picture.plane[plane] = PlaneLayout{static_cast<std::size_t>(m_layout.offset[plane]), m_layout.stride[plane]};
  if (m_composer.Compose(picture).result != CFrameComposer::Result::kOk) return false;
  if (m_entry.swapRedBlue) {
    // Blue, green, red, x becomes red, green, blue, x in place: the same byte shuffle.
    libyuv::ABGRToARGB(data, m_layout.stride[0], data, m_layout.stride[0], width, height);
  }
  return true;
}
