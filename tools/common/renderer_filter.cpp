#include "common/renderer_filter.h"

#include <new>

namespace {

// {6D1E8B42-3C7A-4F05-B2E9-81A4C0D5F736}
const GUID CLSID_AmberlineRenderer = {0x6d1e8b42, 0x3c7a, 0x4f05, {0xb2, 0xe9, 0x81, 0xa4, 0xc0, 0xd5, 0xf7, 0x36}};

}  // namespace

CRendererFilter::CRendererFilter()
    : CBaseFilter(L"renderer", nullptr, &m_lock, CLSID_AmberlineRenderer), m_pin(this, &m_lock, nullptr, L"In") {}

CRendererFilter* CRendererFilter::Create() {
  auto* filter = new (std::nothrow) CRendererFilter();
  if (filter != nullptr) filter->AddRef();
  return filter;
}

CBasePin* CRendererFilter::GetPin(int n) { return n == 0 ? &m_pin : nullptr; }

STDMETHODIMP CRendererFilter::Stop() {
  const HRESULT hr = CBaseFilter::Stop();
  Record(State_Stopped, hr);
  return hr;
}

STDMETHODIMP CRendererFilter::Pause() {
  const HRESULT hr = CBaseFilter::Pause();
  Record(State_Paused, hr);
  return hr;
}

STDMETHODIMP CRendererFilter::Run(REFERENCE_TIME tStart) {
  const HRESULT hr = CBaseFilter::Run(tStart);
  Record(State_Running, hr);
  return hr;
}

void CRendererFilter::Record(FILTER_STATE requested, HRESULT result) {
  std::lock_guard<std::mutex> hold(m_recordLock);
  try {
    m_stateChanges.push_back(StateChange{requested, result});
  } catch (const std::bad_alloc&) {
    // The state change itself has happened; only its record is missing.
  }
}

std::vector<CRendererFilter::StateChange> CRendererFilter::StateChanges() const {
  std::lock_guard<std::mutex> hold(m_recordLock);
  return m_stateChanges;
}

STDMETHODIMP CRendererFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IAMFilterMiscFlags)) return GetInterface(static_cast<IAMFilterMiscFlags*>(this), ppv);
  return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP_(ULONG) CRendererFilter::GetMiscFlags() { return AM_FILTER_MISC_FLAGS_IS_RENDERER; }
