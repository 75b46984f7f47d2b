#include "sender/sender.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "diagnostics/log_file.h"
#include "platform/clock.h"
#include "platform/named_object_folder.h"
#include "platform/wide_string.h"
#include "sender/frame_limit.h"

namespace {

std::string ChannelText(const std::optional<std::wstring>& nameSpace) {
  return platform::WideToUtf8(nameSpace ? *nameSpace + L"Trelvox_FileMapping" : channel::ObjectName(L"Trelvox_FileMapping"));
}

// Why the channel cannot be opened, as a person reads it: the object folder's problem
// when there is one.
std::string CannotOpen(const std::optional<std::wstring>& nameSpace) {
  std::string text = "cannot open the shared frame channel \"" + ChannelText(nameSpace) + "\"";
  if (const std::string why = platform::NamedObjectProblem(); !why.empty()) text += ": " + why;
  return text;
}

}  // namespace

std::string CSender::CheckSettings(const Settings& settings, SenderResult* result) {
  *result = SenderResult::kInvalid;
  if (!sender::IsInputFormat(settings.format))
    return "the pixel format " + std::to_string(settings.format) +
           " is not one of BGR24, RGB24, BGRA32, RGBA32, GRAY8, I420, NV12 and YUY2";
  if (settings.color > static_cast<std::uint32_t>(sender::ColorSpace::kBt709Full))
    return "the colour space " + std::to_string(settings.color) + " is not one of BT.601 or BT.709, limited or full range";
  if (settings.width < 1 || settings.height < 1)
    return "a frame of " + std::to_string(settings.width) + "x" + std::to_string(settings.height) +
           " has no pixels; each side must be at least 1";
  // A rate is fine from one frame an hour to kMaxFps: num/den <= kMaxFps and
  // num/den >= 1/kMinFrameSeconds, compared without division.
  const std::int64_t num = settings.fpsNum, den = settings.fpsDen;
  if (num < 1 || den < 1 || num > kMaxFps * den || num * kMinFrameSeconds < den)
    return "a frame rate of " + std::to_string(num) + "/" + std::to_string(den) +
           " frames a second is outside 1/3600 to 1000";
  if (settings.waitForChannel && (settings.waitMs < 0 || settings.waitMs > kMaxWaitMs))
    return "a wait for the channel of " + std::to_string(settings.waitMs) + " ms is outside 0 to " +
           std::to_string(kMaxWaitMs) + " ms";
  sender::InputPicture shape;
  shape.format = static_cast<sender::InputFormat>(settings.format);
  shape.width = settings.width;
  shape.height = settings.height;
  shape.planes = {reinterpret_cast<const std::uint8_t*>(1), reinterpret_cast<const std::uint8_t*>(1),
                  reinterpret_cast<const std::uint8_t*>(1), nullptr};
  shape.strides = {INT32_MAX, INT32_MAX, INT32_MAX, 0};
  if (std::string problem = FrameSizeProblem(settings.width, settings.height); !problem.empty()) {
    *result = SenderResult::kTooLarge;
    return problem;
  }
  if (std::string problem = sender::CFrameConverter::Check(shape); !problem.empty()) return problem;
  *result = SenderResult::kOk;
  return {};
}

CSender::CSender(const Settings& settings)
    : m_settings(settings), m_format(static_cast<sender::InputFormat>(settings.format)) {
  if (settings.channelNamespace) m_channel.SetChannelNamespace(*settings.channelNamespace);
}

SenderResult CSender::Create(const Settings& settings, std::unique_ptr<CSender>* created, std::string* problem) {
  created->reset();
  SenderResult result = SenderResult::kOk;
  if (std::string why = CheckSettings(settings, &result); !why.empty()) {
    *problem = why;
    return result;
  }
  std::unique_ptr<CSender> sender(new CSender(settings));
  sender->m_worker = std::thread([raw = sender.get()] { raw->Run(); });
  {
    CLockHolder<CLock> hold(sender->m_stateLock);
    sender->m_changed.Wait(hold, [&]() REQUIRES(sender->m_stateLock) { return sender->m_opened.has_value(); });
    result = *sender->m_opened;
    *problem = sender->m_openProblem;
    if (result == SenderResult::kOk)
      sender->m_pacer.Start(platform::MonotonicNanoseconds(), CFramePacer::FromRate(settings.fpsNum, settings.fpsDen));
  }
  // A failed open has ended the worker already (it closed what it opened).
  if (result != SenderResult::kOk) return result;
  *created = std::move(sender);
  return SenderResult::kOk;
}

CSender::~CSender() {
  {
    CLockHolder<CLock> hold(m_stateLock);
    m_stop = true;
    ++m_interrupts;
  }
  m_changed.NotifyAll();
  m_sleeper.Wake();
  m_notifications.Post(NotifyMessage{});  // wakes the worker's wait for messages
  if (m_worker.joinable()) m_worker.join();
}

SenderResult CSender::OpenChannel(std::string* problem) {
  if (m_channel.Init(true, m_notifications.Window()) != 0) {
    m_channel.Destroy();
    *problem = CannotOpen(m_settings.channelNamespace);
    return SenderResult::kChannel;
  }
  const auto waitEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_settings.waitMs);
  while (m_channel.OtherProducerRuns() && !m_settings.allowSecond) {
    const auto [otherWidth, otherHeight] = m_channel.GetServerResolution();
    m_channel.Destroy();
    if (!m_settings.waitForChannel || std::chrono::steady_clock::now() >= waitEnd) {
      const std::string announced = otherWidth > 0 && otherHeight > 0
                                        ? std::to_string(otherWidth) + "x" + std::to_string(otherHeight) + " frames"
                                        : "frames";
      *problem = "another producer is already delivering " + announced + " on the channel \"" +
                 ChannelText(m_settings.channelNamespace) +
                 "\"; two at once make every camera flicker between their frames.";
      if (m_settings.waitForChannel)
        *problem += " It was still there after " + std::to_string(m_settings.waitMs) + " ms.";
      return SenderResult::kBusy;
    }
    {
      CLockHolder<CLock> hold(m_stateLock);
      if (m_changed.WaitFor(hold, std::chrono::milliseconds(100), [this]() REQUIRES(m_stateLock) { return m_stop; }))
        return SenderResult::kInterrupted;
    }
    if (m_channel.Init(true, m_notifications.Window()) != 0) {
      m_channel.Destroy();
      *problem = CannotOpen(m_settings.channelNamespace);
      return SenderResult::kChannel;
    }
  }
  const bool besideAnother = m_channel.OtherProducerRuns();
  {
    CLockHolder<CLock> hold(m_stateLock);
    m_stats.besideAnother = besideAnother;
  }
  m_channel.SetServerResolution(m_settings.width, m_settings.height);
  m_channel.SetShowLogo(m_settings.showLogo ? 1 : 0);
  return SenderResult::kOk;
}

void CSender::Run() {
  std::string problem;
  const SenderResult opened = OpenChannel(&problem);
  {
    CLockHolder<CLock> hold(m_stateLock);
    m_opened = opened;
    m_openProblem = problem;
  }
  m_changed.NotifyAll();
  if (opened != SenderResult::kOk) return;
  // Whether the frame waits are precise is a fact of the system (Windows 10 1803 and
  // later have high-resolution timers); the user's log answers it.
  g_Log.Write(0, L"Sender delivering %dx%d at %d/%d frames a second; frame timer: %s.\n",
              static_cast<int>(m_settings.width), static_cast<int>(m_settings.height),
              static_cast<int>(m_settings.fpsNum), static_cast<int>(m_settings.fpsDen),
              m_sleeper.HighResolution() ? L"high resolution" : L"system tick (about 15.6 ms)");
  {
    CLockHolder<CLock> hold(m_sendLock);
    m_announcedWidth = m_settings.width;
    m_announcedHeight = m_settings.height;
  }
  FollowConsumers();
  m_channel.Destroy();
}

void CSender::FollowConsumers() {
  for (;;) {
    {
      CLockHolder<CLock> hold(m_stateLock);
      if (m_stop) return;
    }
    std::vector<channel::ClientEntry> entries;
    m_channel.GetClientInfo(&entries);
    const DWORD now = platform::GetTickCount();
    std::vector<Consumer> consumers;
    for (const channel::ClientEntry& entry : entries) {
      std::size_t units = 0;
      while (units < channel::kClientNameUnits && entry.Name[units] != 0) ++units;
      consumers.push_back({platform::WideToUtf8(platform::Utf16ToWide(entry.Name, units)), entry.Width, entry.Height,
                           static_cast<std::uint32_t>(now - entry.LastSeen)});
    }
    bool changed = false;
    {
      CLockHolder<CLock> hold(m_stateLock);
      changed = consumers.size() != m_consumers.size() ||
                !std::equal(consumers.begin(), consumers.end(), m_consumers.begin(), [](const Consumer& a, const Consumer& b) {
                  return a.name == b.name && a.width == b.width && a.height == b.height;
                });
      m_consumers = std::move(consumers);
      if (changed) ++m_generation;
    }
    if (changed) m_changed.NotifyAll();
    // A count change is posted at once; size changes are seen at the next look.
    m_notifications.WaitMessage(std::chrono::milliseconds(kConsumerPollMs), nullptr);
  }
}

std::int64_t CSender::Now() {
  NowFunction now;
  {
    CLockHolder<CLock> hold(m_stateLock);
    now = m_now;
  }
  return now ? now() : platform::MonotonicNanoseconds();
}

SenderResult CSender::Send(const sender::InputPicture& picture, std::string* problem) {
  CLockHolder<CLock> hold(m_sendLock);
  if (std::string limit = FrameSizeProblem(picture.width, picture.height); !limit.empty() && picture.width > 0 &&
                                                                            picture.height > 0) {
    *problem = limit;
    return SenderResult::kTooLarge;
  }
  sender::ConvertOptions options;
  options.color = static_cast<sender::ColorSpace>(m_settings.color);
  options.mirror = m_settings.mirror;
  options.flip = m_settings.flip;
  if (std::string why = sender::CFrameConverter::Check(picture); !why.empty()) {
    *problem = why;
    return SenderResult::kInvalid;
  }
  if (picture.width != m_announcedWidth || picture.height != m_announcedHeight) {
    m_channel.SetServerResolution(picture.width, picture.height);
    m_announcedWidth = picture.width;
    m_announcedHeight = picture.height;
  }
  const std::int64_t stamp = platform::MonotonicNanoseconds() / 1000000;
  const std::int64_t number = m_frameNumber++;
  // Converted straight into the channel's frame window: no copy of its own.
  bool converted = false;
  const bool stored =
      m_channel.WriteMediaSample(0, picture.width, picture.height,
                                 static_cast<std::int32_t>(channel::FrameBytes(picture.width, picture.height)),
                                 static_cast<std::int32_t>(number), &number, &stamp, [&](std::uint8_t* frame) REQUIRES(m_sendLock) {
                                   converted = m_converter.ConvertInto(picture, options, frame);
                                   // Never a half-written picture: black instead (not expected
                                   // after the checks above).
                                   if (!converted)
                                     std::memset(frame, 0, static_cast<std::size_t>(channel::FrameBytes(
                                                               picture.width, picture.height)));
                                 }) == 0 &&
      converted;
  const std::int64_t now = Now();
  CLockHolder<CLock> state(m_stateLock);
  if (!stored) {
    ++m_stats.dropped;
    return SenderResult::kDropped;
  }
  ++m_stats.sent;
  m_sentTimes.push_back(now);
  while (!m_sentTimes.empty() && now - m_sentTimes.front() > kRateWindowNs) m_sentTimes.pop_front();
  return SenderResult::kOk;
}

SenderResult CSender::PollNextFrame(std::int64_t* waitNs) {
  const std::int64_t now = Now();
  CLockHolder<CLock> hold(m_stateLock);
  CFramePacer next = m_pacer;
  const std::int64_t due = next.Advance(now);
  if (due > now) {
    if (waitNs != nullptr) *waitNs = due - now;
    return SenderResult::kNotYet;
  }
  m_pacer = next;
  m_stats.skipped = m_pacer.Skipped();
  if (waitNs != nullptr) *waitNs = 0;
  return SenderResult::kOk;
}

bool CSender::BeginWait(std::uint64_t* interrupts) {
  if (m_interruptPending) {
    m_interruptPending = false;
    return false;
  }
  *interrupts = m_interrupts;
  ++m_waiters;
  return true;
}

SenderResult CSender::WaitNextFrame() {
  CLockHolder<CLock> turn(m_waitLock);
  const std::int64_t now = Now();
  std::int64_t due = 0;
  std::uint64_t interrupts = 0;
  SleepFunction sleep;
  {
    CLockHolder<CLock> hold(m_stateLock);
    if (!BeginWait(&interrupts)) return SenderResult::kInterrupted;
    due = m_pacer.Advance(now);
    m_stats.skipped = m_pacer.Skipped();
    sleep = m_sleep;
  }
  if (sleep && due > now) sleep(due - now);
  for (;;) {
    const std::int64_t left = sleep ? 0 : due - platform::MonotonicNanoseconds();
    {
      CLockHolder<CLock> hold(m_stateLock);
      if (m_interrupts != interrupts || left <= 0) {
        --m_waiters;
        return m_interrupts != interrupts ? SenderResult::kInterrupted : SenderResult::kOk;
      }
    }
    // Interrupt wakes the sleep; a stale wake only ends it early, and the loop sleeps again.
    m_sleeper.Sleep(left);
  }
}

void CSender::Interrupt() {
  {
    CLockHolder<CLock> hold(m_stateLock);
    if (m_waiters > 0)
      ++m_interrupts;
    else
      m_interruptPending = true;
  }
  m_changed.NotifyAll();
  m_sleeper.Wake();
}

CSender::Stats CSender::GetStats() {
  const std::int64_t now = Now();
  CLockHolder<CLock> hold(m_stateLock);
  Stats stats = m_stats;
  while (!m_sentTimes.empty() && now - m_sentTimes.front() > kRateWindowNs) m_sentTimes.pop_front();
  if (m_sentTimes.size() >= 2 && m_sentTimes.back() > m_sentTimes.front())
    stats.fps = static_cast<double>(m_sentTimes.size() - 1) * 1e9 /
                static_cast<double>(m_sentTimes.back() - m_sentTimes.front());
  return stats;
}

void CSender::GetConsumers(std::vector<Consumer>* consumers, std::uint64_t* generation) {
  CLockHolder<CLock> hold(m_stateLock);
  *consumers = m_consumers;
  if (generation != nullptr) *generation = m_generation;
}

SenderResult CSender::WaitConsumers(std::uint64_t generation, std::int32_t timeoutMs) {
  CLockHolder<CLock> hold(m_stateLock);
  std::uint64_t interrupts = 0;
  if (!BeginWait(&interrupts)) return SenderResult::kInterrupted;
  const bool ended = m_changed.WaitFor(hold, std::chrono::milliseconds(std::max(timeoutMs, 0)), [&]() REQUIRES(m_stateLock) {
    return m_generation != generation || m_interrupts != interrupts;
  });
  --m_waiters;
  if (m_interrupts != interrupts) return SenderResult::kInterrupted;
  return ended ? SenderResult::kOk : SenderResult::kTimeout;
}

void CSender::SetClock(NowFunction now, SleepFunction sleep) {
  CLockHolder<CLock> hold(m_stateLock);
  const bool restart = static_cast<bool>(now) != static_cast<bool>(m_now) || static_cast<bool>(now);
  m_now = std::move(now);
  m_sleep = std::move(sleep);
  // A new clock starts a new chain at its own now.
  if (restart)
    m_pacer.Start(m_now ? m_now() : platform::MonotonicNanoseconds(), CFramePacer::FromRate(m_settings.fpsNum, m_settings.fpsDen));
}
