// CVideoSrcFilter: the camera as a host application creates it. A source filter with one
// output stream (CVideoSrcStream, "~Capture") that carries the camera's class
// identifier, passes every state change, clock and event sink on to the stream's
// stream-control part, calls itself a source (IAMFilterMiscFlags) and answers the
// property-bag, seeking and position interfaces that capture applications probe for,
// mostly with fixed answers: a live source has nothing to seek or persist.
//
// Ownership: created by CreateInstance (the class factory's creation function);
// reference-counted through the framework's non-delegating unknown; owns its stream,
// which dies with it. Threading: state changes take the filter's state lock inside the
// framework operations; the per-stream notifications follow once those have succeeded.
// Failure: the framework's failures are passed through unchanged and the per-stream work
// is then skipped; creation reports only an allocation failure (a frame channel that
// cannot be opened still yields a working filter that shows its placeholder).
#pragma once

#include "framework/source.h"
#include "platform/dshow_types.h"

class CBaseStreamControl;
class CVideoSrcStream;

class CVideoSrcFilter : public CSource,
                        public IAMFilterMiscFlags,
                        public IPersistPropertyBag,
                        public IMediaSeeking,
                        public IMediaPosition {
 public:
  static CUnknown* WINAPI CreateInstance(IUnknown* pUnk, HRESULT* phr);
  ~CVideoSrcFilter() override;

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // IBaseFilter / IMediaFilter / IPersist (and IPersistPropertyBag's GetClassID).
  STDMETHODIMP GetClassID(CLSID* pClsID) override;
  STDMETHODIMP Stop() override;
  STDMETHODIMP Pause() override;
  STDMETHODIMP Run(REFERENCE_TIME tStart) override;
  // VFW_S_CANT_CUE while paused: a live source delivers no data until it runs.
  STDMETHODIMP GetState(DWORD dwMilliSecsTimeout, FILTER_STATE* State) override;
  STDMETHODIMP SetSyncSource(IReferenceClock* pClock) override;
  STDMETHODIMP JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) override;

  // IAMFilterMiscFlags: AM_FILTER_MISC_FLAGS_IS_SOURCE.
  STDMETHODIMP_(ULONG) GetMiscFlags() override;

  // IPersistPropertyBag: nothing is read or written.
  STDMETHODIMP InitNew() override;
  STDMETHODIMP Load(IPropertyBag* pPropBag, IErrorLog* pErrorLog) override;
  STDMETHODIMP Save(IPropertyBag* pPropBag, BOOL fClearDirty, BOOL fSaveAllProperties) override;

  // IMediaSeeking
  STDMETHODIMP GetCapabilities(DWORD* pCapabilities) override;
  STDMETHODIMP CheckCapabilities(DWORD* pCapabilities) override;
  STDMETHODIMP IsFormatSupported(const GUID* pFormat) override;
  STDMETHODIMP QueryPreferredFormat(GUID* pFormat) override;
  STDMETHODIMP GetTimeFormat(GUID* pFormat) override;
  STDMETHODIMP IsUsingTimeFormat(const GUID* pFormat) override;
  STDMETHODIMP SetTimeFormat(const GUID* pFormat) override;
  STDMETHODIMP GetDuration(LONGLONG* pDuration) override;
  STDMETHODIMP GetStopPosition(LONGLONG* pStop) override;
  STDMETHODIMP GetCurrentPosition(LONGLONG* pCurrent) override;
  STDMETHODIMP ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat, LONGLONG Source,
                                 const GUID* pSourceFormat) override;
  STDMETHODIMP SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop, DWORD dwStopFlags) override;
  STDMETHODIMP GetPositions(LONGLONG* pCurrent, LONGLONG* pStop) override;
  STDMETHODIMP GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest) override;
  STDMETHODIMP SetRate(double dRate) override;
  STDMETHODIMP GetRate(double* pdRate) override;
  STDMETHODIMP GetPreroll(LONGLONG* pllPreroll) override;

  // IDispatch (not supported) and IMediaPosition (times in seconds).
  STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
  STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override;
  STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                      VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;
  STDMETHODIMP get_Duration(REFTIME* plength) override;
  STDMETHODIMP put_CurrentPosition(REFTIME llTime) override;
  STDMETHODIMP get_CurrentPosition(REFTIME* pllTime) override;
  STDMETHODIMP get_StopTime(REFTIME* pllTime) override;
  STDMETHODIMP put_StopTime(REFTIME llTime) override;
  STDMETHODIMP get_PrerollTime(REFTIME* pllTime) override;
  STDMETHODIMP put_PrerollTime(REFTIME llTime) override;
  STDMETHODIMP put_Rate(double dRate) override;
  STDMETHODIMP get_Rate(double* pdRate) override;
  STDMETHODIMP CanSeekForward(LONG* pCanSeekForward) override;
  STDMETHODIMP CanSeekBackward(LONG* pCanSeekBackward) override;

  // The one stream (for tests and hosts inside the module).
  CVideoSrcStream* Stream();

 private:
  CVideoSrcFilter(IUnknown* pUnk, HRESULT* phr);
  // The stream-control part of stream n (below GetPinCount).
  CBaseStreamControl* StreamControl(int n);
};
