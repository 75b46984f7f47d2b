#include "mfsource/mf_media_stream.h"

#include <mfapi.h>
#include <mferror.h>

#include <new>

#include "mfsource/mf_media_source.h"

HRESULT CMfMediaStream::Create(CMfMediaSource* source, IMFStreamDescriptor* descriptor, CMfMediaStream** stream) {
  if (stream == nullptr) return E_POINTER;
  *stream = nullptr;
  IMFMediaEventQueue* queue = nullptr;
  const HRESULT hr = MFCreateEventQueue(&queue);
  if (FAILED(hr)) return hr;
  *stream = new (std::nothrow) CMfMediaStream(source, descriptor, queue);
  if (*stream == nullptr) {
    queue->Shutdown();
    queue->Release();
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

CMfMediaStream::CMfMediaStream(CMfMediaSource* source, IMFStreamDescriptor* descriptor, IMFMediaEventQueue* queue)
    : m_descriptor(descriptor), m_queue(queue), m_source(source) {
  m_descriptor->AddRef();
}

CMfMediaStream::~CMfMediaStream() {
  m_queue->Shutdown();
  m_queue->Release();
  m_descriptor->Release();
}

HRESULT CMfMediaStream::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IMFMediaEventGenerator || iid == IID_IMFMediaStream ||
      iid == __uuidof(IMFMediaStream2)) {
    *object = static_cast<IMFMediaStream2*>(this);
    AddRef();
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG CMfMediaStream::AddRef() { return ++m_refs; }

ULONG CMfMediaStream::Release() {
  const ULONG refs = --m_refs;
  if (refs == 0) delete this;
  return refs;
}

HRESULT CMfMediaStream::GetEvent(DWORD flags, IMFMediaEvent** event) { return m_queue->GetEvent(flags, event); }

HRESULT CMfMediaStream::BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) {
  return m_queue->BeginGetEvent(callback, state);
}

HRESULT CMfMediaStream::EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) {
  return m_queue->EndGetEvent(result, event);
}

HRESULT CMfMediaStream::QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                                   const PROPVARIANT* value) {
  return m_queue->QueueEventParamVar(type, extendedType, status, value);
}

CMfMediaSource* CMfMediaStream::LockedSource() {
  if (m_shutdown || m_source == nullptr || !m_source->TryAddRef()) return nullptr;
  return m_source;
}

HRESULT CMfMediaStream::GetMediaSource(IMFMediaSource** source) {
  if (source == nullptr) return E_POINTER;
  *source = nullptr;
  CLockHolder<CLock> hold(m_lock);
  CMfMediaSource* held = LockedSource();
  if (held == nullptr) return MF_E_SHUTDOWN;
  *source = held;
  return S_OK;
}

HRESULT CMfMediaStream::GetStreamDescriptor(IMFStreamDescriptor** descriptor) {
  if (descriptor == nullptr) return E_POINTER;
  *descriptor = nullptr;
  CLockHolder<CLock> hold(m_lock);
  if (m_shutdown) return MF_E_SHUTDOWN;
  *descriptor = m_descriptor;
  m_descriptor->AddRef();
  return S_OK;
}

HRESULT CMfMediaStream::RequestSample(IUnknown* token) {
  CMfMediaSource* source = nullptr;
  {
    CLockHolder<CLock> hold(m_lock);
    source = LockedSource();
    if (source == nullptr) return MF_E_SHUTDOWN;
    if (m_state != MF_STREAM_STATE_RUNNING) {
      source->Release();
      return MF_E_MEDIA_SOURCE_WRONGSTATE;
    }
  }
  const HRESULT hr = source->FillRequest(token);
  source->Release();
  return hr;
}

HRESULT CMfMediaStream::SetStreamState(MF_STREAM_STATE value) {
  CLockHolder<CLock> hold(m_lock);
  if (m_shutdown) return MF_E_SHUTDOWN;
  // Only the source starts and stops the stream; the state it already has is accepted.
  return value == m_state ? S_OK : MF_E_INVALID_STATE_TRANSITION;
}

HRESULT CMfMediaStream::GetStreamState(MF_STREAM_STATE* value) {
  if (value == nullptr) return E_POINTER;
  CLockHolder<CLock> hold(m_lock);
  if (m_shutdown) return MF_E_SHUTDOWN;
  *value = m_state;
  return S_OK;
}

HRESULT CMfMediaStream::Start(const PROPVARIANT* startTime) {
  CLockHolder<CLock> hold(m_lock);
  if (m_shutdown) return MF_E_SHUTDOWN;
  m_state = MF_STREAM_STATE_RUNNING;
  return m_queue->QueueEventParamVar(MEStreamStarted, GUID_NULL, S_OK, startTime);
}

HRESULT CMfMediaStream::Stop() {
  CLockHolder<CLock> hold(m_lock);
  if (m_shutdown) return MF_E_SHUTDOWN;
  m_state = MF_STREAM_STATE_STOPPED;
  return m_queue->QueueEventParamVar(MEStreamStopped, GUID_NULL, S_OK, nullptr);
}

HRESULT CMfMediaStream::DeliverSample(IMFSample* sample) {
  CLockHolder<CLock> hold(m_lock);
  if (m_shutdown) return MF_E_SHUTDOWN;
  return m_queue->QueueEventParamUnk(MEMediaSample, GUID_NULL, S_OK, sample);
}

void CMfMediaStream::Shutdown() {
  CLockHolder<CLock> hold(m_lock);
  m_shutdown = true;
  m_source = nullptr;
  m_state = MF_STREAM_STATE_STOPPED;
  m_queue->Shutdown();
}

void CMfMediaStream::Detach() {
  CLockHolder<CLock> hold(m_lock);
  m_source = nullptr;
}
