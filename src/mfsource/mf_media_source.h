// CMfMediaSource: the camera as a Media Foundation media source (IMFMediaSourceEx,
// IMFGetService, IKsControl) with one video stream (CMfMediaStream), every picture made by
// a CFrameComposer from the shared region: the producer's frame (copied, or letterboxed
// when the sizes differ, with the logo when the producer asks for it), or the "please
// start" placeholder while no producer delivers.
//
// Where frames come from (MfHostContext, decided when the source is made): in an
// application's own process, the channel of its session, opened at Start and never
// created (while there is none the placeholder is shown and the channel is looked for
// again at most once every kChannelRetry); in the camera service (session 0), the bridge
// agent of a user's session through a CMfBridgeClient that lives from Start to Stop, its
// frames already composed at the negotiated type, and the placeholder whenever it has none.
// Making the source touches no channel object and decodes no picture.
//
// Formats: those of MfFormatList (the producer's size last seen on the user's side,
// ReadLastProducerSize, then the ladder), every stream with the attributes a frame-server camera carries
// (capture category, stream id 0, shared, colour frames). States: stopped → Start →
// started → Stop → stopped, any number of times. Start posts MENewStream (the first
// time) or MEUpdatedStream and then MESourceStarted on the source's queue, and
// MEStreamStarted on the stream's; the start time (MFGetSystemTime) is the value of both
// started events. A started stream has one entry in the producer's client table; Stop
// withdraws it and posts MEStreamStopped (stream) and MESourceStopped (source). Pause is
// refused with MF_E_INVALID_STATE_TRANSITION: a camera neither pauses nor seeks, and its
// video stream never ends (no MEEndOfStream).
//
// Samples: every RequestSample of the running stream is answered by one MEMediaSample at
// the next frame deadline of the selected rate (a reader that asks faster gets frames at
// that rate; one that falls more than a frame behind is not given a burst). A sample is
// an MFCreateSample with one MFCreate2DMediaBuffer, time-stamped with MFGetSystemTime and
// the frame duration in 100 ns, and carries the request's token as MFSampleExtension_Token
// unless that token was null. A frame that cannot be made is reported as MEError on the
// stream. Stop drops the requests not yet answered.
//
// Shutdown: every method but the IUnknown ones answers MF_E_SHUTDOWN afterwards; readers
// waiting on either queue are released, a request being waited on is dropped and the
// delivery thread has ended when Shutdown returns. The queues are shut down and the
// caller's objects (callbacks, queued events, tokens, attribute values) let go with no
// lock held, so whatever their release does may call the source again. Releasing the last reference without
// Shutdown shuts down too (the stream holds no reference to the source, so nothing keeps
// a forgotten source alive). IMFGetService has no services; IKsControl knows no property,
// method or event set (HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND)).
//
// Ownership: reference counted (made with one reference); owns the stream, both attribute
// stores, the descriptor, the frame feed (CMfFrameFeed: channel or bridge client, pictures) and the delivery thread (made
// by the first Start, so that a source that is only asked for its formats stays cheap).
// The caller has started Media Foundation (MFStartup) and keeps it started while the
// source lives. Threading: any thread. m_lock guards the state, the composer and
// delivery, and is never held while the caller's objects are released or asked anything
// (Start reads the caller's descriptor before taking it); the delivery thread holds it while it makes a sample, so Stop and Shutdown
// wait for at most one frame's work; every wait for a deadline releases it and is cut
// short by Stop and Shutdown. Lock order: source, then stream.
#pragma once

// ks.h must come before ksproxy.h: it holds the kernel-streaming types ksproxy.h uses.
// clang-format off
#include <mfidl.h>
#include <ks.h>
#include <ksproxy.h>
// clang-format on

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "com/base_object.h"
#include "com/com_ptr.h"
#include "composer/frame_pacer.h"
#include "mfsource/mf_format_list.h"
#include "mfsource/mf_frame_feed.h"
#include "mfsource/mf_queued_events.h"
#include "platform/annotated_lock.h"
#include "platform/mf_virtual_camera.h"

class CMfMediaStream;

class CMfMediaSource final : public CMfQueuedEvents<IMFMediaSourceEx>, public IMFGetService, public IKsControl {
 public:
  // Builds the descriptor and the stream; the channel (or the bridge) and the pictures
  // installed beside the module that holds this code are reached at the first Start.
  // S_OK and one reference in
  // *source, or a failure and null.
  static HRESULT Create(CMfMediaSource** source);
  // The same with the pictures of the installation under root (a folder ending in a
  // separator; empty: no pictures, so a frame without a producer is black).
  static HRESULT Create(const std::wstring& picturesRoot, CMfMediaSource** source);

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
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

  // For the stream. A reference, unless the last one is already gone (then false and none
  // is taken).
  bool TryAddRef();
  // Queues one sample request of the stream (token may be null): S_OK, MF_E_SHUTDOWN, or
  // MF_E_MEDIA_SOURCE_WRONGSTATE while the stream does not run.
  HRESULT RequestSample(IUnknown* token);
  // The stream's state; running only between Start and Stop. Setting it to stopped
  // while started stops the stream (its client entry is withdrawn, its requests
  // dropped), running starts it again; paused is refused.
  HRESULT SetStreamState(MF_STREAM_STATE state);
  HRESULT GetStreamState(MF_STREAM_STATE* state);

 private:
  // Requests waiting for their frame, at most; more are refused with MF_E_NOTACCEPTING.
  static constexpr std::size_t kMaxPendingRequests = 64;
  using SpentTokens = std::array<CComPtr<IUnknown>, kMaxPendingRequests>;
  CMfMediaSource() = default;
  ~CMfMediaSource();
  HRESULT Init(const std::wstring& picturesRoot);
  // What shutting down leaves for the caller to finish once it has let go of the lock:
  // the delivery thread to join, the queues to shut down (which releases the callbacks and
  // events they hold: objects of the caller's, whose release may call this source again)
  // and the objects the source no longer keeps.
  struct ShutdownWork {
    std::thread delivery;
    CComPtr<CMfMediaStream> stream;
    CComPtr<IMFPresentationDescriptor> descriptor;
    CComPtr<IMFAttributes> attributes;
    CComPtr<IMFAttributes> streamAttributes;
    SpentTokens spentTokens;
  };
  ShutdownWork ShutdownLocked() REQUIRES(m_lock);
  // Without the lock: joins the thread, shuts both queues down, drops the rest.
  void FinishShutdown(ShutdownWork work) EXCLUDES(m_lock);
  static void JoinDelivery(std::thread thread);
  // Runs or stops the stream: the client entry, pending requests and the pacing.
  void RunStreamLocked() REQUIRES(m_lock);
  void StopStreamLocked() REQUIRES(m_lock);
  // A token the source is done with (answered, or dropped by Stop) is kept until a
  // caller's thread takes it with TakeSpentTokensLocked and releases it outside the lock:
  // the delivery thread never runs the caller's last Release of a token, which could end
  // this source under it.
  void KeepSpentTokenLocked(CComPtr<IUnknown> token) REQUIRES(m_lock);
  SpentTokens TakeSpentTokensLocked() REQUIRES(m_lock);
  // The delivery thread: answers the pending requests at their frame deadlines.
  void DeliveryLoop();
  HRESULT DeliverLocked(IUnknown* token) REQUIRES(m_lock);

  // Counts this object among the module's live ones, so the module is not unloaded while a
  // host still holds it (a host may keep the source and drop the activation object).
  CBaseObject m_liveObject{L"CMfMediaSource"};
  std::atomic<ULONG> m_refs{1};
  CLock m_lock;
  std::condition_variable_any m_wake;  // state, requests or format changed
  enum class State { kStopped, kStarted, kShutdown };
  State m_state GUARDED_BY(m_lock) = State::kStopped;
  CComPtr<IMFPresentationDescriptor> m_descriptor GUARDED_BY(m_lock);
  CComPtr<IMFAttributes> m_attributes GUARDED_BY(m_lock);
  CComPtr<IMFAttributes> m_streamAttributes GUARDED_BY(m_lock);
  CComPtr<CMfMediaStream> m_stream GUARDED_BY(m_lock);
  std::vector<MfFormat> m_formats GUARDED_BY(m_lock);
  MfFormat m_format GUARDED_BY(m_lock);
  bool m_streamAnnounced GUARDED_BY(m_lock) = false;  // MENewStream was sent
  bool m_streamRunning GUARDED_BY(m_lock) = false;
  std::deque<CComPtr<IUnknown>> m_requests GUARDED_BY(m_lock);  // tokens; null ones too
  SpentTokens m_spentTokens GUARDED_BY(m_lock);
  std::size_t m_spentCount GUARDED_BY(m_lock) = 0;
  CFramePacer m_pacer GUARDED_BY(m_lock);
  std::optional<CFramePacer::Clock::time_point> m_due GUARDED_BY(m_lock);  // of the first request
  std::thread m_delivery GUARDED_BY(m_lock);
  // The pictures, from the channel or the bridge agent; made by Init.
  std::unique_ptr<CMfFrameFeed> m_feed GUARDED_BY(m_lock);
};
