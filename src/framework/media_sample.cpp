#include "framework/media_sample.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "framework/base_allocator.h"
#include "framework/media_type.h"

namespace {

// Where each field of the properties record ends in this build's layout: a field takes
// part only when the caller's byte count covers all of it.
#define AMBERLINE_FIELD_END(field) \
  static_cast<DWORD>(offsetof(AM_SAMPLE2_PROPERTIES, field) + sizeof(AM_SAMPLE2_PROPERTIES::field))
constexpr DWORD kTypeSpecificFlagsEnd = AMBERLINE_FIELD_END(dwTypeSpecificFlags);
constexpr DWORD kSampleFlagsEnd = AMBERLINE_FIELD_END(dwSampleFlags);
constexpr DWORD kActualEnd = AMBERLINE_FIELD_END(lActual);
constexpr DWORD kStartEnd = AMBERLINE_FIELD_END(tStart);
constexpr DWORD kStopEnd = AMBERLINE_FIELD_END(tStop);
constexpr DWORD kStreamIdEnd = AMBERLINE_FIELD_END(dwStreamId);
constexpr DWORD kMediaTypeEnd = AMBERLINE_FIELD_END(pMediaType);
constexpr DWORD kBufferEnd = AMBERLINE_FIELD_END(pbBuffer);
constexpr DWORD kBufferSizeEnd = AMBERLINE_FIELD_END(cbBuffer);
#undef AMBERLINE_FIELD_END
constexpr DWORD kRecordSize = sizeof(AM_SAMPLE2_PROPERTIES);

// A deep copy of type in task memory. E_INVALIDARG for a type that claims a format block
// it does not have, E_OUTOFMEMORY when memory runs out; *copy is null on failure.
HRESULT CopyToTaskMemory(const AM_MEDIA_TYPE* type, AM_MEDIA_TYPE** copy) {
  *copy = nullptr;
  auto* record = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
  if (record == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = CopyMediaType(record, type);
  if (FAILED(hr)) {
    FreeMediaType(*record);
    CoTaskMemFree(record);
    return hr;
  }
  *copy = record;
  return S_OK;
}

HRESULT FlagResult(DWORD flags, DWORD bit) { return (flags & bit) != 0 ? S_OK : S_FALSE; }

void SetFlag(DWORD& flags, DWORD bit, BOOL on) {
  if (on) {
    flags |= bit;
  } else {
    flags &= ~bit;
  }
}

}  // namespace

CMediaSample::CMediaSample(const WCHAR* /*pName*/, CBaseAllocator* pAllocator, HRESULT* phr, BYTE* pBuffer,
                           LONG length)
    : m_pBuffer(pBuffer), m_lActual(length), m_cbBuffer(length), m_pAllocator(pAllocator) {
  if (length < 0) {
    if (phr != nullptr) *phr = VFW_E_BUFFER_OVERFLOW;
    m_lActual = 0;
    m_cbBuffer = 0;
  }
}

CMediaSample::~CMediaSample() = default;

STDMETHODIMP CMediaSample::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IMediaSample) || IsEqualIID(riid, IID_IMediaSample2) ||
      IsEqualIID(riid, IID_IUnknown)) {
    *ppv = static_cast<IMediaSample2*>(this);
    AddRef();  // The caller's reference (QueryInterface hands one over).
    return S_OK;
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CMediaSample::AddRef() { return static_cast<ULONG>(m_cRef.fetch_add(1) + 1); }

STDMETHODIMP_(ULONG) CMediaSample::Release() {
  // Always an atomic decrement: a plain store of 0 could lose a reference that another
  // thread takes at the same moment and hand a sample still in use back to the pool.
  const LONG count = m_cRef.fetch_sub(1) - 1;
  if (count != 0) return static_cast<ULONG>(count);
  // The next user of this buffer must not inherit this use's times, flags or type.
  if ((m_dwFlags & Sample_TypeChanged) != 0) SetMediaType(nullptr);
  m_dwFlags = 0;
  m_dwTypeSpecificFlags = 0;
  m_dwStreamId = 0;
  if (m_pAllocator != nullptr) m_pAllocator->ReleaseBuffer(this);
  return 0;
}

STDMETHODIMP CMediaSample::GetPointer(BYTE** ppBuffer) {
  if (ppBuffer == nullptr) return E_POINTER;
  *ppBuffer = m_pBuffer;
  return S_OK;
}

STDMETHODIMP_(LONG) CMediaSample::GetSize() { return m_cbBuffer; }

STDMETHODIMP CMediaSample::GetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) {
  if ((m_dwFlags & (Sample_StopValid | Sample_TimeValid)) == 0) return VFW_E_SAMPLE_TIME_NOT_SET;
  if (pTimeStart == nullptr || pTimeEnd == nullptr) return E_POINTER;
  *pTimeStart = m_Start;
  if ((m_dwFlags & Sample_StopValid) != 0) {
    *pTimeEnd = m_End;
    return S_OK;
  }
  *pTimeEnd = static_cast<REFERENCE_TIME>(static_cast<std::uint64_t>(m_Start) + 1);
  return VFW_S_NO_STOP_TIME;
}

STDMETHODIMP CMediaSample::SetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) {
  if (pTimeStart == nullptr) {
    m_dwFlags &= ~(Sample_TimeValid | Sample_StopValid);
    return S_OK;
  }
  m_Start = *pTimeStart;
  m_dwFlags |= Sample_TimeValid;
  if (pTimeEnd == nullptr) {
    m_dwFlags &= ~Sample_StopValid;
  } else {
    m_End = *pTimeEnd;
    m_dwFlags |= Sample_StopValid;
  }
  return S_OK;
}

STDMETHODIMP CMediaSample::IsSyncPoint() { return FlagResult(m_dwFlags, Sample_SyncPoint); }
STDMETHODIMP CMediaSample::IsPreroll() { return FlagResult(m_dwFlags, Sample_Preroll); }
STDMETHODIMP CMediaSample::IsDiscontinuity() { return FlagResult(m_dwFlags, Sample_Discontinuity); }

STDMETHODIMP CMediaSample::SetSyncPoint(BOOL bIsSyncPoint) {
  SetFlag(m_dwFlags, Sample_SyncPoint, bIsSyncPoint);
  return S_OK;
}

STDMETHODIMP CMediaSample::SetPreroll(BOOL bIsPreroll) {
  SetFlag(m_dwFlags, Sample_Preroll, bIsPreroll);
  return S_OK;
}

STDMETHODIMP CMediaSample::SetDiscontinuity(BOOL bDiscontinuity) {
  SetFlag(m_dwFlags, Sample_Discontinuity, bDiscontinuity);
  return S_OK;
}

STDMETHODIMP_(LONG) CMediaSample::GetActualDataLength() { return m_lActual; }

STDMETHODIMP CMediaSample::SetActualDataLength(LONG length) {
  if (length < 0 || length > m_cbBuffer) return VFW_E_BUFFER_OVERFLOW;
  m_lActual = length;
  return S_OK;
}

STDMETHODIMP CMediaSample::GetMediaType(AM_MEDIA_TYPE** ppMediaType) {
  if (ppMediaType == nullptr) return E_POINTER;
  *ppMediaType = nullptr;
  if ((m_dwFlags & Sample_TypeChanged) == 0 || !m_pMediaType) return S_FALSE;
  *ppMediaType = CreateMediaType(m_pMediaType.Get());
  return *ppMediaType != nullptr ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP CMediaSample::SetMediaType(AM_MEDIA_TYPE* pMediaType) {
  m_pMediaType.Reset();
  m_dwFlags &= ~Sample_TypeChanged;
  if (pMediaType == nullptr) return S_OK;
  const HRESULT hr = CopyToTaskMemory(pMediaType, m_pMediaType.Receive());
  if (FAILED(hr)) return hr;
  m_dwFlags |= Sample_TypeChanged;
  return S_OK;
}

STDMETHODIMP CMediaSample::GetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) {
  if ((m_dwFlags & Sample_MediaTimeValid) == 0) return VFW_E_MEDIA_TIME_NOT_SET;
  if (pTimeStart == nullptr || pTimeEnd == nullptr) return E_POINTER;
  *pTimeStart = m_MediaStart;
  // Only the low 32 bits of the length are kept; they count as signed.
  *pTimeEnd = static_cast<LONGLONG>(static_cast<std::uint64_t>(m_MediaStart) +
                                    static_cast<std::uint64_t>(static_cast<LONGLONG>(m_MediaEnd)));
  return S_OK;
}

STDMETHODIMP CMediaSample::SetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) {
  if (pTimeStart == nullptr) {
    m_dwFlags &= ~Sample_MediaTimeValid;
    return S_OK;
  }
  if (pTimeEnd == nullptr) return E_POINTER;
  m_MediaStart = *pTimeStart;
  const std::uint64_t length = static_cast<std::uint64_t>(*pTimeEnd) - static_cast<std::uint64_t>(*pTimeStart);
  m_MediaEnd = static_cast<LONG>(static_cast<std::uint32_t>(length));
  m_dwFlags |= Sample_MediaTimeValid;
  return S_OK;
}

STDMETHODIMP CMediaSample::GetProperties(DWORD cbProperties, BYTE* pbProperties) {
  if (cbProperties == 0) return S_OK;
  if (pbProperties == nullptr) return E_POINTER;
  AM_SAMPLE2_PROPERTIES properties;
  // Padding included: nothing of this process's stack reaches the caller.
  std::memset(&properties, 0, sizeof(properties));
  properties.cbData = std::min(cbProperties, kRecordSize);
  properties.dwTypeSpecificFlags = m_dwTypeSpecificFlags;
  properties.dwSampleFlags = m_dwFlags & ~static_cast<DWORD>(Sample_MediaTimeValid);
  properties.lActual = m_lActual;
  properties.tStart = m_Start;
  properties.tStop = m_End;
  properties.dwStreamId = m_dwStreamId;
  properties.pMediaType = (m_dwFlags & Sample_TypeChanged) != 0 ? m_pMediaType.Get() : nullptr;
  properties.pbBuffer = m_pBuffer;
  properties.cbBuffer = m_cbBuffer;
  std::memcpy(pbProperties, &properties, properties.cbData);
  return S_OK;
}

STDMETHODIMP CMediaSample::SetProperties(DWORD cbProperties, const BYTE* pbProperties) {
  if (cbProperties < sizeof(DWORD)) return S_OK;
  if (pbProperties == nullptr) return E_POINTER;
  DWORD cbData = 0;
  std::memcpy(&cbData, pbProperties, sizeof(cbData));
  const DWORD n = std::min(cbProperties, cbData);
  if (n > kRecordSize || cbData > kRecordSize) return E_INVALIDARG;
  // Read exactly the n bytes the caller vouches for; the rest of the record stays zero
  // and is never used.
  AM_SAMPLE2_PROPERTIES properties;
  std::memset(&properties, 0, sizeof(properties));
  std::memcpy(&properties, pbProperties, n);

  // Every check comes before the first change.
  if (n >= kSampleFlagsEnd) {
    if ((properties.dwSampleFlags & ~static_cast<DWORD>(Sample_PropertyFlags)) != 0) return E_INVALIDARG;
    if ((properties.dwSampleFlags & Sample_TimeValid) != 0 && (m_dwFlags & Sample_TimeValid) == 0 &&
        n < kStopEnd) {
      return E_INVALIDARG;
    }
  }
  // The valid data must lie inside this sample's buffer, whatever else the record says.
  if (n >= kActualEnd && (properties.lActual < 0 || properties.lActual > m_cbBuffer)) return E_INVALIDARG;
  if (n >= kBufferEnd && properties.pbBuffer != nullptr && properties.pbBuffer != m_pBuffer) return E_INVALIDARG;
  if (n >= kBufferSizeEnd) {
    if (properties.cbBuffer != 0 && properties.cbBuffer != m_cbBuffer) return E_INVALIDARG;
    if (properties.cbBuffer < properties.lActual) return E_INVALIDARG;
  }
  const bool typeGiven = n >= kMediaTypeEnd && (properties.dwSampleFlags & Sample_TypeChanged) != 0;
  CScopedMediaType type;
  if (typeGiven) {
    if (properties.pMediaType == nullptr) return E_POINTER;
    const HRESULT hr = CopyToTaskMemory(properties.pMediaType, type.Receive());
    if (FAILED(hr)) return hr;
  }

  if (n >= kStreamIdEnd) m_dwStreamId = properties.dwStreamId;
  if (n >= kSampleFlagsEnd) {
    m_dwFlags = properties.dwSampleFlags | (m_dwFlags & Sample_MediaTimeValid);
    m_dwTypeSpecificFlags = properties.dwTypeSpecificFlags;
  } else if (n >= kTypeSpecificFlagsEnd) {
    m_dwTypeSpecificFlags = properties.dwTypeSpecificFlags;
  }
  if (n >= kActualEnd) m_lActual = properties.lActual;
  if (n >= kStopEnd) m_End = properties.tStop;
  if (n >= kStartEnd) m_Start = properties.tStart;
  if (typeGiven) m_pMediaType = std::move(type);
  if (m_pMediaType) {
    m_dwFlags |= Sample_TypeChanged;
  } else {
    m_dwFlags &= ~Sample_TypeChanged;
  }
  return S_OK;
}
