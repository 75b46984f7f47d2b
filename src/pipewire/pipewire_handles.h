// Scoped owners of the PipeWire objects the camera makes, so that each is torn down in
// one place and in one way, whichever path (a failed start, a stop, a lost daemon) ends it.
//
//   pipewire_camera::ThreadLoopPtr threadLoop(pw_thread_loop_new("amberline-camera", nullptr));
//   pipewire_camera::CLoopTimer timer;
//   if (!timer.Add(loop, &OnTimer, this)) ...      // destroyed by Reset or the destructor
//   pipewire_camera::CStreamHandle stream;
//   stream.Reset(pw_stream_new(core, name, props)); // Listen once: the hook is removed first
//
// A listener hook lives inside its owner and is removed before the object it listens to
// goes, so owners that hold a hook are neither copied nor moved. Threading: as the object
// itself (the loop thread, or with the thread loop's lock held).
#pragma once

#include <memory>

#include <pipewire/pipewire.h>

namespace pipewire_camera {

struct ThreadLoopDestroy {
  void operator()(pw_thread_loop* loop) const { pw_thread_loop_destroy(loop); }
};
using ThreadLoopPtr = std::unique_ptr<pw_thread_loop, ThreadLoopDestroy>;

struct ContextDestroy {
  void operator()(pw_context* context) const { pw_context_destroy(context); }
};
using ContextPtr = std::unique_ptr<pw_context, ContextDestroy>;

// A timer source of a loop.
class CLoopTimer {
 public:
  CLoopTimer() = default;
  ~CLoopTimer() { Reset(); }
  CLoopTimer(const CLoopTimer&) = delete;
  CLoopTimer& operator=(const CLoopTimer&) = delete;

  // Adds a timer to loop (one that exists is destroyed first); false when none was made.
  bool Add(pw_loop* loop, void (*callback)(void* data, std::uint64_t expirations), void* data);
  // Arms the timer (see pw_loop_update_timer); nothing without a timer.
  void Update(timespec* value, timespec* interval, bool absolute);
  void Reset();
  explicit operator bool() const { return m_source != nullptr; }

 private:
  pw_loop* m_loop = nullptr;
  spa_source* m_source = nullptr;
};

// A stream and its listener hook.
class CStreamHandle {
 public:
  CStreamHandle() = default;
  ~CStreamHandle() { Reset(); }
  CStreamHandle(const CStreamHandle&) = delete;
  CStreamHandle& operator=(const CStreamHandle&) = delete;

  // Takes stream (null: nothing) after destroying the one held.
  void Reset(pw_stream* stream = nullptr);
  void Listen(const pw_stream_events* events, void* data);
  pw_stream* Get() const { return m_stream; }
  explicit operator bool() const { return m_stream != nullptr; }

 private:
  pw_stream* m_stream = nullptr;
  spa_hook m_hook{};
  bool m_listening = false;
};

// A connection to the daemon (a core) and its listener hook.
class CCoreConnection {
 public:
  CCoreConnection() = default;
  ~CCoreConnection() { Reset(); }
  CCoreConnection(const CCoreConnection&) = delete;
  CCoreConnection& operator=(const CCoreConnection&) = delete;

  // Takes core (null: nothing) after disconnecting the one held.
  void Reset(pw_core* core = nullptr);
  void Listen(const pw_core_events* events, void* data);
  pw_core* Get() const { return m_core; }
  explicit operator bool() const { return m_core != nullptr; }

 private:
  pw_core* m_core = nullptr;
  spa_hook m_hook{};
  bool m_listening = false;
};

}  // namespace pipewire_camera
