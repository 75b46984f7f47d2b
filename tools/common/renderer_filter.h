// CRendererFilter: the host-side renderer that the capture tool and the tests connect a
// video source to. It has one input pin, "In" (CRendererInputPin), which takes the
// samples, records them and can be scripted; the filter itself is the plain
// stopped / paused / running state machine of CBaseFilter, with every state change
// (Stop, Pause, Run, including the Pause that Run makes from the stopped state) recorded
// with its result.
//
// End of stream reaches the graph's event sink as EC_COMPLETE (through the pin), so a
// host that joined the filter to a graph learns when the source has finished. The filter
// calls itself a renderer (IAMFilterMiscFlags), which is how a graph manager knows to wait
// for its completion before it tells the application that the graph completed.
//
// Ownership: Create returns the filter with one reference (the caller's). The filter owns
// its state lock and its pin; the pin shares the filter's reference count. A connected
// peer holds a reference on the filter, so both sides must be disconnected before the
// last release. Threading: state changes and connections under the state lock; the
// state records behind a small lock of their own, readable from any thread.
// Failure: Create returns null when memory runs out.
#pragma once

#include <mutex>
#include <vector>

#include "common/renderer_input_pin.h"
#include "framework/base_filter.h"

class CRendererFilter : public CBaseFilter, public IAMFilterMiscFlags {
 public:
  struct StateChange {
    FILTER_STATE requested = State_Stopped;
    HRESULT result = S_OK;
  };

  static CRendererFilter* Create();

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
  // IAMFilterMiscFlags: AM_FILTER_MISC_FLAGS_IS_RENDERER.
  STDMETHODIMP_(ULONG) GetMiscFlags() override;

  // IMediaFilter, as CBaseFilter's, recorded.
  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME tStart) override;

  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override;

  CRendererInputPin* InputPin() { return &m_pin; }
  IPin* Pin() { return static_cast<IPin*>(&m_pin); }
  IBaseFilter* Filter() { return static_cast<IBaseFilter*>(this); }
  std::vector<StateChange> StateChanges() const;

 private:
  CRendererFilter();
  void Record(FILTER_STATE requested, HRESULT result);

  std::recursive_mutex m_lock;
  CRendererInputPin m_pin;
  mutable std::mutex m_recordLock;
  std::vector<StateChange> m_stateChanges;
};
