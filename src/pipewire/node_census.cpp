#include "pipewire/node_census.h"

#include <cerrno>
#include <cstring>

#include <pipewire/pipewire.h>

#include "pipewire/pipewire_handles.h"

namespace {

struct Census {
  pw_thread_loop* loop = nullptr;
  std::vector<CensusNode> nodes;
  int seq = -1;
  bool done = false;
};

void OnGlobal(void* data, std::uint32_t id, std::uint32_t /*permissions*/, const char* type, std::uint32_t /*version*/,
              const spa_dict* props) {
  auto* census = static_cast<Census*>(data);
  if (type == nullptr || std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0 || props == nullptr) return;
  if (const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME); name != nullptr) census->nodes.push_back({id, name});
}

void OnDone(void* data, std::uint32_t id, int seq) {
  auto* census = static_cast<Census*>(data);
  if (id != PW_ID_CORE || seq != census->seq) return;
  census->done = true;
  pw_thread_loop_signal(census->loop, false);
}

}  // namespace

bool TakeNodeCensus(std::chrono::milliseconds limit, std::vector<CensusNode>* nodes, std::string* problem) {
  pipewire_camera::ThreadLoopPtr threadLoop(pw_thread_loop_new("amberline-census", nullptr));
  if (threadLoop == nullptr) {
    *problem = "no loop could be made";
    return false;
  }
  pipewire_camera::ContextPtr context(pw_context_new(pw_thread_loop_get_loop(threadLoop.get()), nullptr, 0));
  if (context == nullptr || pw_thread_loop_start(threadLoop.get()) < 0) {
    *problem = "no PipeWire context could be made";
    return false;
  }
  Census census;
  census.loop = threadLoop.get();
  bool answered = false;
  pw_thread_loop_lock(threadLoop.get());
  {
    pipewire_camera::CCoreConnection core;
    core.Reset(pw_context_connect(context.get(), nullptr, 0));
    if (!core) {
      *problem = std::strerror(errno);
    } else {
      static const pw_core_events coreEvents = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.done = &OnDone;
        return e;
      }();
      static const pw_registry_events registryEvents = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = &OnGlobal;
        return e;
      }();
      core.Listen(&coreEvents, &census);
      pw_registry* registry = pw_core_get_registry(core.Get(), PW_VERSION_REGISTRY, 0);
      spa_hook registryHook{};
      if (registry != nullptr) {
        pw_registry_add_listener(registry, &registryHook, &registryEvents, &census);
        census.seq = pw_core_sync(core.Get(), PW_ID_CORE, 0);
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!census.done && std::chrono::steady_clock::now() < deadline) {
          const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
          timespec until{};
          pw_thread_loop_get_time(threadLoop.get(), &until, left.count() * 1000000);
          pw_thread_loop_timed_wait_full(threadLoop.get(), &until);
        }
        spa_hook_remove(&registryHook);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
      }
      answered = census.done;
      if (!answered) *problem = "PipeWire gave no list of its nodes within " + std::to_string(limit.count()) + " ms";
    }
  }
  pw_thread_loop_unlock(threadLoop.get());
  pw_thread_loop_stop(threadLoop.get());
  if (answered) *nodes = std::move(census.nodes);
  return answered;
}
