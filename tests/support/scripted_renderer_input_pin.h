// CScriptedRendererInputPin: the renderer's input pin made to behave like a slow,
// refusing or failing downstream filter, for tests of what sits upstream of it. Every
// recording of CRendererInputPin stays; the scripts add to it.
//
//   CScriptedRendererFilter* renderer = CScriptedRendererFilter::Create();
//   renderer->InputPin()->SetReceiveResult(5, S_FALSE);  // the sixth sample on is refused
//   renderer->InputPin()->HoldSamples(1);                // one buffer stays out of the pool
//
// Scripts (any thread, any time; the type and allocator ones act at the next request):
// RefuseAllTypes makes every type check fail with a given code; SetPreferredTypes gives
// the types EnumMediaTypes offers (none until then); RefuseAllocator makes GetAllocator
// answer VFW_E_NO_ALLOCATOR; SetAllocatorRequirements answers GetAllocatorRequirements
// (E_NOTIMPL until then). SetReceiveResult answers every sample from a given index on with
// a given result (recorded as such). BlockReceive makes Receive wait once the sample is
// recorded, holding it, until the block is switched off, the pin stops or a flush
// begins (answered and recorded VFW_E_WRONG_STATE / S_FALSE then). HoldSamples keeps
// references to received samples (their buffers stay out of the allocator) until
// ReleaseHeldSamples, Inactive, BeginFlush, a broken connection or destruction.
// AskUpstreamInReceive makes every Receive first ask the upstream pin, as a renderer
// checking for a format change does: QueryAccept with the connection type, the upstream
// pin's ConnectionMediaType, then a full enumeration of its types (counted by
// UpstreamQueries, refusals and failed answers by UpstreamRefusals).
//
// A source stopped while its worker is blocked in Receive waits for that worker, so such
// a source must be stopped after the renderer (or the block lifted first); held samples
// do not have that effect, since a source's stop releases a worker waiting for a buffer.
//
// Ownership: as CRendererInputPin; one reference per held sample. Threading: the scripts
// and their state live behind m_scriptLock, a leaf lock taken inside the base pin's data
// lock (Answer) and on its own, never the other way round; samples are released and the
// upstream pin asked outside it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "common/renderer_input_pin.h"
#include "com/com_ptr.h"

namespace testing_support {

class CScriptedRendererInputPin : public CRendererInputPin {
 public:
  CScriptedRendererInputPin(CBaseFilter* pFilter, CRecursiveLock* pLock, LPCWSTR pName);
  ~CScriptedRendererInputPin() override;

  STDMETHODIMP GetAllocator(IMemAllocator** ppAllocator) override;
  STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps) override;
  STDMETHODIMP Receive(IMediaSample* pSample) override;
  // S_OK while BlockReceive is on or a queue of copies is kept, else S_FALSE.
  STDMETHODIMP ReceiveCanBlock() override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;
  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT GetMediaType(int iPosition, CMediaType* pMediaType) override;
  HRESULT BreakConnect() override;
  HRESULT Active() override;
  HRESULT Inactive() override;

  // Every type check answers code (S_OK switches the refusal off).
  void RefuseAllTypes(HRESULT code);
  void SetPreferredTypes(const std::vector<CMediaType>& types);
  void RefuseAllocator(bool refuse);
  void SetAllocatorRequirements(const ALLOCATOR_PROPERTIES& props);
  // Samples from index `from` on that pass the checks are answered `result`.
  void SetReceiveResult(LONG from, HRESULT result);
  void BlockReceive(bool block);
  void AskUpstreamInReceive(bool ask);
  // Keeps references to up to `count` received samples (0 releases and stops holding).
  void HoldSamples(std::size_t count);
  void ReleaseHeldSamples();

  int UpstreamQueries() const;
  int UpstreamRefusals() const;
  int HeldSampleCount() const;
  int BlockedReceives() const;
  // Until at least count upstream queries (AskUpstreamInReceive) have completed.
  bool WaitForUpstreamQueries(int count, std::chrono::milliseconds timeout) const;
  // Until a Receive is blocked by BlockReceive.
  bool WaitForBlockedReceive(std::chrono::milliseconds timeout) const;

 protected:
  HRESULT Answer(LONG index, HRESULT result) override;
  HRESULT AfterReceive(IMediaSample* pSample, LONG index, HRESULT answer) override;

 private:
  // QueryAccept and a full type enumeration on the upstream pin (outside every lock).
  void AskUpstream();
  // Releases the held samples outside the lock.
  void DropHeldSamples();

  mutable std::mutex m_scriptLock;
  mutable std::condition_variable m_changed;

  HRESULT m_refuseCode = S_OK;
  std::vector<CMediaType> m_preferred;
  bool m_refuseAllocator = false;
  bool m_haveRequirements = false;
  ALLOCATOR_PROPERTIES m_requirements{};
  LONG m_resultFrom = -1;
  HRESULT m_resultFromOn = S_OK;
  bool m_block = false;
  bool m_askUpstream = false;
  std::size_t m_holdCount = 0;

  // The pin's state as far as the scripts need it (the base pin keeps its own).
  bool m_active = false;
  bool m_flushing = false;
  int m_blockedNow = 0;
  std::vector<CComPtr<IMediaSample>> m_held;
  int m_upstreamQueries = 0;
  int m_upstreamRefusals = 0;
};

}  // namespace testing_support
