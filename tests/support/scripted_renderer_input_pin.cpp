#include "support/scripted_renderer_input_pin.h"

#include <new>
#include <utility>

namespace testing_support {

CScriptedRendererInputPin::CScriptedRendererInputPin(CBaseFilter* pFilter, CRecursiveLock* pLock,
                                                     LPCWSTR pName)
    : CRendererInputPin(pFilter, pLock, nullptr, pName) {}

CScriptedRendererInputPin::~CScriptedRendererInputPin() { DropHeldSamples(); }

// ---------------------------------------------------------------------------------------
// Types and allocator

HRESULT CScriptedRendererInputPin::CheckMediaType(const CMediaType* pmt) {
  if (pmt == nullptr) return E_POINTER;
  HRESULT refusal = S_OK;
  {
    std::lock_guard<std::mutex> hold(m_scriptLock);
    refusal = m_refuseCode;
  }
  return refusal != S_OK ? refusal : CRendererInputPin::CheckMediaType(pmt);
}

HRESULT CScriptedRendererInputPin::GetMediaType(int iPosition, CMediaType* pMediaType) {
  if (pMediaType == nullptr) return E_POINTER;
  if (iPosition < 0) return E_INVALIDARG;
  std::lock_guard<std::mutex> hold(m_scriptLock);
  if (static_cast<std::size_t>(iPosition) >= m_preferred.size()) return VFW_S_NO_MORE_ITEMS;
  const HRESULT hr = pMediaType->Set(m_preferred[static_cast<std::size_t>(iPosition)]);
  return FAILED(hr) ? hr : S_OK;
}

STDMETHODIMP CScriptedRendererInputPin::GetAllocator(IMemAllocator** ppAllocator) {
  if (ppAllocator == nullptr) return E_POINTER;
  {
    std::lock_guard<std::mutex> hold(m_scriptLock);
    if (m_refuseAllocator) {
      *ppAllocator = nullptr;
      return VFW_E_NO_ALLOCATOR;
    }
  }
  return CRendererInputPin::GetAllocator(ppAllocator);
}

STDMETHODIMP CScriptedRendererInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps) {
  if (pProps == nullptr) return E_POINTER;
  std::lock_guard<std::mutex> hold(m_scriptLock);
  if (!m_haveRequirements) return E_NOTIMPL;
  *pProps = m_requirements;
  return S_OK;
}

// ---------------------------------------------------------------------------------------
// State

HRESULT CScriptedRendererInputPin::BreakConnect() {
  DropHeldSamples();
  return CRendererInputPin::BreakConnect();
}

HRESULT CScriptedRendererInputPin::Active() {
  {
    std::lock_guard<std::mutex> hold(m_scriptLock);
    m_active = true;
    m_changed.notify_all();
  }
  return CRendererInputPin::Active();
}

HRESULT CScriptedRendererInputPin::Inactive() {
  {
    std::lock_guard<std::mutex> hold(m_scriptLock);
    m_active = false;
    // A Receive waiting on BlockReceive returns now.
    m_changed.notify_all();
  }
  // The pin refuses samples before the held ones go back: a worker that gets its buffer
  // back and delivers again finds the renderer stopped, not a sample to record.
  const HRESULT hr = CRendererInputPin::Inactive();
  DropHeldSamples();
  return hr;
}

STDMETHODIMP CScriptedRendererInputPin::BeginFlush() {
  {
    std::lock_guard<std::mutex> hold(m_scriptLock);
    m_flushing = true;
    m_changed.notify_all();
  }
  // As in Inactive: flushing before the held samples go back.
  const HRESULT hr = CRendererInputPin::BeginFlush();
  DropHeldSamples();
  return hr;
}

STDMETHODIMP CScriptedRendererInputPin::EndFlush() {
  {
    std::lock_guard<std::mutex> hold(m_scriptLock);
    m_flushing = false;
    m_changed.notify_all();
  }
  return CRendererInputPin::EndFlush();
}

// ---------------------------------------------------------------------------------------
// Samples

STDMETHODIMP CScriptedRendererInputPin::Receive(IMediaSample* pSample) {
  bool ask = false;
  {
    std::lock_guard<std::mutex> hold(m_scriptLock);
    ask = m_askUpstream;
  }
  if (ask && pSample != nullptr) AskUpstream();
  return CRendererInputPin::Receive(pSample);
}

STDMETHODIMP CScriptedRendererInputPin::ReceiveCanBlock() {
  {
    std::lock_guard<std::mutex> hold(m_scriptLock);
    if (m_block) return S_OK;
  }
  return CRendererInputPin::ReceiveCanBlock();
}

HRESULT CScriptedRendererInputPin::Answer(LONG index, HRESULT result) {
  std::lock_guard<std::mutex> hold(m_scriptLock);
  return result == S_OK && m_resultFrom >= 0 && index >= m_resultFrom ? m_resultFromOn : result;
}

HRESULT CScriptedRendererInputPin::AfterReceive(IMediaSample* pSample, LONG, HRESULT answer) {
  if (answer != S_OK) return answer;
  std::unique_lock<std::mutex> hold(m_scriptLock);
  if (m_active && !m_flushing && m_held.size() < m_holdCount) {
    try {
      m_held.emplace_back(pSample, kAddRef);
    } catch (const std::bad_alloc&) {
      // Not held: the script asks for at most that many.
    }
  }
  if (!m_block) return answer;
  ++m_blockedNow;
  m_changed.notify_all();
  m_changed.wait(hold, [this] { return !m_block || !m_active || m_flushing; });
  --m_blockedNow;
  m_changed.notify_all();
  if (!m_active) return VFW_E_WRONG_STATE;
  if (m_flushing) return S_FALSE;
  return answer;
}

void CScriptedRendererInputPin::DropHeldSamples() {
  std::vector<CComPtr<IMediaSample>> held;
  {
    std::lock_guard<std::mutex> hold(m_scriptLock);
    held.swap(m_held);
    m_changed.notify_all();
  }
  // The references go outside the lock (held's scope): a returning sample may complete
  // its allocator's decommit.
}

void CScriptedRendererInputPin::AskUpstream() {
  CComPtr<IPin> peer;
  if (ConnectedTo(peer.Receive()) != S_OK || !peer) return;
  CMediaType type;
  HRESULT accepted = CopyConnectionType(&type);
  if (SUCCEEDED(accepted)) accepted = peer->QueryAccept(&type);
  // The upstream side's own record of the connection, as a renderer checks it before
  // a dynamic format change.
  AM_MEDIA_TYPE theirs{};
  const HRESULT described = peer->ConnectionMediaType(&theirs);
  if (SUCCEEDED(described)) FreeMediaType(theirs);
  if (FAILED(described) && accepted == S_OK) accepted = described;
  CComPtr<IEnumMediaTypes> types;
  if (SUCCEEDED(peer->EnumMediaTypes(types.Receive())) && types) {
    AM_MEDIA_TYPE* offered = nullptr;
    ULONG fetched = 0;
    while (types->Next(1, &offered, &fetched) == S_OK && fetched == 1) {
      DeleteMediaType(offered);
      offered = nullptr;
    }
  }
  std::lock_guard<std::mutex> hold(m_scriptLock);
  ++m_upstreamQueries;
  if (accepted != S_OK) ++m_upstreamRefusals;
  m_changed.notify_all();
}

// ---------------------------------------------------------------------------------------
// Scripts and what they observed

void CScriptedRendererInputPin::RefuseAllTypes(HRESULT code) {
  std::lock_guard<std::mutex> hold(m_scriptLock);
  m_refuseCode = code;
}

void CScriptedRendererInputPin::SetPreferredTypes(const std::vector<CMediaType>& types) {
  {
    std::lock_guard<std::mutex> hold(m_scriptLock);
    m_preferred = types;
  }
  // Enumerators made for the old list report that they are out of date.
  IncrementTypeVersion();
}

void CScriptedRendererInputPin::RefuseAllocator(bool refuse) {
  std::lock_guard<std::mutex> hold(m_scriptLock);
  m_refuseAllocator = refuse;
}

void CScriptedRendererInputPin::SetAllocatorRequirements(const ALLOCATOR_PROPERTIES& props) {
  std::lock_guard<std::mutex> hold(m_scriptLock);
  m_requirements = props;
  m_haveRequirements = true;
}

void CScriptedRendererInputPin::SetReceiveResult(LONG from, HRESULT result) {
  std::lock_guard<std::mutex> hold(m_scriptLock);
  m_resultFrom = from;
  m_resultFromOn = result;
}

void CScriptedRendererInputPin::BlockReceive(bool block) {
  std::lock_guard<std::mutex> hold(m_scriptLock);
  m_block = block;
  m_changed.notify_all();
}

void CScriptedRendererInputPin::AskUpstreamInReceive(bool ask) {
  std::lock_guard<std::mutex> hold(m_scriptLock);
  m_askUpstream = ask;
}

void CScriptedRendererInputPin::HoldSamples(std::size_t count) {
  {
    std::lock_guard<std::mutex> hold(m_scriptLock);
    m_holdCount = count;
  }
  if (count == 0) DropHeldSamples();
}

void CScriptedRendererInputPin::ReleaseHeldSamples() { DropHeldSamples(); }

int CScriptedRendererInputPin::UpstreamQueries() const {
  std::lock_guard<std::mutex> hold(m_scriptLock);
  return m_upstreamQueries;
}

int CScriptedRendererInputPin::UpstreamRefusals() const {
  std::lock_guard<std::mutex> hold(m_scriptLock);
  return m_upstreamRefusals;
}

int CScriptedRendererInputPin::HeldSampleCount() const {
  std::lock_guard<std::mutex> hold(m_scriptLock);
  return static_cast<int>(m_held.size());
}

int CScriptedRendererInputPin::BlockedReceives() const {
  std::lock_guard<std::mutex> hold(m_scriptLock);
  return m_blockedNow;
}

bool CScriptedRendererInputPin::WaitForUpstreamQueries(int count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> hold(m_scriptLock);
  return m_changed.wait_for(hold, timeout, [&] { return m_upstreamQueries >= count; });
}

bool CScriptedRendererInputPin::WaitForBlockedReceive(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> hold(m_scriptLock);
  return m_changed.wait_for(hold, timeout, [&] { return m_blockedNow > 0; });
}

}  // namespace testing_support
