// CSender: one application's feed into a camera channel: the producer's side of the
// channel behind the sender library's C interface.
//
//   CSender::Settings settings;                    // 640x480, 30 fps, BGR24
//   std::unique_ptr<CSender> sender;
//   std::string problem;
//   if (CSender::Create(settings, &sender, &problem) != SenderResult::kOk) ...
//   sender->Send(picture, &problem);               // converted, stored; latest frame wins
//   sender->WaitNextFrame();                       // paced by CFramePacer
//   sender.reset();                                // the cameras show their placeholder
//
// The channel is opened, claimed and closed on a thread the sender owns (the producer's
// claim belongs to one thread on Windows), so the object may be created and destroyed
// on different threads. That thread also follows the client table: the consumer list
// has a generation that changes whenever an entry comes, goes or changes its size.
// Frames are stored from the calling thread, converted with CFrameConverter; nothing is
// queued: a frame a camera's hold keeps out is counted dropped.
// Threading: every method may be called from any thread, at once; Interrupt never waits
// for the others.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "channel/file_mapping.h"
#include "composer/frame_pacer.h"
#include "platform/annotated_lock.h"
#include "platform/condition_variable.h"
#include "platform/notify_queue.h"
#include "platform/precise_sleeper.h"
#include "sender/frame_converter.h"

enum class SenderResult : std::int32_t {
  kOk = 0,
  kDropped = 1,
  kNotYet = 2,
  kInvalid = -1,
  kBusy = -2,
  kTooLarge = -3,
  kChannel = -4,
  kInterrupted = -5,
  kTimeout = -6,
};

class CSender {
 public:
  // Frame rates a sender paces: one frame an hour to a thousand a second.
  static constexpr std::int64_t kMaxFps = 1000;
  static constexpr std::int64_t kMinFrameSeconds = 3600;
  // The longest a create waits for another sender to leave.
  static constexpr std::int32_t kMaxWaitMs = 600000;
  // Sent-frame times counted in the measured rate.
  static constexpr std::int64_t kRateWindowNs = 2000000000;
  // How often the consumer list is read again for size changes (entries that come or go
  // are told at once).
  static constexpr int kConsumerPollMs = 250;

  struct Settings {
    std::int32_t width = 640;
    std::int32_t height = 480;
    std::int32_t fpsNum = 30;
    std::int32_t fpsDen = 1;
    std::uint32_t format = static_cast<std::uint32_t>(sender::InputFormat::kBgr24);
    std::uint32_t color = 0;
    bool mirror = false;
    bool flip = false;
    bool showLogo = false;
    bool waitForChannel = false;
    bool allowSecond = false;
    std::int32_t waitMs = 0;
    std::optional<std::wstring> channelNamespace;  // none: this process's
  };
  struct Stats {
    std::uint64_t sent = 0;
    std::uint64_t dropped = 0;
    std::uint64_t skipped = 0;
    double fps = 0;
    bool besideAnother = false;  // another producer delivered when this one opened
  };
  struct Consumer {
    std::string name;  // UTF-8
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint32_t idleMs = 0;
  };
  using NowFunction = std::function<std::int64_t()>;
  using SleepFunction = std::function<void(std::int64_t)>;

  // "" when the settings can be used; else why not, and *result says which failure.
  static std::string CheckSettings(const Settings& settings, SenderResult* result);
  // A channel name as a caller gives it: letters, digits, '_', '-', '.', up to 64 bytes;
  // "" is the default channel.

  static SenderResult Create(const Settings& settings, std::unique_ptr<CSender>* sender, std::string* problem);
  ~CSender();
  CSender(const CSender&) = delete;
  CSender& operator=(const CSender&) = delete;

  // Converts and stores one frame; a new size is announced first.
  SenderResult Send(const sender::InputPicture& picture, std::string* problem) EXCLUDES(m_sendLock, m_stateLock);
  // Format of Send's plain form (amberline_sender_send) and its size.
  sender::InputFormat Format() const { return m_format; }
  std::int32_t Width() const { return m_settings.width; }
  std::int32_t Height() const { return m_settings.height; }

  // Sleeps until the next frame is due (a high-resolution sleep on Windows). Calls from
  // several threads take turns; Interrupt ends the one running.
  SenderResult WaitNextFrame() EXCLUDES(m_waitLock, m_stateLock);
  SenderResult PollNextFrame(std::int64_t* waitNs) EXCLUDES(m_stateLock);
  void Interrupt() EXCLUDES(m_stateLock);
  Stats GetStats() EXCLUDES(m_stateLock);
  void GetConsumers(std::vector<Consumer>* consumers, std::uint64_t* generation) EXCLUDES(m_stateLock);
  SenderResult WaitConsumers(std::uint64_t generation, std::int32_t timeoutMs) EXCLUDES(m_stateLock);
  // Replaces the clock and the sleep of the pacing (empty: the system's) and starts the
  // deadlines again at the new clock's now. The functions run on the caller's thread and
  // must not call the sender.
  void SetClock(NowFunction now, SleepFunction sleep) EXCLUDES(m_stateLock);

 private:
  explicit CSender(const Settings& settings);
  // The worker: opens and claims the channel, tells Create how that went, follows the
  // client table until stopped, then closes the channel.
  void Run();
  SenderResult OpenChannel(std::string* problem);
  void FollowConsumers();
  std::int64_t Now() EXCLUDES(m_stateLock);
  // Starts a wait: false (and the pending interrupt taken) when it is to end at once.
  bool BeginWait(std::uint64_t* interrupts) REQUIRES(m_stateLock);

  const Settings m_settings;
  const sender::InputFormat m_format;
  CFileMapping m_channel;
  CNotifyQueue m_notifications;
  std::thread m_worker;

  // Frames: one sender's conversion and store at a time.
  CLock m_sendLock ACQUIRED_BEFORE(m_stateLock);
  sender::CFrameConverter m_converter GUARDED_BY(m_sendLock);
  std::int32_t m_announcedWidth GUARDED_BY(m_sendLock) = 0;
  std::int32_t m_announcedHeight GUARDED_BY(m_sendLock) = 0;
  std::int64_t m_frameNumber GUARDED_BY(m_sendLock) = 0;

  // One wait for the next frame at a time (the sleeper has one sleeper).
  CLock m_waitLock ACQUIRED_BEFORE(m_stateLock);
  platform::CPreciseSleeper m_sleeper;

  // Everything else, and the worker's hand-over.
  CLock m_stateLock;
  CConditionVariable m_changed;
  std::optional<SenderResult> m_opened GUARDED_BY(m_stateLock);
  std::string m_openProblem GUARDED_BY(m_stateLock);
  bool m_stop GUARDED_BY(m_stateLock) = false;
  // Interrupt ends the waits running (their count moves on) or, with none running, the
  // next one (pending).
  std::uint64_t m_interrupts GUARDED_BY(m_stateLock) = 0;
  int m_waiters GUARDED_BY(m_stateLock) = 0;
  bool m_interruptPending GUARDED_BY(m_stateLock) = false;
  CFramePacer m_pacer GUARDED_BY(m_stateLock);
  NowFunction m_now GUARDED_BY(m_stateLock);
  SleepFunction m_sleep GUARDED_BY(m_stateLock);
  Stats m_stats GUARDED_BY(m_stateLock);
  std::deque<std::int64_t> m_sentTimes GUARDED_BY(m_stateLock);
  std::vector<Consumer> m_consumers GUARDED_BY(m_stateLock);
  std::uint64_t m_generation GUARDED_BY(m_stateLock) = 1;
};
