#include "sender/band_worker.h"

#include <system_error>

namespace sender {

CBandWorker::~CBandWorker() {
  {
    CLockHolder<CLock> hold(m_lock);
    m_stop = true;
  }
  m_changed.NotifyAll();
  if (m_thread.joinable()) m_thread.join();
}

void CBandWorker::RunBeside(const std::function<void()>& theirs, const std::function<void()>& mine) {
  if (!m_thread.joinable()) {
    try {
      m_thread = std::thread([this] { Loop(); });
    } catch (const std::system_error&) {
      theirs();
      mine();
      return;
    }
  }
  {
    CLockHolder<CLock> hold(m_lock);
    m_job = &theirs;
    m_busy = true;
  }
  m_changed.NotifyAll();
  mine();
  CLockHolder<CLock> hold(m_lock);
  m_changed.Wait(hold, [this]() REQUIRES(m_lock) { return !m_busy; });
}

void CBandWorker::Loop() {
  for (;;) {
    const std::function<void()>* job = nullptr;
    {
      CLockHolder<CLock> hold(m_lock);
      m_changed.Wait(hold, [this]() REQUIRES(m_lock) { return m_stop || m_job != nullptr; });
      if (m_job == nullptr) return;  // stopping, nothing handed over
      job = m_job;
      m_job = nullptr;
    }
    (*job)();
    {
      CLockHolder<CLock> hold(m_lock);
      m_busy = false;
    }
    m_changed.NotifyAll();
  }
}

}  // namespace sender
