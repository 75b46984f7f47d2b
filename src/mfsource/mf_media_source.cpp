#include "mfsource/mf_media_source.h"

#include <mfapi.h>
#include <mferror.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "composer/install_paths.h"
#include "diagnostics/log_file.h"
#include "identity/camera_identity.h"
#include "mfsource/mf_host_context.h"
#include "mfsource/mf_last_producer_size.h"
#include "mfsource/mf_media_stream.h"

HRESULT CMfMediaSource::Create(CMfMediaSource** source) {
  // The module's installation, as the DirectShow camera finds its pictures; none in a
  // program that links the source without loading the module.
  return Create(g_hModule != nullptr ? GetInstallationRoot(g_hModule) : std::wstring(), source);
}

HRESULT CMfMediaSource::Create(const std::wstring& picturesRoot, CMfMediaSource** source) {
  if (source == nullptr) return E_POINTER;
  *source = nullptr;
  CComPtr<CMfMediaSource> made(new (std::nothrow) CMfMediaSource(), kAdoptRef);
  if (!made) return E_OUTOFMEMORY;
  const HRESULT hr = made->Init(picturesRoot);
  if (FAILED(hr)) return hr;
  *source = made.Detach();
  return S_OK;
}

HRESULT CMfMediaSource::Init(const std::wstring& picturesRoot) {
  // Where the frames come from is settled (and the host logged) before the lock is taken.
  const MfHostMode mode = MfHostContext();
  CLockHolder<CLock> hold(m_lock);
  // Nothing of the channel is touched and no picture decoded here: the frame server also
  // makes a source only to read its formats. The channel is opened (never created) at
  // Start, the pictures are decoded then.
  try {
    m_feed = std::make_unique<CMfFrameFeed>(picturesRoot, mode);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  HRESULT hr = MFCreateEventQueue(m_queue.Receive());
  if (SUCCEEDED(hr)) hr = MFCreateAttributes(m_attributes.Receive(), 1);
  if (SUCCEEDED(hr)) hr = MFCreateAttributes(m_streamAttributes.Receive(), 4);
  if (SUCCEEDED(hr)) hr = SetStreamAttributes(m_streamAttributes.Get());
  if (FAILED(hr)) return hr;

  const auto [producerWidth, producerHeight] = ReadLastProducerSize();
  m_formats = MfFormatList(producerWidth, producerHeight);
  CComPtr<IMFStreamDescriptor> streamDescriptor;
  hr = CreateMfStreamDescriptor(m_formats, streamDescriptor.Receive());
  if (FAILED(hr)) return hr;
  m_format = m_formats.front();
  IMFStreamDescriptor* descriptors[] = {streamDescriptor.Get()};
  hr = MFCreatePresentationDescriptor(1, descriptors, m_descriptor.Receive());
  if (SUCCEEDED(hr)) hr = m_descriptor->SelectStream(0);
  if (SUCCEEDED(hr)) hr = CMfMediaStream::Create(this, streamDescriptor.Get(), m_stream.Receive());
  return hr;
}

CMfMediaSource::~CMfMediaSource() {
  ShutdownWork work;
  {
    CLockHolder<CLock> hold(m_lock);
    if (m_state != State::kShutdown) work = ShutdownLocked();
  }
  // Also shuts down the queue of a source whose Init failed.
  FinishShutdown(std::move(work));
}

CMfMediaSource::ShutdownWork CMfMediaSource::ShutdownLocked() {
  if (m_streamRunning) StopStreamLocked();
  m_state = State::kShutdown;
  m_wake.notify_all();
  ShutdownWork work;
  work.delivery = std::move(m_delivery);
  work.stream = std::move(m_stream);
  work.descriptor = std::move(m_descriptor);
  work.attributes = std::move(m_attributes);
  work.streamAttributes = std::move(m_streamAttributes);
  work.spentTokens = TakeSpentTokensLocked();
  return work;
}

void CMfMediaSource::FinishShutdown(ShutdownWork work) {
  // The delivery thread saw the shut-down state when it last had the lock, or sees it the
  // next time it takes it: it posts nothing more.
  JoinDelivery(std::move(work.delivery));
  if (m_queue) m_queue->Shutdown();
  // The stream forgets this source before its queue lets its readers go.
  if (work.stream) work.stream->Shutdown();
}

void CMfMediaSource::JoinDelivery(std::thread thread) {
  if (!thread.joinable()) return;
  // A caller's token released by the delivery thread could, in principle, shut the
  // source down from that thread: it must not wait for itself.
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
    return;
  }
  thread.join();
}

// ---- IUnknown ----

HRESULT CMfMediaSource::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IMFMediaEventGenerator || iid == IID_IMFMediaSource ||
      iid == IID_IMFMediaSourceEx) {
    *object = static_cast<IMFMediaSourceEx*>(this);
  } else if (iid == IID_IMFGetService) {
    *object = static_cast<IMFGetService*>(this);
  } else if (iid == IID_IKsControl) {
    *object = static_cast<IKsControl*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();  // the reference QueryInterface hands to the caller
  return S_OK;
}

ULONG CMfMediaSource::AddRef() { return ++m_refs; }

ULONG CMfMediaSource::Release() {
  const ULONG refs = --m_refs;
  if (refs == 0) delete this;
  return refs;
}

bool CMfMediaSource::TryAddRef() {
  ULONG refs = m_refs.load();
  while (refs != 0) {
    if (m_refs.compare_exchange_weak(refs, refs + 1)) return true;
  }
  return false;
}

// ---- IMFMediaSource ----

HRESULT CMfMediaSource::GetCharacteristics(DWORD* characteristics) {
  if (characteristics == nullptr) return E_POINTER;
  CLockHolder<CLock> hold(m_lock);
  if (m_state == State::kShutdown) return MF_E_SHUTDOWN;
  *characteristics = MFMEDIASOURCE_IS_LIVE;
  return S_OK;
}

HRESULT CMfMediaSource::CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) {
  if (descriptor == nullptr) return E_POINTER;
  *descriptor = nullptr;
  CLockHolder<CLock> hold(m_lock);
  if (m_state == State::kShutdown) return MF_E_SHUTDOWN;
  return m_descriptor->Clone(descriptor);
}

HRESULT CMfMediaSource::Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat,
                              const PROPVARIANT* startPosition) {
  if (descriptor == nullptr || startPosition == nullptr) return E_INVALIDARG;
  {
    CLockHolder<CLock> hold(m_lock);
    if (m_state == State::kShutdown) return MF_E_SHUTDOWN;
  }
  if (timeFormat != nullptr && *timeFormat != GUID_NULL) return MF_E_UNSUPPORTED_TIME_FORMAT;
  // A live camera starts at "now" whatever position it is given; a position of another
  // kind than a time is not one it understands.
  if (startPosition->vt != VT_EMPTY && startPosition->vt != VT_I8) return MF_E_UNSUPPORTED_TIME_FORMAT;
  // The descriptor is the caller's object: it is read before the lock is taken.
  bool selected = false;
  MfFormat format;
  HRESULT hr = ReadStartSelection(descriptor, &selected, &format);
  if (FAILED(hr)) return hr;

  CLockHolder<CLock> hold(m_lock);
  if (m_state == State::kShutdown) return MF_E_SHUTDOWN;
  // Only the formats the descriptor offers: the size a client entry announces and the
  // pacing both come from it.
  if (std::none_of(m_formats.begin(), m_formats.end(), [&](const MfFormat& f) { return SameFormat(f, format); })) {
    return MF_E_INVALIDMEDIATYPE;
  }

  PROPVARIANT startTime;
  PropVariantInit(&startTime);
  startTime.vt = VT_I8;
  startTime.hVal.QuadPart = MFGetSystemTime();
  if (selected) {
    const bool changed = !SameFormat(format, m_format);
    // A new format is a new entry in the client table (an entry carries its size).
    if (changed && m_streamRunning) StopStreamLocked();
    m_format = format;
    hr = m_queue->QueueEventParamUnk(m_streamAnnounced ? MEUpdatedStream : MENewStream, GUID_NULL, S_OK,
                                     static_cast<IMFMediaStream*>(m_stream.Get()));
    if (FAILED(hr)) return hr;
    m_streamAnnounced = true;
    if (!m_streamRunning) RunStreamLocked();
    // A start while started restarts the frame chain from now.
    m_pacer.Restart();
    m_due.reset();
    m_state = State::kStarted;
    hr = m_queue->QueueEventParamVar(MESourceStarted, GUID_NULL, S_OK, &startTime);
    if (SUCCEEDED(hr)) hr = m_stream->Post(MEStreamStarted, S_OK, &startTime);
  } else {
    // The stream was deselected: the source runs without it.
    if (m_streamRunning) {
      StopStreamLocked();
      hr = m_stream->Post(MEStreamStopped, S_OK, nullptr);
    }
    m_state = State::kStarted;
    if (SUCCEEDED(hr)) hr = m_queue->QueueEventParamVar(MESourceStarted, GUID_NULL, S_OK, &startTime);
  }
  if (SUCCEEDED(hr) && !m_delivery.joinable()) {
    try {
      m_delivery = std::thread([this] { DeliveryLoop(); });
    } catch (...) {
      hr = E_OUTOFMEMORY;
    }
  }
  m_wake.notify_all();
  return hr;
}

HRESULT CMfMediaSource::Stop() {
  SpentTokens spent;  // released after the lock, on this thread
  CLockHolder<CLock> hold(m_lock);
  if (m_state == State::kShutdown) return MF_E_SHUTDOWN;
  HRESULT hr = S_OK;
  if (m_streamRunning) {
    StopStreamLocked();
    spent = TakeSpentTokensLocked();
    hr = m_stream->Post(MEStreamStopped, S_OK, nullptr);
  }
  m_state = State::kStopped;
  m_wake.notify_all();
  if (SUCCEEDED(hr)) hr = m_queue->QueueEventParamVar(MESourceStopped, GUID_NULL, S_OK, nullptr);
  return hr;
}

HRESULT CMfMediaSource::Pause() {
  CLockHolder<CLock> hold(m_lock);
  return m_state == State::kShutdown ? MF_E_SHUTDOWN : MF_E_INVALID_STATE_TRANSITION;
}

HRESULT CMfMediaSource::Shutdown() {
  ShutdownWork work;
  {
    CLockHolder<CLock> hold(m_lock);
    if (m_state == State::kShutdown) return MF_E_SHUTDOWN;
    work = ShutdownLocked();
  }
  FinishShutdown(std::move(work));
  return S_OK;
}

void CMfMediaSource::RunStreamLocked() {
  m_feed->Start(m_format);
  m_streamRunning = true;
  m_pacer.Restart();
  m_due.reset();
}

void CMfMediaSource::StopStreamLocked() {
  m_feed->Stop();
  m_streamRunning = false;
  while (!m_requests.empty()) {
    KeepSpentTokenLocked(std::move(m_requests.front()));
    m_requests.pop_front();
  }
  m_due.reset();
}

void CMfMediaSource::KeepSpentTokenLocked(CComPtr<IUnknown> token) {
  if (!token) return;
  // Every spent token was a pending request, and a request is taken only after the spent
  // ones have gone to a caller: the two together never exceed kMaxPendingRequests.
  assert(m_spentCount < m_spentTokens.size());
  if (m_spentCount < m_spentTokens.size()) m_spentTokens[m_spentCount++] = std::move(token);
}

CMfMediaSource::SpentTokens CMfMediaSource::TakeSpentTokensLocked() {
  SpentTokens spent = std::move(m_spentTokens);  // leaves every slot empty
  m_spentCount = 0;
  return spent;
}

// ---- the stream's state and requests ----

HRESULT CMfMediaSource::RequestSample(IUnknown* token) {
  // Declared before the lock holder: the tokens answered since the last request are
  // released on this (the caller's) thread once the lock is let go.
  SpentTokens spent;
  CLockHolder<CLock> hold(m_lock);
  spent = TakeSpentTokensLocked();
  if (m_state == State::kShutdown) return MF_E_SHUTDOWN;
  if (!m_streamRunning) return MF_E_MEDIA_SOURCE_WRONGSTATE;
  if (m_requests.size() >= kMaxPendingRequests) return MF_E_NOTACCEPTING;
  try {
    m_requests.emplace_back(token, kAddRef);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  m_wake.notify_all();
  return S_OK;
}

HRESULT CMfMediaSource::SetStreamState(MF_STREAM_STATE state) {
  SpentTokens spent;  // released after the lock, on this thread
  CLockHolder<CLock> hold(m_lock);
  if (m_state == State::kShutdown) return MF_E_SHUTDOWN;
  switch (state) {
    case MF_STREAM_STATE_STOPPED:
      if (m_streamRunning) {
        StopStreamLocked();
        spent = TakeSpentTokensLocked();
        m_wake.notify_all();
        return m_stream->Post(MEStreamStopped, S_OK, nullptr);
      }
      return S_OK;
    case MF_STREAM_STATE_RUNNING:
      if (m_streamRunning) return S_OK;
      if (m_state != State::kStarted) return MF_E_INVALID_STATE_TRANSITION;
      RunStreamLocked();
      m_wake.notify_all();
      {
        PROPVARIANT startTime;
        PropVariantInit(&startTime);
        startTime.vt = VT_I8;
        startTime.hVal.QuadPart = MFGetSystemTime();
        return m_stream->Post(MEStreamStarted, S_OK, &startTime);
      }
    default: return MF_E_INVALID_STATE_TRANSITION;
  }
}

HRESULT CMfMediaSource::GetStreamState(MF_STREAM_STATE* state) {
  if (state == nullptr) return E_POINTER;
  CLockHolder<CLock> hold(m_lock);
  if (m_state == State::kShutdown) return MF_E_SHUTDOWN;
  *state = m_streamRunning ? MF_STREAM_STATE_RUNNING : MF_STREAM_STATE_STOPPED;
  return S_OK;
}

// ---- IMFMediaSourceEx ----

HRESULT CMfMediaSource::GetSourceAttributes(IMFAttributes** attributes) {
  if (attributes == nullptr) return E_POINTER;
  *attributes = nullptr;
  CLockHolder<CLock> hold(m_lock);
  if (m_state == State::kShutdown) return MF_E_SHUTDOWN;
  *attributes = m_attributes.NewReference();
  return S_OK;
}

HRESULT CMfMediaSource::GetStreamAttributes(DWORD streamId, IMFAttributes** attributes) {
  if (attributes == nullptr) return E_POINTER;
  *attributes = nullptr;
  CLockHolder<CLock> hold(m_lock);
  if (m_state == State::kShutdown) return MF_E_SHUTDOWN;
  if (streamId != 0) return MF_E_INVALIDSTREAMNUMBER;
  *attributes = m_streamAttributes.NewReference();
  return S_OK;
}

HRESULT CMfMediaSource::SetD3DManager(IUnknown* /*manager*/) {
  // Frames are made in system memory; a device manager is not needed.
  CLockHolder<CLock> hold(m_lock);
  return m_state == State::kShutdown ? MF_E_SHUTDOWN : S_OK;
}

// ---- IMFGetService, IKsControl ----

HRESULT CMfMediaSource::GetService(REFGUID /*service*/, REFIID /*iid*/, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  CLockHolder<CLock> hold(m_lock);
  return m_state == State::kShutdown ? MF_E_SHUTDOWN : MF_E_UNSUPPORTED_SERVICE;
}

HRESULT CMfMediaSource::KsProperty(PKSPROPERTY /*property*/, ULONG /*propertyLength*/, LPVOID /*data*/,
                                   ULONG /*dataLength*/, ULONG* bytesReturned) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  CLockHolder<CLock> hold(m_lock);
  return m_state == State::kShutdown ? MF_E_SHUTDOWN : HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND);
}

HRESULT CMfMediaSource::KsMethod(PKSMETHOD /*method*/, ULONG /*methodLength*/, LPVOID /*data*/, ULONG /*dataLength*/,
                                 ULONG* bytesReturned) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  CLockHolder<CLock> hold(m_lock);
  return m_state == State::kShutdown ? MF_E_SHUTDOWN : HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND);
}

HRESULT CMfMediaSource::KsEvent(PKSEVENT /*event*/, ULONG /*eventLength*/, LPVOID /*data*/, ULONG /*dataLength*/,
                                ULONG* bytesReturned) {
  if (bytesReturned != nullptr) *bytesReturned = 0;
  CLockHolder<CLock> hold(m_lock);
  return m_state == State::kShutdown ? MF_E_SHUTDOWN : HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND);
}

// ---- samples ----

void CMfMediaSource::DeliveryLoop() {
  std::unique_lock<CLock> lock(m_lock);
  m_lock.AssertHeld();
  while (m_state != State::kShutdown) {
    if (m_state != State::kStarted || !m_streamRunning || m_requests.empty()) {
      m_due.reset();
      m_wake.wait(lock);
      continue;
    }
    const auto now = CFramePacer::Clock::now();
    if (!m_due) {
      const auto interval = std::chrono::duration_cast<CFramePacer::Clock::duration>(
          std::chrono::nanoseconds(1'000'000'000LL / m_format.framesPerSecond));
      m_due = now + m_pacer.WaitBefore(now, interval);
    }
    if (now < *m_due) {
      // Stop, Shutdown and a new Start wake this wait; every condition is read again.
      m_wake.wait_until(lock, *m_due);
      continue;
    }
    m_due.reset();
    CComPtr<IUnknown> token = std::move(m_requests.front());
    m_requests.pop_front();
    const HRESULT hr = DeliverLocked(token.Get());
    if (FAILED(hr) && hr != MF_E_SHUTDOWN) m_stream->Post(MEError, hr, nullptr);
    KeepSpentTokenLocked(std::move(token));
  }
}

HRESULT CMfMediaSource::DeliverLocked(IUnknown* token) {
  CComPtr<IMFSample> sample;
  const HRESULT hr = m_feed->MakeSample(token, sample.Receive());
  if (FAILED(hr)) return hr;
  return m_stream->Post(MEMediaSample, S_OK, nullptr, sample.Get());
}
