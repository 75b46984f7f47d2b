#include "channel/file_mapping.h"

#include <cstring>

#include "channel/client_table.h"
#include "channel/header_transaction.h"
#include "channel/producer_process.h"
#include "diagnostics/log_file.h"
#include "diagnostics/trace_scope.h"
#include "platform/clock.h"
#include "platform/wide_string.h"

using channel::ClientEntry;
using channel::FrameDescriptor;
using channel::RegionHeader;

CFileMapping::CFileMapping(ViewStrategy viewStrategy)
    : m_leaseAnchor(std::make_shared<CFrameLease::Anchor>()), m_region(viewStrategy) {
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
  m_hNotifyWnd = notifyWindow;
  if (openOnly) return OpenExistingLocked();
  g_Log.Write(0, L"System allocation granularity is %lu.\n", static_cast<DWORD>(m_region.Granularity()));
  if (const int result = InitSyncObjectsLocked(); result != 0) return result;
  if (const int result = CreateFileMappingLocked(); result != 0) return result;
  m_liveness.Claim(isServer, m_sync.ServerEvent(), m_namespace);
  if (isServer && !m_notifier.Start(m_sync.ClientEvent(), notifyWindow, [this] { return ReadClientCount(); }))
    return 1;
  return 0;
}

int CFileMapping::InitSyncObjects() {
  CLockHolder<CRecursiveLock> hold(m_lock);
  return InitSyncObjectsLocked();
}

int CFileMapping::InitSyncObjectsLocked() {
  CTraceScope scope(0, L"CFileMapping::InitSyncObjects");
  if (m_sync.AnyOpen()) return 1;
  return m_sync.OpenOrCreate(m_namespace) ? 0 : 1;
}

int CFileMapping::CreateFileMapping() {
  CLockHolder<CRecursiveLock> hold(m_lock);
  return CreateFileMappingLocked();
}

int CFileMapping::CreateFileMappingLocked() {
  CTraceScope scope(0, L"CFileMapping::CreateFileMapping");
  return m_region.OpenOrCreate(m_namespace) ? 0 : 1;
}

int CFileMapping::OpenExistingLocked() {
  // An object still initialised keeps what it holds, as InitSyncObjects refuses then too.
  if (m_region.IsOpen() || m_sync.AnyOpen()) return 1;
  const wchar_t* missing = L"frame region";
  if (!m_region.OpenExisting(m_namespace) || !m_sync.OpenExisting(&missing, m_namespace)) {
    m_region.Close();
    // Callers look again every second or so and say it once themselves: this line is
    // for a detailed log only.
    g_Log.Write(1, L"No channel to open yet (its %s is missing); nothing was created.\n", missing);
    return 1;
  }
  m_liveness.OpenExisting(m_namespace);
  g_Log.Write(0, L"System allocation granularity is %lu.\n", static_cast<DWORD>(m_region.Granularity()));
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
  {
    CLockHolder<CRecursiveLock> hold(m_lock);
    m_region.Close();
    // A producer standing aside leaves the event to the one that delivers.
    m_sync.CloseMutexAndServerEvent(m_isServer && !m_liveness.OtherProducer());
    m_liveness.Close();
    m_expiry.Reset();
  }
  // The thread takes m_lock to read the client count: it is ended without holding it.
  m_notifier.Stop();
  CLockHolder<CRecursiveLock> hold(m_lock);
  m_sync.CloseClientEvent();
}

bool CFileMapping::IsCreated() {
  CLockHolder<CRecursiveLock> hold(m_lock);
  return m_region.IsOpen();
}

NotifyWindow CFileMapping::GetNotifyWindow() {
  CLockHolder<CRecursiveLock> hold(m_lock);
  return m_hNotifyWnd;
}

bool CFileMapping::OtherProducerRuns() const {
  CLockHolder<CRecursiveLock> hold(m_lock);
  return m_liveness.OtherProducer();
}

void CFileMapping::SetTickSource(DWORD (*tick)()) {
  CLockHolder<CRecursiveLock> hold(m_lock);
  m_tick = tick != nullptr ? tick : &platform::GetTickCount;
}

std::uint8_t* CFileMapping::View() const {
  CLockHolder<CRecursiveLock> hold(m_lock);
  return m_region.View();
}

void CFileMapping::SetServerEvent(bool set) {
  CLockHolder<CRecursiveLock> hold(m_lock);
  CChannelSync::Signal(m_sync.ServerEvent(), set);
}

void CFileMapping::SetClientEvent(bool set) {
  CLockHolder<CRecursiveLock> hold(m_lock);
  CChannelSync::Signal(m_sync.ClientEvent(), set);
}

int CFileMapping::MapView(std::uint32_t offset, std::uint32_t size) {
  CLockHolder<CRecursiveLock> hold(m_lock);
  return channel::SetupResult(m_region.Map(offset, size));
}

int CFileMapping::UnmapView() {
  CLockHolder<CRecursiveLock> hold(m_lock);
  return channel::SetupResult(m_region.Unmap());
}

std::pair<std::uint32_t, std::uint32_t> CFileMapping::AlignOffset(std::uint32_t offset) const {
  CLockHolder<CRecursiveLock> hold(m_lock);
  return m_region.Align(offset);
}

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
  if (data == nullptr && length != 0) return -1;
  return WriteMediaSample(index, width, height, length, aux32, aux64A, aux64B, [&](std::uint8_t* frame) {
    std::memcpy(frame, data, static_cast<std::size_t>(length));
  });
}

int CFileMapping::WriteMediaSample(int index, std::int32_t width, std::int32_t height, std::int32_t length,
                                   std::int32_t aux32, const std::int64_t* aux64A, const std::int64_t* aux64B,
                                   const CFrameSlots::FrameWriter& write) {
  CTraceScope scope(3, L"CFileMapping::SetMediaSample");
  CLockHolder<CRecursiveLock> hold(m_lock);
  ChannelOutcome outcome = ChannelOutcome::kRefused;
  int withdrawn = 0;
  if (channel::FrameFits(index, length)) {
    CHeaderTransaction transaction(*this, CHeaderTransaction::Kind::kFrames);
    outcome = transaction.Outcome();
    if (RegionHeader* header = transaction.Header()) {
      withdrawn = m_expiry.Sweep(header, m_tick());
      const FrameDescriptor fields{.Width = width, .Height = height, .Aux32 = aux32,
                                   .Aux64A = aux64A != nullptr ? *aux64A : 0,
                                   .Aux64B = aux64B != nullptr ? *aux64B : 0, .Length = length};
      outcome = m_frames.Store(transaction, m_region, index, fields, write, platform::GetTickCount());
    }
  }
  if (withdrawn > 0) {
    g_Log.Write(0, L"%d client(s) not seen for more than %lu ms withdrawn.\n", withdrawn,
                static_cast<DWORD>(channel::kStaleClientMs));
    CChannelSync::Signal(m_sync.ClientEvent(), true);  // the notification thread posts the new count
  }
  CChannelSync::Signal(m_sync.ServerEvent(), true);
  return channel::FrameResult(outcome);
}

ChannelOutcome CFileMapping::TakeHold(int index, FrameDescriptor* copy, CFrameSlots::LeaseTerms* terms) {
  m_liveness.CheckAlive(m_sync.ServerEvent());
  if (index < 0 || index >= channel::kFrameDescriptorCount || !CChannelSync::WaitFor(m_sync.ServerEvent(), 0))
    return ChannelOutcome::kRefused;
  CHeaderTransaction transaction(*this, CHeaderTransaction::Kind::kFrames);
  RegionHeader* header = transaction.Header();
  if (header == nullptr) return transaction.Outcome();
  return CFrameSlots::Hold(header, m_region, index, copy, terms);
}

int CFileMapping::LockMediaSample(int index, FrameDescriptor* descriptor) {
  CTraceScope scope(3, L"CFileMapping::LockMediaSample");
  CLockHolder<CRecursiveLock> hold(m_lock);
  if (descriptor == nullptr) {
    m_liveness.CheckAlive(m_sync.ServerEvent());
    return -1;
  }
  return channel::FrameResult(TakeHold(index, descriptor, nullptr));
}

CFrameLease CFileMapping::LeaseFrame(int index, const std::wstring& clientName, bool* listed) {
  CTraceScope scope(3, L"CFileMapping::LeaseFrame");
  if (listed != nullptr) *listed = true;
  // Everything that allocates happens before the mutex is taken.
  const std::u16string name = platform::WideToUtf16(clientName);
  std::uint64_t generation = 0;
  {
    CLockHolder<CLock> anchorHold(m_leaseAnchor->lock);
    generation = m_leaseAnchor->generation;
  }
  CLockHolder<CRecursiveLock> hold(m_lock);
  CFrameSlots::LeaseTerms terms;
  terms.name = &name;
  FrameDescriptor d{};
  if (TakeHold(index, &d, &terms) != ChannelOutcome::kDone) return CFrameLease();
  if (listed != nullptr) *listed = terms.listed;
  return CFrameLease(m_leaseAnchor, generation, index, d.Width, d.Height, terms.window, terms.showLogo);
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
        outcome = CFrameSlots::CopyHeld(transaction, m_region, index, destination, length);
      }
    }
  }
  if (registerAgain) static_cast<void>(RegisterClient(true, clientName, width, height));
  return channel::FrameResult(outcome);
}

ChannelOutcome CFileMapping::DropHold(int index) {
  CHeaderTransaction transaction(*this, CHeaderTransaction::Kind::kHeaderOnly);
  if (RegionHeader* header = transaction.Header()) CFrameSlots::Drop(header, index);
  return transaction.Outcome();
}

int CFileMapping::UnlockMediaSample(int index) {
  CTraceScope scope(3, L"CFileMapping::UnlockMediaSample");
  CLockHolder<CRecursiveLock> hold(m_lock);
  static_cast<void>(DropHold(index));
  return 0;
}

int CFileMapping::NotifyServerAboutClientConnection(bool connect, const std::wstring& clientName,
                                                    std::int32_t width, std::int32_t height) {
  CLockHolder<CRecursiveLock> hold(m_lock);
  static_cast<void>(RegisterClient(connect, clientName, width, height));
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
  CChannelSync::Signal(m_sync.ClientEvent(), true);
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
