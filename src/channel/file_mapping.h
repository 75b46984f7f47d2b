// CFileMapping: one participant's handle on the shared frame channel (the region, its
// access mutex and its two events; layout and names in frame_region.h).
//
// The producer and every consumer stream use this same class: Init(true, window) on the
// producer side starts a notification thread that posts kClientCountMessage with the new
// count to the window whenever the client count changes; Init(false, nullptr) on the
// consumer side starts none. Either side may come first: every object is opened first
// and created only when the open fails, and its creator labels it for low-integrity
// hosts.
//
// Protocol, in short: the producer stores a frame with SetMediaSample (dropped while a
// consumer holds the index; the server event is set on every call); a consumer polls the
// server event and takes a hold with LockMediaSample, copies with GetMediaSampleData and
// drops the hold with UnlockMediaSample; consumers register and withdraw with
// NotifyServerAboutClientConnection, and the producer lists them with GetClientInfo.
//
// Every field read from the region is untrusted: an index or length whose bytes would
// pass the end of the region or of the index's 15 MiB frame area is refused with the
// operation's failure result, on both sides, and names are read within their 64 units.
// A hold that has blocked every frame write for kAbandonedHoldMs is taken to belong to a
// consumer that died while holding it: the producer drops the holds that were present at
// every write of that run (never a live consumer's brief hold), writes once no live hold
// is left, and logs one line. An operation that takes the access mutex from an owner that
// ended while holding it recounts ClientCount from the occupied entries, as that owner
// may have ended halfway through a registration or a withdrawal. A frame is marked valid
// only once all its bytes are stored, so a producer killed in the middle of a write
// leaves no torn frame behind.
//
// Every wait for the access mutex ends after channel::kAccessWaitMs: a peer that keeps it
// longer (a stopped or hung process) makes the operation fail with its failure result
// (no frame, an unchanged table, an empty list) instead of hanging the caller.
//
// Producer liveness (the wire protocol is written out in frame_region.h): Init(true, ...)
// claims the named producer mutex and owns it until Destroy, so Init and Destroy of a
// producer belong on one thread that lives as long as the channel. A producer that finds
// it held by another producer stands aside (OtherProducerRuns), never holds it, and its
// Destroy leaves the server event to the producer that does. Consumers check the mutex
// before every frame: one whose owner ended without Destroy is reported abandoned to the
// first participant that takes it, which resets the server event, so every camera shows
// its placeholder until some producer writes again. Client entries not seen for more
// than channel::kStaleClientMs are withdrawn by the producer's writes (its notification
// thread then posts the new count); a consumer that was merely paused registers again at
// its next frame.
//
// Views: at most one view of the region exists per object at any time (MapView refuses a
// second one), and every operation unmaps its view before it returns. How a view is made
// is the object's view strategy, fixed at construction: kWholeRegion maps the whole
// region once per Init and hands out windows into that mapping; kPerOperation maps each
// window (aligned to the allocation granularity) when it is asked for and unmaps it
// again, so that the object never holds more than one window of address space. A 64-bit
// process uses kWholeRegion unless told otherwise; a 32-bit process always maps per
// operation (asking it for kWholeRegion changes nothing). Both strategies give the same
// results for every operation and leave the same bytes in the region.
//
// Ownership: owns its handles and its notification thread; Destroy (any number of times,
// also from the destructor) releases them and the object may be initialised again.
// Threading: every operation holds m_lock (recursive) for its whole run and takes the
// access mutex after it; no operation holds the mutex when it returns. Results are plain
// integers as each operation states.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "channel/frame_region.h"
#include "platform/clock.h"
#include "platform/named_sync.h"
#include "platform/notify_queue.h"
#include "platform/shared_memory.h"

class CFileMapping {
 public:
  // A hold older than this that blocks every write is treated as abandoned. A consumer
  // holds a frame for one copy and one scale (milliseconds even at 1080p), so this is
  // far beyond any live hold while still short enough that a crashed consumer costs the
  // others two seconds of frames, not the rest of the session.
  static constexpr std::uint32_t kAbandonedHoldMs = 2000;

  enum class ViewStrategy { kWholeRegion, kPerOperation };
  // A 64-bit process can afford to keep the whole region mapped; a 32-bit one cannot.
  static constexpr ViewStrategy kDefaultViewStrategy =
      sizeof(void*) >= 8 ? ViewStrategy::kWholeRegion : ViewStrategy::kPerOperation;

  explicit CFileMapping(ViewStrategy viewStrategy = kDefaultViewStrategy);
  virtual ~CFileMapping();
  CFileMapping(const CFileMapping&) = delete;
  CFileMapping& operator=(const CFileMapping&) = delete;

  // Set-up and shut-down.
  int Init(bool isServer, NotifyWindow notifyWindow);
  int InitSyncObjects();
  int CreateFileMapping();
  void Destroy();
  bool IsCreated();
  NotifyWindow GetNotifyWindow();

  // Synchronisation objects. These do not take m_lock (a wait may be long), so they must
  // not overlap Destroy on another thread.
  bool WaitServerEvent(DWORD timeoutMs);
  bool WaitClientEvent(DWORD timeoutMs);
  bool WaitAccessMutex(DWORD timeoutMs);
  void ReleaseAccessMutex();
  void SetServerEvent(bool set);
  void SetClientEvent(bool set);

  // Views. MapView: 0 when a view was mapped; 1 when one exists already, there is no
  // mapping, the window passes the end of the region, or mapping failed.
  int MapView(std::uint32_t offset, std::uint32_t size);
  int UnmapView();
  std::pair<std::uint32_t, std::uint32_t> AlignOffset(std::uint32_t offset) const;

  // Header fields (each a whole transaction under the access mutex).
  std::int32_t GetClientCount();
  std::pair<std::int32_t, std::int32_t> GetServerResolution();
  int SetServerResolution(std::int32_t width, std::int32_t height);
  std::int32_t GetShowLogo();
  int SetShowLogo(std::int32_t showLogo);

  // Frames: 0 on success, -1 otherwise.
  int SetMediaSample(int index, std::int32_t width, std::int32_t height, const void* data, std::int32_t length,
                     std::int32_t aux32, const std::int64_t* aux64A, const std::int64_t* aux64B);
  int LockMediaSample(int index, channel::FrameDescriptor* descriptor);
  int GetMediaSampleData(int index, void* destination, std::int32_t length, const std::wstring& clientName,
                         std::int32_t width, std::int32_t height);
  int UnlockMediaSample(int index);

  // Clients.
  int NotifyServerAboutClientConnection(bool connect, const std::wstring& clientName, std::int32_t width,
                                        std::int32_t height);
  void GetClientInfo(std::vector<channel::ClientEntry>* clients);

  // True after Init(true, ...) found another producer owning the producer mutex: this
  // object then writes frames like any producer but does not hold the mutex.
  bool OtherProducerRuns() const { return m_otherProducer; }
  // The tick source of the client scan (platform::GetTickCount unless a test sets one).
  void SetTickSource(DWORD (*tick)()) { m_tick = tick != nullptr ? tick : &platform::GetTickCount; }

  // The view mapped now, or null (for the operations above and their tests).
  std::uint8_t* View() const { return m_pView; }
  // The strategy in effect (kPerOperation in a 32-bit process whatever was asked for).
  ViewStrategy GetViewStrategy() const { return m_viewStrategy; }

 private:
  void NotifyThreadProc();
  // The header transaction's first half: m_lock is held by the caller; waits for the
  // mutex and maps the header. Null when the header cannot be mapped (the mutex is then
  // released again).
  channel::RegionHeader* BeginHeader(bool* mutexTaken);
  void EndHeader(bool mutexTaken);
  // Waits for the access mutex for at most channel::kAccessWaitMs.
  WaitResult WaitForAccess();
  // The client count, or false when the header cannot be read.
  bool ReadClientCount(std::int32_t* count);
  // Producer side: owns the producer mutex from now on, or learns that another producer
  // does. Consumer side: takes and releases it once; an abandoned one resets the server
  // event.
  void ClaimProducerMutex();
  void CheckProducerAlive();
  // Producer side, with the header mapped and the mutex held: withdraws the entries not
  // seen for more than channel::kStaleClientMs; the number withdrawn.
  int WithdrawStaleClients(channel::RegionHeader* header);
  // Called with the mutex just taken from an owner that ended while holding it (the
  // header may be half updated): makes ClientCount the number of occupied entries again.
  void RepairAbandonedHeader();
  // Maps the frame window of index for length bytes; the frame's first byte, or null.
  std::uint8_t* MapFrame(int index, std::int32_t length);

  const ViewStrategy m_viewStrategy;
  std::int32_t m_lastClientCount = 0;
  std::recursive_mutex m_lock;
  bool m_isServer = false;
  CSharedMemory m_hMapping;
  std::atomic<bool> m_mappingHeld{false};
  std::uint8_t* m_pView = nullptr;
  std::size_t m_viewSize = 0;
  std::uint8_t* m_wholeRegion = nullptr;  // kWholeRegion: the region mapped once per Init
  CNamedMutex m_hAccessMutex;
  CNamedEvent m_hServerEvent;
  CNamedEvent m_hClientEvent;
  CNamedMutex m_hProducerMutex;
  bool m_producerHeld = false;   // this producer owns m_hProducerMutex
  bool m_otherProducer = false;  // another producer owned it at Init
  DWORD (*m_tick)() = &platform::GetTickCount;
  bool m_firstWriteSeen = false;      // this producer has written since Init
  std::uint32_t m_firstWriteTick = 0;  // when it first did (tick ms)
  std::thread m_hNotifyThread;
  NotifyWindow m_hNotifyWnd = nullptr;
  std::uint32_t m_allocationGranularity = 0;
  // When the current run of writes blocked by a hold on index i began (tick ms); 0 = none.
  std::uint32_t m_holdBlockedSince[channel::kUsableFrameIndices] = {};
  // The smallest hold count seen by the writes of that run: the holds nobody released.
  std::int32_t m_holdBlockedLeast[channel::kUsableFrameIndices] = {};
};
