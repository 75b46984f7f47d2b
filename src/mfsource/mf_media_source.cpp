#include "mfsource/mf_media_source.h"

#include <mfapi.h>
#include <mferror.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "filter/video_src_stream.h"
#include "mfsource/mf_media_stream.h"
#include "platform/mf_virtual_camera.h"

namespace {

constexpr LONGLONG kUnitsPerSecond = 10'000'000;

// Paints the picture black (BT.601 limited range for NV12, opaque for RGB32).
void FillBlack(const OutputPicture& picture) {
  const auto bytes = static_cast<std::size_t>(PictureBytes(picture));
  if (picture.format == PixelFormat::kNv12) {
    const std::size_t luma = static_cast<std::size_t>(picture.stride) * static_cast<std::size_t>(picture.height);
    std::memset(picture.buffer, 16, luma);
    std::memset(picture.buffer + luma, 128, bytes - luma);
    return;
  }
  for (std::size_t i = 0; i + 3 < bytes; i += 4) {
    picture.buffer[i] = 0;
    picture.buffer[i + 1] = 0;
    picture.buffer[i + 2] = 0;
    picture.buffer[i + 3] = 255;
  }
}

HRESULT SetStreamAttributes(IMFAttributes* attributes) {
  HRESULT hr = attributes->SetGUID(MF_DEVICESTREAM_STREAM_CATEGORY, AMBERLINE_PINNAME_VIDEO_CAPTURE);
  if (SUCCEEDED(hr)) hr = attributes->SetUINT32(MF_DEVICESTREAM_STREAM_ID, 0);
  if (SUCCEEDED(hr)) hr = attributes->SetUINT32(MF_DEVICESTREAM_FRAMESERVER_SHARED, 1);
  if (SUCCEEDED(hr)) hr = attributes->SetUINT32(MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES, MFFrameSourceTypes_Color);
  return hr;
}

}  // namespace

HRESULT CMfMediaSource::Create(CMfMediaSource** source) {
  if (source == nullptr) return E_POINTER;
  *source = nullptr;
  auto* made = new (std::nothrow) CMfMediaSource();
  if (made == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = made->Init();
  if (FAILED(hr)) {
    made->Release();
    return hr;
  }
  *source = made;
  return S_OK;
}

HRESULT CMfMediaSource::Init() {
  CLockHolder<CLock> hold(m_lock);
  if (m_channel.Init(false, nullptr) != 0) return E_FAIL;
  HRESULT hr = MFCreateEventQueue(&m_queue);
  if (SUCCEEDED(hr)) hr = MFCreateAttributes(&m_attributes, 1);
  if (SUCCEEDED(hr)) hr = MFCreateAttributes(&m_streamAttributes, 4);
  if (SUCCEEDED(hr)) hr = SetStreamAttributes(m_streamAttributes);
  if (FAILED(hr)) return hr;

  const auto [producerWidth, producerHeight] = m_channel.GetServerResolution();
  const std::vector<MfFormat> formats = MfFormatList(producerWidth, producerHeight);
  std::vector<IMFMediaType*> types;
  for (const MfFormat& format : formats) {
    IMFMediaType* type = nullptr;
    hr = CreateMfMediaType(format, &type);
    if (FAILED(hr)) break;
    types.push_back(type);
  }
  IMFStreamDescriptor* streamDescriptor = nullptr;
  if (SUCCEEDED(hr)) hr = MFCreateStreamDescriptor(0, static_cast<DWORD>(types.size()), types.data(), &streamDescriptor);
  if (SUCCEEDED(hr)) hr = SetStreamAttributes(streamDescriptor);
  IMFMediaTypeHandler* handler = nullptr;
  if (SUCCEEDED(hr)) hr = streamDescriptor->GetMediaTypeHandler(&handler);
  if (SUCCEEDED(hr)) hr = handler->SetCurrentMediaType(types.front());
  if (handler != nullptr) handler->Release();
  for (IMFMediaType* type : types) type->Release();
  if (SUCCEEDED(hr)) m_format = formats.front();
  if (SUCCEEDED(hr)) hr = MFCreatePresentationDescriptor(1, &streamDescriptor, &m_descriptor);
  if (SUCCEEDED(hr)) hr = m_descriptor->SelectStream(0);
  if (SUCCEEDED(hr)) hr = CMfMediaStream::Create(this, streamDescriptor, &m_stream);
  if (streamDescriptor != nullptr) streamDescriptor->Release();
  return hr;
}

CMfMediaSource::~CMfMediaSource() {
  {
    CLockHolder<CLock> hold(m_lock);
    if (m_state != State::kShutdown) ShutdownLocked();
  }
  if (m_queue != nullptr) m_queue->Release();
}

HRESULT CMfMediaSource::ShutdownLocked() {
  if (m_state == State::kStarted) m_composer.Withdraw();
  m_state = State::kShutdown;
  if (m_queue != nullptr) m_queue->Shutdown();
  if (m_stream != nullptr) {
    m_stream->Shutdown();
    m_stream->Release();
    m_stream = nullptr;
  }
  for (IUnknown** held : {reinterpret_cast<IUnknown**>(&m_descriptor), reinterpret_cast<IUnknown**>(&m_attributes),
                          reinterpret_cast<IUnknown**>(&m_streamAttributes)}) {
    if (*held != nullptr) (*held)->Release();
    *held = nullptr;
  }
  return S_OK;
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
  AddRef();
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

// ---- IMFMediaEventGenerator: the queue itself answers MF_E_SHUTDOWN once shut down ----

HRESULT CMfMediaSource::GetEvent(DWORD flags, IMFMediaEvent** event) { return m_queue->GetEvent(flags, event); }

HRESULT CMfMediaSource::BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) {
  return m_queue->BeginGetEvent(callback, state);
}

HRESULT CMfMediaSource::EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) {
  return m_queue->EndGetEvent(result, event);
}

HRESULT CMfMediaSource::QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status,
                                   const PROPVARIANT* value) {
  return m_queue->QueueEventParamVar(type, extendedType, status, value);
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
  CLockHolder<CLock> hold(m_lock);
  if (m_state == State::kShutdown) return MF_E_SHUTDOWN;
  if (timeFormat != nullptr && *timeFormat != GUID_NULL) return MF_E_UNSUPPORTED_TIME_FORMAT;
  if (startPosition->vt != VT_EMPTY && startPosition->vt != VT_I8) return MF_E_UNSUPPORTED_TIME_FORMAT;

  DWORD count = 0;
  HRESULT hr = descriptor->GetStreamDescriptorCount(&count);
  if (FAILED(hr)) return hr;
  if (count != 1) return E_INVALIDARG;
  BOOL selected = FALSE;
  IMFStreamDescriptor* streamDescriptor = nullptr;
  hr = descriptor->GetStreamDescriptorByIndex(0, &selected, &streamDescriptor);
  if (FAILED(hr)) return hr;
  DWORD id = 1;
  hr = streamDescriptor->GetStreamIdentifier(&id);
  IMFMediaTypeHandler* handler = nullptr;
  IMFMediaType* type = nullptr;
  if (SUCCEEDED(hr)) hr = streamDescriptor->GetMediaTypeHandler(&handler);
  if (SUCCEEDED(hr)) hr = handler->GetCurrentMediaType(&type);
  MfFormat format;
  if (SUCCEEDED(hr)) hr = ReadMfFormat(type, &format);
  if (type != nullptr) type->Release();
  if (handler != nullptr) handler->Release();
  streamDescriptor->Release();
  if (FAILED(hr)) return hr;
  if (id != 0) return E_INVALIDARG;

  PROPVARIANT startTime;
  PropVariantInit(&startTime);
  startTime.vt = VT_I8;
  startTime.hVal.QuadPart = MFGetSystemTime();
  if (selected) {
    const bool restart = m_state == State::kStarted;
    if (!restart || format.width != m_format.width || format.height != m_format.height ||
        format.format != m_format.format) {
      if (restart) m_composer.Withdraw();
      std::wstring guid;
      CVideoSrcStream::CreateClientGuid(&guid);
      m_composer.Announce(CVideoSrcStream::GetHostProcessName() + L"-" + guid, format.width, format.height);
    }
    m_format = format;
    hr = m_queue->QueueEventParamUnk(m_streamAnnounced ? MEUpdatedStream : MENewStream, GUID_NULL, S_OK,
                                     static_cast<IMFMediaStream*>(m_stream));
    m_streamAnnounced = true;
    if (SUCCEEDED(hr)) hr = m_stream->Start(&startTime);
  } else if (m_state == State::kStarted) {
    m_composer.Withdraw();
    hr = m_stream->Stop();
  }
  if (SUCCEEDED(hr)) hr = m_queue->QueueEventParamVar(MESourceStarted, GUID_NULL, S_OK, &startTime);
  if (FAILED(hr)) return hr;
  m_state = State::kStarted;
  return S_OK;
}

HRESULT CMfMediaSource::Stop() {
  CLockHolder<CLock> hold(m_lock);
  if (m_state == State::kShutdown) return MF_E_SHUTDOWN;
  if (m_state == State::kStarted) m_composer.Withdraw();
  m_state = State::kStopped;
  HRESULT hr = m_stream->Stop();
  if (SUCCEEDED(hr)) hr = m_queue->QueueEventParamVar(MESourceStopped, GUID_NULL, S_OK, nullptr);
  return hr;
}

HRESULT CMfMediaSource::Pause() {
  CLockHolder<CLock> hold(m_lock);
  return m_state == State::kShutdown ? MF_E_SHUTDOWN : MF_E_INVALID_STATE_TRANSITION;
}

HRESULT CMfMediaSource::Shutdown() {
  CLockHolder<CLock> hold(m_lock);
  if (m_state == State::kShutdown) return MF_E_SHUTDOWN;
  return ShutdownLocked();
}

// ---- IMFMediaSourceEx ----

HRESULT CMfMediaSource::GetSourceAttributes(IMFAttributes** attributes) {
  if (attributes == nullptr) return E_POINTER;
  *attributes = nullptr;
  CLockHolder<CLock> hold(m_lock);
  if (m_state == State::kShutdown) return MF_E_SHUTDOWN;
  *attributes = m_attributes;
  m_attributes->AddRef();
  return S_OK;
}

HRESULT CMfMediaSource::GetStreamAttributes(DWORD streamId, IMFAttributes** attributes) {
  if (attributes == nullptr) return E_POINTER;
  *attributes = nullptr;
  CLockHolder<CLock> hold(m_lock);
  if (m_state == State::kShutdown) return MF_E_SHUTDOWN;
  if (streamId != 0) return MF_E_INVALIDSTREAMNUMBER;
  *attributes = m_streamAttributes;
  m_streamAttributes->AddRef();
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

HRESULT CMfMediaSource::FillRequest(IUnknown* token) {
  CLockHolder<CLock> hold(m_lock);
  if (m_state == State::kShutdown) return MF_E_SHUTDOWN;
  if (m_state != State::kStarted) return MF_E_MEDIA_SOURCE_WRONGSTATE;
  IMFSample* sample = nullptr;
  HRESULT hr = MakeSample(token, &sample);
  if (FAILED(hr)) return hr;
  hr = m_stream->DeliverSample(sample);
  sample->Release();
  return hr;
}

HRESULT CMfMediaSource::MakeSample(IUnknown* token, IMFSample** sample) {
  OutputPicture picture = MfOutputPicture(m_format, nullptr, 0);
  const std::int64_t bytes = PictureBytes(picture);
  if (bytes <= 0 || bytes > 0x7fffffff) return MF_E_INVALIDMEDIATYPE;
  IMFMediaBuffer* buffer = nullptr;
  HRESULT hr = MFCreateMemoryBuffer(static_cast<DWORD>(bytes), &buffer);
  if (FAILED(hr)) return hr;
  BYTE* data = nullptr;
  DWORD capacity = 0;
  hr = buffer->Lock(&data, &capacity, nullptr);
  if (SUCCEEDED(hr)) {
    picture.buffer = data;
    picture.bytes = capacity;
    FillBlack(picture);
    switch (m_composer.Compose(picture).result) {
      case CFrameComposer::Result::kOk: break;
      case CFrameComposer::Result::kOutOfMemory: hr = E_OUTOFMEMORY; break;
      case CFrameComposer::Result::kBadPicture: hr = E_UNEXPECTED; break;
    }
    buffer->Unlock();
  }
  if (SUCCEEDED(hr)) hr = buffer->SetCurrentLength(static_cast<DWORD>(bytes));
  IMFSample* made = nullptr;
  if (SUCCEEDED(hr)) hr = MFCreateSample(&made);
  if (SUCCEEDED(hr)) hr = made->AddBuffer(buffer);
  buffer->Release();
  if (SUCCEEDED(hr)) hr = made->SetSampleTime(MFGetSystemTime());
  if (SUCCEEDED(hr)) hr = made->SetSampleDuration(kUnitsPerSecond / m_format.framesPerSecond);
  if (SUCCEEDED(hr) && token != nullptr) hr = made->SetUnknown(MFSampleExtension_Token, token);
  if (FAILED(hr)) {
    if (made != nullptr) made->Release();
    return hr;
  }
  *sample = made;
  return S_OK;
}
