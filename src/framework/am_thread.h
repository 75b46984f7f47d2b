// CAMThread: a worker thread with a synchronous command channel.
//
// A client posts one 32-bit command with CallWorker and is blocked, without time limit,
// until the worker answers it with Reply. At most one command is in flight: the access
// lock is held for the whole of CallWorker. The request event is manual-reset, so a
// pending command stays visible to both CheckRequest (polling) and GetRequest (blocking)
// until Reply clears it; Reply clears it before it signals the completion event, so a
// client that posts its next command as soon as it is released never has it erased.
//
// The thread starts with the component runtime initialised for it (before ThreadProc,
// undone after ThreadProc only when the initialisation succeeded); ThreadProc's result
// is the thread's exit code (ExitCode, readable once the thread has ended).
//
// Ownership: the object owns the thread; Close (and the destructor) waits for it to end.
// A derived class whose ThreadProc uses the derived part must Close before that part is
// destroyed. Threading: client operations from any thread; GetRequest, CheckRequest and
// Reply from the worker only. Failure: Create returns false when the thread cannot be
// started; CallWorker returns E_FAIL when there is no thread.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "framework/am_event.h"
#include "platform/annotated_lock.h"
#include "platform/windows_types.h"

class CAMThread {
 public:
  // The events cannot fail to exist here, so phr is never changed.
  explicit CAMThread(HRESULT* phr = nullptr);
  virtual ~CAMThread();
  CAMThread(const CAMThread&) = delete;
  CAMThread& operator=(const CAMThread&) = delete;

  // Starts the worker unless one exists (then false, nothing done). True when started.
  BOOL Create();
  // Posts dwParam and waits for the answer; E_FAIL (without waiting) when no thread exists.
  DWORD CallWorker(DWORD dwParam);
  // Worker side: waits for a command and returns it; the command stays pending.
  DWORD GetRequest();
  // Worker side: whether a command is pending (stored through pParam when not null).
  BOOL CheckRequest(DWORD* pParam);
  // Worker side: answers the pending command.
  void Reply(DWORD dw);
  // Waits for the thread to end and forgets it. Of concurrent callers one waits.
  void Close();
  BOOL ThreadExists() const { return m_hThread.load() != nullptr; }
  // The exit code of the last thread that ended (0 before any has).
  DWORD ExitCode() const { return m_exitCode.load(); }

  // For derived classes: guards data they share with their worker. Never taken here.
  CRecursiveLock m_WorkerLock;
  // Serialises client threads: held by Create and for the whole of CallWorker.
  CRecursiveLock m_AccessLock;

 protected:
  virtual DWORD ThreadProc() = 0;

 private:
  static void InitialThreadProc(CAMThread* thread);

  CAMEvent m_EventSend{true};
  CAMEvent m_EventComplete{false};
  DWORD m_dwParam = 0;
  DWORD m_dwReturnVal = 0;
  std::atomic<std::thread*> m_hThread{nullptr};
  std::atomic<DWORD> m_exitCode{0};
};
