#include "common/renderer_input_pin.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <new>
#include <utility>

#include "framework/base_filter.h"
#include "framework/mem_allocator.h"

namespace {

constexpr DWORD kLargestFrame = 0x7FFFFFFF;

}  // namespace

CRendererInputPin::CRendererInputPin(CBaseFilter* pFilter, CRecursiveLock* pLock, HRESULT* phr,
                                     LPCWSTR pName)
    : CBasePin(L"renderer input pin", pFilter, pLock, phr, pName, PINDIR_INPUT) {}

CRendererInputPin::~CRendererInputPin() = default;

STDMETHODIMP CRendererInputPin::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IMemInputPin)) return GetInterface(static_cast<IMemInputPin*>(this), ppv);
  return CBasePin::NonDelegatingQueryInterface(riid, ppv);
}

// ---------------------------------------------------------------------------------------
// Types

HRESULT CRendererInputPin::CheckVideoType(const AM_MEDIA_TYPE* pmt, const Restriction& restriction) const {
  if (!IsEqualGUID(pmt->majortype, MEDIATYPE_Video) || !IsEqualGUID(pmt->formattype, FORMAT_VideoInfo)) {
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  if (pmt->cbFormat < sizeof(VIDEOINFOHEADER) || pmt->pbFormat == nullptr) return VFW_E_TYPE_NOT_ACCEPTED;
  // A peer's block need not be aligned for the structure: read a copy.
  VIDEOINFOHEADER format;
  std::memcpy(&format, pmt->pbFormat, sizeof format);
  const BITMAPINFOHEADER& bitmap = format.bmiHeader;
  const std::uint64_t headerEnd = offsetof(VIDEOINFOHEADER, bmiHeader) + static_cast<std::uint64_t>(bitmap.biSize);
  if (bitmap.biSize < sizeof(BITMAPINFOHEADER) || headerEnd > pmt->cbFormat) return VFW_E_TYPE_NOT_ACCEPTED;
  if (bitmap.biWidth <= 0 || bitmap.biHeight == 0 || bitmap.biBitCount == 0) return VFW_E_TYPE_NOT_ACCEPTED;
  const DWORD bytes = GetBitmapSize(&bitmap);
  if (bytes == 0 || bytes > kLargestFrame) return VFW_E_TYPE_NOT_ACCEPTED;
  const bool uncompressed = bitmap.biCompression == BI_RGB || bitmap.biCompression == BI_BITFIELDS;
  if (uncompressed && bitmap.biSizeImage != 0 && bitmap.biSizeImage < bytes) return VFW_E_TYPE_NOT_ACCEPTED;

  if (!IsEqualGUID(restriction.subtype, GUID_NULL) && !IsEqualGUID(restriction.subtype, pmt->subtype)) {
    return VFW_E_TYPE_NOT_ACCEPTED;
  }
  if (restriction.width != 0 && bitmap.biWidth != restriction.width) return VFW_E_TYPE_NOT_ACCEPTED;
  const std::int64_t height = bitmap.biHeight < 0 ? -static_cast<std::int64_t>(bitmap.biHeight) : bitmap.biHeight;
  if (restriction.height != 0 && height != restriction.height) return VFW_E_TYPE_NOT_ACCEPTED;
  return S_OK;
}

HRESULT CRendererInputPin::CheckMediaType(const CMediaType* pmt) {
  if (pmt == nullptr) return E_POINTER;
  Restriction restriction;
  {
    CLockHolder<CLock> hold(m_dataLock);
    restriction = m_restriction;
  }
  return CheckVideoType(pmt, restriction);
}

HRESULT CRendererInputPin::GetMediaType(int iPosition, CMediaType* pMediaType) {
  if (pMediaType == nullptr) return E_POINTER;
  if (iPosition < 0) return E_INVALIDARG;
  return VFW_S_NO_MORE_ITEMS;
}

STDMETHODIMP CRendererInputPin::ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) {
  if (pmt != nullptr) {
    CLockHolder<CLock> hold(m_dataLock);
    try {
      m_offered.push_back(pmt->subtype);
    } catch (const std::bad_alloc&) {
      // A missing record does not change the connection.
    }
  }
  return CBasePin::ReceiveConnection(pConnector, pmt);
}

STDMETHODIMP CRendererInputPin::EnumMediaTypes(IEnumMediaTypes** ppEnum) {
  {
    CLockHolder<CLock> hold(m_dataLock);
    ++m_enumerations;
  }
  return CBasePin::EnumMediaTypes(ppEnum);
}

HRESULT CRendererInputPin::BreakConnect() {
  CComPtr<IMemAllocator> notified;
  {
    CLockHolder<CLock> hold(m_dataLock);
    notified = std::move(m_notified);
    m_notifiedOwn = false;
    m_notifiedReadOnly = false;
  }
  // The allocator's reference goes outside the lock (notified's scope).
  return CBasePin::BreakConnect();
}

// ---------------------------------------------------------------------------------------
// State and stream notifications

HRESULT CRendererInputPin::Active() {
  CLockHolder<CLock> hold(m_dataLock);
  m_active = true;
  m_changed.NotifyAll();
  return S_OK;
}

HRESULT CRendererInputPin::Inactive() {
  {
    CLockHolder<CLock> hold(m_dataLock);
    m_active = false;
    // A Receive waiting for room in the queue returns now.
    m_changed.NotifyAll();
  }
  return CBasePin::Inactive();
}

STDMETHODIMP CRendererInputPin::EndOfStream() {
  bool complete = false;
  HRESULT result = S_OK;
  {
    CLockHolder<CLock> hold(m_dataLock);
    ++m_endOfStreams;
    if (!m_active) {
      result = VFW_E_WRONG_STATE;
    } else if (m_flushing) {
      result = S_FALSE;
    } else {
      complete = true;
    }
    m_changed.NotifyAll();
  }
  // Outside the lock: the sink may call back into the filter.
  if (complete) m_pFilter->NotifyEvent(EC_COMPLETE, S_OK, 0);
  return result;
}

STDMETHODIMP CRendererInputPin::BeginFlush() {
  CLockHolder<CLock> hold(m_dataLock);
  m_flushing = true;
  ++m_beginFlushes;
  m_changed.NotifyAll();
  return S_OK;
}

STDMETHODIMP CRendererInputPin::EndFlush() {
  CLockHolder<CLock> hold(m_dataLock);
  m_flushing = false;
  ++m_endFlushes;
  m_changed.NotifyAll();
  return S_OK;
}

STDMETHODIMP CRendererInputPin::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) {
  CLockHolder<CLock> hold(m_dataLock);
  try {
    m_segments.push_back(Segment{tStart, tStop, dRate});
  } catch (const std::bad_alloc&) {
  }
  m_changed.NotifyAll();
  return CBasePin::NewSegment(tStart, tStop, dRate);
}

// ---------------------------------------------------------------------------------------
// Allocator

STDMETHODIMP CRendererInputPin::GetAllocator(IMemAllocator** ppAllocator) {
  if (ppAllocator == nullptr) return E_POINTER;
  *ppAllocator = nullptr;
  CLockHolder<CLock> hold(m_dataLock);
  if (!m_ownAllocator) {
    HRESULT hr = S_OK;
    CUnknown* allocator = CMemAllocator::CreateInstance(nullptr, &hr);
    if (allocator == nullptr) return FAILED(hr) ? hr : E_OUTOFMEMORY;
    // The new object has no reference yet: the query gives it its first, which the pin keeps.
    hr = allocator->NonDelegatingQueryInterface(IID_IMemAllocator, m_ownAllocator.ReceiveVoid());
    if (FAILED(hr)) {
      delete allocator;  // a refusal leaves the holder empty
      return hr;
    }
  }
  *ppAllocator = m_ownAllocator.NewReference();
  return S_OK;
}

STDMETHODIMP CRendererInputPin::NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly) {
  if (pAllocator == nullptr) return E_POINTER;
  CComPtr<IMemAllocator> previous(pAllocator, kAddRef);
  {
    CLockHolder<CLock> hold(m_dataLock);
    m_notified.Swap(previous);
    m_notifiedOwn = m_notified == m_ownAllocator;
    m_notifiedReadOnly = bReadOnly != FALSE;
    ++m_notifyCount;
    m_changed.NotifyAll();
  }
  // The previous allocator's reference goes outside the lock (previous's scope).
  return S_OK;
}

STDMETHODIMP CRendererInputPin::GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps) {
  return pProps == nullptr ? E_POINTER : E_NOTIMPL;
}

// ---------------------------------------------------------------------------------------
// Samples

void CRendererInputPin::ReadSample(IMediaSample* pSample, SampleRecord& record, std::vector<BYTE>* copy) {
  BYTE* data = nullptr;
  if (FAILED(pSample->GetPointer(&data))) data = nullptr;
  record.size = pSample->GetSize();
  record.actual = pSample->GetActualDataLength();
  record.lengthValid = record.size >= 0 && record.actual >= 0 && record.actual <= record.size &&
                       (record.actual == 0 || data != nullptr);
  if (record.lengthValid) {
    const auto actual = static_cast<std::size_t>(record.actual);
    record.firstByteCount = std::min(actual, kFirstBytes);
    if (record.firstByteCount != 0) std::memcpy(record.firstBytes.data(), data, record.firstByteCount);
    if (actual >= 4) {
      std::uint32_t number = 0;
      std::memcpy(&number, data, sizeof number);
      record.number = number;
    }
    if (copy != nullptr && actual != 0) copy->assign(data, data + actual);
  }
  record.timeResult = pSample->GetTime(&record.start, &record.stop);
  record.mediaTimeResult = pSample->GetMediaTime(&record.mediaStart, &record.mediaStop);
  record.syncPoint = pSample->IsSyncPoint() == S_OK;
  record.discontinuity = pSample->IsDiscontinuity() == S_OK;
  record.preroll = pSample->IsPreroll() == S_OK;
}

STDMETHODIMP CRendererInputPin::Receive(IMediaSample* pSample) {
  if (pSample == nullptr) return E_POINTER;
  bool wantCopy = false;
  {
    CLockHolder<CLock> hold(m_dataLock);
    if (!m_active) return VFW_E_WRONG_STATE;
    if (m_flushing) return S_FALSE;
    wantCopy = m_copyCount != 0;
  }

  SampleRecord record;
  std::vector<BYTE> copy;
  bool copied = false;
  try {
    ReadSample(pSample, record, wantCopy ? &copy : nullptr);
    copied = wantCopy && record.lengthValid;
  } catch (const std::bad_alloc&) {
    // Recorded without its copy.
  }
  HRESULT result = record.lengthValid ? S_OK : E_INVALIDARG;

  AM_MEDIA_TYPE* attached = nullptr;
  if (pSample->GetMediaType(&attached) == S_OK && attached != nullptr) {
    record.typeAttached = true;
    record.typeAccepted = CheckMediaType(static_cast<const CMediaType*>(attached)) == S_OK;
    DeleteMediaType(attached);
    if (!record.typeAccepted && result == S_OK) result = VFW_E_INVALIDMEDIATYPE;
  }

  bool stored = false;
  {
    CLockHolder<CLock> hold(m_dataLock);
    if (m_copyQueue && copied) {
      // Paced: the copy waits for room; a stop or a flush ends the wait unrecorded.
      m_changed.Wait(hold,
                     [this] { return !m_copyQueue || m_copies.size() < m_copyCount || !m_active || m_flushing; });
      if (!m_active) return VFW_E_WRONG_STATE;
      if (m_flushing) return S_FALSE;
    }
    record.index = m_received++;
    record.received = Clock::now();
    result = Answer(record.index, result);
    record.result = result;
    stored = m_samples.size() < m_maxRecords;
    try {
      if (stored) m_samples.push_back(record);
      if (copied && m_copyCount != 0) {
        m_copies.push_back(DataCopy{record.index, std::move(copy)});
        while (!m_copyQueue && m_copies.size() > m_copyCount) m_copies.pop_front();
      }
    } catch (const std::bad_alloc&) {
      // The sample is answered all the same; only the record is short.
      stored = stored && !m_samples.empty() && m_samples.back().index == record.index;
    }
    m_changed.NotifyAll();
  }

  const HRESULT answer = AfterReceive(pSample, record.index, result);
  if (answer != result && stored) {
    CLockHolder<CLock> hold(m_dataLock);
    // Records are appended in arrival order; a later sample's may already follow.
    for (auto it = m_samples.rbegin(); it != m_samples.rend(); ++it) {
      if (it->index == record.index) {
        it->result = answer;
        break;
      }
    }
    m_changed.NotifyAll();
  }
  return answer;
}

STDMETHODIMP CRendererInputPin::ReceiveMultiple(IMediaSample** pSamples, LONG nSamples, LONG* nSamplesProcessed) {
  if (nSamplesProcessed == nullptr) return E_POINTER;
  *nSamplesProcessed = 0;
  if (nSamples > 0 && pSamples == nullptr) return E_POINTER;
  HRESULT hr = S_OK;
  for (LONG i = 0; i < nSamples; ++i) {
    hr = Receive(pSamples[i]);
    if (hr != S_OK) break;
    ++*nSamplesProcessed;
  }
  return hr;
}

STDMETHODIMP CRendererInputPin::ReceiveCanBlock() {
  CLockHolder<CLock> hold(m_dataLock);
  return m_copyQueue ? S_OK : S_FALSE;
}

// ---------------------------------------------------------------------------------------
// Settings

void CRendererInputPin::AcceptOnly(const GUID& subtype, LONG width, LONG height) {
  CLockHolder<CLock> hold(m_dataLock);
  m_restriction = Restriction{subtype, width, height < 0 ? -height : height};
}

void CRendererInputPin::KeepDataCopies(std::size_t count) {
  CLockHolder<CLock> hold(m_dataLock);
  m_copyCount = count;
  m_copyQueue = false;
  while (m_copies.size() > m_copyCount) m_copies.pop_front();
  m_changed.NotifyAll();
}

void CRendererInputPin::QueueDataCopies(std::size_t capacity) {
  CLockHolder<CLock> hold(m_dataLock);
  m_copyCount = capacity;
  m_copyQueue = capacity != 0;
  m_changed.NotifyAll();
}

std::vector<CRendererInputPin::DataCopy> CRendererInputPin::TakeDataCopies() {
  std::deque<DataCopy> queued;
  {
    CLockHolder<CLock> hold(m_dataLock);
    queued.swap(m_copies);
    m_changed.NotifyAll();
  }
  return {std::make_move_iterator(queued.begin()), std::make_move_iterator(queued.end())};
}

void CRendererInputPin::SetMaxRecords(std::size_t count) {
  CLockHolder<CLock> hold(m_dataLock);
  m_maxRecords = count;
}

// ---------------------------------------------------------------------------------------
// Records

LONG CRendererInputPin::SampleCount() const {
  CLockHolder<CLock> hold(m_dataLock);
  return m_received;
}

std::vector<CRendererInputPin::SampleRecord> CRendererInputPin::Samples() const {
  CLockHolder<CLock> hold(m_dataLock);
  return m_samples;
}

std::vector<CRendererInputPin::DataCopy> CRendererInputPin::DataCopies() const {
  CLockHolder<CLock> hold(m_dataLock);
  return {m_copies.begin(), m_copies.end()};
}

int CRendererInputPin::EndOfStreamCount() const {
  CLockHolder<CLock> hold(m_dataLock);
  return m_endOfStreams;
}

int CRendererInputPin::BeginFlushCount() const {
  CLockHolder<CLock> hold(m_dataLock);
  return m_beginFlushes;
}

int CRendererInputPin::EndFlushCount() const {
  CLockHolder<CLock> hold(m_dataLock);
  return m_endFlushes;
}

std::vector<CRendererInputPin::Segment> CRendererInputPin::Segments() const {
  CLockHolder<CLock> hold(m_dataLock);
  return m_segments;
}

std::vector<GUID> CRendererInputPin::OfferedSubtypes() const {
  CLockHolder<CLock> hold(m_dataLock);
  return m_offered;
}

int CRendererInputPin::EnumerationCount() const {
  CLockHolder<CLock> hold(m_dataLock);
  return m_enumerations;
}

IMemAllocator* CRendererInputPin::NotifiedAllocator() const {
  CLockHolder<CLock> hold(m_dataLock);
  return m_notified.NewReference();
}

bool CRendererInputPin::NotifiedOwnAllocator() const {
  CLockHolder<CLock> hold(m_dataLock);
  return m_notifiedOwn;
}

bool CRendererInputPin::NotifiedReadOnly() const {
  CLockHolder<CLock> hold(m_dataLock);
  return m_notifiedReadOnly;
}

int CRendererInputPin::NotifyAllocatorCount() const {
  CLockHolder<CLock> hold(m_dataLock);
  return m_notifyCount;
}

IMemAllocator* CRendererInputPin::OwnAllocator() const {
  CLockHolder<CLock> hold(m_dataLock);
  return m_ownAllocator.NewReference();
}

bool CRendererInputPin::WaitForSamples(LONG count, std::chrono::milliseconds timeout) const {
  CLockHolder<CLock> hold(m_dataLock);
  return m_changed.WaitFor(hold, timeout, [&] { return m_received >= count; });
}

bool CRendererInputPin::WaitForEndOfStream(std::chrono::milliseconds timeout) const {
  CLockHolder<CLock> hold(m_dataLock);
  return m_changed.WaitFor(hold, timeout, [&] { return m_endOfStreams > 0; });
}
