// CVideoSrcStream: the camera's one output stream, the pin "~Capture", as a DirectShow
// host sees it. It offers one uncompressed RGB24 format whose size follows the
// producer's announced frame size (320 x 240 when none is announced), answers the
// capture-device interfaces (IAMStreamConfig, IKsPropertySet pin category, IAMPushSource
// with its latency, IPersistPropertyBag, IAMStreamControl) and, on its worker thread,
// fills every buffer through its CFrameComposer (the producer's newest frame copied or
// letterboxed, the placeholder while no frame is available, the logo when the producer
// asks for it), and stamps times, media times and sample flags.
//
//   HRESULT hr = S_OK;
//   auto* stream = new CVideoSrcStream(&hr, filter, L"~Capture");  // the filter owns it
//   // The graph connects the pin; Active() starts the worker, which calls FillBuffer
//   // once per buffer: pace, adopt a type attached to the sample, describe the sample's
//   // buffer as an OutputPicture, compose into it, stamp it.
//
// Pacing: frames are due one interval apart on a deadline chain (CFramePacer), so the
// delivered rate is the advertised one whatever a frame's work costs. Each start of
// streaming takes the interval from the connection type's AvgTimePerFrame (40 ms when
// it gives none between 10 ms and 1 s); quality messages change it while streaming. The
// interval is kept in milliseconds (the sample times use it) and, for the pacing, also
// exactly as the type gives it.
//
// Formats: whatever position 0 offers (the producer's announced size, whatever its
// shape) is accepted by CheckMediaType and SetFormat; every other size keeps the range
// 160 x 120 up to 640 x 480, or up to the announced size when that is larger both ways.
// SetFormat while connected records and fixes the new type before it asks the graph to
// reconnect, so the reconnection negotiates the new type; a failed reconnection restores
// the previous type and fixing (and the connection, when the graph lost it). The graph
// is asked with none of the stream's locks held (it takes its own lock before the
// filter's in every state change).
// DecideBufferSize asks for the downstream's buffer count, at least two, so a downstream
// that keeps one sample (a tee, a renderer holding its last frame) cannot starve it.
//
// Each activation registers a fresh client identity ("<host exe>-<GUID>") in the shared
// region's client table and withdraws it on deactivation, unless the host is the
// producer application itself.
//
// Ownership: the stream belongs to its CVideoSrcFilter (it adds itself to the filter's
// stream array). It owns its channel handle and its pictures. The destructor ends the
// worker thread before anything else of the stream goes, so no hook ever runs on a
// half-destroyed stream.
//
// Threading and locks: one order everywhere — the filter's state lock first, then
// m_streamLock, then the channel's own locks and the pin's connection lock (a leaf).
// State changes, SetFormat and GetFormat run under the state lock and take m_streamLock
// inside it. The worker (FillBuffer, OnThreadCreate) takes only m_streamLock and never
// waits for the state lock, and neither do GetMediaType and CheckMediaType (so
// QueryAccept and EnumMediaTypes), which a downstream pin may call from inside Receive on
// the worker while Stop holds the state lock and waits for that worker: they take
// m_streamLock only, which no thread holds while it waits for the worker, and see
// SetFormat's changes whole. The connection type, which FillBuffer replaces when a
// sample carries a new type, is read and written under the connection lock.
// m_frameTime is atomic: quality messages change it without a lock.
//
// Failure: interface operations return status codes and never throw. A channel that
// cannot be opened sets the constructor's status to E_FAIL; the stream still works and
// shows its placeholder. Every media type that reaches the stream (proposed, set,
// attached to a sample) is untrusted: its image size is computed in 64 bits, and a type
// whose image does not fit the sample buffer is refused before any byte is written.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "channel/file_mapping.h"
#include "composer/frame_composer.h"
#include "composer/output_picture.h"
#include "composer/stream_images.h"
#include "composer/frame_pacer.h"
#include "framework/base_stream_control.h"
#include "com/com_ptr.h"
#include "framework/source_stream.h"
#include "platform/annotated_lock.h"
#include "platform/thread_annotations.h"

class CVideoSrcStream : public CSourceStream,
                        public CBaseStreamControl,
                        public IKsPropertySet,
                        public IAMStreamConfig,
                        public IAMPushSource,
                        public IPersistPropertyBag {
 public:
  static constexpr std::int32_t kDefaultWidth = 320;
  static constexpr std::int32_t kDefaultHeight = 240;
  static constexpr std::int32_t kDefaultFrameIntervalMs = 40;

  CVideoSrcStream(HRESULT* phr, CSource* pFilter, LPCWSTR pPinName);
  ~CVideoSrcStream() override;

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // Pin side.
  HRESULT Active() override;
  HRESULT Inactive() override;
  HRESULT GetMediaType(int iPosition, CMediaType* pMediaType) override;
  HRESULT CheckMediaType(const CMediaType* pMediaType) override;
  HRESULT SetMediaType(const CMediaType* pMediaType) override;
  HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pRequest) override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;
  STDMETHODIMP Notify(IBaseFilter* pSelf, Quality q) override;

  // IKsPropertySet
  STDMETHODIMP Set(REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData, DWORD cbInstanceData, LPVOID pPropData,
                   DWORD cbPropData) override;
  STDMETHODIMP Get(REFGUID guidPropSet, DWORD dwPropID, LPVOID pInstanceData, DWORD cbInstanceData, LPVOID pPropData,
                   DWORD cbPropData, DWORD* pcbReturned) override;
  STDMETHODIMP QuerySupported(REFGUID guidPropSet, DWORD dwPropID, DWORD* pTypeSupport) override;

  // IAMStreamConfig
  STDMETHODIMP SetFormat(AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP GetFormat(AM_MEDIA_TYPE** ppmt) override;
  STDMETHODIMP GetNumberOfCapabilities(int* piCount, int* piSize) override;
  STDMETHODIMP GetStreamCaps(int iIndex, AM_MEDIA_TYPE** ppmt, BYTE* pSCC) override;

  // IAMPushSource (with IAMLatency)
  STDMETHODIMP GetLatency(REFERENCE_TIME* prtLatency) override;
  STDMETHODIMP GetPushSourceFlags(ULONG* pFlags) override;
  STDMETHODIMP SetPushSourceFlags(ULONG Flags) override;
  STDMETHODIMP SetStreamOffset(REFERENCE_TIME rtOffset) override;
  STDMETHODIMP GetStreamOffset(REFERENCE_TIME* prtOffset) override;
  STDMETHODIMP GetMaxStreamOffset(REFERENCE_TIME* prtMaxOffset) override;
  STDMETHODIMP SetMaxStreamOffset(REFERENCE_TIME rtMaxOffset) override;

  // IPersistPropertyBag (nothing is read or written)
  STDMETHODIMP GetClassID(CLSID* pClassID) override;
  STDMETHODIMP InitNew() override;
  STDMETHODIMP Load(IPropertyBag* pPropBag, IErrorLog* pErrorLog) override;
  STDMETHODIMP Save(IPropertyBag* pPropBag, BOOL fClearDirty, BOOL fSaveAllProperties) override;

  // For tests and benchmarks: skip the pacing sleep before each frame (off by default).
  void SkipPacing(bool skip) { m_skipPacing.store(skip); }
  // For tests: the stream's pictures (placeholder and logo may be replaced before
  // streaming starts) and its current state.
  CStreamImages& Images() { return m_images; }
  std::wstring ClientName();
  // The frame interval in whole milliseconds (m_frameTime rounded).
  std::int32_t FrameInterval() const;
  std::int32_t Width();
  std::int32_t Height();

 protected:
  HRESULT FillBuffer(IMediaSample* pSample) override;
  HRESULT OnThreadCreate() override;

 private:
  // FillBuffer's steps. Pace: sleeps until the frame is due (without the lock).
  void Pace();
  // A media type attached to the sample becomes the connection type (and the stream's
  // size); *attached receives the sample's copy (or null). S_OK, or E_UNEXPECTED for a
  // type the stream cannot deliver.
  HRESULT AdoptAttachedType(IMediaSample* pSample, AM_MEDIA_TYPE** attached) REQUIRES(m_streamLock);
  // The sample's buffer as the picture the connection type describes; E_UNEXPECTED when
  // it has no buffer or the picture does not fit it.
  HRESULT DescribeBuffer(IMediaSample* pSample, OutputPicture* picture) REQUIRES(m_streamLock);
  // One frame into the picture: S_OK, E_OUTOFMEMORY, or E_UNEXPECTED.
  HRESULT Compose(const OutputPicture& picture) REQUIRES(m_streamLock);
  // Data length, flags, times, media times and the extended properties of the sample.
  HRESULT Stamp(IMediaSample* pSample, const OutputPicture& picture, AM_MEDIA_TYPE* attached) REQUIRES(m_streamLock);
  // The producer's announced size when it is one a frame can have, else (0, 0).
  std::pair<std::int32_t, std::int32_t> AnnouncedSize();
  // The offered format (position 0 without a fixed format) into pMediaType.
  HRESULT FillOfferedType(CMediaType* pMediaType, std::int32_t width, std::int32_t height);
  // A connected pin's format change between its recording and the graph's reconnection.
  struct CPendingReconnect {
    CComPtr<IPin> peer;  // empty: no reconnection is needed
    CMediaType wanted;     // as recorded
    CMediaType previous;
    std::int32_t previousFormatSet = 0;
  };
  // SetFormat's work under the state lock and m_streamLock. A connected pin's new type is
  // recorded and fixed, and pending says what the graph must reconnect.
  HRESULT SetFormatLocked(AM_MEDIA_TYPE* pmt, CPendingReconnect* pending) REQUIRES(m_streamLock);
  // Asks the peer, records and fixes type, fills pending (the caller holds both locks).
  HRESULT RecordConnectedFormat(const CMediaType* type, CPendingReconnect* pending) REQUIRES(m_streamLock);
  // After the graph's reconnection (reconnected is its answer): keeps the new type when
  // both pins carry it, else restores the previous type, fixing and connection. Takes
  // both locks.
  HRESULT CompleteReconnect(const CPendingReconnect& pending, HRESULT reconnected);
  // The interval (rounded to milliseconds) and the exact pause from one frame time.
  void SetPace(REFERENCE_TIME frameTime);
  // Ends the worker thread if one runs (used by the destructor).
  void EndWorker();
  CRecursiveLock& StateLock();

  // m_streamLock guards the stream's own fields; the channel has its own locks, the
  // pacer belongs to the worker and the atomics need none.
  CRecursiveLock m_streamLock ACQUIRED_AFTER(m_pLock) ACQUIRED_BEFORE(m_connectionLock);
  std::int32_t m_formatSet GUARDED_BY(m_streamLock) = 0;
  CFileMapping m_channel;
  CStreamImages m_images GUARDED_BY(m_streamLock);
  // The frame path: client presence, copy / letterbox / placeholder / logo.
  CFrameComposer m_composer GUARDED_BY(m_streamLock){m_channel, m_images};
  std::int32_t m_height GUARDED_BY(m_streamLock) = kDefaultHeight;
  std::int32_t m_width GUARDED_BY(m_streamLock) = kDefaultWidth;
  std::int32_t m_bufferSize GUARDED_BY(m_streamLock) = 0;
  std::int64_t m_frameNumber GUARDED_BY(m_streamLock) = 0;
  const std::int32_t m_defaultFrameInterval = kDefaultFrameIntervalMs;
  std::int64_t m_lastStart GUARDED_BY(m_streamLock) = 0;
  std::int64_t m_lastStop GUARDED_BY(m_streamLock) = 0;
  std::atomic<bool> m_skipPacing{false};
  CFramePacer m_pacer;  // the worker's only (OnThreadCreate, FillBuffer)
  // The pause between frames in 100-ns units, unrounded, so that a rate such as 30
  // frames a second (333,333) is paced exactly; sample times use it rounded to whole
  // milliseconds (FrameInterval).
  std::atomic<REFERENCE_TIME> m_frameTime{kDefaultFrameIntervalMs * 10000};
};
