// CSenderFeed: sends one frame again and again at the sender's own pace, on a thread of
// its own, until Stop (or the destructor), which interrupts a wait under way and joins.
// The sender must outlive the feed.
#pragma once

#include <amberline/sender.h>

#include <atomic>
#include <functional>
#include <thread>

namespace testing_support {

class CSenderFeed {
 public:
  CSenderFeed(amberline_sender* sender, std::function<amberline_result(amberline_sender*)> send);
  ~CSenderFeed();
  CSenderFeed(const CSenderFeed&) = delete;
  CSenderFeed& operator=(const CSenderFeed&) = delete;
  void Stop();

 private:
  amberline_sender* m_sender;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

}  // namespace testing_support
