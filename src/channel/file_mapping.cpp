#include "channel/file_mapping.h"

#include <chrono>
#include <cstring>
#include <limits>

#include "channel/client_table.h"
#include "channel/header_transaction.h"
#include "channel/labelled_object.h"
#include "channel/producer_process.h"
#include "diagnostics/log_file.h"
#include "diagnostics/trace_scope.h"
#include "platform/clock.h"
#include "platform/condition_variable.h"
#include "platform/timeout.h"
#include "platform/wide_string.h"

using channel::ClientEntry;
using channel::FrameDescriptor;
using channel::RegionHeader;

namespace {

constexpr const wchar_t* kMappingName = L"Trelvox_FileMapping";
constexpr const wchar_t* kMutexName = L"Trelvox_FileMapping_AccessMutex";
constexpr const wchar_t* kServerEventName = L"Trelvox_FileMapping_ServerEvent";
constexpr const wchar_t* kClientEventName = L"Trelvox_FileMapping_ClientEvent";
constexpr const wchar_t* kProducerMutexName = L"Trelvox_FileMapping_ProducerMutex";

bool IsDescriptorIndex(int index) { return index >= 0 && index < channel::kFrameDescriptorCount; }

// A wait that only looks at the object's state.
constexpr std::chrono::milliseconds kLookOnly = std::chrono::milliseconds::zero();

bool Acquired(WaitResult result) { return result == WaitResult::kAcquired || result == WaitResult::kAbandoned; }

void SignalEvent(CNamedEvent& event, bool set) {
  if (!event.IsOpen()) return;
  if (set) event.Set();
  else event.Reset();
}

}  // namespace

CFileMapping::CFileMapping(ViewStrategy viewStrategy)
    : m_viewStrategy(viewStrategy == ViewStrategy::kWholeRegion && sizeof(void*) >= 8 ? ViewStrategy::kWholeRegion
                                                                                        : ViewStrategy::kPerOperation),
      m_leaseAnchor(std::make_shared<CFrameLease::Anchor>()) {
  CLockHolder<CLock> hold(m_leaseAnchor->lock);
  m_leaseAnchor->channel = this;
}

CFileMapping::~CFileMapping() {
  Destroy();
  CLockHolder<CLock> hold(m_leaseAnchor->lock);
  m_leaseAnchor->channel = nullptr;
}

int CFileMapping::Init(bool isServer, NotifyWindow notifyWindow, OpenMode mode) {
  const bool openOnly = mode == OpenMode::kOpenOnly && !isServer;
  // A consumer that looks for the channel again and again writes one line per failed look.
  CTraceScope scope(openOnly ? 3 : 0, L"CFileMapping::Init");
  CLockHolder<CRecursiveLock> hold(m_lock);
  m_isServer = isServer;
  m_allocationGranularity = platform::AllocationGranularity();
  m_hNotifyWnd = notifyWindow;
  if (openOnly) return OpenExistingLocked();
  g_Log.Write(0, L"System allocation granularity is %lu.\n", static_cast<DWORD>(m_allocationGranularity));
  if (const int result = InitSyncObjectsLocked(); result != 0) return result;
  if (const int result = CreateFileMappingLocked(); result != 0) return result;
  ClaimProducerMutex();
  if (isServer) {
    try {
      m_hNotifyThread = std::thread(&CFileMapping::NotifyThreadProc, this);
    } catch (...) {
      return 1;
    }
  }
  return 0;
}

int CFileMapping::InitSyncObjects() {
  CLockHolder<CRecursiveLock> hold(m_lock);
  return InitSyncObjectsLocked();
}

int CFileMapping::InitSyncObjectsLocked() {
  CTraceScope scope(0, L"CFileMapping::InitSyncObjects");
  if (m_hAccessMutex.IsOpen() || m_hServerEvent.IsOpen() || m_hClientEvent.IsOpen()) return 1;
  // The three messages below keep their wording ("srv", "cli", a creation logged only for
  // the client event): logs are read side by side with those of earlier releases.

  const std::wstring mutexName = channel::ObjectName(kMutexName);
  channel::OpenOrCreateLabelled(m_hAccessMutex, mutexName, platform::KernelObjectKind::kMutex,
                                [&](CNamedMutex& mutex, bool* created) { mutex.Create(mutexName, created); });
  if (!m_hAccessMutex.IsOpen()) {
    g_Log.Write(0, L"Error creating access mutex.\n");
    return 1;
  }

  const std::wstring serverName = channel::ObjectName(kServerEventName);
  channel::OpenOrCreateLabelled(m_hServerEvent, serverName, platform::KernelObjectKind::kEvent,
                                [&](CNamedEvent& event, bool* created) { event.Create(serverName, true, false, created); });
  if (!m_hServerEvent.IsOpen()) {
    g_Log.Write(0, L"Error creating srv event.\n");
    return 1;
  }

  const std::wstring clientName = channel::ObjectName(kClientEventName);
  channel::OpenOrCreateLabelled(m_hClientEvent, clientName, platform::KernelObjectKind::kEvent, [&](CNamedEvent& event, bool* created) {
    g_Log.Write(0, L"Creating new cli event.\n");
    event.Create(clientName, false, false, created);
  });
  if (!m_hClientEvent.IsOpen()) {
    g_Log.Write(0, L"Error creating cli event.\n");
    return 1;
  }
  return 0;
}

int CFileMapping::CreateFileMapping() {
  CLockHolder<CRecursiveLock> hold(m_lock);
  return CreateFileMappingLocked();
}

int CFileMapping::CreateFileMappingLocked() {
  CTraceScope scope(0, L"CFileMapping::CreateFileMapping");
  if (m_hMapping.IsOpen()) return 1;
  const std::wstring name = channel::ObjectName(kMappingName);
  channel::OpenOrCreateLabelled(m_hMapping, name, platform::KernelObjectKind::kFileMapping,
                                [&](CSharedMemory& mapping, bool* created) { mapping.Create(name, channel::kRegionSize, created); });
  if (!m_hMapping.IsOpen()) return 1;
  HoldRegion();
  return 0;
}

void CFileMapping::HoldRegion() {
  if (m_viewStrategy == ViewStrategy::kWholeRegion) {
    // A region smaller than the layout (made by someone else) cannot be mapped whole;
    // windows are then mapped one by one and whatever lies past its end fails.
    m_wholeRegion = static_cast<std::uint8_t*>(m_hMapping.MapView(0, channel::kRegionSize));
  }
  m_mappingHeld = true;
}

int CFileMapping::OpenExistingLocked() {
  // An object still initialised keeps what it holds, as InitSyncObjects refuses then too.
  if (m_hMapping.IsOpen() || m_hAccessMutex.IsOpen() || m_hServerEvent.IsOpen() || m_hClientEvent.IsOpen())
    return 1;
  const wchar_t* missing = nullptr;
  if (m_hMapping.Open(channel::ObjectName(kMappingName)) != ERROR_SUCCESS)
    missing = L"frame region";
  else if (m_hAccessMutex.Open(channel::ObjectName(kMutexName)) != ERROR_SUCCESS)
    missing = L"access mutex";
  else if (m_hServerEvent.Open(channel::ObjectName(kServerEventName)) != ERROR_SUCCESS)
    missing = L"server event";
  else if (m_hClientEvent.Open(channel::ObjectName(kClientEventName)) != ERROR_SUCCESS)
    missing = L"client event";
  if (missing != nullptr) {
    m_hClientEvent.Close();
    m_hServerEvent.Close();
    m_hAccessMutex.Close();
    m_hMapping.Close();
    // Callers look again every second or so and say it once themselves: this line is
    // for a detailed log only.
    g_Log.Write(1, L"No channel to open yet (its %s is missing); nothing was created.\n", missing);
    return 1;
  }
  // Left closed when absent: CheckProducerAlive then checks nothing.
  m_hProducerMutex.Open(channel::ObjectName(kProducerMutexName));
  g_Log.Write(0, L"System allocation granularity is %lu.\n", static_cast<DWORD>(m_allocationGranularity));
  HoldRegion();
  return 0;
}

void CFileMapping::Destroy() {
  CTraceScope scope(0, L"CFileMapping::Destroy");
  {
    // Taken before m_lock, as a lease's drop does: a drop in progress ends first, and no
    // lease of this Init drops anything afterwards.
    CLockHolder<CLock> anchorHold(m_leaseAnchor->lock);
    ++m_leaseAnchor->generation;
  }
  std::thread thread;
  {
    CLockHolder<CRecursiveLock> hold(m_lock);
    if (m_pView != nullptr) UnmapWindow();
    if (m_hMapping.IsOpen()) {
      m_mappingHeld = false;
      if (m_wholeRegion != nullptr) CSharedMemory::UnmapView(m_wholeRegion, channel::kRegionSize);
      m_wholeRegion = nullptr;
      m_hMapping.Close();
    }
    m_hAccessMutex.Close();
    if (m_hServerEvent.IsOpen()) {
      // A producer standing aside leaves the event to the one that delivers.
      if (m_isServer && !m_otherProducer) m_hServerEvent.Reset();
      m_hServerEvent.Close();
    }
    if (m_producerHeld) m_hProducerMutex.Release();
    m_producerHeld = false;
    m_otherProducer = false;
    m_hProducerMutex.Close();
    m_firstWriteSeen = false;
    thread = std::move(m_hNotifyThread);
  }
  // The thread takes m_lock to read the client count, so it is woken and awaited without
  // holding it. The client event is shared with every other producer thread on the
  // machine, so one wake-up may be taken by another process: wake until this one ends.
  if (thread.joinable()) {
    CLock doneLock;
    CConditionVariable doneSignal;
    bool done = false;
    std::thread joiner([&] {
      thread.join();
      CLockHolder<CLock> guard(doneLock);
      done = true;
      doneSignal.NotifyAll();
    });
    {
      CLockHolder<CLock> guard(doneLock);
      do {
        SetClientEvent(true);
      } while (!doneSignal.WaitFor(guard, std::chrono::milliseconds(100), [&] { return done; }));
    }
    joiner.join();
  }
  CLockHolder<CRecursiveLock> hold(m_lock);
  m_hClientEvent.Close();
}

bool CFileMapping::IsCreated() {
  CLockHolder<CRecursiveLock> hold(m_lock);
  return m_hMapping.IsOpen();
}

NotifyWindow CFileMapping::GetNotifyWindow() {
  CLockHolder<CRecursiveLock> hold(m_lock);
  return m_hNotifyWnd;
}

bool CFileMapping::OtherProducerRuns() const {
  CLockHolder<CRecursiveLock> hold(m_lock);
  return m_otherProducer;
}

void CFileMapping::SetTickSource(DWORD (*tick)()) {
  CLockHolder<CRecursiveLock> hold(m_lock);
  m_tick = tick != nullptr ? tick : &platform::GetTickCount;
}

std::uint8_t* CFileMapping::View() const {
  CLockHolder<CRecursiveLock> hold(m_lock);
  return m_pView;
}

bool CFileMapping::WaitServerEvent(DWORD timeoutMs) {
  return m_hServerEvent.IsOpen() && m_hServerEvent.Wait(platform::TimeoutFromMilliseconds(timeoutMs));
}

bool CFileMapping::WaitClientEvent(DWORD timeoutMs) {
  return m_hClientEvent.IsOpen() && m_hClientEvent.Wait(platform::TimeoutFromMilliseconds(timeoutMs));
}

bool CFileMapping::WaitAccessMutex(DWORD timeoutMs) {
  return m_hAccessMutex.IsOpen() && Acquired(m_hAccessMutex.Wait(platform::TimeoutFromMilliseconds(timeoutMs)));
}

void CFileMapping::ReleaseAccessMutex() {
  if (m_hAccessMutex.IsOpen()) m_hAccessMutex.Release();
}

void CFileMapping::SetServerEvent(bool set) {
  CLockHolder<CRecursiveLock> hold(m_lock);
  SignalEvent(m_hServerEvent, set);
}

void CFileMapping::SetClientEvent(bool set) {
  CLockHolder<CRecursiveLock> hold(m_lock);
  SignalEvent(m_hClientEvent, set);
}

int CFileMapping::MapView(std::uint32_t offset, std::uint32_t size) {
  CLockHolder<CRecursiveLock> hold(m_lock);
  return channel::SetupResult(MapWindow(offset, size));
}

int CFileMapping::UnmapView() {
  CLockHolder<CRecursiveLock> hold(m_lock);
  return channel::SetupResult(UnmapWindow());
}

ChannelOutcome CFileMapping::MapWindow(std::uint32_t offset, std::uint32_t size) {
  if (m_pView != nullptr || !m_hMapping.IsOpen()) return ChannelOutcome::kNoView;
  if (static_cast<std::uint64_t>(offset) + size > channel::kRegionSize) return ChannelOutcome::kNoView;
  if (m_wholeRegion != nullptr) {
    m_pView = m_wholeRegion + offset;
  } else {
    m_pView = static_cast<std::uint8_t*>(m_hMapping.MapView(offset, size));
    if (m_pView == nullptr) return ChannelOutcome::kNoView;
  }
  m_viewSize = size;
  return ChannelOutcome::kDone;
}

ChannelOutcome CFileMapping::UnmapWindow() {
  if (m_pView == nullptr) return ChannelOutcome::kNoView;
  const bool ok = m_wholeRegion != nullptr || CSharedMemory::UnmapView(m_pView, m_viewSize);
  m_pView = nullptr;
  m_viewSize = 0;
  return ok ? ChannelOutcome::kDone : ChannelOutcome::kNoView;
}

std::pair<std::uint32_t, std::uint32_t> CFileMapping::AlignOffset(std::uint32_t offset) const {
  CLockHolder<CRecursiveLock> hold(m_lock);
  return Align(offset);
}

std::pair<std::uint32_t, std::uint32_t> CFileMapping::Align(std::uint32_t offset) const {
  const std::uint32_t remainder = m_allocationGranularity != 0 ? offset % m_allocationGranularity : 0;
  return {offset - remainder, remainder};
}

WaitResult CFileMapping::WaitForAccess() {
  if (!m_hAccessMutex.IsOpen()) return WaitResult::kFailed;
  const WaitResult wait = m_hAccessMutex.Wait(std::chrono::milliseconds(channel::kAccessWaitMs));
  if (wait == WaitResult::kTimeout)
    g_Log.Write(3, L"The access mutex was not free within %lu ms.\n", static_cast<DWORD>(channel::kAccessWaitMs));
  return wait;
}

void CFileMapping::ClaimProducerMutex() {
  const std::wstring name = channel::ObjectName(kProducerMutexName);
  channel::OpenOrCreateLabelled(m_hProducerMutex, name, platform::KernelObjectKind::kMutex,
                                [&](CNamedMutex& mutex, bool* created) { mutex.Create(name, created); });
  // Without the mutex this participant behaves as one that knows nothing of it.
  if (!m_hProducerMutex.IsOpen() || !m_isServer) return;
  const WaitResult wait = m_hProducerMutex.Wait(std::chrono::milliseconds(channel::kProducerClaimMs));
  if (wait == WaitResult::kAbandoned) {
    // The previous producer's last frame is stale; this producer's first write sets the
    // event again.
    SignalEvent(m_hServerEvent, false);
    g_Log.Write(0, L"The previous producer ended without shutting the channel down.\n");
  }
  m_producerHeld = Acquired(wait);
  m_otherProducer = wait == WaitResult::kTimeout;
  if (m_otherProducer) g_Log.Write(0, L"Another producer is delivering frames on this channel.\n");
}

void CFileMapping::CheckProducerAlive() {
  if (m_isServer || !m_hProducerMutex.IsOpen()) return;
  const WaitResult wait = m_hProducerMutex.Wait(kLookOnly);
  if (!Acquired(wait)) return;  // a live producer owns it, or it cannot be waited for
  // Reset while the mutex is owned: a producer that starts now claims it only afterwards,
  // so its first write is never undone.
  if (wait == WaitResult::kAbandoned) SignalEvent(m_hServerEvent, false);
  m_hProducerMutex.Release();
  if (wait == WaitResult::kAbandoned)
    g_Log.Write(0, L"The producer ended without shutting the channel down; no frame until a producer writes again.\n");
}

int CFileMapping::WithdrawStaleClients(RegionHeader* header) {
  const std::uint32_t now = m_tick();
  if (!m_firstWriteSeen) {
    m_firstWriteSeen = true;
    m_firstWriteTick = now;
  }
  // Consumers refresh LastSeen only while frames are written: an entry is judged only
  // once this producer has been writing for longer than the limit itself.
  if (now - m_firstWriteTick <= channel::kStaleClientMs) return 0;
  return CClientTable(header).WithdrawNotSeenFor(channel::kStaleClientMs, now);
}

void CFileMapping::RepairAbandonedHeader() {
  if (MapWindow(0, channel::kHeaderSize) != ChannelOutcome::kDone) return;
  RegionHeader* header = reinterpret_cast<RegionHeader*>(m_pView);
  const std::int32_t counted = CClientTable(header).Recount();
  const std::int32_t occupied = header->ClientCount;
  UnmapWindow();
  if (counted != occupied)
    g_Log.Write(0, L"The access mutex was abandoned; the client count %d is corrected to %d occupied entries.\n",
                static_cast<int>(counted), static_cast<int>(occupied));
}

std::uint8_t* CFileMapping::MapFrame(int index, std::int32_t length) {
  if (!channel::FrameFits(index, length)) return nullptr;
  const auto [aligned, remainder] = Align(static_cast<std::uint32_t>(channel::FrameOffset(index)));
  if (MapWindow(aligned, static_cast<std::uint32_t>(length) + remainder) != ChannelOutcome::kDone) return nullptr;
  return m_pView + remainder;
}

std::int32_t CFileMapping::GetClientCount() { return ReadClientCount().value_or(0); }

std::optional<std::int32_t> CFileMapping::ReadClientCount() {
  CLockHolder<CRecursiveLock> hold(m_lock);
  CHeaderTransaction transaction(*this, CHeaderTransaction::Kind::kHeaderOnly);
  if (transaction.Header() == nullptr) return std::nullopt;
  return transaction.Header()->ClientCount;
}

std::pair<std::int32_t, std::int32_t> CFileMapping::GetServerResolution() {
  CLockHolder<CRecursiveLock> hold(m_lock);
  CHeaderTransaction transaction(*this, CHeaderTransaction::Kind::kHeaderOnly);
  const RegionHeader* header = transaction.Header();
  if (header == nullptr) return {0, 0};
  return {header->ServerWidth, header->ServerHeight};
}

int CFileMapping::SetServerResolution(std::int32_t width, std::int32_t height) {
  CLockHolder<CRecursiveLock> hold(m_lock);
  CHeaderTransaction transaction(*this, CHeaderTransaction::Kind::kHeaderOnly);
  if (RegionHeader* header = transaction.Header()) {
    header->ServerWidth = width;
    header->ServerHeight = height;
  }
  return channel::FieldResult(transaction.Outcome());
}

std::int32_t CFileMapping::GetShowLogo() {
  CLockHolder<CRecursiveLock> hold(m_lock);
  CHeaderTransaction transaction(*this, CHeaderTransaction::Kind::kHeaderOnly);
  const RegionHeader* header = transaction.Header();
  return header != nullptr ? header->ShowLogo : 0;
}

int CFileMapping::SetShowLogo(std::int32_t showLogo) {
  CLockHolder<CRecursiveLock> hold(m_lock);
  CHeaderTransaction transaction(*this, CHeaderTransaction::Kind::kHeaderOnly);
  if (RegionHeader* header = transaction.Header()) header->ShowLogo = showLogo;
  return channel::FieldResult(transaction.Outcome());
}

int CFileMapping::SetMediaSample(int index, std::int32_t width, std::int32_t height, const void* data,
                                 std::int32_t length, std::int32_t aux32, const std::int64_t* aux64A,
                                 const std::int64_t* aux64B) {
  CTraceScope scope(3, L"CFileMapping::SetMediaSample");
  CLockHolder<CRecursiveLock> hold(m_lock);
  ChannelOutcome outcome = ChannelOutcome::kRefused;
  int withdrawn = 0;
  if (channel::FrameFits(index, length) && (data != nullptr || length == 0)) {
    CHeaderTransaction transaction(*this, CHeaderTransaction::Kind::kFrames);
    outcome = transaction.Outcome();
    if (RegionHeader* header = transaction.Header()) {
      withdrawn = WithdrawStaleClients(header);
      FrameDescriptor& d = header->Frames[index];
      const bool write = m_holds.MayWrite(index, d, platform::GetTickCount());
      outcome = ChannelOutcome::kRefused;
      if (write) {
        m_holds.Forget(index);
        d.Width = width;
        d.Height = height;
        d.Aux32 = aux32;
        // Not valid while the bytes are copied: a producer that ends in the middle of the
        // copy (its process killed) leaves no frame rather than a torn one, and the
        // consumers show their placeholder until the next write. Nobody else sees this
        // state, as the mutex is held until Valid is 1 again.
        d.Valid = 0;
        d.LockCount = 0;
        d.Aux64A = aux64A != nullptr ? *aux64A : 0;
        d.Aux64B = aux64B != nullptr ? *aux64B : 0;
        d.Length = length;
        transaction.UnmapHeader();
        outcome = ChannelOutcome::kNoView;
        if (std::uint8_t* frame = MapFrame(index, length)) {
          if (length > 0) std::memcpy(frame, data, static_cast<std::size_t>(length));
          outcome = ChannelOutcome::kDone;
        }
        if (m_pView != nullptr) UnmapWindow();
        if (RegionHeader* again = transaction.MapHeader()) again->Frames[index].Valid = 1;
      }
    }
  }
  if (withdrawn > 0) {
    g_Log.Write(0, L"%d client(s) not seen for more than %lu ms withdrawn.\n", withdrawn,
                static_cast<DWORD>(channel::kStaleClientMs));
    SignalEvent(m_hClientEvent, true);  // the notification thread posts the new count
  }
  SignalEvent(m_hServerEvent, true);
  return channel::FrameResult(outcome);
}

ChannelOutcome CFileMapping::TakeHold(int index, FrameDescriptor* copy, LeaseTerms* terms) {
  CheckProducerAlive();
  if (!IsDescriptorIndex(index) || !m_hServerEvent.IsOpen() || !m_hServerEvent.Wait(kLookOnly))
    return ChannelOutcome::kRefused;
  CHeaderTransaction transaction(*this, CHeaderTransaction::Kind::kFrames);
  RegionHeader* header = transaction.Header();
  if (header == nullptr) return transaction.Outcome();
  FrameDescriptor& shared = header->Frames[index];
  // Judged on one copy of the descriptor, so that what is checked is what is used.
  FrameDescriptor d;
  std::memcpy(&d, &shared, sizeof d);
  // A count already at its maximum cannot count one more hold: the frame is not taken
  // rather than the count wrapping to a negative one.
  if (d.Valid != 1 || d.LockCount >= std::numeric_limits<std::int32_t>::max()) return ChannelOutcome::kRefused;
  if (terms != nullptr) {
    // Read in place, the frame must be exactly the picture its descriptor names, inside
    // its own area, and the hold must keep the producer off it: a count below zero would
    // stay at or below zero with this hold, and the producer writes such a frame.
    if (d.Length != channel::FrameBytes(d.Width, d.Height) || !channel::FrameFits(index, d.Length) || d.LockCount < 0)
      return ChannelOutcome::kRefused;
    const auto offset = static_cast<std::uint32_t>(channel::FrameOffset(index));
    if (m_wholeRegion != nullptr) {
      terms->pixels = m_wholeRegion + offset;
    } else {
      const auto [aligned, remainder] = Align(offset);
      const std::size_t size = static_cast<std::size_t>(d.Length) + remainder;
      terms->ownView = static_cast<std::uint8_t*>(m_hMapping.MapView(aligned, size));
      if (terms->ownView == nullptr) return ChannelOutcome::kNoView;
      terms->ownViewSize = size;
      terms->pixels = terms->ownView + remainder;
    }
    terms->showLogo = header->ShowLogo != 0;
    terms->listed = CClientTable(header).Touch(*terms->name, platform::GetTickCount());
  }
  shared.LockCount = d.LockCount + 1;
  d.LockCount = shared.LockCount;
  std::memcpy(copy, &d, sizeof d);
  return ChannelOutcome::kDone;
}

int CFileMapping::LockMediaSample(int index, FrameDescriptor* descriptor) {
  CTraceScope scope(3, L"CFileMapping::LockMediaSample");
  CLockHolder<CRecursiveLock> hold(m_lock);
  if (descriptor == nullptr) {
    CheckProducerAlive();
    return -1;
  }
  return channel::FrameResult(TakeHold(index, descriptor, nullptr));
}

CFrameLease CFileMapping::LeaseFrame(int index, const std::wstring& clientName, bool* listed) {
  CTraceScope scope(3, L"CFileMapping::LeaseFrame");
  if (listed != nullptr) *listed = true;
  // Everything that allocates happens before the mutex is taken.
  const std::u16string name = platform::WideToUtf16(clientName);
  CFrameLease lease;
  lease.m_anchor = m_leaseAnchor;
  {
    CLockHolder<CLock> anchorHold(m_leaseAnchor->lock);
    lease.m_generation = m_leaseAnchor->generation;
  }
  CLockHolder<CRecursiveLock> hold(m_lock);
  LeaseTerms terms;
  terms.name = &name;
  FrameDescriptor d{};
  if (TakeHold(index, &d, &terms) != ChannelOutcome::kDone) return CFrameLease();
  lease.m_index = index;
  lease.m_width = d.Width;
  lease.m_height = d.Height;
  lease.m_pixels = terms.pixels;
  lease.m_ownView = terms.ownView;
  lease.m_ownViewSize = terms.ownViewSize;
  lease.m_showLogo = terms.showLogo;
  if (listed != nullptr) *listed = terms.listed;
  return lease;
}

int CFileMapping::GetMediaSampleData(int index, void* destination, std::int32_t length,
                                     const std::wstring& clientName, std::int32_t width, std::int32_t height) {
  CTraceScope scope(3, L"CFileMapping::GetMediaSampleData");
  CLockHolder<CRecursiveLock> hold(m_lock);
  // Everything that allocates happens before the mutex is taken, so no failure can leave
  // it held.
  const std::u16string name = platform::WideToUtf16(clientName);
  ChannelOutcome outcome = ChannelOutcome::kRefused;
  bool registerAgain = false;
  {
    CHeaderTransaction transaction(*this, CHeaderTransaction::Kind::kHeaderOnly);
    RegionHeader* header = transaction.Header();
    if (header == nullptr) {
      outcome = transaction.Outcome();
    } else if (destination != nullptr && channel::FrameFits(index, length)) {
      const FrameDescriptor& d = header->Frames[index];
      if (d.Valid == 1 && d.LockCount > 0 && d.Length == length) {
        // A consumer whose entry has vanished registers itself again, once this
        // transaction has ended.
        registerAgain = !CClientTable(header).Touch(name, platform::GetTickCount()) && width != 0 && height != 0 && !channel::HostIsProducer();
        transaction.UnmapHeader();
        outcome = ChannelOutcome::kNoView;
        if (const std::uint8_t* frame = MapFrame(index, length)) {
          if (length > 0) std::memcpy(destination, frame, static_cast<std::size_t>(length));
          outcome = ChannelOutcome::kDone;
        }
      }
    }
  }
  if (registerAgain) RegisterClient(true, clientName, width, height);
  return channel::FrameResult(outcome);
}

ChannelOutcome CFileMapping::DropHold(int index) {
  CHeaderTransaction transaction(*this, CHeaderTransaction::Kind::kHeaderOnly);
  RegionHeader* header = transaction.Header();
  // A hold the producer has already cleared as abandoned is not driven below zero.
  if (header != nullptr && IsDescriptorIndex(index) && header->Frames[index].LockCount > 0)
    --header->Frames[index].LockCount;
  return transaction.Outcome();
}

int CFileMapping::UnlockMediaSample(int index) {
  CTraceScope scope(3, L"CFileMapping::UnlockMediaSample");
  CLockHolder<CRecursiveLock> hold(m_lock);
  DropHold(index);
  return 0;
}

int CFileMapping::NotifyServerAboutClientConnection(bool connect, const std::wstring& clientName,
                                                    std::int32_t width, std::int32_t height) {
  CLockHolder<CRecursiveLock> hold(m_lock);
  RegisterClient(connect, clientName, width, height);
  return 0;
}

ChannelOutcome CFileMapping::RegisterClient(bool connect, const std::wstring& clientName, std::int32_t width,
                                            std::int32_t height) {
  CTraceScope scope(3, L"CFileMapping::NotifyServerAboutClientConnection");
  const std::u16string name = platform::WideToUtf16(clientName);
  ChannelOutcome outcome = ChannelOutcome::kNoAccess;
  {
    CHeaderTransaction transaction(*this, CHeaderTransaction::Kind::kHeaderOnly);
    outcome = transaction.Outcome();
    if (RegionHeader* header = transaction.Header())
      CClientTable(header).Register(connect, name, width, height, platform::GetTickCount());
  }
  SignalEvent(m_hClientEvent, true);
  return outcome;
}

void CFileMapping::GetClientInfo(std::vector<ClientEntry>* clients) {
  CTraceScope scope(0, L"CFileMapping::GetClientInfo");
  CLockHolder<CRecursiveLock> hold(m_lock);
  if (clients == nullptr) return;
  clients->clear();
  // Room for a full table first: nothing allocates while the mutex is held.
  clients->reserve(channel::kMaxClients);
  {
    CHeaderTransaction transaction(*this, CHeaderTransaction::Kind::kHeaderOnly);
    const RegionHeader* header = transaction.Header();
    if (header == nullptr) return;
    CClientTable::CopyOccupied(header, clients);
  }
  for (const ClientEntry& copy : *clients) {
    const std::wstring name = CClientTable::NameOf(copy);
    g_Log.Write(0, L"Client %s connected at resolution %dx%d.\n", name.c_str(), static_cast<int>(copy.Width),
                static_cast<int>(copy.Height));
  }
}

void CFileMapping::NotifyThreadProc() {
  for (;;) {
    const bool signalled = m_hClientEvent.Wait(platform::kInfinite);
    if (!m_mappingHeld) return;
    if (!signalled) return;  // the event is broken; waiting again would spin
    // A count that cannot be read now (the mutex held by a stopped peer) is not a count of 0.
    const std::optional<std::int32_t> count = ReadClientCount();
    if (!count.has_value() || *count == m_lastClientCount) continue;
    m_lastClientCount = *count;
    if (m_hNotifyWnd == nullptr) continue;
    platform::PostNotifyMessage(m_hNotifyWnd, channel::kClientCountMessage,
                                static_cast<std::uintptr_t>(static_cast<std::uint32_t>(*count)), 0);
  }
}
