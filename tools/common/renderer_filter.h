// CRendererFilter: the host-side renderer that the capture tool connects a video source
// to. It has one input pin, "In" (CRendererInputPin), which takes the samples and records
// them; the filter itself is the plain stopped / paused / running state machine of
// CBaseFilter.
//
//   CRendererFilter* renderer = CRendererFilter::Create();
//   graph->AddFilter(renderer->Filter(), L"Renderer");
//   graph->ConnectDirect(sourceOutput, renderer->Pin(), nullptr);
//   control->Run();  renderer->InputPin()->WaitForSamples(25, 2s);  control->Stop();
//   graph->RemoveFilter(renderer->Filter());
//   renderer->Release();
//
// End of stream reaches the graph's event sink as EC_COMPLETE (through the pin), so a
// host that joined the filter to a graph learns when the source has finished. The filter
// calls itself a renderer (IAMFilterMiscFlags), which is how a graph manager knows to wait
// for its completion before it tells the application that the graph completed.
//
// A derived filter may give the filter another kind of input pin (derived from
// CRendererInputPin) through the protected constructor.
//
// Ownership: Create returns the filter with one reference (the caller's). The filter owns
// its state lock and its pin; the pin shares the filter's reference count. A connected
// peer holds a reference on the filter, so both sides must be disconnected before the
// last release. Threading: state changes and connections under the state lock.
// Failure: Create returns null when memory runs out.
#pragma once

#include <memory>
#include <mutex>

#include "common/renderer_input_pin.h"
#include "framework/base_filter.h"
#include "platform/annotated_lock.h"

class CRendererFilter : public CBaseFilter, public IAMFilterMiscFlags {
 public:
  static CRendererFilter* Create();

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
  // IAMFilterMiscFlags: AM_FILTER_MISC_FLAGS_IS_RENDERER.
  STDMETHODIMP_(ULONG) GetMiscFlags() override;

  int GetPinCount() override { return 1; }
  CBasePin* GetPin(int n) override;

  CRendererInputPin* InputPin() { return m_pPin.get(); }
  IPin* Pin() { return static_cast<IPin*>(m_pPin.get()); }
  IBaseFilter* Filter() { return static_cast<IBaseFilter*>(this); }

 protected:
  // Makes the filter's input pin, named "In", for `filter` and its state lock `lock`; null
  // when memory runs out.
  using PinMaker = std::unique_ptr<CRendererInputPin> (*)(CRendererFilter* filter, CRecursiveLock* lock);

  explicit CRendererFilter(PinMaker makePin);
  // Gives the reference of a filter just made to its creator; null (the filter deleted)
  // when it has no pin.
  static CRendererFilter* Adopt(CRendererFilter* filter);

 private:
  CRecursiveLock m_lock;
  std::unique_ptr<CRendererInputPin> m_pPin;
};
