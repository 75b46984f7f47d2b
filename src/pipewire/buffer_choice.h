// CBufferChoice: which of a camera node's buffers the next frame goes into.
//
// Every consumer of a node shares its buffers and keeps a busy count on each: one while it
// holds the buffer, none once it gave it back. A consumer that reads gives each buffer back
// within a few frames; one that is stuck or dead keeps its marks for good. So a buffer's
// lowest count over the last two windows of kLowestWindowFrames frames is what the stuck
// and dead hold of it, and a count above that is a reader that will give it back soon.
// Pick chooses the buffer sent longest ago that no reader holds (never-sent ones first);
// when readers hold them all, the one sent longest ago. Taking a buffer a reader still
// holds, or the one sent last (a reader may not have handed it back yet), would cost that
// reader the frame.
//
// NoticeDue spaces out the line that says the node takes buffers consumers still hold:
// yes the first time, then no sooner than kHeldNoticeEveryNs after the last yes.
//
// Only decides: the caller reads the counts, takes the buffer from the stream and reads
// the clock, so the choice is tested with made-up counts. Plain value object; one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class CBufferChoice {
 public:
  static constexpr std::uint64_t kLowestWindowFrames = 30;
  static constexpr std::int64_t kHeldNoticeEveryNs = 60'000'000'000;
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  void Add(void* buffer);
  void Remove(void* buffer);
  void Clear() { m_buffers.clear(); }
  std::size_t Size() const { return m_buffers.size(); }
  void* At(std::size_t index) const { return m_buffers[index].buffer; }

  // One frame's look at the buffers: counts[i] is the busy count of At(i) now (one per
  // buffer). The index of the buffer to fill, kNone when there are none.
  std::size_t Pick(const std::vector<std::uint32_t>& counts);
  // buffer went out (is now the one sent last).
  void Sent(void* buffer);
  bool NoticeDue(std::int64_t nowNs);

 private:
  struct Slot {
    void* buffer = nullptr;
    std::uint64_t sentAt = 0;  // m_sent when it last went out; 0: never
    // Its lowest count seen in this window of frames and in the one before.
    std::uint32_t lowest = UINT32_MAX;
    std::uint32_t lowestBefore = UINT32_MAX;
  };
  std::vector<Slot> m_buffers;
  std::uint64_t m_sent = 0;   // buffers sent so far
  std::uint64_t m_looks = 0;  // Pick calls so far
  std::int64_t m_noticeNs = -1;
};
