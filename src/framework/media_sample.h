// CMediaSample: one buffer of an allocator, lent to a producer and handed downstream
// behind IMediaSample / IMediaSample2.
//
//   BYTE* data = nullptr;
//   sample->GetPointer(&data);                 // up to sample->GetSize() bytes
//   sample->SetActualDataLength(bytes);
//   sample->SetTime(&start, &end);
//   sample->SetMediaType(&changedType);        // a deep copy travels with this use only
//
// Ownership: the allocator creates and deletes its samples; the buffer memory belongs to
// the allocator too (the sample only points into it). The sample holds no reference on
// its allocator: the allocator keeps itself alive while any of its samples is lent out.
// When the last reference to a lent-out sample is released, the sample forgets its
// flags, stream id and attached type and goes back to the allocator's free list.
// The sample owns an attached media type (task memory), freed when it is replaced, on
// the final release and by the destructor.
//
// Threading: no lock. A sample is used by one thread at a time; only the reference
// count is atomic.
//
// Peers are untrusted: SetProperties reads no more than the byte count and the record's
// own cbData allow, accepts no buffer pointer or size but the sample's own, and no
// actual length outside 0 .. buffer size. Attached types are deep copies; a type that
// claims a format block it does not have is refused.
#pragma once

#include <atomic>

#include "framework/scoped_media_type.h"
#include "platform/dshow_types.h"

class CBaseAllocator;

class CMediaSample : public IMediaSample2 {
 public:
  // The flag bits of m_dwFlags: the platform's sample property flags, plus media time
  // valid, which never crosses the properties interface.
  enum : DWORD {
    Sample_SyncPoint = 0x01,
    Sample_Preroll = 0x02,
    Sample_Discontinuity = 0x04,
    Sample_TypeChanged = 0x08,
    Sample_TimeValid = 0x10,
    Sample_MediaTimeValid = 0x20,
    Sample_TimeDiscontinuity = 0x40,
    Sample_StopValid = 0x100,
    Sample_ValidFlags = 0x1FF,
    // What a peer may set through SetProperties.
    Sample_PropertyFlags = Sample_ValidFlags & ~Sample_MediaTimeValid
  };

  // A negative length stores VFW_E_BUFFER_OVERFLOW in *phr and gives an empty buffer;
  // *phr is otherwise left as it is.
  CMediaSample(const WCHAR* pName, CBaseAllocator* pAllocator, HRESULT* phr, BYTE* pBuffer = nullptr,
               LONG length = 0);
  virtual ~CMediaSample();
  CMediaSample(const CMediaSample&) = delete;
  CMediaSample& operator=(const CMediaSample&) = delete;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IMediaSample
  STDMETHODIMP GetPointer(BYTE** ppBuffer) override;
  STDMETHODIMP_(LONG) GetSize() override;
  STDMETHODIMP GetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) override;
  STDMETHODIMP SetTime(REFERENCE_TIME* pTimeStart, REFERENCE_TIME* pTimeEnd) override;
  STDMETHODIMP IsSyncPoint() override;
  STDMETHODIMP SetSyncPoint(BOOL bIsSyncPoint) override;
  STDMETHODIMP IsPreroll() override;
  STDMETHODIMP SetPreroll(BOOL bIsPreroll) override;
  STDMETHODIMP_(LONG) GetActualDataLength() override;
  STDMETHODIMP SetActualDataLength(LONG length) override;
  STDMETHODIMP GetMediaType(AM_MEDIA_TYPE** ppMediaType) override;
  STDMETHODIMP SetMediaType(AM_MEDIA_TYPE* pMediaType) override;
  STDMETHODIMP IsDiscontinuity() override;
  STDMETHODIMP SetDiscontinuity(BOOL bDiscontinuity) override;
  STDMETHODIMP GetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) override;
  STDMETHODIMP SetMediaTime(LONGLONG* pTimeStart, LONGLONG* pTimeEnd) override;

  // IMediaSample2
  STDMETHODIMP GetProperties(DWORD cbProperties, BYTE* pbProperties) override;
  STDMETHODIMP SetProperties(DWORD cbProperties, const BYTE* pbProperties) override;

 protected:
  friend class CBaseAllocator;

  DWORD m_dwFlags = 0;
  DWORD m_dwTypeSpecificFlags = 0;
  BYTE* m_pBuffer;
  LONG m_lActual;
  LONG m_cbBuffer;
  CBaseAllocator* m_pAllocator;
  CMediaSample* m_pNext = nullptr;
  REFERENCE_TIME m_Start = 0;
  REFERENCE_TIME m_End = 0;
  LONGLONG m_MediaStart = 0;
  LONG m_MediaEnd = 0;  // media end − media start, low 32 bits
  CScopedMediaType m_pMediaType;
  DWORD m_dwStreamId = 0;
  std::atomic<LONG> m_cRef{0};
};
