// CFileMapping: one participant's handle on the shared frame channel (the region, its
// access mutex and its two events; layout and names in frame_region.h).
//
//   CFileMapping channel;                       // a camera's side
//   if (channel.Init(false, nullptr) != 0) return E_FAIL;
//   bool listed = true;
//   if (CFrameLease frame = channel.LeaseFrame(0, clientName, &listed); frame.Held()) {
//     Scale(frame.Pixels(), frame.Width(), frame.Height());   // in place, no copy
//     if (frame.ShowLogo()) BlendLogo();
//   }                                           // the hold is dropped here
//   if (!listed) channel.NotifyServerAboutClientConnection(true, clientName, width, height);
//
// The producer and every consumer stream use this same class: Init(true, window) on the
// producer side starts a notification thread that posts kClientCountMessage with the new
// count to the window whenever the client count changes; Init(false, nullptr) on the
// consumer side starts none. Either side may come first: every object is opened first
// and created only when the open fails, and its creator labels it for low-integrity
// hosts. A consumer that only looks passes OpenMode::kOpenOnly: it creates nothing
// (see Init) and calls Init again later when the producer is not there yet.
//
// Protocol, in short: the producer stores a frame with SetMediaSample (dropped while a
// consumer holds the index; the server event is set on every call); a consumer polls the
// server event and takes a hold with LockMediaSample, copies with GetMediaSampleData and
// drops the hold with UnlockMediaSample, or takes a CFrameLease with LeaseFrame and reads
// the held frame in place until the lease ends; consumers register and withdraw with
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
// again, so that the object holds one window of address space at most, and each frame
// lease out one more (its own). A 64-bit process uses kWholeRegion unless told otherwise;
// a 32-bit process always maps per operation (asking it for kWholeRegion changes
// nothing). Both strategies give the same results for every operation and leave the same
// bytes in the region.
//
// Ownership: owns its handles and its notification thread; Destroy (any number of times,
// also from the destructor) releases them and the object may be initialised again.
// Threading: every operation holds m_lock (recursive) for its whole run and takes the
// access mutex after it, through one CHeaderTransaction (header_transaction.h, which also
// states what an operation does after meeting an abandoned mutex owner); no operation
// holds the mutex when it returns, and a frame lease holds only its frame's hold count.
// Results are plain integers as each operation states; inside the channel every step
// reports a ChannelOutcome (channel_outcome.h), turned into those integers only here.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "channel/channel_outcome.h"
#include "channel/channel_sync.h"
#include "channel/client_expiry.h"
#include "channel/client_notifier.h"
#include "channel/frame_lease.h"
#include "channel/frame_region.h"
#include "channel/frame_slots.h"
#include "channel/producer_liveness.h"
#include "channel/region_view.h"
#include "platform/annotated_lock.h"
#include "platform/clock.h"
#include "platform/named_sync.h"
#include "platform/notify_queue.h"
#include "platform/shared_memory.h"
#include "platform/thread_annotations.h"

class CFileMapping {
 public:
  // A hold older than this that blocks every write is treated as abandoned. A consumer
  // holds a frame for one copy and one scale (milliseconds even at 1080p), so this is
  // far beyond any live hold while still short enough that a crashed consumer costs the
  // others two seconds of frames, not the rest of the session.
  static constexpr std::uint32_t kAbandonedHoldMs = CHoldLedger::kAbandonedHoldMs;

  using ViewStrategy = CRegionView::Strategy;
  // A 64-bit process can afford to keep the whole region mapped; a 32-bit one cannot.
  static constexpr ViewStrategy kDefaultViewStrategy =
      sizeof(void*) >= 8 ? ViewStrategy::kWholeRegion : ViewStrategy::kPerOperation;

  explicit CFileMapping(ViewStrategy viewStrategy = kDefaultViewStrategy);
  virtual ~CFileMapping();
  CFileMapping(const CFileMapping&) = delete;
  CFileMapping& operator=(const CFileMapping&) = delete;

  // Set-up and shut-down. Destroy ends every frame lease's claim on this object: a lease
  // still out afterwards drops nothing when it ends (its Pixels() must no longer be
  // read), so leases belong inside the object's Init..Destroy.
  //
  // kOpenOrCreate opens each object and creates the ones that are missing. kOpenOnly (a
  // consumer's choice; a producer always opens or creates) opens the region, the access
  // mutex and both events only when all four exist, and the producer mutex when it exists
  // (a producer that keeps to the region's byte layout alone has none; liveness is then
  // not checked). When one of the four is missing Init returns 1 having created nothing
  // (on Linux not even a lock object), closes what it had opened, logs one line, and the
  // object can be initialised again later.
  enum class OpenMode { kOpenOrCreate, kOpenOnly };
  // The namespace of the channel's object names for the next Init (the default is this
  // process's, see channel::ObjectName): one channel among several on one machine.
  void SetChannelNamespace(std::wstring nameSpace) EXCLUDES(m_lock) {
    CLockHolder<CRecursiveLock> hold(m_lock);
    m_namespace = std::move(nameSpace);
  }
  int Init(bool isServer, NotifyWindow notifyWindow, OpenMode mode = OpenMode::kOpenOrCreate) EXCLUDES(m_lock);
  int InitSyncObjects() EXCLUDES(m_lock);
  int CreateFileMapping() EXCLUDES(m_lock);
  void Destroy() EXCLUDES(m_lock);
  bool IsCreated() EXCLUDES(m_lock);
  NotifyWindow GetNotifyWindow() EXCLUDES(m_lock);

  // Synchronisation objects. These do not take m_lock (a wait may be long), so they must
  // not overlap Destroy on another thread.
  bool WaitServerEvent(DWORD timeoutMs) { return CChannelSync::WaitFor(m_sync.ServerEvent(), timeoutMs); }
  bool WaitClientEvent(DWORD timeoutMs) { return CChannelSync::WaitFor(m_sync.ClientEvent(), timeoutMs); }
  bool WaitAccessMutex(DWORD timeoutMs) { return m_sync.TakeAccess(timeoutMs); }
  void ReleaseAccessMutex() { m_sync.ReleaseAccess(); }
  void SetServerEvent(bool set) EXCLUDES(m_lock);
  void SetClientEvent(bool set) EXCLUDES(m_lock);

  // Views. MapView: 0 when a view was mapped; 1 when one exists already, there is no
  // mapping, the window passes the end of the region, or mapping failed.
  int MapView(std::uint32_t offset, std::uint32_t size) EXCLUDES(m_lock);
  int UnmapView() EXCLUDES(m_lock);
  std::pair<std::uint32_t, std::uint32_t> AlignOffset(std::uint32_t offset) const EXCLUDES(m_lock);

  // Header fields (each a whole transaction under the access mutex).
  std::int32_t GetClientCount() EXCLUDES(m_lock) { return ReadClientCount().value_or(0); }
  std::pair<std::int32_t, std::int32_t> GetServerResolution() EXCLUDES(m_lock);
  int SetServerResolution(std::int32_t width, std::int32_t height) EXCLUDES(m_lock);
  std::int32_t GetShowLogo() EXCLUDES(m_lock);
  int SetShowLogo(std::int32_t showLogo) EXCLUDES(m_lock);

  // Frames: 0 on success, -1 otherwise.
  int SetMediaSample(int index, std::int32_t width, std::int32_t height, const void* data, std::int32_t length,
                     std::int32_t aux32, const std::int64_t* aux64A, const std::int64_t* aux64B) EXCLUDES(m_lock);
  // The same, with the frame's bytes written by `write` straight into the frame's window
  // (a sender converts into it without a copy of its own); `write` runs while the access
  // mutex is held and must not fail.
  int WriteMediaSample(int index, std::int32_t width, std::int32_t height, std::int32_t length, std::int32_t aux32,
                       const std::int64_t* aux64A, const std::int64_t* aux64B, const CFrameSlots::FrameWriter& write)
      EXCLUDES(m_lock);
  int LockMediaSample(int index, channel::FrameDescriptor* descriptor) EXCLUDES(m_lock);
  // Copies the held frame; a caller whose entry has vanished (and that gives a nonzero
  // size) is registered again after the copy, once the header transaction has ended.
  int GetMediaSampleData(int index, void* destination, std::int32_t length, const std::wstring& clientName,
                         std::int32_t width, std::int32_t height) EXCLUDES(m_lock);
  int UnlockMediaSample(int index) EXCLUDES(m_lock);

  // A hold on frame index, read in place (frame_lease.h). Taken exactly when
  // LockMediaSample would take one (the server event set, the producer not found dead,
  // Valid 1, LockCount below its maximum, a clean acquire of the access mutex) and, in
  // addition, only when the descriptor's Length is FrameBytes(Width, Height), the frame
  // fits its area and LockCount is not negative (so that the hold keeps the producer off
  // the frame); otherwise an empty lease and LockCount as it was. The same header
  // transaction reads ShowLogo and refreshes clientName's LastSeen (the full name is
  // compared, as GetMediaSampleData does). *listed (may be null) is false when a lease was
  // given and clientName had no entry: the caller then registers again, after this call;
  // it is true in every other case. The lease keeps its own view of the frame (also with
  // kPerOperation views), so every other operation works while it is out.
  CFrameLease LeaseFrame(int index, const std::wstring& clientName, bool* listed) EXCLUDES(m_lock);

  // Clients.
  int NotifyServerAboutClientConnection(bool connect, const std::wstring& clientName, std::int32_t width,
                                        std::int32_t height) EXCLUDES(m_lock);
  void GetClientInfo(std::vector<channel::ClientEntry>* clients) EXCLUDES(m_lock);

  // True after Init(true, ...) found another producer owning the producer mutex: this
  // object then writes frames like any producer but does not hold the mutex.
  bool OtherProducerRuns() const EXCLUDES(m_lock);
  // The tick source of the client scan (platform::GetTickCount unless a test sets one).
  void SetTickSource(DWORD (*tick)()) EXCLUDES(m_lock);

  // The view mapped now, or null (for the operations above and their tests).
  std::uint8_t* View() const EXCLUDES(m_lock);
  // The strategy in effect (kPerOperation in a 32-bit process whatever was asked for).
  ViewStrategy GetViewStrategy() const NO_THREAD_SAFETY_ANALYSIS { return m_region.GetStrategy(); }

 private:
  friend class CHeaderTransaction;
  friend class CFrameLease;

  int InitSyncObjectsLocked() REQUIRES(m_lock);
  int CreateFileMappingLocked() REQUIRES(m_lock);
  // Init's kOpenOnly part: opens the existing objects or, when one is missing, none.
  int OpenExistingLocked() REQUIRES(m_lock);
  // The client count, or nothing when the header cannot be read.
  std::optional<std::int32_t> ReadClientCount() EXCLUDES(m_lock);
  // Takes a hold on frame index and copies its descriptor (with the new count) to *copy;
  // with terms, only for a frame a lease can read in place, and fills the terms.
  ChannelOutcome TakeHold(int index, channel::FrameDescriptor* copy, CFrameSlots::LeaseTerms* terms) REQUIRES(m_lock);
  // Drops one hold on frame index; a count at 0 or below stays as it is.
  ChannelOutcome DropHold(int index) REQUIRES(m_lock);
  ChannelOutcome RegisterClient(bool connect, const std::wstring& clientName, std::int32_t width,
                                std::int32_t height) REQUIRES(m_lock);

  // Leases reach the object through this anchor, which outlives it (frame_lease.h).
  const std::shared_ptr<CFrameLease::Anchor> m_leaseAnchor;
  mutable CRecursiveLock m_lock ACQUIRED_AFTER(m_leaseAnchor->lock);
  bool m_isServer GUARDED_BY(m_lock) = false;
  std::optional<std::wstring> m_namespace GUARDED_BY(m_lock);
  CRegionView m_region GUARDED_BY(m_lock);
  // The mutex and the events are waited for without m_lock (see above); they are opened
  // and closed only by Init and Destroy.
  CChannelSync m_sync;
  CProducerLiveness m_liveness GUARDED_BY(m_lock);
  CFrameSlots m_frames GUARDED_BY(m_lock);
  CClientExpiry m_expiry GUARDED_BY(m_lock);
  DWORD (*m_tick)() GUARDED_BY(m_lock) = &platform::GetTickCount;
  NotifyWindow m_hNotifyWnd = nullptr;  // written by Init before the thread starts
  // Started and stopped by Init and Destroy, whose callers keep them on one thread.
  CClientNotifier m_notifier;
};
