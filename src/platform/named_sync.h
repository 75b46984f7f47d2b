// Named synchronisation objects shared by the processes of one user: CNamedMutex and
// CNamedEvent, for handing the frame region between a producer and its cameras.
//
//   CNamedMutex access;
//   bool created = false;
//   if (access.Create(L"Local\\AmberlineAccess", &created) != ERROR_SUCCESS) return;
//   const WaitResult wait = access.Wait(std::chrono::milliseconds(100));
//   if (wait == WaitResult::kAcquired || wait == WaitResult::kAbandoned) {
//     ...  // after kAbandoned, mend what the dead owner may have left half done
//     access.Release();
//   }
//
// Open finds an existing object; Create makes one (or opens it when it exists) and says
// which happened. Objects live while any process holds them, as on Windows.
//
// CNamedMutex is recursive for its owner. When an owner dies while holding it, the next
// waiter acquires it and is told so (kAbandoned), as a Windows wait returns
// WAIT_ABANDONED. CNamedEvent is manual-reset (stays set until Reset) or automatic-reset
// (one waiter passes, and the event resets). Waits take a timeout (timeout.h:
// std::chrono::milliseconds, or platform::kInfinite). On Windows these are the named
// kernel objects, and an object Create makes gets the access list of object_access.h; elsewhere small shared segments with per-user names, mode 0600, holding
// a robust process-shared pthread mutex or an event's state word that waiters sleep on (a
// futex), so that a process dying while it waits or sets leaves nothing behind. Setting
// an event that is already set does nothing, on both systems.
//
// Ownership: move-only; Close or the destructor drops this holder. Threading:
// Wait/Set/Reset/Release may be called from any thread; Open/Create/Close and moves from
// one thread at a time, while no other thread uses the object. Failure: Open and Create
// return system error codes (ERROR_FILE_NOT_FOUND, ...) and keep what the object held
// before; the other operations report failure in their result and leave the system's
// last error (errno elsewhere).
#pragma once

#include <chrono>
#include <string>

#include "platform/native_handle.h"
#include "platform/object_access.h"
#include "platform/timeout.h"
#include "platform/windows_types.h"

enum class WaitResult { kAcquired, kAbandoned, kTimeout, kFailed };

class CNamedMutex {
 public:
  LONG Open(const std::wstring& name);
  // Not initially owned.
  LONG Create(const std::wstring& name, bool* created);
  // Drops this holder. A mutex the object's threads still hold stays held by them (as a
  // Windows handle closed by its owner leaves the mutex owned until that thread ends).
  void Close();
  bool IsOpen() const;

  // kAcquired, or kAbandoned when the previous owner died holding it (the caller owns it
  // now and what it guarded may be half done), kTimeout when another thread held it for
  // the whole timeout, kFailed when the object is not open or the system failed. A thread
  // that holds it acquires it again at once (each acquisition needs its own Release).
  WaitResult Wait(std::chrono::milliseconds timeout);
  // Releases one acquisition the calling thread made; release through the object that
  // acquired it. False, with nothing changed, when the calling thread does not hold it
  // (another thread or process holds it, or nobody, or it is abandoned).
  bool Release();

 private:
  platform::CNamedObjectHandle m_object;
};

class CNamedEvent {
 public:
  LONG Open(const std::wstring& name);
  // manualReset and initialState apply only when this call creates the event.
  LONG Create(const std::wstring& name, bool manualReset, bool initialState, bool* created);
  void Close();
  bool IsOpen() const;

  bool Set();
  bool Reset();
  // True when the event was set within the timeout (an automatic-reset event is reset by
  // the wait that passes); false on timeout or failure.
  bool Wait(std::chrono::milliseconds timeout);

 private:
  platform::CNamedObjectHandle m_object;
};

namespace platform {

// Gives the named kernel object a low mandatory integrity label so that processes at low
// integrity can open it (on Windows; elsewhere access is already limited to the user, and
// this does nothing). The result is not reported.
void ApplyLowIntegrityLabel(const std::wstring& name, KernelObjectKind kind);

}  // namespace platform
