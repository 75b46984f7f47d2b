#include "mfsource/mf_frame_feed.h"

#include <mfapi.h>
#include <mferror.h>

#include <utility>

#include "channel/bridge_protocol.h"
#include "com/com_ptr.h"
#include "composer/client_name.h"
#include "diagnostics/log_file.h"
#include "mfsource/mf_last_producer_size.h"

namespace {

constexpr LONGLONG kUnitsPerSecond = 10'000'000;

// A 2-D buffer's pixels, locked for the holder's scope (Unlock2D when the lock was taken).
class CLocked2DBuffer {
 public:
  explicit CLocked2DBuffer(IMF2DBuffer* buffer) : m_buffer(buffer), m_result(buffer->Lock2D(&m_scanline0, &m_pitch)) {}
  ~CLocked2DBuffer() {
    if (SUCCEEDED(m_result)) m_buffer->Unlock2D();
  }
  CLocked2DBuffer(const CLocked2DBuffer&) = delete;
  CLocked2DBuffer& operator=(const CLocked2DBuffer&) = delete;

  HRESULT Result() const { return m_result; }
  BYTE* Scanline0() const { return m_scanline0; }
  LONG Pitch() const { return m_pitch; }

 private:
  IMF2DBuffer* const m_buffer;
  BYTE* m_scanline0 = nullptr;
  LONG m_pitch = 0;
  const HRESULT m_result;
};

}  // namespace

CMfFrameFeed::CMfFrameFeed(std::wstring picturesRoot, const MfHostMode& hostMode)
    : m_bridgeMode(hostMode.bridge), m_forcedSession(hostMode.forcedSession), m_picturesRoot(std::move(picturesRoot)) {}

void CMfFrameFeed::Start(const MfFormat& format) {
  m_format = format;
  if (m_bridgeMode) {
    const bridge::FrameShape shape{format.format == PixelFormat::kNv12 ? bridge::Format::kNv12 : bridge::Format::kRgb32,
                                   format.width, format.height};
    // One frame interval and a small margin: the longest a request waits for the agent.
    const auto budget = std::chrono::milliseconds(1000 / format.framesPerSecond) + kBridgeMargin;
    try {
      m_bridge = std::make_unique<CMfBridgeClient>(shape, budget, m_forcedSession);
    } catch (...) {
      m_bridge.reset();  // frames are the placeholder
    }
  } else {
    m_clientName = NewClientName(HostProcessName());
    if (m_channelOpen) {
      m_composer.Announce(m_clientName, format.width, format.height);
    } else {
      m_channelRetry.reset();
      OpenChannel();
    }
  }
  if (!m_picturesRoot.empty()) {
    m_images.LoadPictures(m_picturesRoot);
    m_picturesRoot.clear();  // loaded once
  }
  g_Log.Write(0, L"Media Foundation stream started: %dx%d %s at %u frames a second.\n",
              static_cast<int>(format.width), static_cast<int>(format.height),
              format.format == PixelFormat::kNv12 ? L"NV12" : L"RGB32", static_cast<unsigned>(format.framesPerSecond));
  m_lastLive.reset();
}

void CMfFrameFeed::Stop() {
  if (m_bridge) {
    m_bridge.reset();
  } else if (m_channelOpen) {
    m_composer.Withdraw();
  }
  g_Log.Write(0, L"Media Foundation stream stopped.\n");
}

void CMfFrameFeed::OpenChannel() {
  const auto now = std::chrono::steady_clock::now();
  if (m_channelOpen || (m_channelRetry && now - *m_channelRetry < kChannelRetry)) return;
  m_channelRetry = now;
  // Opened only: a camera that merely looks never makes the region or its objects.
  if (m_channel.Init(false, nullptr, CFileMapping::OpenMode::kOpenOnly) != 0) {
    if (!m_channelMissingSaid) {
      g_Log.Write(0, L"Media Foundation stream: no channel yet (no producer has run); the placeholder is shown.\n");
      m_channelMissingSaid = true;
    }
    return;
  }
  m_channelOpen = true;
  m_channelMissingSaid = false;
  m_composer.Announce(m_clientName, m_format.width, m_format.height);
}

HRESULT CMfFrameFeed::Fill(OutputPicture& picture) {
  CFrameComposer::Report report;
  if (m_bridgeMode) {
    // The agent's frame, else the placeholder: the composer has no channel here, so it
    // can only give the placeholder.
    report.live = m_bridge && m_bridge->Fetch(picture);
    if (!report.live) report = m_composer.Compose(picture);
  } else {
    OpenChannel();
    report = m_composer.Compose(picture);
    if (report.result == CFrameComposer::Result::kOk && report.live &&
        (report.producerWidth != m_rememberedWidth || report.producerHeight != m_rememberedHeight)) {
      RememberProducerSize(report.producerWidth, report.producerHeight);
      m_rememberedWidth = report.producerWidth;
      m_rememberedHeight = report.producerHeight;
    }
  }
  switch (report.result) {
    case CFrameComposer::Result::kOk: SayWhereFramesComeFrom(report); return S_OK;
    case CFrameComposer::Result::kOutOfMemory: return E_OUTOFMEMORY;
    case CFrameComposer::Result::kBadPicture: return E_UNEXPECTED;
  }
  return E_UNEXPECTED;
}

void CMfFrameFeed::SayWhereFramesComeFrom(const CFrameComposer::Report& report) {
  // Said once per change: whoever looks at a camera that shows only the placeholder
  // learns from the log whether this process ever saw the producer's frames.
  if (m_lastLive == report.live) return;
  if (report.live && m_bridgeMode) {
    g_Log.Write(0, L"Media Foundation stream: frames from the bridge agent.\n");
  } else if (report.live) {
    g_Log.Write(0, L"Media Foundation stream: frames from the producer (%dx%d).\n",
                static_cast<int>(report.producerWidth), static_cast<int>(report.producerHeight));
  } else {
    g_Log.Write(0, L"Media Foundation stream: no frame from the producer; the placeholder is shown.\n");
  }
  m_lastLive = report.live;
}

HRESULT CMfFrameFeed::MakeSample(IUnknown* token, IMFSample** sample) {
  *sample = nullptr;
  const bool nv12 = m_format.format == PixelFormat::kNv12;
  CComPtr<IMFMediaBuffer> buffer;
  HRESULT hr = MFCreate2DMediaBuffer(static_cast<DWORD>(m_format.width), static_cast<DWORD>(m_format.height),
                                     nv12 ? MFVideoFormat_NV12.Data1 : MFVideoFormat_RGB32.Data1,
                                     /*fBottomUp=*/FALSE, buffer.Receive());
  if (FAILED(hr)) return hr;
  CComPtr<IMF2DBuffer> plane = buffer.As<IMF2DBuffer>(IID_IMF2DBuffer);
  if (!plane) return E_NOINTERFACE;
  DWORD length = 0;
  hr = plane->GetContiguousLength(&length);
  if (FAILED(hr)) return hr;
  {
    const CLocked2DBuffer locked(plane.Get());
    if (FAILED(locked.Result())) return locked.Result();
    // Rows top-down at the buffer's own pitch; the planes of NV12 follow one another.
    OutputPicture picture = MfOutputPicture(m_format, locked.Scanline0(), 0);
    picture.stride = locked.Pitch();
    const std::int64_t bytes = PictureBytes(picture);
    if (locked.Pitch() <= 0 || bytes <= 0) {
      hr = MF_E_INVALIDMEDIATYPE;
    } else {
      picture.bytes = static_cast<std::size_t>(bytes);
      hr = Fill(picture);
    }
  }
  if (SUCCEEDED(hr)) hr = buffer->SetCurrentLength(length);
  CComPtr<IMFSample> made;
  if (SUCCEEDED(hr)) hr = MFCreateSample(made.Receive());
  if (SUCCEEDED(hr)) hr = made->AddBuffer(buffer.Get());
  if (SUCCEEDED(hr)) hr = made->SetSampleTime(MFGetSystemTime());
  if (SUCCEEDED(hr)) hr = made->SetSampleDuration(kUnitsPerSecond / m_format.framesPerSecond);
  if (SUCCEEDED(hr) && token != nullptr) hr = made->SetUnknown(MFSampleExtension_Token, token);
  if (FAILED(hr)) return hr;
  *sample = made.Detach();
  return S_OK;
}
