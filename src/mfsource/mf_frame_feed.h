// CMfFrameFeed: where the Media Foundation source's pictures come from, from a stream's
// Start to its Stop.
//
//   CMfFrameFeed feed(picturesRoot, hostMode);   // touches no channel, decodes nothing
//   feed.Start(format);                          // per stream start
//   const HRESULT hr = feed.Fill(picture);       // per sample: S_OK, or why not
//   feed.Stop();
//
// In an application's own process the frames are the channel of its session, opened at
// Start and never created (while there is none the placeholder is shown and the channel is
// looked for again at most once every kChannelRetry, from Fill); the consumer is announced
// in the producer's client table from Start to Stop under NewClientName(HostProcessName()).
// A live frame whose producer size differs from the last one seen is remembered for the
// format list (RememberProducerSize). In the camera service (hostMode.bridge) the frames
// come from the bridge agent through a CMfBridgeClient that lives from Start to Stop, its
// requests waiting at most one frame interval and kBridgeMargin; whenever it has none, the
// placeholder. The pictures are decoded at the first Start.
//
// Log (g_Log): the stream's start and stop, the missing channel once until it opens, and
// one line per change between live frames and the placeholder.
//
// Fill: S_OK with the picture written (producer frame, placeholder or black), E_OUTOFMEMORY,
// or E_UNEXPECTED for a picture that does not describe its buffer. MakeSample: one sample
// of the started format, filled so: an MFCreateSample with one MFCreate2DMediaBuffer (rows
// top-down at the buffer's pitch), time-stamped with MFGetSystemTime and the frame
// duration in 100 ns, carrying token as MFSampleExtension_Token unless it is null.
// Ownership: owns the channel, the bridge client, the pictures and the composer.
// Threading: none of its own; the source calls it under its lock.
#pragma once

#include <mfidl.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "channel/file_mapping.h"
#include "composer/frame_composer.h"
#include "composer/stream_images.h"
#include "mfsource/mf_bridge_client.h"
#include "mfsource/mf_format_list.h"
#include "mfsource/mf_host_context.h"

class CMfFrameFeed {
 public:
  static constexpr std::chrono::seconds kChannelRetry{1};
  static constexpr std::chrono::milliseconds kBridgeMargin{20};

  CMfFrameFeed(std::wstring picturesRoot, const MfHostMode& hostMode);
  CMfFrameFeed(const CMfFrameFeed&) = delete;
  CMfFrameFeed& operator=(const CMfFrameFeed&) = delete;

  void Start(const MfFormat& format);
  void Stop();
  HRESULT Fill(OutputPicture& picture);
  HRESULT MakeSample(IUnknown* token, IMFSample** sample);

 private:
  // Opens the channel (open only) unless it is open or was tried within kChannelRetry;
  // announces the consumer once it opens.
  void OpenChannel();
  void SayWhereFramesComeFrom(const CFrameComposer::Report& report);

  const bool m_bridgeMode;  // frames from a bridge agent (session 0)
  const std::optional<std::uint32_t> m_forcedSession;
  MfFormat m_format{};
  std::unique_ptr<CMfBridgeClient> m_bridge;  // while the stream runs
  CFileMapping m_channel;  // opened (never created) while the stream runs, not in bridge mode
  bool m_channelOpen = false;
  bool m_channelMissingSaid = false;
  std::optional<std::chrono::steady_clock::time_point> m_channelRetry;
  std::wstring m_clientName;
  std::int32_t m_rememberedWidth = 0;
  std::int32_t m_rememberedHeight = 0;
  std::optional<bool> m_lastLive;  // what the log last said; none since the start
  std::wstring m_picturesRoot;     // until the pictures are loaded
  CStreamImages m_images;
  CFrameComposer m_composer{m_channel, m_images};
};
