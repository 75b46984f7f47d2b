// CMfQueuedEvents<Interface>: the IMFMediaEventGenerator part of a Media Foundation object
// (a source or a stream), answered by the object's own event queue.
//
//   class CMfMediaStream final : public CMfQueuedEvents<IMFMediaStream2> { ... };
//   m_queue->QueueEventParamVar(MEStreamStarted, GUID_NULL, S_OK, &time);   // in the object
//
// The four generator methods go straight to the queue, which also answers MF_E_SHUTDOWN
// once the object has shut it down; they take no lock of the object's, so a reader waiting
// for an event never holds up the object. Ownership: the derived object sets m_queue once
// (at construction or in its start-up) and keeps it until it is destroyed. Threading: any
// thread (the queue is thread-safe).
#pragma once

#include <mfobjects.h>

#include <utility>

#include "com/com_ptr.h"

template <class Interface>
class CMfQueuedEvents : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE GetEvent(DWORD flags, IMFMediaEvent** event) override {
    return m_queue->GetEvent(flags, event);
  }
  HRESULT STDMETHODCALLTYPE BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {
    return m_queue->BeginGetEvent(callback, state);
  }
  HRESULT STDMETHODCALLTYPE EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
    return m_queue->EndGetEvent(result, event);
  }
  HRESULT STDMETHODCALLTYPE QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                                       const PROPVARIANT* value) override {
    return m_queue->QueueEventParamVar(type, extendedType, status, value);
  }

 protected:
  CMfQueuedEvents() = default;
  explicit CMfQueuedEvents(CComPtr<IMFMediaEventQueue> queue) : m_queue(std::move(queue)) {}
  ~CMfQueuedEvents() = default;

  CComPtr<IMFMediaEventQueue> m_queue;
};
