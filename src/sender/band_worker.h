// CBandWorker: a second thread for one half of a job that splits in two, so that a large
// frame is converted by two processors at once:
//
//   CBandWorker worker;
//   worker.RunBeside([&] { ConvertRows(half, height); }, [&] { ConvertRows(0, half); });
//
// RunBeside hands `theirs` to the worker's thread, runs `mine` on the caller's and returns
// when both have ended. The thread is started on first use and kept for the next job; the
// destructor ends it. When the thread cannot be started both parts run on the caller.
// Threading: one RunBeside at a time (the owner's calls are serial); neither part may
// call RunBeside.
#pragma once

#include <functional>
#include <thread>

#include "platform/annotated_lock.h"
#include "platform/condition_variable.h"

namespace sender {

class CBandWorker {
 public:
  CBandWorker() = default;
  ~CBandWorker();
  CBandWorker(const CBandWorker&) = delete;
  CBandWorker& operator=(const CBandWorker&) = delete;

  void RunBeside(const std::function<void()>& theirs, const std::function<void()>& mine);

 private:
  void Loop();

  CLock m_lock;
  CConditionVariable m_changed;
  const std::function<void()>* m_job GUARDED_BY(m_lock) = nullptr;
  bool m_busy GUARDED_BY(m_lock) = false;
  bool m_stop GUARDED_BY(m_lock) = false;
  std::thread m_thread;  // started by RunBeside, which the owner calls one at a time
};

}  // namespace sender
