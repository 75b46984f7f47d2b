#include "filter/video_src_stream.h"

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>

#include "channel/producer_process.h"
#include "diagnostics/log_file.h"
#include "diagnostics/trace_scope.h"
#include "composer/client_name.h"
#include "composer/install_paths.h"
#include "composer/letterbox.h"
#include "com/com_ptr.h"
#include "framework/dumps.h"
#include "framework/scoped_media_type.h"
#include "framework/source.h"
#include "identity/camera_identity.h"
#include "platform/paths.h"
#include "platform/wide_string.h"

namespace {

static_assert(sizeof(VIDEOINFOHEADER) == 88, "the offered format block is 88 bytes");
static_assert(sizeof(VIDEO_STREAM_CONFIG_CAPS) == 128, "the capability record is 128 bytes");

// The result for a format that the stream or its peer refuses in SetFormat.
constexpr HRESULT kFormatRefused = static_cast<HRESULT>(0x80040248u);

constexpr std::int32_t kMinWidth = 160;
constexpr std::int32_t kMinHeight = 120;
constexpr std::int32_t kDefaultMaxWidth = 640;
constexpr std::int32_t kDefaultMaxHeight = 480;
constexpr std::int32_t kMinIntervalMs = 10;
constexpr std::int32_t kMaxIntervalMs = 1000;
// A downstream that keeps one sample must leave the stream another to fill.
constexpr LONG kMinBuffers = 2;
constexpr REFERENCE_TIME kLatency = 666666;
constexpr ULONG kPushSourceFlags = AM_PUSHSOURCECAPS_PRIVATE_CLOCK;
constexpr DWORD kCategoryBytes = sizeof(GUID);

// Bytes of a bottom-up picture of width x |height| pixels at bitCount bits, rows padded
// to 4 bytes, in 64 bits so that no header a peer sends can overflow it (a size past
// 64 bits gives the largest value). -1 for a width or bit count that is not positive.
std::int64_t ImageBytes(std::int64_t width, std::int64_t height, std::int64_t bitCount) {
  if (width <= 0 || bitCount <= 0) return -1;
  const std::int64_t rowBytes = ((width * bitCount + 31) / 8) & ~std::int64_t{3};
  const std::int64_t rows = std::llabs(height);
  // A picture too large to count in 64 bits counts as the largest size, which no
  // buffer holds.
  if (rowBytes != 0 && rows > std::numeric_limits<std::int64_t>::max() / rowBytes)
    return std::numeric_limits<std::int64_t>::max();
  return rowBytes * rows;
}

std::int64_t ImageBytes(const BITMAPINFOHEADER& header) {
  return ImageBytes(header.biWidth, header.biHeight, header.biBitCount);
}

// Major type video, subtype RGB24, fixed-size samples, a video-info block of 88 bytes.
bool IsRgb24VideoInfo(const AM_MEDIA_TYPE& type) {
  return IsEqualGUID(type.majortype, MEDIATYPE_Video) && IsEqualGUID(type.subtype, MEDIASUBTYPE_RGB24) &&
         type.bFixedSizeSamples == TRUE && IsEqualGUID(type.formattype, FORMAT_VideoInfo) &&
         type.cbFormat >= sizeof(VIDEOINFOHEADER) && type.pbFormat != nullptr;
}

// The picture header of a video-info block (the caller has checked that the block is
// there and long enough). A peer's block need not be aligned for the structure, so the
// header is copied out rather than read in place.
BITMAPINFOHEADER Header(const AM_MEDIA_TYPE& type) {
  BITMAPINFOHEADER header;
  std::memcpy(&header, type.pbFormat + offsetof(VIDEOINFOHEADER, bmiHeader), sizeof header);
  return header;
}

// A 24-bit picture of positive size that the stream can deliver in one sample.
bool IsDeliverableHeader(const BITMAPINFOHEADER& header) {
  if (header.biBitCount != 24 || header.biWidth <= 0 || header.biHeight <= 0) return false;
  const std::int64_t bytes = ImageBytes(header);
  return bytes > 0 && bytes <= std::numeric_limits<LONG>::max();
}

constexpr REFERENCE_TIME kUnitsPerMs = 10000;

// A frame time (100-ns units) in whole milliseconds, rounded.
std::int32_t RoundedMs(REFERENCE_TIME frameTime) {
  return static_cast<std::int32_t>(std::round(static_cast<double>(frameTime) / kUnitsPerMs));
}

// The frame time a video-info type's AvgTimePerFrame gives: that value when it rounds to
// 10 ms ... 1 s, else the default interval (also for a type without a video-info block).
REFERENCE_TIME FrameTimeFromType(const AM_MEDIA_TYPE& type) {
  constexpr REFERENCE_TIME kDefault = CVideoSrcStream::kDefaultFrameIntervalMs * kUnitsPerMs;
  if (!IsEqualGUID(type.formattype, FORMAT_VideoInfo) || type.pbFormat == nullptr ||
      type.cbFormat < sizeof(VIDEOINFOHEADER))
    return kDefault;
  REFERENCE_TIME avg = 0;
  std::memcpy(&avg, type.pbFormat + offsetof(VIDEOINFOHEADER, AvgTimePerFrame), sizeof avg);
  if (avg < 0 || avg > (kMaxIntervalMs + 1) * kUnitsPerMs) return kDefault;
  const std::int32_t intervalMs = RoundedMs(avg);
  return intervalMs < kMinIntervalMs || intervalMs > kMaxIntervalMs ? kDefault : avg;
}

}  // namespace

CVideoSrcStream::CVideoSrcStream(HRESULT* phr, CSource* pFilter, LPCWSTR pPinName)
    : CSourceStream(nullptr, phr, pFilter, pPinName), CBaseStreamControl() {
  CLockHolder<CRecursiveLock> hold(m_streamLock);
  if (m_channel.Init(false, nullptr) != 0 && phr != nullptr) *phr = E_FAIL;
  g_Log.Write(0, L"hModule=%X\n", static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(g_hModule)));
  if (g_hModule != nullptr) m_images.LoadPictures(GetInstallationRoot(g_hModule));
}

CVideoSrcStream::~CVideoSrcStream() {
  // The worker calls this object's hooks; it must be gone before any member is.
  EndWorker();
}

void CVideoSrcStream::EndWorker() {
  if (!ThreadExists()) return;
  // A worker waiting for a free buffer is released by the decommit.
  if (m_pAllocator != nullptr) m_pAllocator->Decommit();
  Stop();
  Exit();
  Close();
}

CRecursiveLock& CVideoSrcStream::StateLock() { return *m_pFilter->pStateLock(); }

STDMETHODIMP CVideoSrcStream::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  { CTraceScope scope(1, L"CVideoSrcStream::NonDelegatingQueryInterface"); }
  LogInterfaceName(1, riid);
  if (ppv == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IKsPropertySet)) return GetInterface(static_cast<IKsPropertySet*>(this), ppv);
  if (IsEqualIID(riid, IID_IAMPushSource)) return GetInterface(static_cast<IAMPushSource*>(this), ppv);
  if (IsEqualIID(riid, IID_IAMStreamConfig)) return GetInterface(static_cast<IAMStreamConfig*>(this), ppv);
  if (IsEqualIID(riid, IID_IAMStreamControl)) return GetInterface(static_cast<IAMStreamControl*>(this), ppv);
  if (IsEqualIID(riid, IID_IPersistPropertyBag)) return GetInterface(static_cast<IPersistPropertyBag*>(this), ppv);
  if (IsEqualIID(riid, IID_IEnumMediaTypes)) {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  return CSourceStream::NonDelegatingQueryInterface(riid, ppv);
}

// ---- identity and announcements ----

std::wstring CVideoSrcStream::ClientName() {
  CLockHolder<CRecursiveLock> hold(m_streamLock);
  return m_composer.ClientName();
}

std::int32_t CVideoSrcStream::Width() {
  CLockHolder<CRecursiveLock> hold(m_streamLock);
  return m_width;
}

std::int32_t CVideoSrcStream::Height() {
  CLockHolder<CRecursiveLock> hold(m_streamLock);
  return m_height;
}

// ---- state changes ----

HRESULT CVideoSrcStream::Active() {
  CTraceScope scope(1, L"CVideoSrcStream::Active");
  CLockHolder<CRecursiveLock> state(StateLock());
  {
    CLockHolder<CRecursiveLock> hold(m_streamLock);
    m_composer.Announce(NewClientName(HostProcessName()), m_width, m_height);
    m_frameNumber = 0;
  }
  return CSourceStream::Active();
}

HRESULT CVideoSrcStream::Inactive() {
  CTraceScope scope(1, L"CVideoSrcStream::Inactive");
  CLockHolder<CRecursiveLock> state(StateLock());
  // The worker ends first, so a frame being filled is finished before the lock is taken.
  const HRESULT hr = CSourceStream::Inactive();
  if (FAILED(hr)) return hr;
  CLockHolder<CRecursiveLock> hold(m_streamLock);
  m_composer.Withdraw();
  return S_OK;
}

HRESULT CVideoSrcStream::OnThreadCreate() {
  CTraceScope scope(1, L"CVideoSrcStream::OnThreadCreate");
  CLockHolder<CRecursiveLock> hold(m_streamLock);
  // The rate the connection was made for. The application thread that starts this
  // worker holds the state lock and waits for this hook, so the type cannot change
  // meanwhile.
  REFERENCE_TIME frameTime = m_defaultFrameInterval * kUnitsPerMs;
  if (IsConnected()) {
    CLockHolder<CLock> type(m_connectionLock);
    frameTime = FrameTimeFromType(m_mt);
  }
  SetPace(frameTime);
  m_pacer.Restart();
  m_lastStart = 0;
  m_lastStop = 0;
  return S_OK;
}

STDMETHODIMP CVideoSrcStream::BeginFlush() {
  CTraceScope scope(1, L"CVideoSrcStream::BeginFlush");
  CLockHolder<CRecursiveLock> hold(m_streamLock);
  m_frameNumber = 0;
  Flushing(true);
  return CSourceStream::BeginFlush();
}

STDMETHODIMP CVideoSrcStream::EndFlush() {
  CTraceScope scope(1, L"CVideoSrcStream::EndFlush");
  Flushing(false);
  return CSourceStream::EndFlush();
}

STDMETHODIMP CVideoSrcStream::Notify(IBaseFilter* /*pSelf*/, Quality q) {
  CTraceScope scope(1, L"CVideoSrcStream::Notify");
  if (q.Proportion <= 0) {
    SetPace(kMaxIntervalMs * kUnitsPerMs);
    return S_OK;
  }
  std::int32_t interval = FrameInterval() * 1000 / q.Proportion;
  if (interval > kMaxIntervalMs) interval = kMaxIntervalMs;
  if (interval < kMinIntervalMs) interval = kMinIntervalMs;
  SetPace(interval * kUnitsPerMs);
  return S_OK;
}

void CVideoSrcStream::SetPace(REFERENCE_TIME frameTime) { m_frameTime.store(frameTime); }

std::int32_t CVideoSrcStream::FrameInterval() const { return RoundedMs(m_frameTime.load()); }

// ---- formats ----

std::pair<std::int32_t, std::int32_t> CVideoSrcStream::AnnouncedSize() {
  const auto [width, height] = m_channel.GetServerResolution();
  // The announcement comes from another process: a size no frame can have is no size.
  if (width <= 0 || height <= 0) return {0, 0};
  const std::int64_t bytes = ImageBytes(width, height, 24);
  if (bytes <= 0 || bytes > channel::kFrameAreaSize) return {0, 0};
  return {width, height};
}

HRESULT CVideoSrcStream::FillOfferedType(CMediaType* pMediaType, std::int32_t width, std::int32_t height) {
  if (width == 0 && height == 0) {
    width = kDefaultWidth;
    height = kDefaultHeight;
  }
  *pMediaType = MakeRgb24VideoType(width, height, static_cast<REFERENCE_TIME>(FrameInterval()) * 10000);
  if (pMediaType->pbFormat == nullptr) return E_OUTOFMEMORY;
  pMediaType->SetTemporalCompression(FALSE);
  LogMediaType(1, pMediaType);
  return S_OK;
}

HRESULT CVideoSrcStream::GetMediaType(int iPosition, CMediaType* pMediaType) {
  CTraceScope scope(1, L"CVideoSrcStream::GetMediaType pos=%d", iPosition);
  if (pMediaType == nullptr) return E_POINTER;
  // Not the state lock: a downstream pin may ask from inside Receive on the worker.
  CLockHolder<CRecursiveLock> hold(m_streamLock);
  const auto [width, height] = AnnouncedSize();
  if (iPosition < 0) return E_INVALIDARG;
  if (m_formatSet != 0) {
    if (iPosition != 0) return VFW_S_NO_MORE_ITEMS;
    if (FAILED(CopyConnectionType(pMediaType))) return E_UNEXPECTED;
    LogMediaType(1, pMediaType);
    return S_OK;
  }
  if (iPosition >= 1) return VFW_S_NO_MORE_ITEMS;
  return FillOfferedType(pMediaType, width, height);
}

HRESULT CVideoSrcStream::CheckMediaType(const CMediaType* pMediaType) {
  CTraceScope scope(1, L"CVideoSrcStream::CheckMediaType");
  if (pMediaType == nullptr) return E_POINTER;
  LogMediaType(1, pMediaType);
  // Not the state lock: a downstream pin may ask from inside Receive on the worker.
  CLockHolder<CRecursiveLock> hold(m_streamLock);
  if (m_formatSet == 1) {
    CLockHolder<CLock> type(m_connectionLock);
    if (m_mt != *pMediaType) return E_INVALIDARG;
  }

  if (IsEqualGUID(pMediaType->majortype, GUID_NULL)) return S_OK;
  if (!IsEqualGUID(pMediaType->majortype, MEDIATYPE_Video)) return E_INVALIDARG;
  if (IsEqualGUID(pMediaType->subtype, GUID_NULL)) return S_OK;
  if (!IsEqualGUID(pMediaType->subtype, MEDIASUBTYPE_RGB24) || pMediaType->bFixedSizeSamples != TRUE) {
    return E_INVALIDARG;
  }
  if (IsEqualGUID(pMediaType->formattype, GUID_NULL)) return S_OK;
  if (!IsEqualGUID(pMediaType->formattype, FORMAT_VideoInfo) || pMediaType->cbFormat < sizeof(VIDEOINFOHEADER) ||
      pMediaType->pbFormat == nullptr) {
    return E_INVALIDARG;
  }

  std::int32_t maxWidth = kDefaultMaxWidth;
  std::int32_t maxHeight = kDefaultMaxHeight;
  const auto [announcedWidth, announcedHeight] = AnnouncedSize();
  if (announcedWidth > kDefaultMaxWidth && announcedHeight > kDefaultMaxHeight) {
    maxWidth = announcedWidth;
    maxHeight = announcedHeight;
  }
  const BITMAPINFOHEADER header = Header(*pMediaType);
  // The producer's own size is what position 0 offers: accepted whatever its shape.
  const bool offered = announcedWidth != 0 && header.biWidth == announcedWidth && header.biHeight == announcedHeight;
  if (!offered) {
    if (header.biWidth < kMinWidth || header.biWidth > maxWidth) return E_INVALIDARG;
    if (header.biHeight < kMinHeight || header.biHeight > maxHeight) return E_INVALIDARG;
  }
  if (IsConnected() && ImageBytes(header) > m_bufferSize) return E_INVALIDARG;
  return S_OK;
}

HRESULT CVideoSrcStream::SetMediaType(const CMediaType* pMediaType) {
  CTraceScope scope(1, L"CVideoSrcStream::SetMediaType");
  if (pMediaType == nullptr) return E_POINTER;
  CLockHolder<CRecursiveLock> state(StateLock());
  LogMediaType(1, pMediaType);
  if (!IsRgb24VideoInfo(*pMediaType)) return E_INVALIDARG;
  if (Header(*pMediaType).biBitCount != 24) return E_UNEXPECTED;
  // A picture the stream cannot deliver never becomes the connection type.
  if (!IsDeliverableHeader(Header(*pMediaType))) return E_INVALIDARG;
  const HRESULT hr = CSourceStream::SetMediaType(pMediaType);
  if (FAILED(hr)) return hr;

  VIDEOINFOHEADER info;
  REFERENCE_TIME frameTime = 0;
  {
    CLockHolder<CLock> type(m_connectionLock);
    auto* format = reinterpret_cast<VIDEOINFOHEADER*>(m_mt.pbFormat);
    format->bmiHeader.biSizeImage = static_cast<DWORD>(ImageBytes(format->bmiHeader));
    m_mt.SetSampleSize(format->bmiHeader.biSizeImage);
    std::memcpy(&info, format, sizeof(info));
    frameTime = FrameTimeFromType(m_mt);
  }

  CLockHolder<CRecursiveLock> hold(m_streamLock);
  m_width = info.bmiHeader.biWidth;
  m_height = info.bmiHeader.biHeight;
  SetPace(frameTime);
  return S_OK;
}

HRESULT CVideoSrcStream::DecideBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pRequest) {
  CTraceScope scope(1, L"CVideoSrcStream::DecideBufferSize");
  if (pAlloc == nullptr || pRequest == nullptr) return E_POINTER;
  CLockHolder<CRecursiveLock> state(StateLock());
  if (!IsRgb24VideoInfo(m_mt) || !IsDeliverableHeader(Header(m_mt))) return E_FAIL;
  if (pRequest->cBuffers < kMinBuffers) pRequest->cBuffers = kMinBuffers;
  // The size is computed from the header rather than taken from biSizeImage, which a
  // type attached to a sample may have brought from a peer.
  pRequest->cbBuffer = static_cast<LONG>(ImageBytes(Header(m_mt)));
  g_Log.Write(1, L"Requesting buffer size %lu\n", static_cast<DWORD>(pRequest->cbBuffer));
  ALLOCATOR_PROPERTIES actual{};
  const HRESULT hr = pAlloc->SetProperties(pRequest, &actual);
  if (FAILED(hr)) return hr;
  g_Log.Write(1, L"Actual buffer size %lu\n", static_cast<DWORD>(actual.cbBuffer));
  if (actual.cbBuffer < pRequest->cbBuffer) return E_FAIL;
  CLockHolder<CRecursiveLock> hold(m_streamLock);
  m_bufferSize = pRequest->cbBuffer;
  return S_OK;
}

// ---- IAMStreamConfig ----
// The state lock is always taken before m_streamLock, as every state change takes them.

STDMETHODIMP CVideoSrcStream::GetFormat(AM_MEDIA_TYPE** ppmt) {
  CTraceScope scope(1, L"CVideoSrcStream::GetFormat");
  if (ppmt == nullptr) return E_POINTER;
  CLockHolder<CRecursiveLock> state(StateLock());
  CLockHolder<CRecursiveLock> hold(m_streamLock);
  *ppmt = nullptr;
  CScopedMediaType type(CreateMediaType(&m_mt));
  if (!type) return E_OUTOFMEMORY;
  if (!IsConnected()) {
    const HRESULT hr = GetMediaType(0, static_cast<CMediaType*>(type.Get()));
    if (hr != S_OK) return FAILED(hr) ? hr : E_UNEXPECTED;
  }
  *ppmt = type.Detach();  // The caller's record (GetFormat hands one over).
  return S_OK;
}

STDMETHODIMP CVideoSrcStream::SetFormat(AM_MEDIA_TYPE* pmt) {
  CTraceScope scope(1, L"CVideoSrcStream::SetFormat");
  CPendingReconnect pending;
  {
    CLockHolder<CRecursiveLock> state(StateLock());
    CLockHolder<CRecursiveLock> hold(m_streamLock);
    const HRESULT hr = SetFormatLocked(pmt, &pending);
    if (FAILED(hr) || !pending.peer) return hr;
  }
  // The graph takes its own lock and then, for every state change, the filter's: it is
  // asked with none of the stream's locks held.
  const HRESULT reconnected = m_pFilter->ReconnectPin(pending.peer.Get(), &pending.wanted);
  return CompleteReconnect(pending, reconnected);
}

HRESULT CVideoSrcStream::SetFormatLocked(AM_MEDIA_TYPE* pmt, CPendingReconnect* pending) {
  if (!m_pFilter->IsStopped()) return VFW_E_NOT_STOPPED;
  if (pmt != nullptr) {
    const auto* type = static_cast<const CMediaType*>(pmt);
    const std::int32_t formatSet = m_formatSet;
    m_formatSet = 0;
    HRESULT hr = CheckMediaType(type);
    m_formatSet = formatSet;
    if (hr != S_OK) return kFormatRefused;
    if (IsConnected()) return RecordConnectedFormat(type, pending);
    if (FAILED(SetMediaType(type))) return kFormatRefused;
    m_formatSet = 1;
    IncrementTypeVersion();
    return S_OK;
  }

  m_formatSet = 0;
  CMediaType offered(m_mt);
  if (GetMediaType(0, &offered) != S_OK || CheckMediaType(&offered) != S_OK) return kFormatRefused;
  if (FAILED(SetMediaType(&offered))) return kFormatRefused;
  IncrementTypeVersion();
  return S_OK;
}

HRESULT CVideoSrcStream::RecordConnectedFormat(const CMediaType* type, CPendingReconnect* pending) {
  IPin* peer = GetConnected();
  if (peer->QueryAccept(type) != S_OK) return kFormatRefused;
  // The connection already carries exactly this type: nothing to renegotiate.
  if (m_mt == *type) {
    m_formatSet = 1;
    IncrementTypeVersion();
    return S_OK;
  }
  if (FAILED(pending->previous.Set(m_mt))) return E_OUTOFMEMORY;
  pending->previousFormatSet = m_formatSet;
  // Recorded and fixed first: the reconnection offers and accepts only this type, as
  // recorded (its image size counted by the stream, whatever the application gave).
  if (FAILED(SetMediaType(type))) return kFormatRefused;
  m_formatSet = 1;
  if (FAILED(pending->wanted.Set(m_mt))) {
    SetMediaType(&pending->previous);
    m_formatSet = pending->previousFormatSet;
    return E_OUTOFMEMORY;
  }
  pending->peer.Reset(peer, kAddRef);
  return S_OK;
}

HRESULT CVideoSrcStream::CompleteReconnect(const CPendingReconnect& pending, HRESULT reconnected) {
  CLockHolder<CRecursiveLock> state(StateLock());
  CLockHolder<CRecursiveLock> hold(m_streamLock);
  CMediaType connected;
  if (SUCCEEDED(reconnected) && IsConnected() && SUCCEEDED(ConnectionMediaType(&connected)) &&
      connected == pending.wanted) {
    IncrementTypeVersion();
    return S_OK;
  }
  // The old type and fixing again, and the old connection when the graph lost it (unless
  // another change of the format came in between).
  if (m_mt == pending.wanted) {
    SetMediaType(&pending.previous);
    m_formatSet = pending.previousFormatSet;
    if (!IsConnected()) Connect(pending.peer.Get(), &pending.previous);
  }
  return FAILED(reconnected) ? reconnected : kFormatRefused;
}

STDMETHODIMP CVideoSrcStream::GetNumberOfCapabilities(int* piCount, int* piSize) {
  CTraceScope scope(1, L"CVideoSrcStream::GetNumberOfCapabilities");
  if (piCount == nullptr || piSize == nullptr) return E_INVALIDARG;
  *piCount = 1;
  *piSize = sizeof(VIDEO_STREAM_CONFIG_CAPS);
  return S_OK;
}

STDMETHODIMP CVideoSrcStream::GetStreamCaps(int iIndex, AM_MEDIA_TYPE** ppmt, BYTE* pSCC) {
  CTraceScope scope(1, L"CVideoSrcStream::GetStreamCaps");
  if (iIndex != 0 || ppmt == nullptr || pSCC == nullptr) return E_INVALIDARG;
  const auto [width, height] = AnnouncedSize();
  *ppmt = nullptr;
  CScopedMediaType offered;
  {
    // The connection type is read under the lock that guards it.
    CLockHolder<CRecursiveLock> state(StateLock());
    {
      CLockHolder<CLock> type(m_connectionLock);
      offered.Reset(CreateMediaType(&m_mt));
    }
    if (!offered) return E_OUTOFMEMORY;
    const HRESULT hr = GetMediaType(0, static_cast<CMediaType*>(offered.Get()));
    if (hr != S_OK) return FAILED(hr) ? hr : E_UNEXPECTED;
  }

  VIDEO_STREAM_CONFIG_CAPS caps;
  std::memset(&caps, 0, sizeof(caps));
  caps.guid = FORMAT_VideoInfo;
  const bool announced = width != 0 && height != 0;
  const SIZE maxSize = announced ? SIZE{width, height} : SIZE{kDefaultMaxWidth, kDefaultMaxHeight};
  const SIZE minSize = announced ? SIZE{width, height} : SIZE{kMinWidth, kMinHeight};
  caps.InputSize = maxSize;
  caps.MinCroppingSize = minSize;
  caps.MaxCroppingSize = maxSize;
  caps.CropGranularityX = announced ? 0 : 8;
  caps.CropGranularityY = announced ? 0 : 8;
  caps.CropAlignX = 8;
  caps.CropAlignY = 1;
  caps.MinOutputSize = minSize;
  caps.MaxOutputSize = maxSize;
  caps.OutputGranularityX = announced ? 0 : 8;
  caps.OutputGranularityY = announced ? 0 : 8;
  caps.MinFrameInterval = 333667;
  caps.MaxFrameInterval = 640000000;
  caps.MinBitsPerSecond = 13824000;
  caps.MaxBitsPerSecond = 248832000;
  std::memcpy(pSCC, &caps, sizeof(caps));
  *ppmt = offered.Detach();  // The caller's record (GetStreamCaps hands one over).
  return S_OK;
}

// ---- IKsPropertySet ----

STDMETHODIMP CVideoSrcStream::Set(REFGUID guidPropSet, DWORD /*dwPropID*/, LPVOID /*pInstanceData*/,
                                  DWORD /*cbInstanceData*/, LPVOID /*pPropData*/, DWORD /*cbPropData*/) {
  CTraceScope scope(1, L"CVideoSrcStream::Set");
  return IsEqualGUID(guidPropSet, AMPROPSETID_Pin) ? E_PROP_ID_UNSUPPORTED : E_PROP_SET_UNSUPPORTED;
}

STDMETHODIMP CVideoSrcStream::Get(REFGUID guidPropSet, DWORD dwPropID, LPVOID /*pInstanceData*/,
                                  DWORD /*cbInstanceData*/, LPVOID pPropData, DWORD cbPropData,
                                  DWORD* pcbReturned) {
  CTraceScope scope(1, L"CVideoSrcStream::Get");
  if (!IsEqualGUID(guidPropSet, AMPROPSETID_Pin)) return E_PROP_SET_UNSUPPORTED;
  if (dwPropID != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
  if (pPropData == nullptr && pcbReturned == nullptr) return E_POINTER;
  if (pcbReturned != nullptr) *pcbReturned = kCategoryBytes;
  if (pPropData != nullptr) {
    if (cbPropData < kCategoryBytes) return E_UNEXPECTED;
    std::memcpy(pPropData, &PIN_CATEGORY_CAPTURE, kCategoryBytes);
  }
  return S_OK;
}

STDMETHODIMP CVideoSrcStream::QuerySupported(REFGUID guidPropSet, DWORD dwPropID, DWORD* pTypeSupport) {
  CTraceScope scope(1, L"CVideoSrcStream::QuerySupported");
  if (!IsEqualGUID(guidPropSet, AMPROPSETID_Pin)) return E_PROP_SET_UNSUPPORTED;
  if (dwPropID != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
  if (pTypeSupport != nullptr) *pTypeSupport = KSPROPERTY_SUPPORT_GET;
  return S_OK;
}

// ---- IAMPushSource ----

STDMETHODIMP CVideoSrcStream::GetLatency(REFERENCE_TIME* prtLatency) {
  CTraceScope scope(1, L"CVideoSrcStream::GetLatency");
  return StoreAnswer(prtLatency, kLatency);
}

STDMETHODIMP CVideoSrcStream::GetPushSourceFlags(ULONG* pFlags) {
  CTraceScope scope(1, L"CVideoSrcStream::GetPushSourceFlags");
  return StoreAnswer(pFlags, kPushSourceFlags);
}

STDMETHODIMP CVideoSrcStream::SetPushSourceFlags(ULONG /*Flags*/) {
  CTraceScope scope(1, L"CVideoSrcStream::SetPushSourceFlags");
  return E_NOTIMPL;
}

STDMETHODIMP CVideoSrcStream::SetStreamOffset(REFERENCE_TIME /*rtOffset*/) {
  CTraceScope scope(1, L"CVideoSrcStream::SetStreamOffset");
  return S_OK;
}

STDMETHODIMP CVideoSrcStream::GetStreamOffset(REFERENCE_TIME* prtOffset) {
  CTraceScope scope(1, L"CVideoSrcStream::GetStreamOffset");
  return StoreAnswer(prtOffset, 0, E_FAIL);
}

STDMETHODIMP CVideoSrcStream::GetMaxStreamOffset(REFERENCE_TIME* prtMaxOffset) {
  CTraceScope scope(1, L"CVideoSrcStream::GetMaxStreamOffset");
  return StoreAnswer(prtMaxOffset, 0);
}

STDMETHODIMP CVideoSrcStream::SetMaxStreamOffset(REFERENCE_TIME /*rtMaxOffset*/) {
  CTraceScope scope(1, L"CVideoSrcStream::SetMaxStreamOffset");
  return E_FAIL;
}

// ---- IPersistPropertyBag ----

STDMETHODIMP CVideoSrcStream::GetClassID(CLSID* pClassID) {
  CTraceScope scope(1, L"CVideoSrcStream::GetClassID");
  if (pClassID == nullptr) return E_POINTER;
  return m_pFilter->GetClassID(pClassID);
}

STDMETHODIMP CVideoSrcStream::InitNew() {
  CTraceScope scope(1, L"CVideoSrcStream::InitNew");
  return S_OK;
}

STDMETHODIMP CVideoSrcStream::Load(IPropertyBag* /*pPropBag*/, IErrorLog* /*pErrorLog*/) {
  CTraceScope scope(1, L"CVideoSrcStream::Load");
  return S_OK;
}

STDMETHODIMP CVideoSrcStream::Save(IPropertyBag* /*pPropBag*/, BOOL /*fClearDirty*/, BOOL /*fSaveAllProperties*/) {
  CTraceScope scope(1, L"CVideoSrcStream::Save");
  return S_OK;
}

// ---- frame production ----

HRESULT CVideoSrcStream::FillBuffer(IMediaSample* pSample) {
  CTraceScope scope(3, L"CVideoSrcStream::FillBuffer");
  if (pSample == nullptr) return E_POINTER;
  g_Log.Write(3, L"After CheckPtr\n");
  Pace();

  CLockHolder<CRecursiveLock> hold(m_streamLock);
  CScopedMediaType attached;
  HRESULT hr = AdoptAttachedType(pSample, attached.Receive());
  if (FAILED(hr)) return hr;
  OutputPicture picture;
  hr = DescribeBuffer(pSample, &picture);
  if (FAILED(hr)) return hr;
  hr = Compose(picture);
  if (FAILED(hr)) return hr;
  return Stamp(pSample, picture, attached.Get());
}

void CVideoSrcStream::Pace() {
  // A sleep until one interval after the previous frame was due, outside the lock.
  if (m_skipPacing.load()) return;
  const std::chrono::duration<REFERENCE_TIME, std::ratio<1, 10000000>> interval(m_frameTime.load());
  std::this_thread::sleep_for(m_pacer.WaitBefore(
      CFramePacer::Clock::now(), std::chrono::duration_cast<CFramePacer::Clock::duration>(interval)));
}

HRESULT CVideoSrcStream::AdoptAttachedType(IMediaSample* pSample, AM_MEDIA_TYPE** attached) {
  HRESULT hr = pSample->GetMediaType(attached);
  if (FAILED(hr)) {
    g_Log.Write(3, L"GetMediaType failed with hr=%X\n", static_cast<unsigned>(hr));
    return S_OK;
  }
  if (hr != S_OK || *attached == nullptr) return S_OK;
  const AM_MEDIA_TYPE& type = **attached;
  g_Log.Write(1, L"Media type is attached to sample\n");
  // Checked before it replaces the connection type, so a refused type leaves the
  // connection as it was.
  if (!IsRgb24VideoInfo(type) || !IsDeliverableHeader(Header(type))) {
    g_Log.Write(1, L"Mediatype validation has failed\n");
    return E_UNEXPECTED;
  }
  if (ImageBytes(Header(type)) > static_cast<std::int64_t>(pSample->GetSize())) {
    g_Log.Write(1, L"Error: lBuffSize is lower than lDstDataLen\n");
    return E_UNEXPECTED;
  }
  hr = CBasePin::SetMediaType(static_cast<const CMediaType*>(&type));
  if (FAILED(hr)) {
    g_Log.Write(1, L"SetMediaType has failed with hr=%X\n", static_cast<unsigned>(hr));
    return E_UNEXPECTED;
  }
  m_width = Header(type).biWidth;
  m_height = Header(type).biHeight;
  g_Log.Write(1, L"New size = %dx%d\n", static_cast<int>(m_width), static_cast<int>(m_height));
  return S_OK;
}

HRESULT CVideoSrcStream::DescribeBuffer(IMediaSample* pSample, OutputPicture* picture) {
  BYTE* pDstData = nullptr;
  const HRESULT hr = pSample->GetPointer(&pDstData);
  const LONG lBuffSize = pSample->GetSize();
  if (FAILED(hr) || pDstData == nullptr) {
    g_Log.Write(1, L"Error: pDstData == NULL\n");
    return E_UNEXPECTED;
  }

  // The picture the connection type describes and the one the stream writes (its width
  // and height) must both fit the buffer before anything is written into it.
  std::int64_t typeBytes = 0;
  {
    CLockHolder<CLock> type(m_connectionLock);
    if (m_mt.pbFormat != nullptr && m_mt.cbFormat >= sizeof(VIDEOINFOHEADER)) typeBytes = ImageBytes(Header(m_mt));
  }
  const std::int64_t writeBytes = ImageBytes(m_width, m_height, 24);
  if (static_cast<std::int64_t>(lBuffSize) < typeBytes || static_cast<std::int64_t>(lBuffSize) < writeBytes) {
    g_Log.Write(1, L"Error: lBuffSize is lower than lDstDataLen\n");
    return E_UNEXPECTED;
  }
  const LONG lDstDataLen = static_cast<LONG>(typeBytes);
  if (lDstDataLen <= 0 || writeBytes != typeBytes || m_height <= 0) {
    // The pointer is spelled as the Windows "%P" conversion does: upper-case hex digits.
    const std::wstring pointer = platform::Format(L"%0*llX", static_cast<int>(2 * sizeof(void*)),
                                                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(pDstData)));
    g_Log.Write(1, L"Error: sample buffer is invalid (hr=%X lDstData=%s lDstDataLen=%d)\n", static_cast<unsigned>(hr),
                pointer.c_str(), static_cast<int>(lDstDataLen));
    return E_UNEXPECTED;
  }
  // The stream's own format: bottom-up BGR24 rows padded to 4 bytes.
  picture->width = m_width;
  picture->height = m_height;
  picture->format = PixelFormat::kBgr24;
  picture->stride = static_cast<std::int32_t>(PackedStride(PixelFormat::kBgr24, m_width));
  picture->bottomUp = true;
  picture->buffer = pDstData;
  picture->bytes = static_cast<std::size_t>(lBuffSize);
  return S_OK;
}

HRESULT CVideoSrcStream::Compose(const OutputPicture& picture) {
  switch (m_composer.Compose(picture).result) {
    case CFrameComposer::Result::kOk: return S_OK;
    case CFrameComposer::Result::kOutOfMemory: return E_OUTOFMEMORY;
    case CFrameComposer::Result::kBadPicture: break;
  }
  return E_UNEXPECTED;
}

HRESULT CVideoSrcStream::Stamp(IMediaSample* pSample, const OutputPicture& picture, AM_MEDIA_TYPE* attached) {
  const LONG lDstDataLen = static_cast<LONG>(PictureBytes(picture));
  pSample->SetActualDataLength(lDstDataLen);
  pSample->SetSyncPoint(TRUE);
  pSample->SetPreroll(FALSE);
  pSample->SetDiscontinuity(m_frameNumber == 0 ? TRUE : FALSE);

  REFERENCE_TIME now = 0;
  m_pFilter->StreamTime(now);
  REFERENCE_TIME start = now;
  REFERENCE_TIME stop = now + static_cast<REFERENCE_TIME>(FrameInterval()) * 10000;
  if (now < m_lastStop) {
    // Never back in time: repeat the previous sample's times.
    start = m_lastStart;
    stop = m_lastStop;
  }
  m_lastStart = start;
  m_lastStop = stop;
  pSample->SetTime(&start, &stop);
  LONGLONG mediaStart = m_frameNumber;
  LONGLONG mediaStop = m_frameNumber + 1;
  pSample->SetMediaTime(&mediaStart, &mediaStop);

  if (CComPtr<IMediaSample2> pSample2 = QueryAs<IMediaSample2>(pSample, IID_IMediaSample2)) {
    AM_SAMPLE2_PROPERTIES properties;
    std::memset(&properties, 0, sizeof(properties));
    properties.cbData = sizeof(properties);
    properties.dwTypeSpecificFlags = 0;
    properties.dwSampleFlags = m_frameNumber == 0 ? 0x115 : 0x111;
    properties.lActual = lDstDataLen;
    properties.tStart = start;
    properties.tStop = stop;
    properties.dwStreamId = 0;
    properties.pMediaType = attached;
    properties.pbBuffer = picture.buffer;
    properties.cbBuffer = static_cast<LONG>(picture.bytes);
    const HRESULT hr = pSample2->SetProperties(sizeof(properties), reinterpret_cast<const BYTE*>(&properties));
    if (FAILED(hr)) return E_UNEXPECTED;
    LogMediaSample(3, pSample);
  }

  ++m_frameNumber;
  g_Log.Write(3, L"Frame number = %d\n", static_cast<int>(static_cast<std::uint32_t>(m_frameNumber)));
  return S_OK;
}
