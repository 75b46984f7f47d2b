#include "framework/mem_allocator.h"

#include <cstdint>
#include <limits>
#include <new>

#include "framework/media_sample.h"
#include "platform/shared_memory.h"

namespace {

constexpr std::int64_t kLargestSize = std::numeric_limits<LONG>::max();

}  // namespace

CMemAllocator::CMemAllocator(const WCHAR* pName, IUnknown* pUnk, HRESULT* phr)
    : CBaseAllocator(pName, pUnk, phr, true) {}

CMemAllocator::~CMemAllocator() {
  DecommitForDestruction();
  CLockHolder<CRecursiveLock> lock(m_lock);
  ReallyFree();
}

CUnknown* CMemAllocator::CreateInstance(IUnknown* pUnk, HRESULT* phr) {
  auto* allocator = new (std::nothrow) CMemAllocator(L"CMemAllocator", pUnk, phr);
  if (allocator == nullptr && phr != nullptr) *phr = E_OUTOFMEMORY;
  return allocator;
}

STDMETHODIMP CMemAllocator::SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) {
  if (pRequest == nullptr || pActual == nullptr) return E_POINTER;
  CLockHolder<CRecursiveLock> lock(m_lock);
  *pActual = ALLOCATOR_PROPERTIES{};
  const std::int64_t align = pRequest->cbAlign;
  // A negative alignment is no alignment at all, whatever bits it shares with the
  // granularity.
  if (align <= 0 || ((align - 1) & platform::AllocationGranularity()) != 0) return VFW_E_BADALIGN;
  if (m_bCommitted) return VFW_E_ALREADY_COMMITTED;
  if (m_lFree.GetCount() < m_lAllocated) return VFW_E_BUFFERS_OUTSTANDING;

  std::int64_t size = pRequest->cbBuffer;
  // Negative sizes are stored as given and refused by Commit; only sizes that can be
  // laid out are rounded.
  if (size >= 0 && pRequest->cbPrefix >= 0) {
    const std::int64_t remainder = (size + pRequest->cbPrefix) % align;
    if (remainder != 0) size += align - remainder;
    // The rounded size must still be a buffer size.
    if (size > kLargestSize) return E_OUTOFMEMORY;
  }
  m_lSize = static_cast<LONG>(size);
  m_lCount = pRequest->cBuffers;
  m_lAlignment = pRequest->cbAlign;
  m_lPrefix = pRequest->cbPrefix;
  pActual->cBuffers = m_lCount;
  pActual->cbBuffer = m_lSize;
  pActual->cbAlign = m_lAlignment;
  pActual->cbPrefix = m_lPrefix;
  m_bChanged = true;
  return S_OK;
}

HRESULT CMemAllocator::Alloc() {
  const HRESULT hr = CBaseAllocator::Alloc();
  if (FAILED(hr)) return hr;
  if (!m_bChanged) return S_OK;
  if (m_block) ReallyFree();

  if (m_lSize < 0 || m_lPrefix < 0 || m_lCount < 0) return E_OUTOFMEMORY;
  std::int64_t stride = static_cast<std::int64_t>(m_lSize) + m_lPrefix;
  if (stride > kLargestSize) return E_OUTOFMEMORY;
  if (m_lAlignment > 1) {
    const std::int64_t remainder = stride % m_lAlignment;
    if (remainder != 0) stride += m_lAlignment - remainder;
    if (stride > kLargestSize) return E_OUTOFMEMORY;
  }
  const std::int64_t total = static_cast<std::int64_t>(m_lCount) * stride;
  if (total > kLargestSize) return E_OUTOFMEMORY;

  m_block = CPageBlock::Allocate(static_cast<std::size_t>(total));
  if (!m_block) return E_OUTOFMEMORY;

  BYTE* next = m_block.Data();
  for (LONG i = 0; i < m_lCount; ++i, next += stride) {
    HRESULT sampleResult = S_OK;
    auto* sample = new (std::nothrow) CMediaSample(L"CMemAllocator sample", this, &sampleResult,
                                                   next + m_lPrefix, m_lSize);
    if (sample == nullptr) return E_OUTOFMEMORY;
    m_lFree.Add(sample);
    ++m_lAllocated;
  }
  m_bChanged = false;
  return S_OK;
}

void CMemAllocator::ReallyFree() {
  while (CMediaSample* sample = m_lFree.RemoveHead()) delete sample;
  m_lAllocated = 0;
  m_block.Reset();
}
