// CMfMediaStream: the camera source's one video stream (IMFMediaStream2). It carries its
// own event queue; the source starts, stops and shuts it down and hands it the samples it
// asked for. RequestSample passes the request (and its token) to the source, which
// answers with one MEMediaSample on this stream's queue before RequestSample returns. A
// camera stream never ends: no MEEndOfStream is sent.
//
// After Shutdown (its own source's) every method but the IUnknown ones returns
// MF_E_SHUTDOWN.
//
// Ownership: reference counted; made and held by CMfMediaSource. It keeps only a plain
// pointer to its source, which the source clears before it goes (Detach); GetMediaSource
// and RequestSample take a reference to the source only while it still has one.
// Threading: any thread; its lock is never held while it calls the source, and the source
// may call it with the source's lock held (lock order: source, then stream).
#pragma once

#include <mfidl.h>
#include <mfobjects.h>

#include <atomic>

#include "platform/annotated_lock.h"
#include "platform/mf_virtual_camera.h"

class CMfMediaSource;

class CMfMediaStream final : public IMFMediaStream2 {
 public:
  // Made with one reference; E_OUTOFMEMORY or the queue's failure otherwise.
  static HRESULT Create(CMfMediaSource* source, IMFStreamDescriptor* descriptor, CMfMediaStream** stream);

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
  // IMFMediaStream
  HRESULT STDMETHODCALLTYPE GetMediaSource(IMFMediaSource** source) override;
  HRESULT STDMETHODCALLTYPE GetStreamDescriptor(IMFStreamDescriptor** descriptor) override;
  HRESULT STDMETHODCALLTYPE RequestSample(IUnknown* token) override;
  // IMFMediaStream2
  HRESULT STDMETHODCALLTYPE SetStreamState(MF_STREAM_STATE value) override;
  HRESULT STDMETHODCALLTYPE GetStreamState(MF_STREAM_STATE* value) override;

  // Called by the source (its lock held).
  // Running; queues MEStreamStarted carrying the start time.
  HRESULT Start(const PROPVARIANT* startTime);
  // Stopped; queues MEStreamStopped.
  HRESULT Stop();
  // Queues the sample as MEMediaSample.
  HRESULT DeliverSample(IMFSample* sample);
  // Shuts the queue down (waiting readers are released) and forgets the source.
  void Shutdown();
  // Forgets the source (it is going away) without shutting down.
  void Detach();

 private:
  CMfMediaStream(CMfMediaSource* source, IMFStreamDescriptor* descriptor, IMFMediaEventQueue* queue);
  ~CMfMediaStream();
  // The source with a reference the caller releases, or null when it is gone.
  CMfMediaSource* LockedSource() REQUIRES(m_lock);

  std::atomic<ULONG> m_refs{1};
  IMFStreamDescriptor* const m_descriptor;
  IMFMediaEventQueue* const m_queue;
  CLock m_lock;
  CMfMediaSource* m_source GUARDED_BY(m_lock);
  MF_STREAM_STATE m_state GUARDED_BY(m_lock) = MF_STREAM_STATE_STOPPED;
  bool m_shutdown GUARDED_BY(m_lock) = false;
};
