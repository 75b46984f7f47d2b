#include "pipewire/pipewire_handles.h"

namespace pipewire_camera {

bool CLoopTimer::Add(pw_loop* loop, void (*callback)(void* data, std::uint64_t expirations), void* data) {
  Reset();
  m_source = pw_loop_add_timer(loop, callback, data);
  m_loop = m_source != nullptr ? loop : nullptr;
  return m_source != nullptr;
}

void CLoopTimer::Update(timespec* value, timespec* interval, bool absolute) {
  if (m_source != nullptr) pw_loop_update_timer(m_loop, m_source, value, interval, absolute);
}

void CLoopTimer::Reset() {
  if (m_source != nullptr) pw_loop_destroy_source(m_loop, m_source);
  m_source = nullptr;
  m_loop = nullptr;
}

void CStreamHandle::Reset(pw_stream* stream) {
  if (m_stream != nullptr) {
    if (m_listening) spa_hook_remove(&m_hook);
    pw_stream_destroy(m_stream);
  }
  m_listening = false;
  m_stream = stream;
}

void CStreamHandle::Listen(const pw_stream_events* events, void* data) {
  if (m_stream == nullptr || m_listening) return;
  m_hook = spa_hook{};
  pw_stream_add_listener(m_stream, &m_hook, events, data);
  m_listening = true;
}

void CCoreConnection::Reset(pw_core* core) {
  if (m_core != nullptr) {
    if (m_listening) spa_hook_remove(&m_hook);
    pw_core_disconnect(m_core);
  }
  m_listening = false;
  m_core = core;
}

void CCoreConnection::Listen(const pw_core_events* events, void* data) {
  if (m_core == nullptr || m_listening) return;
  m_hook = spa_hook{};
  pw_core_add_listener(m_core, &m_hook, events, data);
  m_listening = true;
}

}  // namespace pipewire_camera
