// CBasePin: the generic pin. It answers IPin and IQualityControl, agrees a media type
// with a peer pin, keeps the agreed type and the peer, and records the current segment.
//
//   CComPtr<IPin> peer;
//   if (pin->ConnectedTo(peer.Receive()) == S_OK) Use(peer.Get());   // with a reference
//   CMediaType type;
//   pin->CopyConnectionType(&type);                                  // from any thread
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
// Threading: the pin lock is the owning filter's state lock. Connection changes and
// SetSink take it; QueryPinInfo, QueryDirection, QueryAccept, EnumMediaTypes,
// ConnectionMediaType and NewSegment do not, so a downstream pin may call them from inside
// Receive on the streaming thread while a state change holds the pin lock and waits for
// that thread. The connection type and the connected pin are also guarded by
// m_connectionLock, a leaf lock (nothing is called under it that takes another lock):
// every write of either takes it, and readers that do not hold the pin lock copy under
// it (CopyConnectionType, ConnectedTo, ConnectionMediaType), because a streaming thread may replace the
// connection type while host threads read it. The peer's last reference is released
// outside it. Lock order: the pin lock, then any lock of a derived pin, then
// m_connectionLock. The media type version changes atomically.
#pragma once

#include <atomic>
#include <mutex>

#include "platform/annotated_lock.h"
#include "com/com_ptr.h"
#include "framework/media_type.h"
#include "com/unknown.h"
#include "platform/dshow_types.h"

class CBaseFilter;

class CBasePin : public CUnknown, public IPin, public IQualityControl {
 public:
  CBasePin(const WCHAR* pObjectName, CBaseFilter* pFilter, CRecursiveLock* pLock, HRESULT* phr,
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

  bool IsConnected() const { return m_Connected.load() != nullptr; }
  // The connected pin without a reference; for a caller that holds the pin lock (only
  // connection changes, under that lock, can release it).
  IPin* GetConnected() const { return m_Connected.load(); }
  PIN_DIRECTION Direction() const { return m_dir; }
  const WCHAR* Name() const { return m_pName; }
  // The connection type in place; only while nothing can replace it (no worker runs and
  // the caller holds the pin lock). Any other reader uses CopyConnectionType.
  const CMediaType& CurrentMediaType() const { return m_mt; }
  // A deep copy of the connection type, taken under m_connectionLock; from any thread.
  HRESULT CopyConnectionType(CMediaType* pType) const;
  bool IsStopped() const;
  REFERENCE_TIME CurrentStartTime() const { return m_tStart; }
  REFERENCE_TIME CurrentStopTime() const { return m_tStop; }
  double CurrentRate() const { return m_dRate; }

 protected:
  HRESULT AgreeMediaType(IPin* pReceivePin, const CMediaType* pmt);
  HRESULT TryMediaTypes(IPin* pReceivePin, const CMediaType* pmt, IEnumMediaTypes* pEnum);
  HRESULT AttemptConnection(IPin* pReceivePin, const CMediaType* pmt);
  // Records pPin (with a reference) as the connected pin.
  void SetConnected(IPin* pPin);
  // Drops the peer reference, if any (released outside m_connectionLock).
  void ClearConnected();

  WCHAR* m_pName = nullptr;
  // Written under m_connectionLock; read without it where only the pin lock's holder
  // could change it. m_connectedPeer holds the reference on the same pin (only under
  // m_connectionLock).
  std::atomic<IPin*> m_Connected{nullptr};
  CComPtr<IPin> m_connectedPeer;
  const PIN_DIRECTION m_dir;
  CRecursiveLock* const m_pLock;
  bool m_bRunTimeError = false;
  bool m_bCanReconnectWhenActive = false;
  bool m_bTryMyTypesFirst = false;
  CBaseFilter* const m_pFilter;
  IQualityControl* m_pQSink = nullptr;
  std::atomic<LONG> m_TypeVersion{1};
  // Guards m_mt and changes of m_Connected; a leaf.
  mutable CLock m_connectionLock ACQUIRED_AFTER(m_pLock);
  CMediaType m_mt;
  REFERENCE_TIME m_tStart = 0;
  REFERENCE_TIME m_tStop = 0x7FFFFFFFFFFFFFFFLL;
  double m_dRate = 1.0;
};
