// CMfEventWaiter: takes the events of one Media Foundation event generator (a media
// source or stream) through its asynchronous interface, so that a test waits for the
// next event with a deadline instead of blocking in GetEvent for ever.
//
//   CComPtr<CMfEventWaiter> waiter = CMfEventWaiter::Create(stream);
//   CComPtr<IMFMediaEvent> event = waiter->Next(std::chrono::seconds(60));   // empty: none in time
//
// One request is outstanding at a time: after a Next that timed out, the next Next waits
// for the same request. Ownership: reference counted (the generator holds a reference
// while a request is outstanding); it holds a reference to its generator. Threading:
// Next from one thread; Invoke comes on a Media Foundation work queue thread.
#pragma once

#include <mfidl.h>
#include <mfobjects.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "com/com_ptr.h"

class CMfEventWaiter final : public IMFAsyncCallback {
 public:
  static CComPtr<CMfEventWaiter> Create(IMFMediaEventGenerator* generator);

  // The next event, or empty when none came before the timeout or the generator refused
  // (Status() then says why).
  CComPtr<IMFMediaEvent> Next(std::chrono::milliseconds timeout);
  HRESULT Status();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE GetParameters(DWORD* flags, DWORD* queue) override;
  HRESULT STDMETHODCALLTYPE Invoke(IMFAsyncResult* result) override;

 private:
  explicit CMfEventWaiter(IMFMediaEventGenerator* generator) : m_generator(generator, kAddRef) {}
  ~CMfEventWaiter() = default;

  std::atomic<ULONG> m_refs{1};
  CComPtr<IMFMediaEventGenerator> m_generator;
  std::mutex m_lock;
  std::condition_variable m_changed;
  bool m_outstanding = false;
  bool m_arrived = false;
  CComPtr<IMFMediaEvent> m_event;
  HRESULT m_status = S_OK;
};
