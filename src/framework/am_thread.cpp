#include "framework/am_thread.h"

#include <new>
#include <system_error>

#include "platform/thread_com_init.h"

CAMThread::CAMThread(HRESULT* /*phr*/) {}

CAMThread::~CAMThread() { Close(); }

BOOL CAMThread::Create() {
  CLockHolder<CRecursiveLock> access(m_AccessLock);
  if (ThreadExists()) return FALSE;
  std::thread* thread = nullptr;
  try {
    thread = new std::thread(&CAMThread::InitialThreadProc, this);
  } catch (const std::system_error&) {
    return FALSE;
  } catch (const std::bad_alloc&) {
    return FALSE;
  }
  m_hThread.store(thread);
  return TRUE;
}

void CAMThread::InitialThreadProc(CAMThread* thread) {
  const HRESULT init = InitializeThreadComponentRuntime();
  const DWORD exitCode = thread->ThreadProc();
  if (SUCCEEDED(init)) UninitializeThreadComponentRuntime();
  thread->m_exitCode.store(exitCode);
}

DWORD CAMThread::CallWorker(DWORD dwParam) {
  CLockHolder<CRecursiveLock> access(m_AccessLock);
  if (!ThreadExists()) return static_cast<DWORD>(E_FAIL);
  m_dwParam = dwParam;
  m_EventSend.Set();
  m_EventComplete.Wait();
  return m_dwReturnVal;
}

DWORD CAMThread::GetRequest() {
  m_EventSend.Wait();
  return m_dwParam;
}

BOOL CAMThread::CheckRequest(DWORD* pParam) {
  if (!m_EventSend.Check()) return FALSE;
  if (pParam != nullptr) *pParam = m_dwParam;
  return TRUE;
}

void CAMThread::Reply(DWORD dw) {
  m_dwReturnVal = dw;
  m_EventSend.Reset();
  m_EventComplete.Set();
}

void CAMThread::Close() {
  std::thread* thread = m_hThread.exchange(nullptr);
  if (thread == nullptr) return;
  // A worker that closes itself cannot wait for its own end.
  if (thread->get_id() == std::this_thread::get_id()) {
    thread->detach();
  } else {
    thread->join();
  }
  delete thread;
}
