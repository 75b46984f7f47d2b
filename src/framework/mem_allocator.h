// CMemAllocator: the standard allocator, which keeps all its buffers in one block of
// memory from the operating system (page-aligned and zero-filled).
//
//   HRESULT hr = S_OK;
//   CComPtr<IMemAllocator> allocator;
//   if (CUnknown* object = CMemAllocator::CreateInstance(nullptr, &hr))
//     object->NonDelegatingQueryInterface(IID_IMemAllocator, allocator.ReceiveVoid());  // first reference
//
// Each buffer is laid out as prefix bytes followed by the usable bytes, and buffers
// follow each other at a stride of prefix + size rounded up to the alignment. The block
// is obtained by the first Commit after the properties changed and kept across
// Decommit: a Commit with unchanged properties allocates nothing. The alignment must be
// a non-zero value that does not conflict with the system's allocation granularity
// (the page size where there is no such granularity). Every size is checked in 64 bits:
// a block that would exceed 0x7FFFFFFF bytes is refused with E_OUTOFMEMORY.
//
// The block and the samples are freed when the properties change and by the destructor.
// Locking and lifetime are those of CBaseAllocator.
#pragma once

#include "framework/base_allocator.h"
#include "platform/page_block.h"

class CMemAllocator : public CBaseAllocator {
 public:
  // The release callback is answered. *phr is left as it is (nothing here can fail).
  CMemAllocator(const WCHAR* pName, IUnknown* pUnk, HRESULT* phr);
  ~CMemAllocator() override;

  // For the class factory table: a new allocator (not yet referenced), or null with
  // *phr = E_OUTOFMEMORY.
  static CUnknown* CreateInstance(IUnknown* pUnk, HRESULT* phr);

  // Rounds the buffer size up so that size + prefix is a multiple of the alignment.
  STDMETHODIMP SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) override;

 protected:
  // The buffers outlive a decommit; they are reused by the next Commit.
  void Free() REQUIRES(m_lock) override {}
  HRESULT Alloc() REQUIRES(m_lock) override;

 private:
  // Deletes every sample (all are home) and gives the block back.
  void ReallyFree() REQUIRES(m_lock);

  CPageBlock m_block GUARDED_BY(m_lock);
};
