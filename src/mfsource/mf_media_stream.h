// CMfMediaStream: the camera source's one video stream (IMFMediaStream2). It carries its
// own event queue and its stream descriptor; everything else (its state, the sample
// requests and their answers) belongs to the source, which it asks. RequestSample hands
// the request and its token to the source and returns at once; the answer comes later as
// MEMediaSample on this stream's queue. A camera stream never ends: no MEEndOfStream.
//
// After its source shut down (or went away) every method but the IUnknown ones answers
// MF_E_SHUTDOWN, and readers waiting on its queue are released.
//
// Ownership: reference counted; made and held by CMfMediaSource. It keeps only a plain
// pointer to its source, which the source clears (Shutdown) before it goes; GetMediaSource
// and the calls it forwards take a reference to the source only while it still has one,
// so the stream never keeps its source alive. Threading: any thread; its lock guards only
// the source pointer and is never held while it calls the source; the source calls it
// with the source's lock held (lock order: source, then stream).
#pragma once

#include <mfidl.h>
#include <mfobjects.h>

#include <atomic>

#include "com/base_object.h"
#include "com/com_ptr.h"
#include "mfsource/mf_queued_events.h"
#include "platform/annotated_lock.h"
#include "platform/mf_virtual_camera.h"

class CMfMediaSource;

class CMfMediaStream final : public CMfQueuedEvents<IMFMediaStream2> {
 public:
  // Made with one reference; E_OUTOFMEMORY or the queue's failure otherwise.
  static HRESULT Create(CMfMediaSource* source, IMFStreamDescriptor* descriptor, CMfMediaStream** stream);

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IMFMediaStream
  HRESULT STDMETHODCALLTYPE GetMediaSource(IMFMediaSource** source) override;
  HRESULT STDMETHODCALLTYPE GetStreamDescriptor(IMFStreamDescriptor** descriptor) override;
  HRESULT STDMETHODCALLTYPE RequestSample(IUnknown* token) override;
  // IMFMediaStream2
  HRESULT STDMETHODCALLTYPE SetStreamState(MF_STREAM_STATE value) override;
  HRESULT STDMETHODCALLTYPE GetStreamState(MF_STREAM_STATE* value) override;

  // For the source: posts one event on this stream's queue (value may be null; unknown,
  // when not null, is the event's IUnknown value).
  HRESULT Post(MediaEventType type, HRESULT status, const PROPVARIANT* value, IUnknown* unknown = nullptr);
  // Shuts the queue down (waiting readers are released) and forgets the source.
  void Shutdown();

 private:
  CMfMediaStream(CMfMediaSource* source, IMFStreamDescriptor* descriptor, CComPtr<IMFMediaEventQueue> queue);
  ~CMfMediaStream() = default;
  // The source with a reference of the caller's, or empty when it shut down or is going.
  CComPtr<CMfMediaSource> Source();

  // Counts this object among the module's live ones, so the module is not unloaded while a
  // host still holds it (a host may keep the source and drop the activation object).
  CBaseObject m_liveObject{L"CMfMediaStream"};
  std::atomic<ULONG> m_refs{1};
  const CComPtr<IMFStreamDescriptor> m_descriptor;
  CLock m_lock;
  CMfMediaSource* m_source GUARDED_BY(m_lock);  // not a reference; null after Shutdown
};
