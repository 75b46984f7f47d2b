#include "support/scripted_renderer_filter.h"

#include <memory>
#include <new>

namespace testing_support {

namespace {

std::unique_ptr<CRendererInputPin> MakeScriptedPin(CRendererFilter* filter, CRecursiveLock* lock) {
  return std::unique_ptr<CRendererInputPin>(new (std::nothrow) CScriptedRendererInputPin(filter, lock, L"In"));
}

}  // namespace

CScriptedRendererFilter::CScriptedRendererFilter() : CRendererFilter(MakeScriptedPin) {}

CScriptedRendererFilter* CScriptedRendererFilter::Create() {
  return static_cast<CScriptedRendererFilter*>(Adopt(new (std::nothrow) CScriptedRendererFilter()));
}

STDMETHODIMP CScriptedRendererFilter::Stop() {
  const HRESULT hr = CRendererFilter::Stop();
  Record(State_Stopped, hr);
  return hr;
}

STDMETHODIMP CScriptedRendererFilter::Pause() {
  const HRESULT hr = CRendererFilter::Pause();
  Record(State_Paused, hr);
  return hr;
}

STDMETHODIMP CScriptedRendererFilter::Run(REFERENCE_TIME tStart) {
  const HRESULT hr = CRendererFilter::Run(tStart);
  Record(State_Running, hr);
  return hr;
}

void CScriptedRendererFilter::Record(FILTER_STATE requested, HRESULT result) {
  std::lock_guard<std::mutex> hold(m_recordLock);
  try {
    m_stateChanges.push_back(StateChange{requested, result});
  } catch (const std::bad_alloc&) {
    // The state change itself has happened; only its record is missing.
  }
}

std::vector<CScriptedRendererFilter::StateChange> CScriptedRendererFilter::StateChanges() const {
  std::lock_guard<std::mutex> hold(m_recordLock);
  return m_stateChanges;
}

}  // namespace testing_support
