#include "framework/source_stream.h"

#include <chrono>
#include <cwchar>
#include <string>
#include <thread>

#include "com/com_ptr.h"
#include "framework/source.h"
#include "platform/wide_string.h"

CSourceStream::CSourceStream(const WCHAR* pObjectName, HRESULT* phr, CSource* pms, LPCWSTR pName)
    : CAMThread(), CBaseOutputPin(pObjectName, pms, pms->pStateLock(), phr, pName), m_pFilter(pms) {
  const HRESULT hr = m_pFilter->AddPin(this);
  if (phr != nullptr) *phr = hr;
}

CSourceStream::~CSourceStream() {
  m_pFilter->RemovePin(this);
  // The worker runs this object's hooks: it must have ended before any part goes.
  Close();
}

STDMETHODIMP CSourceStream::QueryId(LPWSTR* Id) {
  if (Id == nullptr) return E_POINTER;
  const int index = m_pFilter->FindPinNumber(this);
  if (index < 0) return VFW_E_NOT_FOUND;
  constexpr std::size_t kIdChars = 12;
  *Id = static_cast<LPWSTR>(CoTaskMemAlloc(kIdChars * sizeof(WCHAR)));
  if (*Id == nullptr) return E_OUTOFMEMORY;
  platform::CopyTruncated(*Id, kIdChars, std::to_wstring(index + 1).c_str());
  return S_OK;
}

HRESULT CSourceStream::Active() {
  CLockHolder<CRecursiveLock> hold(*m_pFilter->pStateLock());
  if (m_pFilter->IsActive()) return S_FALSE;
  if (!IsConnected()) return S_OK;
  HRESULT hr = CBaseOutputPin::Active();
  if (FAILED(hr)) return hr;
  if (!Create()) return E_FAIL;
  hr = Init();
  if (FAILED(hr)) {
    // The worker has ended by itself; forgetting it lets a later Active start a new one.
    Close();
    return hr;
  }
  return Pause();
}

HRESULT CSourceStream::Inactive() {
  CLockHolder<CRecursiveLock> hold(*m_pFilter->pStateLock());
  if (!IsConnected()) return S_OK;
  HRESULT hr = CBaseOutputPin::Inactive();
  if (FAILED(hr)) return hr;
  if (ThreadExists()) {
    hr = Stop();
    if (FAILED(hr)) return hr;
    hr = Exit();
    if (FAILED(hr)) return hr;
    Close();
  }
  return S_OK;
}

DWORD CSourceStream::ThreadProc() {
  Command command;
  while ((command = GetRequest()) != CMD_INIT) Reply(static_cast<DWORD>(E_UNEXPECTED));

  HRESULT hr = OnThreadCreate();
  if (FAILED(hr)) {
    OnThreadDestroy();
    Reply(static_cast<DWORD>(hr));
    return 1;
  }
  Reply(static_cast<DWORD>(S_OK));

  do {
    command = GetRequest();
    switch (command) {
      case CMD_PAUSE:
      case CMD_RUN:
        Reply(static_cast<DWORD>(S_OK));
        DoBufferProcessingLoop();
        break;
      case CMD_STOP:
      case CMD_EXIT:
        Reply(static_cast<DWORD>(S_OK));
        break;
      default:
        Reply(static_cast<DWORD>(E_NOTIMPL));
        break;
    }
  } while (command != CMD_EXIT);

  return FAILED(OnThreadDestroy()) ? 1 : 0;
}

HRESULT CSourceStream::DoBufferProcessingLoop() {
  OnThreadStartPlay();
  for (;;) {
    Command command;
    if (CheckRequest(&command)) {
      if (command == CMD_PAUSE || command == CMD_RUN) {
        Reply(static_cast<DWORD>(S_OK));
      } else if (command == CMD_STOP) {
        // Left pending: the idle loop answers it.
        return S_FALSE;
      } else {
        Reply(static_cast<DWORD>(E_UNEXPECTED));
      }
      continue;
    }

    CComPtr<IMediaSample> sample;
    HRESULT hr = GetDeliveryBuffer(sample.Receive(), nullptr, nullptr, 0);
    if (FAILED(hr) || !sample) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }

    hr = FillBuffer(sample.Get());
    if (hr == S_OK) {
      hr = Deliver(sample.Get());
      sample.Reset();
      if (hr != S_OK) return S_OK;
      continue;
    }

    sample.Reset();
    DeliverEndOfStream();
    if (hr == S_FALSE) return S_OK;
    m_pFilter->NotifyEvent(EC_ERRORABORT, hr, 0);
    return hr;
  }
}

HRESULT CSourceStream::GetMediaType(int iPosition, CMediaType* pMediaType) {
  if (iPosition < 0) return E_INVALIDARG;
  if (iPosition > 0) return VFW_S_NO_MORE_ITEMS;
  return GetMediaType(pMediaType);
}

HRESULT CSourceStream::GetMediaType(CMediaType* /*pMediaType*/) { return E_UNEXPECTED; }

HRESULT CSourceStream::CheckMediaType(const CMediaType* pMediaType) {
  CMediaType offered;
  if (FAILED(GetMediaType(&offered))) return E_FAIL;
  return offered == *pMediaType ? S_OK : E_FAIL;
}
