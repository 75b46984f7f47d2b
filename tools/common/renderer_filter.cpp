#include "common/renderer_filter.h"

#include <new>

namespace {

// {6D1E8B42-3C7A-4F05-B2E9-81A4C0D5F736}
const GUID CLSID_AmberlineRenderer = {0x6d1e8b42, 0x3c7a, 0x4f05, {0xb2, 0xe9, 0x81, 0xa4, 0xc0, 0xd5, 0xf7, 0x36}};

std::unique_ptr<CRendererInputPin> MakeInputPin(CRendererFilter* filter, CRecursiveLock* lock) {
  return std::unique_ptr<CRendererInputPin>(new (std::nothrow) CRendererInputPin(filter, lock, nullptr, L"In"));
}

}  // namespace

CRendererFilter::CRendererFilter(PinMaker makePin)
    : CBaseFilter(L"renderer", nullptr, &m_lock, CLSID_AmberlineRenderer), m_pPin(makePin(this, &m_lock)) {}

CRendererFilter* CRendererFilter::Adopt(CRendererFilter* filter) {
  if (filter == nullptr) return nullptr;
  if (filter->m_pPin == nullptr) {
    delete filter;
    return nullptr;
  }
  filter->AddRef();
  return filter;
}

CRendererFilter* CRendererFilter::Create() { return Adopt(new (std::nothrow) CRendererFilter(MakeInputPin)); }

CBasePin* CRendererFilter::GetPin(int n) { return n == 0 ? m_pPin.get() : nullptr; }

STDMETHODIMP CRendererFilter::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IAMFilterMiscFlags)) return GetInterface(static_cast<IAMFilterMiscFlags*>(this), ppv);
  return CBaseFilter::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP_(ULONG) CRendererFilter::GetMiscFlags() { return AM_FILTER_MISC_FLAGS_IS_RENDERER; }
