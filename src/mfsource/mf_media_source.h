// CMfMediaSource: the camera as a Media Foundation media source (IMFMediaSourceEx,
// IMFGetService, IKsControl) with one video stream (CMfMediaStream), filled from the
// shared region through a CFrameComposer.
//
// It offers the formats of MfFormatList (the producer's size as announced when the source
// was made, then the ladder), every one with the stream attributes a frame-server camera
// carries (capture category, stream id 0, shared, colour frames). States: stopped →
// Start → started → Stop → stopped, any number of times. Start posts MENewStream (the
// first time) or MEUpdatedStream and MESourceStarted on the source's queue and
// MEStreamStarted on the stream's, and registers one client entry with the producer;
// Stop posts MEStreamStopped and MESourceStopped and withdraws the entry. Pause is
// refused with MF_E_INVALID_STATE_TRANSITION (a camera cannot pause). Each RequestSample
// of the started stream gets one MEMediaSample: a frame in the selected type (RGB32
// top-down, NV12), time-stamped from MFGetSystemTime with the frame duration, carrying the
// request's token as MFSampleExtension_Token; a frame the producer cannot give is black.
// After Shutdown every method but the IUnknown ones returns MF_E_SHUTDOWN and any reader
// waiting on a queue is released. Releasing the last reference without Shutdown shuts
// down too. IMFGetService has no services; IKsControl knows no property, method or event
// set (HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND)).
//
// Ownership: reference counted (made with one reference); owns the stream, the queue,
// the descriptor and the region mapping. The caller has started Media Foundation
// (MFStartup) and keeps it started while the source lives. Threading: any thread; one
// lock serialises the state, the composer and sample delivery; event waits are outside it.
#pragma once

// ks.h must come before ksproxy.h: it holds the kernel-streaming types ksproxy.h uses.
// clang-format off
#include <mfidl.h>
#include <ks.h>
#include <ksproxy.h>
// clang-format on

#include <atomic>
#include <cstdint>

#include "channel/file_mapping.h"
#include "composer/frame_composer.h"
#include "composer/stream_images.h"
#include "mfsource/mf_format_list.h"
#include "platform/annotated_lock.h"
#include "platform/mf_virtual_camera.h"

class CMfMediaStream;

class CMfMediaSource final : public IMFMediaSourceEx, public IMFGetService, public IKsControl {
 public:
  // Maps the region (as a consumer) and builds the descriptor and the stream.
  static HRESULT Create(CMfMediaSource** source);

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IMFMediaEventGenerator
  HRESULT STDMETHODCALLTYPE GetEvent(DWORD flags, IMFMediaEvent** event) override;
  HRESULT STDMETHODCALLTYPE BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override;
  HRESULT STDMETHODCALLTYPE EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override;
  HRESULT STDMETHODCALLTYPE QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                                       const PROPVARIANT* value) override;
  // IMFMediaSource
  HRESULT STDMETHODCALLTYPE GetCharacteristics(DWORD* characteristics) override;
  HRESULT STDMETHODCALLTYPE CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) override;
  HRESULT STDMETHODCALLTYPE Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat,
                                  const PROPVARIANT* startPosition) override;
  HRESULT STDMETHODCALLTYPE Stop() override;
  HRESULT STDMETHODCALLTYPE Pause() override;
  HRESULT STDMETHODCALLTYPE Shutdown() override;
  // IMFMediaSourceEx
  HRESULT STDMETHODCALLTYPE GetSourceAttributes(IMFAttributes** attributes) override;
  HRESULT STDMETHODCALLTYPE GetStreamAttributes(DWORD streamId, IMFAttributes** attributes) override;
  HRESULT STDMETHODCALLTYPE SetD3DManager(IUnknown* manager) override;
  // IMFGetService
  HRESULT STDMETHODCALLTYPE GetService(REFGUID service, REFIID iid, void** object) override;
  // IKsControl
  HRESULT STDMETHODCALLTYPE KsProperty(PKSPROPERTY property, ULONG propertyLength, LPVOID data, ULONG dataLength,
                                       ULONG* bytesReturned) override;
  HRESULT STDMETHODCALLTYPE KsMethod(PKSMETHOD method, ULONG methodLength, LPVOID data, ULONG dataLength,
                                     ULONG* bytesReturned) override;
  HRESULT STDMETHODCALLTYPE KsEvent(PKSEVENT event, ULONG eventLength, LPVOID data, ULONG dataLength,
                                    ULONG* bytesReturned) override;

  // A reference, unless the last one is already gone (then false and none is taken).
  bool TryAddRef();
  // Answers one sample request of the stream: composes, stamps and delivers a sample.
  HRESULT FillRequest(IUnknown* token);

 private:
  CMfMediaSource() = default;
  ~CMfMediaSource();
  HRESULT Init();
  HRESULT ShutdownLocked() REQUIRES(m_lock);
  HRESULT MakeSample(IUnknown* token, IMFSample** sample) REQUIRES(m_lock);

  std::atomic<ULONG> m_refs{1};
  CLock m_lock;
  enum class State { kStopped, kStarted, kShutdown };
  State m_state GUARDED_BY(m_lock) = State::kStopped;
  IMFMediaEventQueue* m_queue = nullptr;  // set by Init, released by the destructor
  IMFPresentationDescriptor* m_descriptor GUARDED_BY(m_lock) = nullptr;
  IMFAttributes* m_attributes GUARDED_BY(m_lock) = nullptr;
  IMFAttributes* m_streamAttributes GUARDED_BY(m_lock) = nullptr;
  CMfMediaStream* m_stream GUARDED_BY(m_lock) = nullptr;
  bool m_streamAnnounced GUARDED_BY(m_lock) = false;
  MfFormat m_format GUARDED_BY(m_lock);
  CFileMapping m_channel;
  CStreamImages m_images GUARDED_BY(m_lock);
  CFrameComposer m_composer GUARDED_BY(m_lock){m_channel, m_images};
};
