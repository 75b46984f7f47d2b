#include "pipewire/frame_deadlines.h"

void CFrameDeadlines::Start(std::int64_t startNs, const pipewire_camera::VideoFormat& format) {
  m_format = format;
  m_startNs = startNs;
  m_frame = 0;
}

std::int64_t CFrameDeadlines::Advance(std::int64_t nowNs) {
  ++m_frame;
  if (m_format.rateNum == 0 || Due() > nowNs) return Due();
  // The first frame whose deadline lies after now: floor(elapsed x rate) + 1.
  const __int128 elapsed = static_cast<__int128>(nowNs - m_startNs) * m_format.rateNum;
  const auto ahead =
      static_cast<std::int64_t>(elapsed / (static_cast<__int128>(1000000000) * m_format.rateDenom)) + 1;
  if (ahead > m_frame) {
    m_skipped += static_cast<std::uint64_t>(ahead - m_frame);
    m_frame = ahead;
  }
  // Rounding in FrameOffsetNs may leave that deadline at now exactly; one more then.
  while (Due() <= nowNs) {
    ++m_frame;
    ++m_skipped;
  }
  return Due();
}
