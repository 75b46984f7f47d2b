#include "support/numbered_source.h"

#include <cstring>
#include <string>

#include "framework/media_type.h"

namespace testing_support {

// {0F2C6A11-5E2B-4C1E-9C3D-7A6B5E4D3C2B}
static const GUID CLSID_NumberedSource = {0x0f2c6a11, 0x5e2b, 0x4c1e, {0x9c, 0x3d, 0x7a, 0x6b, 0x5e, 0x4d, 0x3c, 0x2b}};

CMediaType MakeRgb24Type(LONG width, LONG height) { return MakeRgb24VideoType(width, height); }

CNumberedStream::CNumberedStream(HRESULT* phr, CNumberedSource* filter, LPCWSTR name)
    : CSourceStream(L"numbered stream", phr, filter, name) {}

CNumberedStream::~CNumberedStream() = default;

HRESULT CNumberedStream::GetMediaType(CMediaType* pMediaType) {
  *pMediaType = MakeRgb24Type(m_width, m_height);
  return S_OK;
}

HRESULT CNumberedStream::CheckMediaType(const CMediaType* pMediaType) {
  if (m_checkResult != S_OK) return m_checkResult;
  return CSourceStream::CheckMediaType(pMediaType);
}

HRESULT CNumberedStream::DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pRequest) {
  m_decideRequests.push_back(*pRequest);
  m_decideAllocators.push_back(pAlloc);
  if (m_decideRequests.size() == 1 && m_firstDecideResult != S_OK) {
    // Leaves a mark on the record, which the second call must see.
    pRequest->cbPrefix = 0;
    pRequest->cBuffers = 7;
    return m_firstDecideResult;
  }
  ALLOCATOR_PROPERTIES wanted = *pRequest;
  if (m_buffers > 0) wanted.cBuffers = m_buffers;
  if (wanted.cBuffers < 1) wanted.cBuffers = 1;
  wanted.cbBuffer = static_cast<LONG>(GetBitmapSize(&reinterpret_cast<const VIDEOINFOHEADER*>(m_mt.Format())->bmiHeader));
  ALLOCATOR_PROPERTIES actual{};
  const HRESULT hr = pAlloc->SetProperties(&wanted, &actual);
  if (FAILED(hr)) return hr;
  return actual.cbBuffer < wanted.cbBuffer ? E_FAIL : S_OK;
}

HRESULT CNumberedStream::FillBuffer(IMediaSample* pSample) {
  const LONG n = m_framesFilled.load();
  if (n == m_fillResultAt.load()) return m_fillResult;
  BYTE* data = nullptr;
  pSample->GetPointer(&data);
  const LONG size = pSample->GetSize();
  if (size >= 4) {
    std::memset(data, n & 0xFF, static_cast<std::size_t>(size));
    const uint32_t number = static_cast<uint32_t>(n);
    std::memcpy(data, &number, sizeof number);
  }
  pSample->SetActualDataLength(size);
  REFERENCE_TIME start = n * m_interval;
  REFERENCE_TIME stop = start + m_interval;
  pSample->SetTime(&start, &stop);
  LONGLONG mediaStart = n;
  LONGLONG mediaStop = n + 1;
  pSample->SetMediaTime(&mediaStart, &mediaStop);
  pSample->SetSyncPoint(TRUE);
  m_framesFilled.fetch_add(1);
  return S_OK;
}

HRESULT CNumberedStream::OnThreadCreate() {
  m_threadCreates.fetch_add(1);
  return m_threadCreateResult;
}

HRESULT CNumberedStream::OnThreadDestroy() {
  m_threadDestroys.fetch_add(1);
  return S_OK;
}

HRESULT CNumberedStream::OnThreadStartPlay() {
  m_startPlays.fetch_add(1);
  return S_OK;
}

CNumberedSource::CNumberedSource() : CSource(L"numbered source", nullptr, CLSID_NumberedSource) {}

CNumberedSource* CNumberedSource::Create(int streams) {
  auto* filter = new CNumberedSource();
  filter->AddRef();  // The caller's reference: the new object's first.
  for (int i = 0; i < streams; ++i) {
    HRESULT hr = S_OK;
    const std::wstring name = i == 0 ? std::wstring(L"Numbered") : L"Numbered " + std::to_wstring(i + 1);
    new CNumberedStream(&hr, filter, name.c_str());
  }
  return filter;
}

}  // namespace testing_support
