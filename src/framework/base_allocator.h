// CBaseAllocator: the buffer pool behind IMemAllocator and IMemAllocatorCallbackTemp.
//
// The pins agree on a buffer count, size, alignment and prefix (SetProperties), commit
// the pool (Commit, which runs Alloc when the properties changed), lend samples out
// (GetBuffer) and take them back when their last reference goes (ReleaseBuffer, called by
// the sample itself). Decommit forbids further lending; the buffers are given back (Free)
// once every lent sample has come home. Derived classes provide the buffers (Alloc, Free);
// CMemAllocator is the standard one.
//
//   allocator->SetProperties(&wanted, &actual);
//   allocator->Commit();
//   CComPtr<IMediaSample> sample;
//   allocator->GetBuffer(sample.Receive(), nullptr, nullptr, 0);  // waits for a free buffer
//   sample.Reset();                                              // the last release brings it home
//   allocator->Decommit();                                       // frees once every sample is home
//
// States: unset → set (SetProperties) → committed (Commit) → set again (Decommit with
// every sample home) or decommit pending (samples still out; the last one to come home
// completes it, a Commit cancels it).
//
// Lifetime: from a successful Commit until the decommit is complete the allocator holds
// one reference on itself, so it outlives the pins that release it while samples are
// still downstream. Samples hold no reference on their allocator.
//
// Threading: every state change happens under m_lock, a leaf lock (nothing else is taken
// while it is held, except the derived class's Alloc/Free). GetBuffer waits outside the
// lock; ReleaseBuffer and Decommit wake exactly the registered waiters, so a waiter is
// always released by a returned sample or by Decommit (it then gets VFW_E_NOT_COMMITTED).
// The release notify and the final self-release run after the lock is left, and nothing
// of the allocator is touched after the self-release.
#pragma once

#include <condition_variable>

#include "com/com_ptr.h"
#include "com/unknown.h"
#include "platform/annotated_lock.h"
#include "platform/dshow_types.h"
#include "platform/thread_annotations.h"

class CMediaSample;

class CBaseAllocator : public CUnknown, public IMemAllocatorCallbackTemp {
 public:
  // fEnableReleaseCallback: whether IMemAllocatorCallbackTemp is answered. *phr is left
  // as it is (nothing here can fail).
  CBaseAllocator(const WCHAR* pName, IUnknown* pUnk, HRESULT* phr, bool fEnableReleaseCallback = false);
  ~CBaseAllocator() override;

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // IMemAllocator. This SetProperties takes alignment 1 only and rounds nothing;
  // CMemAllocator replaces it.
  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) override;
  STDMETHODIMP GetProperties(ALLOCATOR_PROPERTIES* pProps) override;
  STDMETHODIMP Commit() override;
  STDMETHODIMP Decommit() override;
  // The times are ignored. Blocks while no sample is free unless dwFlags has
  // AM_GBF_NOWAIT (then VFW_E_TIMEOUT); VFW_E_NOT_COMMITTED when not (or no longer)
  // committed.
  STDMETHODIMP GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME* pStartTime, REFERENCE_TIME* pEndTime,
                         DWORD dwFlags) override;
  // Takes back a sample of this allocator (its final Release calls this).
  STDMETHODIMP ReleaseBuffer(IMediaSample* pBuffer) override;

  // IMemAllocatorCallbackTemp
  STDMETHODIMP SetNotify(IMemAllocatorNotifyCallbackTemp* pNotify) override;
  STDMETHODIMP GetFreeCount(LONG* plBuffersFree) override;

 protected:
  // Samples not lent out, last in first out, linked through each sample's next field.
  class CSampleList {
   public:
    CMediaSample* Head() const { return m_pHead; }
    int GetCount() const { return m_count; }
    void Add(CMediaSample* pSample);
    CMediaSample* RemoveHead();

   private:
    CMediaSample* m_pHead = nullptr;
    int m_count = 0;
  };

  // A counting semaphore: Release(n) lets n waits through, whether they have begun or not.
  class CWakeSemaphore {
   public:
    void Release(LONG count);
    void Wait();

   private:
    CLock m_mutex;
    std::condition_variable_any m_wake;
    LONG m_count GUARDED_BY(m_mutex) = 0;
  };

  // Gives the buffers back; called under the lock once a decommit is complete.
  virtual void Free() REQUIRES(m_lock) = 0;
  // Provides the buffers for the agreed properties; called by Commit under the lock.
  // This one only checks that count, size and alignment have been set.
  virtual HRESULT Alloc() REQUIRES(m_lock);

  // Lets every registered waiter of GetBuffer try again. Under the lock.
  void WakeWaiters() REQUIRES(m_lock);
  // Decommit without dropping the self-reference: for destructors only.
  void DecommitForDestruction();
  static CMediaSample*& NextOf(CMediaSample* pSample);

  mutable CRecursiveLock m_lock;
  CSampleList m_lFree GUARDED_BY(m_lock);
  CWakeSemaphore m_hSem;
  LONG m_lWaiting GUARDED_BY(m_lock) = 0;
  LONG m_lCount GUARDED_BY(m_lock) = 0;
  LONG m_lAllocated GUARDED_BY(m_lock) = 0;
  LONG m_lSize GUARDED_BY(m_lock) = 0;
  LONG m_lAlignment GUARDED_BY(m_lock) = 0;
  LONG m_lPrefix GUARDED_BY(m_lock) = 0;
  bool m_bChanged GUARDED_BY(m_lock) = false;
  bool m_bCommitted GUARDED_BY(m_lock) = false;
  bool m_bDecommitInProgress GUARDED_BY(m_lock) = false;
  CComPtr<IMemAllocatorNotifyCallbackTemp> m_pNotify GUARDED_BY(m_lock);
  const bool m_fEnableReleaseCallback;

 private:
  // The decommit step shared by Decommit and the destructors; true when the caller must
  // drop the self-reference taken by Commit.
  bool DecommitLocked() REQUIRES(m_lock);
};
