#include "framework/base_allocator.h"

#include "framework/media_sample.h"

void CBaseAllocator::CSampleList::Add(CMediaSample* pSample) {
  NextOf(pSample) = m_pHead;
  m_pHead = pSample;
  ++m_count;
}

CMediaSample* CBaseAllocator::CSampleList::RemoveHead() {
  CMediaSample* sample = m_pHead;
  if (sample != nullptr) {
    m_pHead = NextOf(sample);
    NextOf(sample) = nullptr;
    --m_count;
  }
  return sample;
}

void CBaseAllocator::CWakeSemaphore::Release(LONG count) {
  if (count <= 0) return;
  {
    CLockHolder<CLock> lock(m_mutex);
    m_count += count;
  }
  m_wake.notify_all();
}

void CBaseAllocator::CWakeSemaphore::Wait() {
  CLockHolder<CLock> lock(m_mutex);
  // The wait leaves m_mutex and takes it again before it returns.
  while (m_count <= 0) m_wake.wait(m_mutex);
  --m_count;
}

CMediaSample*& CBaseAllocator::NextOf(CMediaSample* pSample) { return pSample->m_pNext; }

CBaseAllocator::CBaseAllocator(const WCHAR* pName, IUnknown* pUnk, HRESULT* phr, bool fEnableReleaseCallback)
    : CUnknown(pName, pUnk, phr), m_fEnableReleaseCallback(fEnableReleaseCallback) {}

CBaseAllocator::~CBaseAllocator() = default;

STDMETHODIMP CBaseAllocator::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IMemAllocator)) return GetInterface(static_cast<IMemAllocator*>(this), ppv);
  if (m_fEnableReleaseCallback && IsEqualIID(riid, IID_IMemAllocatorCallbackTemp)) {
    return GetInterface(static_cast<IMemAllocatorCallbackTemp*>(this), ppv);
  }
  return CUnknown::NonDelegatingQueryInterface(riid, ppv);
}

STDMETHODIMP CBaseAllocator::SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) {
  if (pRequest == nullptr || pActual == nullptr) return E_POINTER;
  CLockHolder<CRecursiveLock> lock(m_lock);
  *pActual = ALLOCATOR_PROPERTIES{};
  if (pRequest->cbAlign != 1) return VFW_E_BADALIGN;
  if (m_bCommitted) return VFW_E_ALREADY_COMMITTED;
  if (m_lFree.GetCount() < m_lAllocated) return VFW_E_BUFFERS_OUTSTANDING;
  m_lCount = pRequest->cBuffers;
  m_lSize = pRequest->cbBuffer;
  m_lAlignment = pRequest->cbAlign;
  m_lPrefix = pRequest->cbPrefix;
  *pActual = *pRequest;
  m_bChanged = true;
  return S_OK;
}

STDMETHODIMP CBaseAllocator::GetProperties(ALLOCATOR_PROPERTIES* pProps) {
  if (pProps == nullptr) return E_POINTER;
  CLockHolder<CRecursiveLock> lock(m_lock);
  pProps->cBuffers = m_lCount;
  pProps->cbBuffer = m_lSize;
  pProps->cbAlign = m_lAlignment;
  pProps->cbPrefix = m_lPrefix;
  return S_OK;
}

STDMETHODIMP CBaseAllocator::Commit() {
  CLockHolder<CRecursiveLock> lock(m_lock);
  if (m_bCommitted) return S_OK;
  m_bCommitted = true;
  // The buffers (and the self-reference) are still there from before the decommit.
  if (m_bDecommitInProgress) {
    m_bDecommitInProgress = false;
    return S_OK;
  }
  const HRESULT hr = Alloc();
  if (FAILED(hr)) {
    m_bCommitted = false;
    return hr;
  }
  NonDelegatingAddRef();  // The allocator's reference on itself while committed.
  return S_OK;
}

bool CBaseAllocator::DecommitLocked() {
  if (!m_bCommitted && !m_bDecommitInProgress) return false;
  m_bCommitted = false;
  bool release = false;
  if (m_lFree.GetCount() < m_lAllocated) {
    m_bDecommitInProgress = true;
  } else {
    m_bDecommitInProgress = false;
    Free();
    release = true;
  }
  WakeWaiters();
  return release;
}

STDMETHODIMP CBaseAllocator::Decommit() {
  bool release = false;
  {
    CLockHolder<CRecursiveLock> lock(m_lock);
    release = DecommitLocked();
  }
  // May destroy the allocator: last thing done.
  if (release) NonDelegatingRelease();
  return S_OK;
}

void CBaseAllocator::DecommitForDestruction() {
  CLockHolder<CRecursiveLock> lock(m_lock);
  DecommitLocked();
}

void CBaseAllocator::WakeWaiters() {
  m_hSem.Release(m_lWaiting);
  m_lWaiting = 0;
}

STDMETHODIMP CBaseAllocator::GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME* /*pStartTime*/,
                                       REFERENCE_TIME* /*pEndTime*/, DWORD dwFlags) {
  if (ppBuffer == nullptr) return E_POINTER;
  *ppBuffer = nullptr;
  for (;;) {
    CMediaSample* sample = nullptr;
    {
      CLockHolder<CRecursiveLock> lock(m_lock);
      if (!m_bCommitted) return VFW_E_NOT_COMMITTED;
      sample = m_lFree.RemoveHead();
      if (sample == nullptr) {
        // A caller that will not wait does not register, so no wake-up is spent on it.
        if ((dwFlags & AM_GBF_NOWAIT) != 0) return VFW_E_TIMEOUT;
        ++m_lWaiting;
      }
    }
    if (sample != nullptr) {
      sample->m_cRef.store(1);
      *ppBuffer = sample;
      return S_OK;
    }
    // Registered before the lock was left, so a release or decommit in between is not
    // missed: the semaphore keeps the count.
    m_hSem.Wait();
  }
}

STDMETHODIMP CBaseAllocator::ReleaseBuffer(IMediaSample* pBuffer) {
  if (pBuffer == nullptr) return E_POINTER;
  bool release = false;
  CComPtr<IMemAllocatorNotifyCallbackTemp> notify;
  {
    CLockHolder<CRecursiveLock> lock(m_lock);
    m_lFree.Add(static_cast<CMediaSample*>(pBuffer));
    if (m_lWaiting != 0) WakeWaiters();
    if (m_bDecommitInProgress && m_lFree.GetCount() == m_lAllocated) {
      Free();
      m_bDecommitInProgress = false;
      release = true;
    }
    // Taken here with a reference: once the lock is left another thread may complete a
    // decommit and destroy this allocator, so nothing of it is read afterwards.
    notify = m_pNotify;
  }
  if (notify) {
    notify->NotifyRelease();
    notify.Reset();
  }
  if (release) NonDelegatingRelease();  // the self-reference Commit took; may destroy the allocator
  return S_OK;
}

STDMETHODIMP CBaseAllocator::SetNotify(IMemAllocatorNotifyCallbackTemp* pNotify) {
  CLockHolder<CRecursiveLock> lock(m_lock);
  m_pNotify.Reset(pNotify, kAddRef);
  return S_OK;
}

STDMETHODIMP CBaseAllocator::GetFreeCount(LONG* plBuffersFree) {
  if (plBuffersFree == nullptr) return E_POINTER;
  CLockHolder<CRecursiveLock> lock(m_lock);
  *plBuffersFree = m_lCount - m_lAllocated + m_lFree.GetCount();
  return S_OK;
}

HRESULT CBaseAllocator::Alloc() {
  if (m_lCount < 1 || m_lSize < 1 || m_lAlignment < 1) return VFW_E_SIZENOTSET;
  return S_OK;
}
