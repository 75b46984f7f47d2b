#include "mfsource/mf_frame_feed.h"

#include <utility>

#include "channel/bridge_protocol.h"
#include "composer/client_name.h"
#include "diagnostics/log_file.h"
#include "mfsource/mf_last_producer_size.h"

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
