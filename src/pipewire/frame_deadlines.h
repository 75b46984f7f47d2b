// CFrameDeadlines: when each frame of a camera node is due. Frame n of a chain is due at
// start + n x period, computed from n at the exact rate (num / denom frames a second), so
// the deadlines never drift however long the chain runs. After a frame ran, the next one
// due is the first whose deadline still lies ahead: frames whose deadline passed while
// the loop was busy are skipped (counted), never delivered as a burst. A new rate starts
// a new chain, so a change never leaves a deadline far ahead (or behind) of the clock.
//
// Only computes: the caller reads the clock and arms its timer, so the arithmetic is
// tested with made-up times. Plain value object; one thread uses it.
#pragma once

#include <cstdint>

#include "pipewire/video_format_table.h"

class CFrameDeadlines {
 public:
  // Starts a chain at startNs (frame 0 due then) at the format's rate.
  void Start(std::int64_t startNs, const pipewire_camera::VideoFormat& format);
  // The deadline of the current frame.
  std::int64_t Due() const { return m_startNs + pipewire_camera::FrameOffsetNs(m_format, m_frame); }
  // Moves past the current frame, which ran at nowNs; the deadline of the next frame due.
  std::int64_t Advance(std::int64_t nowNs);
  std::uint64_t Skipped() const { return m_skipped; }

 private:
  pipewire_camera::VideoFormat m_format;
  std::int64_t m_startNs = 0;
  std::int64_t m_frame = 0;
  std::uint64_t m_skipped = 0;
};
