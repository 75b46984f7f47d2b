#include "support/sender_feed.h"

#include <utility>

namespace testing_support {

CSenderFeed::CSenderFeed(amberline_sender* sender, std::function<amberline_result(amberline_sender*)> send)
    : m_sender(sender), m_thread([this, send = std::move(send)] {
        while (!m_stop.load()) {
          send(m_sender);
          amberline_sender_wait_next_frame(m_sender);
        }
      }) {}

CSenderFeed::~CSenderFeed() { Stop(); }

void CSenderFeed::Stop() {
  if (!m_thread.joinable()) return;
  m_stop.store(true);
  amberline_sender_interrupt(m_sender);
  m_thread.join();
}

}  // namespace testing_support
