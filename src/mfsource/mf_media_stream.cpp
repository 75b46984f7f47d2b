#include "mfsource/mf_media_stream.h"

#include <mfapi.h>
#include <mferror.h>

#include <new>
#include <utility>

#include "mfsource/mf_media_source.h"

HRESULT CMfMediaStream::Create(CMfMediaSource* source, IMFStreamDescriptor* descriptor, CMfMediaStream** stream) {
  if (stream == nullptr) return E_POINTER;
  *stream = nullptr;
  if (source == nullptr || descriptor == nullptr) return E_INVALIDARG;
  CComPtr<IMFMediaEventQueue> queue;
  const HRESULT hr = MFCreateEventQueue(queue.Receive());
  if (FAILED(hr)) return hr;
  *stream = new (std::nothrow) CMfMediaStream(source, descriptor, queue);
  if (*stream == nullptr) {
    queue->Shutdown();
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

CMfMediaStream::CMfMediaStream(CMfMediaSource* source, IMFStreamDescriptor* descriptor,
                               CComPtr<IMFMediaEventQueue> queue)
    : CMfQueuedEvents(std::move(queue)), m_descriptor(descriptor, kAddRef), m_source(source) {}

HRESULT CMfMediaStream::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IMFMediaEventGenerator || iid == IID_IMFMediaStream ||
      iid == __uuidof(IMFMediaStream2)) {
    *object = static_cast<IMFMediaStream2*>(this);
    AddRef();  // the reference QueryInterface hands to the caller
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

ULONG CMfMediaStream::AddRef() { return ++m_refs; }

ULONG CMfMediaStream::Release() {
  const ULONG refs = --m_refs;
  if (refs == 0) {
    // Readers still waiting on the queue are released; events it holds go with it.
    m_queue->Shutdown();
    delete this;
  }
  return refs;
}

// ---- IMFMediaStream, IMFMediaStream2 ----

CComPtr<CMfMediaSource> CMfMediaStream::Source() {
  CLockHolder<CLock> hold(m_lock);
  // The source clears m_source under this lock before it goes, so while the lock is held
  // the pointer is either null or a live object (perhaps one whose count reached 0).
  if (m_source == nullptr || !m_source->TryAddRef()) return {};
  return CComPtr<CMfMediaSource>(m_source, kAdoptRef);
}

HRESULT CMfMediaStream::GetMediaSource(IMFMediaSource** source) {
  if (source == nullptr) return E_POINTER;
  *source = nullptr;
  CComPtr<CMfMediaSource> held = Source();
  if (!held) return MF_E_SHUTDOWN;
  *source = held.Detach();
  return S_OK;
}

HRESULT CMfMediaStream::GetStreamDescriptor(IMFStreamDescriptor** descriptor) {
  if (descriptor == nullptr) return E_POINTER;
  *descriptor = nullptr;
  if (!Source()) return MF_E_SHUTDOWN;
  *descriptor = m_descriptor.NewReference();
  return S_OK;
}

HRESULT CMfMediaStream::RequestSample(IUnknown* token) {
  CComPtr<CMfMediaSource> source = Source();
  return source ? source->RequestSample(token) : MF_E_SHUTDOWN;
}

HRESULT CMfMediaStream::SetStreamState(MF_STREAM_STATE value) {
  CComPtr<CMfMediaSource> source = Source();
  return source ? source->SetStreamState(value) : MF_E_SHUTDOWN;
}

HRESULT CMfMediaStream::GetStreamState(MF_STREAM_STATE* value) {
  if (value == nullptr) return E_POINTER;
  CComPtr<CMfMediaSource> source = Source();
  return source ? source->GetStreamState(value) : MF_E_SHUTDOWN;
}

// ---- for the source ----

HRESULT CMfMediaStream::Post(MediaEventType type, HRESULT status, const PROPVARIANT* value, IUnknown* unknown) {
  if (unknown != nullptr) return m_queue->QueueEventParamUnk(type, GUID_NULL, status, unknown);
  return m_queue->QueueEventParamVar(type, GUID_NULL, status, value);
}

void CMfMediaStream::Shutdown() {
  {
    CLockHolder<CLock> hold(m_lock);
    m_source = nullptr;
  }
  m_queue->Shutdown();
}
