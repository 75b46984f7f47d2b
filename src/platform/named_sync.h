// Named synchronisation objects shared by the processes of one user: CNamedMutex and
// CNamedEvent.
//
// Open finds an existing object; Create makes one (or opens it when it exists) and says
// which happened. Objects live while any process holds them, as on Windows.
//
// CNamedMutex is recursive for its owner. When an owner dies while holding it, the next
// waiter acquires it and is told so (kAbandoned), as a Windows wait returns
// WAIT_ABANDONED. CNamedEvent is manual-reset (stays set until Reset) or automatic-reset
// (one waiter passes, and the event resets); waits take a timeout in milliseconds or
// kInfinite. On Windows these are the named kernel objects; elsewhere small shared
// segments with per-user names, mode 0600, holding a robust process-shared pthread mutex
// or an event's state word that waiters sleep on (a futex), so that a process dying while
// it waits or sets leaves nothing behind. Setting an event that is already set does
// nothing, on both systems.
//
// Ownership: move-only; Close or the destructor drops this holder. A mutex must be
// released by the thread that acquired it. Threading: Wait/Set/Reset/Release may be
// called from any thread; Open/Create/Close from one thread at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/windows_types.h"

namespace platform {
inline constexpr DWORD kInfinite = 0xFFFFFFFFu;
}

enum class WaitResult { kAcquired, kAbandoned, kTimeout, kFailed };

class CNamedMutex {
 public:
  CNamedMutex() = default;
  ~CNamedMutex();
  CNamedMutex(CNamedMutex&& other) noexcept;
  CNamedMutex& operator=(CNamedMutex&& other) noexcept;
  CNamedMutex(const CNamedMutex&) = delete;
  CNamedMutex& operator=(const CNamedMutex&) = delete;

  LONG Open(const std::wstring& name);
  // Not initially owned.
  LONG Create(const std::wstring& name, bool* created);
  void Close();
  bool IsOpen() const;

  WaitResult Wait(DWORD timeoutMs);
  bool Release();

 private:
  std::intptr_t m_handle = 0;    // HANDLE on Windows; descriptor + 1 elsewhere
  void* m_shared = nullptr;      // the mapped segment (not used on Windows)
  // Acquisitions made through this object's mapping and not yet released: while any is
  // left the mapping must outlive the object (not used on Windows).
  std::atomic<std::int64_t> m_acquired{0};
  std::wstring m_name;
};

class CNamedEvent {
 public:
  CNamedEvent() = default;
  ~CNamedEvent();
  CNamedEvent(CNamedEvent&& other) noexcept;
  CNamedEvent& operator=(CNamedEvent&& other) noexcept;
  CNamedEvent(const CNamedEvent&) = delete;
  CNamedEvent& operator=(const CNamedEvent&) = delete;

  LONG Open(const std::wstring& name);
  // manualReset and initialState apply only when this call creates the event.
  LONG Create(const std::wstring& name, bool manualReset, bool initialState, bool* created);
  void Close();
  bool IsOpen() const;

  bool Set();
  bool Reset();
  // True when the event was signalled within timeoutMs (an automatic-reset event is
  // reset by the wait that passes).
  bool Wait(DWORD timeoutMs);

 private:
  std::intptr_t m_handle = 0;    // HANDLE on Windows; descriptor + 1 elsewhere
  void* m_shared = nullptr;      // the mapped segment (not used on Windows)
  std::wstring m_name;
};

namespace platform {

// Gives the named kernel object a low mandatory integrity label so that processes at low
// integrity can open it (on Windows; elsewhere access is already limited to the user, and
// this does nothing). The result is not reported.
enum class KernelObjectKind { kFileMapping, kMutex, kEvent };
void ApplyLowIntegrityLabel(const std::wstring& name, KernelObjectKind kind);

}  // namespace platform
