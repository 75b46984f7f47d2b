// CPipeWireSession: the connection to the PipeWire daemon that the camera nodes live on,
// kept up for as long as the session runs.
//
//   CPipeWireSession session(std::move(nodes), listener);
//   if (!session.Start()) return 1;     // no loop or context could be made
//   ...                                 // until the user asks to stop
//   session.Stop();                     // nodes removed, disconnected
//
// Start runs a pw_thread_loop, makes a context and connects; every node is published
// on the new connection. A connection that fails (no daemon yet) or is lost (the core
// reports -EPIPE: the daemon ended) is tried again after a delay that starts at
// kFirstRetry and doubles up to kLastRetry, so a daemon that is away costs a few
// attempts a minute, never a busy loop; the nodes are published again on the new
// connection (with new node ids). A node whose stream ends while the connection stays up
// (the daemon removed it) is published again after the same kind of delay. The listener
// hears of a loss once per connection and of every connection after a loss or a failed
// first attempt; while the daemon stays away it hears again kFirstReminder after the
// loss and every kReminderEvery after that, so a camera that waits is never silent.
//
// Ownership: owns the loop, the context, the core and the nodes. Threading: Start and
// Stop on one thread (the program's); everything else runs on the loop thread, and the
// listener is called there. RunLocked runs a function on the caller's thread with the
// loop locked (for a look at the nodes). Failure: Start is false when the loop or the
// context cannot be made; a daemon that is not there is not a failure (it is retried).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <pipewire/pipewire.h>

#include "pipewire/camera_node.h"
#include "pipewire/pipewire_handles.h"

class CPipeWireSession {
 public:
  static constexpr std::chrono::milliseconds kFirstRetry{250};
  static constexpr std::chrono::milliseconds kLastRetry{5000};
  static constexpr std::chrono::seconds kFirstReminder{8};
  static constexpr std::chrono::seconds kReminderEvery{60};

  class Listener {
   public:
    virtual ~Listener() = default;
    // The node is known to the daemon: after every publication, an unused node's new
    // stream included (usually with the same id).
    virtual void NodePublished(const CCameraNode& node, std::uint32_t nodeId) = 0;
    // The node could not be made on a connection (it is tried again on the next one).
    virtual void NodeFailed(const CCameraNode& node) = 0;
    // The node ended while the connection stayed up; it is published again.
    virtual void NodeEnded(const CCameraNode& node, const std::string& reason) = 0;
    // The first attempt failed (wasConnected false) or a connection was lost (true).
    virtual void ConnectionLost(bool wasConnected, const std::string& reason) = 0;
    // Connected after a loss or a failed first attempt.
    virtual void Reconnected() = 0;
    // Still no connection, `away` after the loss or the first failed attempt; attempts go on
    // every `retryEvery`.
    virtual void StillAway(const std::string& reason, std::chrono::seconds away, std::chrono::milliseconds retryEvery) = 0;
  };

  CPipeWireSession(std::vector<std::unique_ptr<CCameraNode>> nodes, Listener& listener);
  ~CPipeWireSession();
  CPipeWireSession(const CPipeWireSession&) = delete;
  CPipeWireSession& operator=(const CPipeWireSession&) = delete;

  bool Start();
  void Stop();
  void RunLocked(const std::function<void(const std::vector<std::unique_ptr<CCameraNode>>&)>& look);

 private:
  static void OnCoreError(void* data, std::uint32_t id, int seq, int res, const char* message);
  static void OnRetryTimer(void* data, std::uint64_t expirations);

  void Connect();
  // Publishes one node on the current connection, telling the listener how it went.
  void Publish(CCameraNode& node);
  void Disconnect();
  // Ends what Start made, in the one order every path uses; the nodes go too once the
  // loop ran (a Start that failed keeps them for another Start).
  void TearDown(bool loopRan);
  void Lost(const std::string& reason);
  void RetryTimer();
  void ArmRetry(std::chrono::nanoseconds delay);

  std::vector<std::unique_ptr<CCameraNode>> m_nodes;
  Listener& m_listener;
  pipewire_camera::ThreadLoopPtr m_threadLoop;
  pw_loop* m_loop = nullptr;
  pipewire_camera::ContextPtr m_context;
  pipewire_camera::CCoreConnection m_core;
  pipewire_camera::CLoopTimer m_retryTimer;
  bool m_lost = false;          // the core reported the loss; torn down by the retry timer
  // Nodes whose stream ended on a live connection, with why; published again by the timer.
  std::vector<std::pair<CCameraNode*, std::string>> m_ended;
  // Unused nodes that asked for a new stream; published again by the timer, at once.
  std::vector<CCameraNode*> m_renewals;
  bool m_missedOnce = false;    // a connection failed or was lost since the last success
  std::chrono::steady_clock::time_point m_awaySince;   // when that happened
  std::chrono::steady_clock::time_point m_nextReminder;
  std::chrono::milliseconds m_backoff = kFirstRetry;
  bool m_started = false;
};
