// CScriptedRendererFilter: the host-side renderer with a scripted input pin
// (CScriptedRendererInputPin) that also records every state change (Stop, Pause, Run,
// including the Pause that Run makes from the stopped state) with its result.
//
//   CScriptedRendererFilter* renderer = CScriptedRendererFilter::Create();
//   renderer->InputPin()->BlockReceive(true);
//   ... connect, run, renderer->InputPin()->WaitForBlockedReceive(10s) ...
//   renderer->StateChanges();  // [Paused S_OK, Running S_OK, ...]
//
// Ownership, threading and failure as CRendererFilter; the state records live behind a
// small lock of their own, readable from any thread.
#pragma once

#include <mutex>
#include <vector>

#include "common/renderer_filter.h"
#include "support/scripted_renderer_input_pin.h"

namespace testing_support {

class CScriptedRendererFilter : public CRendererFilter {
 public:
  struct StateChange {
    FILTER_STATE requested = State_Stopped;
    HRESULT result = S_OK;
  };

  static CScriptedRendererFilter* Create();

  // IMediaFilter, as CBaseFilter's, recorded.
  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME tStart) override;

  CScriptedRendererInputPin* InputPin() { return static_cast<CScriptedRendererInputPin*>(CRendererFilter::InputPin()); }
  std::vector<StateChange> StateChanges() const;

 private:
  CScriptedRendererFilter();
  void Record(FILTER_STATE requested, HRESULT result);

  mutable std::mutex m_recordLock;
  std::vector<StateChange> m_stateChanges;
};

}  // namespace testing_support
