// CSystemClock: the system reference clock (class CLSID_SystemClock), the clock a filter
// graph gives its filters when nothing else was chosen.
//
// GetTime reads the machine's monotonic clock in 100-nanosecond units. Every clock object
// reads the same source, so times from two clock objects of one process compare; the
// zero point is arbitrary (the system's start). A clock object never answers a time
// earlier than one it answered before, even when called from several threads at once: it
// answers S_OK with a later time, or S_FALSE with the same time as its previous answer.
//
// Advise requests need event or semaphore handles that the waiting side can block on.
// The Linux platform layer has no such handles, so nothing could ever wait for an
// advise: AdviseTime and AdvisePeriodic answer E_NOTIMPL (E_POINTER for a null cookie
// pointer, with the cookie set to 0), and Unadvise answers S_FALSE because no cookie can
// exist. Filters needing timed waits read GetTime and wait by their own means.
//
// Ownership: reference counted; created by CoCreateInstance or by a filter graph.
// Threading: every method on any thread. No aggregation.
#pragma once

#include <atomic>

#include "platform/dshow_types.h"
#include "runtime/runtime_object.h"

class CSystemClock final : public IReferenceClock, private CRuntimeObject {
 public:
  // Creates a clock and queries riid from it.
  static HRESULT CreateInstance(REFIID riid, void** ppv);

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override { return AddRefObject(); }
  STDMETHODIMP_(ULONG) Release() override { return ReleaseObject(); }

  STDMETHODIMP GetTime(REFERENCE_TIME* pTime) override;
  STDMETHODIMP AdviseTime(REFERENCE_TIME baseTime, REFERENCE_TIME streamTime, HEVENT hEvent,
                          DWORD_PTR* pdwAdviseCookie) override;
  STDMETHODIMP AdvisePeriodic(REFERENCE_TIME startTime, REFERENCE_TIME periodTime, HSEMAPHORE hSemaphore,
                              DWORD_PTR* pdwAdviseCookie) override;
  STDMETHODIMP Unadvise(DWORD_PTR dwAdviseCookie) override;

 private:
  friend class CRuntimeObject;
  CSystemClock() = default;
  ~CSystemClock() override = default;

  std::atomic<REFERENCE_TIME> m_last{0};
};
