#include "pipewire/pipewire_session.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

CPipeWireSession::CPipeWireSession(std::vector<std::unique_ptr<CCameraNode>> nodes, Listener& listener)
    : m_nodes(std::move(nodes)), m_listener(listener) {}

CPipeWireSession::~CPipeWireSession() { Stop(); }

bool CPipeWireSession::Start() {
  if (m_started) return true;
  m_threadLoop.reset(pw_thread_loop_new("amberline-camera", nullptr));
  if (m_threadLoop == nullptr) return false;
  m_loop = pw_thread_loop_get_loop(m_threadLoop.get());
  m_context.reset(pw_context_new(m_loop, nullptr, 0));
  bool ready = m_context != nullptr;
  if (ready) {
    pw_thread_loop_lock(m_threadLoop.get());
    ready = m_retryTimer.Add(m_loop, &CPipeWireSession::OnRetryTimer, this);
    if (ready) Connect();
    pw_thread_loop_unlock(m_threadLoop.get());
  }
  if (!ready || pw_thread_loop_start(m_threadLoop.get()) < 0) {
    TearDown(false);
    return false;
  }
  m_started = true;
  return true;
}

void CPipeWireSession::Stop() {
  if (!m_started) return;
  TearDown(true);
  m_started = false;
}

void CPipeWireSession::TearDown(bool loopRan) {
  if (m_threadLoop != nullptr) {
    pw_thread_loop_lock(m_threadLoop.get());
    Disconnect();
    m_retryTimer.Reset();
    pw_thread_loop_unlock(m_threadLoop.get());
    if (loopRan) {
      pw_thread_loop_stop(m_threadLoop.get());
      // The nodes' channel handles and pictures go before the context they were used under.
      m_nodes.clear();
    }
  }
  m_context.reset();
  m_threadLoop.reset();
  m_loop = nullptr;
}

void CPipeWireSession::RunLocked(const std::function<void(const std::vector<std::unique_ptr<CCameraNode>>&)>& look) {
  if (m_threadLoop == nullptr) {
    look(m_nodes);
    return;
  }
  pw_thread_loop_lock(m_threadLoop.get());
  look(m_nodes);
  pw_thread_loop_unlock(m_threadLoop.get());
}

void CPipeWireSession::OnCoreError(void* data, std::uint32_t id, int /*seq*/, int res, const char* message) {
  auto* self = static_cast<CPipeWireSession*>(data);
  // Only the core's own -EPIPE means the daemon is gone; other errors belong to objects.
  if (id == PW_ID_CORE && res == -EPIPE) self->Lost(message != nullptr ? message : std::strerror(EPIPE));
}

void CPipeWireSession::OnRetryTimer(void* data, std::uint64_t /*expirations*/) {
  static_cast<CPipeWireSession*>(data)->RetryTimer();
}

void CPipeWireSession::Connect() {
  m_core.Reset(pw_context_connect(m_context.get(), nullptr, 0));
  if (!m_core) {
    const std::string reason = std::strerror(errno);
    const auto now = std::chrono::steady_clock::now();
    if (!m_missedOnce) {
      m_listener.ConnectionLost(false, reason);
      m_awaySince = now;
      m_nextReminder = now + kFirstReminder;
    }
    m_missedOnce = true;
    ArmRetry(m_backoff);
    m_backoff = std::min(m_backoff * 2, kLastRetry);
    if (now >= m_nextReminder) {
      m_listener.StillAway(reason, std::chrono::duration_cast<std::chrono::seconds>(now - m_awaySince), m_backoff);
      m_nextReminder = now + kReminderEvery;
    }
    return;
  }
  static const pw_core_events events = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.error = &CPipeWireSession::OnCoreError;
    return e;
  }();
  m_core.Listen(&events, this);
  if (m_missedOnce) m_listener.Reconnected();
  m_missedOnce = false;
  m_lost = false;
  for (const auto& node : m_nodes) Publish(*node);
}

void CPipeWireSession::Publish(CCameraNode& node) {
  const bool published = node.Publish(
      m_core.Get(), m_loop,
      [this](const CCameraNode& taken, std::uint32_t nodeId) {
        // A node the daemon took is the sign of a good connection: the next loss starts
        // its delays from the beginning.
        m_backoff = kFirstRetry;
        m_listener.NodePublished(taken, nodeId);
      },
      [this](const CCameraNode& ended, const std::string& reason) {
        // The stream cannot be destroyed inside its own event, and a daemon that is going
        // away ends every stream just before the core learns of it: the timer decides.
        for (const auto& [node, why] : m_ended)
          if (node == &ended) return;
        for (const auto& node : m_nodes)
          if (node.get() == &ended) m_ended.emplace_back(node.get(), reason);
        ArmRetry(m_backoff);
        m_backoff = std::min(m_backoff * 2, kLastRetry);
      },
      [this](const CCameraNode& unused) {
        // Not inside the node's own timer: the timer decides, at once.
        for (const auto& node : m_nodes)
          if (node.get() == &unused && std::find(m_renewals.begin(), m_renewals.end(), node.get()) == m_renewals.end())
            m_renewals.push_back(node.get());
        ArmRetry(std::chrono::nanoseconds(1));
      });
  if (!published) m_listener.NodeFailed(node);
}

void CPipeWireSession::Disconnect() {
  m_ended.clear();
  m_renewals.clear();
  for (const auto& node : m_nodes) node->Unpublish();
  m_core.Reset();
}

void CPipeWireSession::Lost(const std::string& reason) {
  if (m_lost || !m_core) return;
  m_lost = true;
  m_listener.ConnectionLost(true, reason);
  m_missedOnce = true;
  m_awaySince = std::chrono::steady_clock::now();
  m_nextReminder = m_awaySince + kFirstReminder;
  // The core cannot be torn down inside its own event: the timer does it at once.
  ArmRetry(std::chrono::nanoseconds(1));
}

void CPipeWireSession::RetryTimer() {
  if (m_lost) {
    Disconnect();
    m_lost = false;
    ArmRetry(m_backoff);
    m_backoff = std::min(m_backoff * 2, kLastRetry);
    return;
  }
  if (!m_core) {
    Connect();
    return;
  }
  const std::vector<std::pair<CCameraNode*, std::string>> ended = std::move(m_ended);
  m_ended.clear();
  for (const auto& [node, reason] : ended) {
    m_listener.NodeEnded(*node, reason);
    Publish(*node);
  }
  const std::vector<CCameraNode*> renewals = std::move(m_renewals);
  m_renewals.clear();
  for (CCameraNode* node : renewals)
    if (std::none_of(ended.begin(), ended.end(), [&](const auto& e) { return e.first == node; })) Publish(*node);
}

void CPipeWireSession::ArmRetry(std::chrono::nanoseconds delay) {
  timespec value{};
  value.tv_sec = static_cast<time_t>(delay.count() / 1000000000);
  value.tv_nsec = static_cast<long>(delay.count() % 1000000000);
  if (value.tv_sec == 0 && value.tv_nsec == 0) value.tv_nsec = 1;
  m_retryTimer.Update(&value, nullptr, false);
}
