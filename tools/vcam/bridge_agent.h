// CBridgeAgent: carries the producer's frames from the user's session to the camera's
// source in the Windows 11 camera service (session 0), which cannot reach the session's
// channel objects. It is an ordinary consumer of the channel (opened only when it exists:
// it never creates the region), and serves composed frames on the named pipe of its
// session and channel (bridge::PipeName) in the bridge's wire format
// (channel/bridge_protocol.h). One agent carries one channel; amberline-vcam --bridge runs
// one for the default channel and one for each channel of the camera list.
//
//   CBridgeAgent agent(settings);
//   agent.Run([] { return platform::StopRequested(); });   // until asked to stop
//
// The pipe: first instance made with FILE_FLAG_FIRST_PIPE_INSTANCE, so a name someone else
// already made is never shared (logged once a minute, tried again every kRetryTakenName);
// remote clients are refused; the access list (bridge::PipeSddl) lets in SYSTEM, the user
// and the camera service's identity only, with a medium no-read-up/no-write-up label.
// Up to kMaxInstances clients at a time, each on a thread of its own.
//
// Each client is checked before anything is served: it must be in session 0 and be the
// FrameServer service's process (settings.checkFrameServer; a test seam turns this off).
// After an accepted hello the client has one entry in the producer's client table until
// it goes; every request gets one reply: the frame composed by CFrameComposer at exactly
// the negotiated format and size (status live), or no payload with the reason (no
// producer, producer stopped, no new frame). A client that sends anything else, stays
// silent for kIdleLimit, or cannot take a reply within kWriteLimit is dropped.
//
// Everything it does is said in the log (g_Log) and on out: the final access list, state
// changes of each client, refusals with their reason. Never pixels, never user names.
//
// Ownership: owns its pipe instances, client threads, pictures (the logo) and channels.
// Threading: Run on one thread; it joins every client thread before it returns.
// Failure: Run returns 0 when asked to stop, 1 when the pipe's security cannot be built.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>

#include "platform/annotated_lock.h"

class CPipeServer;

class CBridgeAgent {
 public:
  static constexpr unsigned kMaxInstances = 4;
  static constexpr std::chrono::seconds kRetryTakenName{5};
  static constexpr std::chrono::seconds kIdleLimit{10};
  static constexpr std::chrono::seconds kWriteLimit{2};

  struct Settings {
    std::uint32_t session = 0;         // the session whose pipe this agent serves
    bool checkFrameServer = true;      // refuse every client but the FrameServer process
    std::wstring picturesRoot;         // installation root with the logo; empty: none
    std::wstring channelName;          // the channel it carries (channel_name.h); empty: default
  };

  // The settings of the agent of this process's session (the test seam's session, with
  // the FrameServer check off, when AMBERLINE_MF_BRIDGE_SESSION is set together with a
  // channel namespace), with the pictures of the installation this program belongs to.
  // False with the reason in words in session 0, where no user's producer runs.
  static bool SettingsHere(Settings* settings, std::string* problem);

  CBridgeAgent(Settings settings, std::ostream& out);
  int Run(const std::function<bool()>& stopRequested);

 private:
  void Say(const wchar_t* format, ...);
  // The namespace of the channel this agent carries.
  std::wstring NameSpace() const;
  // Serves one connected client until it goes or a stop is requested.
  void Serve(CPipeServer& pipe, const std::function<bool()>& stopRequested);
  bool ClientAllowed(CPipeServer& pipe);

  Settings m_settings;
  std::ostream& m_out;
  CLock m_sayLock;
};
