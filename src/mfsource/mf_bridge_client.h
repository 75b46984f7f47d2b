// CMfBridgeClient: how the camera's source in the camera service (session 0) gets the
// producer's frames: from the bridge agent of one user session, over that agent's pipe
// (channel/bridge_protocol.h). One client lives from the source's Start to its Stop.
//
//   CMfBridgeClient bridge(shape, std::chrono::milliseconds(33), forcedSession);
//   if (!bridge.Fetch(picture)) ComposePlaceholder(picture);   // every frame
//
// Session: the test seam's session when given; else the console session when its pipe
// exists; else the one active user session that has a bridge (a remote desktop); else
// none (several sessions with a bridge are ambiguous and get none as well): never "any
// pipe that answers". The first session chosen is kept until the client ends; while none
// is, the choice is made again at every connection attempt.
//
// Connection: off the frame path, on a thread of the client's own, with back-off (1 s
// doubling to kLongestBackOff) after each failure. It connects at identification level,
// requires the pipe's server to run in the chosen session (a pipe made by a process of
// another session is a squatter), and runs the versioned hello for the shape. Fetch never
// connects: it asks the connected agent for one frame and waits at most the budget given
// at construction for the reply's header (and, once the header has come, one more budget
// for the frame's bytes). A reply whose header has not begun to come is waited for again
// at the next Fetch (one request is out at a time; the frame meanwhile is the last one, or
// the placeholder), for up to kLateLimit. Any reply that is not exactly what
// was asked for (bridge::CheckFrameReply), or that stops halfway, drops the connection:
// the frame is the placeholder and the connection thread connects again.
//
// Log (g_Log), one line per change: the session choice and why, the pipe name and the
// system error of a failed connection (2: no agent, 5: access list mismatch, 231: busy;
// repeated failures once a minute with a count), the server's session and process, the
// protocol version and format, the first live frame, live / no producer / producer
// stopped / agent gone, rejected replies with the field, and at the end the frames and
// placeholders served. Never pixels, never user names.
//
// Ownership: owns its pipe and its connection thread; the destructor stops the thread
// (a connection attempt in flight ends within its own bounded waits) and closes the pipe.
// Threading: Fetch from one thread at a time (the source's delivery thread, under the
// source's lock); m_lock guards the pipe between that thread and the connection thread
// and is never held while connecting. Failure: Fetch returns false; nothing throws.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "channel/bridge_protocol.h"
#include "composer/output_picture.h"
#include "platform/annotated_lock.h"
#include "platform/pipe_client.h"

class CMfBridgeClient {
 public:
  static constexpr std::chrono::seconds kFirstBackOff{1};
  static constexpr std::chrono::seconds kLongestBackOff{10};
  // The hello's whole exchange, in the connection thread.
  static constexpr std::chrono::milliseconds kHelloLimit{500};
  // How long replies may keep coming late before the agent counts as gone.
  static constexpr std::chrono::seconds kLateLimit{2};

  // budget: the longest a Fetch may wait for its answer (a frame interval and a margin).
  CMfBridgeClient(const bridge::FrameShape& shape, std::chrono::milliseconds budget,
                  std::optional<std::uint32_t> forcedSession);
  ~CMfBridgeClient();
  CMfBridgeClient(const CMfBridgeClient&) = delete;
  CMfBridgeClient& operator=(const CMfBridgeClient&) = delete;

  // Writes the agent's frame into picture (of the client's shape; its stride may exceed
  // the packed one): true. False, with the picture untouched, when there is no frame to
  // show (no connection, no producer, a rejected reply); *status (may be null) says which.
  bool Fetch(const OutputPicture& picture, bridge::Status* status = nullptr);
  // Whether an agent is connected now (it may go at any time).
  bool IsConnected();

 private:
  enum class Link { kNone, kLive, kNoProducer, kProducerStopped, kAgentGone };
  void ConnectLoop();
  // One attempt: chooses the session when none is kept, connects, checks and greets. The
  // connected pipe, or an empty one.
  CPipeClient Attempt();
  std::optional<std::uint32_t> ChooseSession();
  // Drops the connection (with m_lock held) after a failure the log has named.
  void DropLocked() REQUIRES(m_lock);
  void SayLink(Link link) REQUIRES(m_lock);
  static void CopyPacked(const std::uint8_t* packed, const OutputPicture& picture);

  const bridge::FrameShape m_shape;
  const std::size_t m_frameBytes;
  const std::chrono::milliseconds m_budget;
  const std::optional<std::uint32_t> m_forcedSession;

  CLock m_lock;
  std::condition_variable_any m_wake;
  bool m_stopping GUARDED_BY(m_lock) = false;
  bool m_connected GUARDED_BY(m_lock) = false;
  CPipeClient m_pipe GUARDED_BY(m_lock);
  std::uint32_t m_sequence GUARDED_BY(m_lock) = 0;
  bool m_outstanding GUARDED_BY(m_lock) = false;  // the reply to m_sequence is still due
  // Since when the replies have been late; none while they come in time.
  std::optional<std::chrono::steady_clock::time_point> m_lateSince GUARDED_BY(m_lock);
  std::vector<std::uint8_t> m_staging GUARDED_BY(m_lock);  // the last live frame, packed
  bool m_haveFrame GUARDED_BY(m_lock) = false;
  bool m_firstLiveSaid GUARDED_BY(m_lock) = false;
  Link m_link GUARDED_BY(m_lock) = Link::kNone;
  std::uint64_t m_frames GUARDED_BY(m_lock) = 0;
  std::uint64_t m_placeholders GUARDED_BY(m_lock) = 0;

  // The connection thread's own.
  std::optional<std::uint32_t> m_session;
  std::wstring m_lastChoiceSaid;
  DWORD m_lastError = ERROR_SUCCESS;
  unsigned m_failures = 0;
  std::chrono::steady_clock::time_point m_lastFailureSaid{};

  std::thread m_thread;
};
