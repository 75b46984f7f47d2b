// CNumberedSource: a test source filter with one push stream (CNumberedStream, pin name
// "Numbered") that fills numbered RGB24 frames: the first four bytes of frame n hold n
// (little-endian), the rest is filled with n's low byte, and the sample carries the times
// [n × interval, (n + 1) × interval) and media times [n, n + 1).
//
// The stream's behaviour is scripted through its public fields (set them before the
// filter leaves the stopped state; the worker reads them): the result of OnThreadCreate,
// a frame at which FillBuffer returns a given code, a CheckMediaType result override, and
// what DecideBufferSize asks for. It records what the framework called, for the tests to
// check. Create with CNumberedSource::Create; the filter is returned with one reference.
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "framework/source.h"
#include "framework/source_stream.h"

namespace testing_support {

class CNumberedSource;

// An RGB24 video type of width × height with a VIDEOINFOHEADER (bottom-up rows).
CMediaType MakeRgb24Type(LONG width, LONG height);

class CNumberedStream : public CSourceStream {
 public:
  CNumberedStream(HRESULT* phr, CNumberedSource* filter, LPCWSTR name = L"Numbered");
  ~CNumberedStream() override;

  // Script (set while stopped).
  LONG m_width = 64;
  LONG m_height = 48;
  REFERENCE_TIME m_interval = 400000;
  HRESULT m_threadCreateResult = S_OK;
  // FillBuffer returns m_fillResult for frame m_fillResultAt (-1: never).
  std::atomic<LONG> m_fillResultAt{-1};
  HRESULT m_fillResult = S_OK;
  // Not S_OK: CheckMediaType returns this for every type.
  HRESULT m_checkResult = S_OK;
  // Buffers asked for by DecideBufferSize (0 keeps the downstream request).
  LONG m_buffers = 1;
  // DecideBufferSize fails with this on its first call when not S_OK.
  HRESULT m_firstDecideResult = S_OK;

  // Records.
  std::atomic<LONG> m_framesFilled{0};
  std::atomic<int> m_threadCreates{0};
  std::atomic<int> m_threadDestroys{0};
  std::atomic<int> m_startPlays{0};
  std::vector<ALLOCATOR_PROPERTIES> m_decideRequests;
  std::vector<IMemAllocator*> m_decideAllocators;

  HRESULT DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pRequest) override;
  HRESULT CheckMediaType(const CMediaType* pMediaType) override;

 protected:
  HRESULT FillBuffer(IMediaSample* pSample) override;
  HRESULT OnThreadCreate() override;
  HRESULT OnThreadDestroy() override;
  HRESULT OnThreadStartPlay() override;
  HRESULT GetMediaType(CMediaType* pMediaType) override;
  using CSourceStream::GetMediaType;
};

class CNumberedSource : public CSource {
 public:
  // A filter with `streams` numbered streams, returned with one reference.
  static CNumberedSource* Create(int streams = 1);
  CNumberedStream* Stream(int n = 0) { return static_cast<CNumberedStream*>(GetPin(n)); }
  IBaseFilter* Filter() { return static_cast<IBaseFilter*>(this); }

 private:
  CNumberedSource();
};

}  // namespace testing_support
