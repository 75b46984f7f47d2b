// CBasePin: the generic pin. It answers IPin and IQualityControl, agrees a media type
// with a peer pin, keeps the agreed type and the peer, and records the current segment.
//
// Connecting (Connect, as the connecting pin, or ReceiveConnection, as the receiving
// one) runs CheckConnect → CheckMediaType → SetMediaType → the peer's ReceiveConnection
// → CompleteConnect under the pin lock; a failure anywhere undoes the connection with
// BreakConnect and leaves the pin unconnected. A partially specified or missing type is
// agreed by trying the peer's types first, then the pin's own (unless
// m_bTryMyTypesFirst), each filtered by the partial type.
//
// Ownership: a pin's lifetime is its filter's: AddRef and Release go to the owning
// filter, which owns the pin. While connected the pin holds one reference on the peer.
// The quality sink is held without reference. The name is an owned copy.
//
// Threading: the pin lock is the owning filter's state lock. Connection changes,
// ConnectionMediaType and SetSink take it; ConnectedTo, QueryPinInfo, QueryDirection,
// QueryAccept and NewSegment read without it (connections only change while the filter
// is stopped). The media type version changes atomically.
#pragma once

#include <atomic>
#include <mutex>

#include "framework/media_type.h"
#include "framework/unknown.h"
#include "platform/dshow_types.h"

class CBaseFilter;

class CBasePin : public CUnknown, public IPin, public IQualityControl {
 public:
  CBasePin(const WCHAR* pObjectName, CBaseFilter* pFilter, std::recursive_mutex* pLock, HRESULT* phr,
           LPCWSTR pName, PIN_DIRECTION dir);
  ~CBasePin() override;

  DECLARE_IUNKNOWN
  // IPin, IQualityControl, IUnknown.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
  // Both go to the owning filter.
  STDMETHODIMP_(ULONG) NonDelegatingAddRef() override;
  STDMETHODIMP_(ULONG) NonDelegatingRelease() override;

  // IPin
  STDMETHODIMP Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP Disconnect() override;
  STDMETHODIMP ConnectedTo(IPin** pPin) override;
  STDMETHODIMP ConnectionMediaType(AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP QueryPinInfo(PIN_INFO* pInfo) override;
  STDMETHODIMP QueryDirection(PIN_DIRECTION* pPinDir) override;
  // A copy of the pin name in task memory (empty when the pin has none).
  STDMETHODIMP QueryId(LPWSTR* Id) override;
  // CheckMediaType; a failure becomes S_FALSE.
  STDMETHODIMP QueryAccept(const AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** ppEnum) override;
  STDMETHODIMP QueryInternalConnections(IPin** apPin, ULONG* nPin) override;
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override = 0;
  STDMETHODIMP EndFlush() override = 0;
  STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

  // IQualityControl
  STDMETHODIMP Notify(IBaseFilter* pSelf, Quality q) override;
  STDMETHODIMP SetSink(IQualityControl* piqc) override;

  virtual LONG GetMediaTypeVersion() { return m_TypeVersion.load(); }
  void IncrementTypeVersion() { m_TypeVersion.fetch_add(1); }
  // Called by the filter when it leaves the stopped state (connected pins only).
  virtual HRESULT Active() { return S_OK; }
  // Called by the filter when it stops (connected pins only).
  virtual HRESULT Inactive();
  virtual HRESULT Run(REFERENCE_TIME tStart);
  // S_OK accepts; anything else rejects.
  virtual HRESULT CheckMediaType(const CMediaType* pmt) = 0;
  // Records the connection type; a replacement must call it.
  virtual HRESULT SetMediaType(const CMediaType* pmt);
  virtual HRESULT CheckConnect(IPin* pPin);
  virtual HRESULT BreakConnect() { return S_OK; }
  virtual HRESULT CompleteConnect(IPin* pReceivePin);
  // The type offered at iPosition; anything but S_OK ends an enumeration.
  virtual HRESULT GetMediaType(int iPosition, CMediaType* pMediaType);

  bool IsConnected() const { return m_Connected != nullptr; }
  IPin* GetConnected() const { return m_Connected; }
  PIN_DIRECTION Direction() const { return m_dir; }
  const WCHAR* Name() const { return m_pName; }
  const CMediaType& CurrentMediaType() const { return m_mt; }
  bool IsStopped() const;
  REFERENCE_TIME CurrentStartTime() const { return m_tStart; }
  REFERENCE_TIME CurrentStopTime() const { return m_tStop; }
  double CurrentRate() const { return m_dRate; }

 protected:
  HRESULT AgreeMediaType(IPin* pReceivePin, const CMediaType* pmt);
  HRESULT TryMediaTypes(IPin* pReceivePin, const CMediaType* pmt, IEnumMediaTypes* pEnum);
  HRESULT AttemptConnection(IPin* pReceivePin, const CMediaType* pmt);
  // Drops the peer reference, if any.
  void ClearConnected();

  WCHAR* m_pName = nullptr;
  IPin* m_Connected = nullptr;
  const PIN_DIRECTION m_dir;
  std::recursive_mutex* const m_pLock;
  bool m_bRunTimeError = false;
  bool m_bCanReconnectWhenActive = false;
  bool m_bTryMyTypesFirst = false;
  CBaseFilter* const m_pFilter;
  IQualityControl* m_pQSink = nullptr;
  std::atomic<LONG> m_TypeVersion{1};
  CMediaType m_mt;
  REFERENCE_TIME m_tStart = 0;
  REFERENCE_TIME m_tStop = 0x7FFFFFFFFFFFFFFFLL;
  double m_dRate = 1.0;
};
