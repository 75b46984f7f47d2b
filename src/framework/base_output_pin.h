// CBaseOutputPin: an output pin that, once a type is agreed, obtains a buffer allocator
// (the downstream pin's, or its own CMemAllocator), lets the derived class fix buffer
// count and size (DecideBufferSize), commits and decommits the allocator with the
// filter's state, and forwards samples and stream notifications downstream.
//
//   HRESULT CMyPin::DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) {
//     request->cBuffers = 2;  request->cbBuffer = frameBytes;
//     ALLOCATOR_PROPERTIES actual;
//     return allocator->SetProperties(request, &actual);
//   }
//   // on the streaming thread:
//   CComPtr<IMediaSample> sample;
//   if (SUCCEEDED(GetDeliveryBuffer(sample.Receive(), nullptr, nullptr, 0))) Deliver(sample.Get());
//
// Ownership: holds one reference on the allocator and one on the downstream pin's
// IMemInputPin while connected; BreakConnect drops both (after decommitting).
// Threading: connection changes run under the pin lock (see CBasePin). The delivery
// operations take no lock: they run on the streaming thread while the connection is
// stable (connections are refused while the filter is active).
#pragma once

#include "framework/base_pin.h"
#include "platform/annotated_lock.h"

class CBaseOutputPin : public CBasePin {
 public:
  CBaseOutputPin(const WCHAR* pObjectName, CBaseFilter* pFilter, CRecursiveLock* pLock, HRESULT* phr,
                 LPCWSTR pName);
  ~CBaseOutputPin() override;

  // The output pin neither receives stream notifications nor flushes: E_UNEXPECTED.
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;

  // Direction check, then the peer's IMemInputPin is kept.
  HRESULT CheckConnect(IPin* pPin) override;
  // Decommits and drops the allocator, drops the peer's IMemInputPin. A decommit failure
  // is returned and nothing is dropped.
  HRESULT BreakConnect() override;
  // DecideAllocator.
  HRESULT CompleteConnect(IPin* pReceivePin) override;
  // Commits the allocator; VFW_E_NO_ALLOCATOR without one.
  HRESULT Active() override;
  // Decommits the allocator; VFW_E_NO_ALLOCATOR without one.
  HRESULT Inactive() override;

  // The downstream allocator if DecideBufferSize and NotifyAllocator accept it, else the
  // pin's own; the last failure when neither is accepted.
  virtual HRESULT DecideAllocator(IMemInputPin* pPin, IMemAllocator** ppAlloc);
  virtual HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* ppropInputRequest) = 0;
  virtual HRESULT GetDeliveryBuffer(IMediaSample** ppSample, REFERENCE_TIME* pStartTime, REFERENCE_TIME* pEndTime,
                                    DWORD dwFlags);
  // The downstream Receive; the caller keeps its own reference on the sample.
  virtual HRESULT Deliver(IMediaSample* pSample);
  // The pin's own standard memory allocator, constructed directly.
  virtual HRESULT InitAllocator(IMemAllocator** ppAlloc);
  virtual HRESULT DeliverEndOfStream();
  virtual HRESULT DeliverBeginFlush();
  virtual HRESULT DeliverEndFlush();
  virtual HRESULT DeliverNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);

  IMemAllocator* Allocator() const { return m_pAllocator.Get(); }

 protected:
  CComPtr<IMemAllocator> m_pAllocator;
  CComPtr<IMemInputPin> m_pInputPin;
};
