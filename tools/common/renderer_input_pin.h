// CRendererInputPin: the input pin of the host-side renderer (CRendererFilter). It takes
// video from a source's output pin through IMemInputPin and records what arrives: a
// record per sample, and optionally copies of the samples' data, either the last few or
// a bounded queue that paces the source to the pace its consumer takes them at.
//
//   CRendererFilter* renderer = CRendererFilter::Create();
//   renderer->InputPin()->AcceptOnly(MEDIASUBTYPE_RGB24, 640, 480);
//   renderer->InputPin()->QueueDataCopies(8);
//   graph->ConnectDirect(cameraOutput, renderer->Pin(), nullptr);  // then run the graph
//   while (...) for (auto& copy : renderer->InputPin()->TakeDataCopies()) Use(copy.bytes);
//
// Types: any MEDIATYPE_Video / FORMAT_VideoInfo type whose VIDEOINFOHEADER is sane (a
// block of at least sizeof(VIDEOINFOHEADER) bytes, a bitmap header that lies inside the
// block, a positive width, a non-zero height and bit count, and a picture whose byte count
// can be formed and is covered by biSizeImage when that is given). AcceptOnly narrows that
// to one subtype and/or frame size. The pin offers no types of its own, so a connecting
// peer tries its own.
//
// Allocator: GetAllocator offers the pin's own CMemAllocator (made on first request and
// kept for the pin's life). NotifyAllocator keeps the chosen allocator with a reference
// until the connection is broken. GetAllocatorRequirements answers E_NOTIMPL.
//
// Samples: Receive runs on the upstream worker thread. It is refused with
// VFW_E_WRONG_STATE while the pin is inactive (filter stopped) and with S_FALSE while
// flushing. Everything a sample says about itself is untrusted: a sample whose actual
// length is negative or beyond its buffer, or that claims data without a buffer, is
// answered E_INVALIDARG and nothing of its buffer is read; an attached media type is
// checked like a connection type and refused with VFW_E_INVALIDMEDIATYPE. Every sample
// that reaches the checks is recorded (up to SetMaxRecords records, 65536 unless set;
// the count goes on). KeepDataCopies keeps copies of the last samples' data.
// QueueDataCopies makes the pin a paced sink: it keeps a copy of every sample in a queue
// that the consumer empties with TakeDataCopies, and a Receive that finds the queue full
// waits for room (ReceiveCanBlock then answers S_OK), so upstream delivers no faster than
// the consumer takes. A sample whose wait is ended by a stop or a flush is answered
// VFW_E_WRONG_STATE / S_FALSE and neither counted nor recorded, so every counted sample
// of such a run has its copy in the queue (unless the copy could not be allocated).
// Stopping the renderer therefore always frees an upstream worker held up here.
//
// EndOfStream is recorded and, while active and not flushing, passes EC_COMPLETE to the
// filter's event sink. BeginFlush, EndFlush and NewSegment are recorded.
//
// A derived pin can behave like another kind of downstream filter through the protected
// hooks (Answer, AfterReceive) and by overriding the type, allocator and state
// operations; it stays bound by the locking rules below.
//
// Ownership: the pin is owned by its filter and shares its reference count. It owns one
// reference on its own allocator and one on the notified allocator. Threading: connection
// changes run under the filter's state lock (CBasePin). Settings and records live behind
// m_dataLock, a leaf lock: under it the pin only copies, allocates and takes references;
// the event sink is called and samples are read outside it. Hosts and tests may read and
// set from any thread while the worker delivers. The Wait operations block on a condition
// with a deadline and never sleep.
// Failure: no exception leaves an interface operation; a copy that cannot be allocated
// is recorded as missing (DataCopies skips it) and Receive still succeeds.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

#include "framework/base_pin.h"
#include "com/com_ptr.h"
#include "framework/media_type.h"
#include "platform/condition_variable.h"

class CRendererInputPin : public CBasePin, public IMemInputPin {
 public:
  using Clock = std::chrono::steady_clock;

  // What a received sample said about itself.
  struct SampleRecord {
    LONG index = 0;  // 0-based order of arrival
    Clock::time_point received{};
    HRESULT result = S_OK;  // what Receive answered
    LONG size = 0;          // GetSize
    LONG actual = 0;        // GetActualDataLength
    bool lengthValid = false;
    // The first bytes (up to kFirstBytes, as many as the actual length covers).
    std::array<BYTE, 16> firstBytes{};
    std::size_t firstByteCount = 0;
    // The first four bytes little-endian (the numbered source's frame number); -1 when
    // the sample holds fewer.
    long long number = -1;
    HRESULT timeResult = E_FAIL;  // GetTime
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
    HRESULT mediaTimeResult = E_FAIL;  // GetMediaTime
    LONGLONG mediaStart = 0;
    LONGLONG mediaStop = 0;
    bool syncPoint = false;
    bool discontinuity = false;
    bool preroll = false;
    bool typeAttached = false;
    bool typeAccepted = false;
  };

  struct DataCopy {
    LONG index = 0;
    std::vector<BYTE> bytes;
  };

  struct Segment {
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
    double rate = 1.0;
  };

  static constexpr std::size_t kFirstBytes = 16;

  CRendererInputPin(CBaseFilter* pFilter, CRecursiveLock* pLock, HRESULT* phr, LPCWSTR pName);
  ~CRendererInputPin() override;

  DECLARE_IUNKNOWN
  // IMemInputPin besides what CBasePin answers.
  STDMETHODIMP NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // IPin (recording replacements).
  STDMETHODIMP ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override;
  STDMETHODIMP EnumMediaTypes(IEnumMediaTypes** ppEnum) override;
  STDMETHODIMP EndOfStream() override;
  STDMETHODIMP BeginFlush() override;
  STDMETHODIMP EndFlush() override;
  STDMETHODIMP NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

  // IMemInputPin
  STDMETHODIMP GetAllocator(IMemAllocator** ppAllocator) override;
  STDMETHODIMP NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly) override;
  STDMETHODIMP GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps) override;
  STDMETHODIMP Receive(IMediaSample* pSample) override;
  // Receive for each sample in turn, up to the first answer other than S_OK (which is
  // returned); *nSamplesProcessed counts the samples answered S_OK.
  STDMETHODIMP ReceiveMultiple(IMediaSample** pSamples, LONG nSamples, LONG* nSamplesProcessed) override;
  // S_OK while a queue of copies is kept (Receive may wait for room), else S_FALSE.
  STDMETHODIMP ReceiveCanBlock() override;

  // CBasePin
  HRESULT CheckMediaType(const CMediaType* pmt) override;
  HRESULT GetMediaType(int iPosition, CMediaType* pMediaType) override;
  HRESULT BreakConnect() override;
  HRESULT Active() override;
  HRESULT Inactive() override;

  // Settings. Any thread, any time (AcceptOnly takes effect at the next connection).
  // Narrows the accepted types: subtype GUID_NULL and width/height 0 leave that part
  // open; the height is compared without its sign (the sign only gives the row order).
  void AcceptOnly(const GUID& subtype, LONG width, LONG height);
  // Keeps copies of the data of the last `count` samples (0: none, the default).
  void KeepDataCopies(std::size_t count);
  // Keeps a copy of every sample until taken, at most `capacity` at a time; Receive
  // waits for room (0 switches the queue off; KeepDataCopies also does).
  void QueueDataCopies(std::size_t capacity);
  // Removes and returns the copies kept so far, oldest first, making room in the queue.
  std::vector<DataCopy> TakeDataCopies();
  void SetMaxRecords(std::size_t count);

  // Records (copies, safe to use while samples keep arriving).
  LONG SampleCount() const;
  std::vector<SampleRecord> Samples() const;
  std::vector<DataCopy> DataCopies() const;
  int EndOfStreamCount() const;
  int BeginFlushCount() const;
  int EndFlushCount() const;
  std::vector<Segment> Segments() const;
  // Subtypes of the types offered through ReceiveConnection, in order.
  std::vector<GUID> OfferedSubtypes() const;
  int EnumerationCount() const;
  // The allocator from the last NotifyAllocator, with a reference (null: none).
  IMemAllocator* NotifiedAllocator() const;
  bool NotifiedOwnAllocator() const;
  bool NotifiedReadOnly() const;
  int NotifyAllocatorCount() const;
  // The pin's own allocator, with a reference (null until GetAllocator made it).
  IMemAllocator* OwnAllocator() const;

  // Waits until at least count samples were received; false at the deadline.
  bool WaitForSamples(LONG count, std::chrono::milliseconds timeout) const;
  bool WaitForEndOfStream(std::chrono::milliseconds timeout) const;

 protected:
  // The answer to sample `index`, which passed every check with `result` (S_OK or a
  // refusal), before it is recorded. Runs on the delivering thread under m_dataLock: it
  // may read only state of its own (behind a leaf lock of its own) and must not call
  // back into the pin. The default keeps `result`.
  virtual HRESULT Answer(LONG index, HRESULT result) {
    static_cast<void>(index);
    return result;
  }
  // Runs once sample `index` is recorded and counted with `answer`, outside every lock
  // of the pin, before Receive returns; what it returns becomes Receive's answer and the
  // sample's recorded result. The caller keeps its reference on pSample for the call.
  // The default keeps `answer`.
  virtual HRESULT AfterReceive(IMediaSample* pSample, LONG index, HRESULT answer) {
    static_cast<void>(pSample);
    static_cast<void>(index);
    return answer;
  }

 private:
  struct Restriction {
    GUID subtype = GUID_NULL;
    LONG width = 0;
    LONG height = 0;
  };

  // The format checks, without the refusal script.
  HRESULT CheckVideoType(const AM_MEDIA_TYPE* pmt, const Restriction& restriction) const;
  // Reads the sample into record and copy (the copy only when wanted). The caller owns
  // nothing of the sample but its reference for the call.
  static void ReadSample(IMediaSample* pSample, SampleRecord& record, std::vector<BYTE>* copy);

  mutable CLock m_dataLock;
  mutable CConditionVariable m_changed;

  // Settings.
  Restriction m_restriction;
  std::size_t m_copyCount = 0;
  bool m_copyQueue = false;  // m_copyCount is a queue's capacity, not a window
  std::size_t m_maxRecords = 65536;

  // State.
  bool m_active = false;
  bool m_flushing = false;
  CComPtr<IMemAllocator> m_ownAllocator;
  CComPtr<IMemAllocator> m_notified;
  bool m_notifiedOwn = false;
  bool m_notifiedReadOnly = false;
  int m_notifyCount = 0;

  // Records.
  LONG m_received = 0;
  std::vector<SampleRecord> m_samples;
  std::deque<DataCopy> m_copies;
  int m_endOfStreams = 0;
  int m_beginFlushes = 0;
  int m_endFlushes = 0;
  std::vector<Segment> m_segments;
  std::vector<GUID> m_offered;
  int m_enumerations = 0;
};
