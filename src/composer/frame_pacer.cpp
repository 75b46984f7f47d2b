#include "composer/frame_pacer.h"

#include <cmath>
#include <numeric>

namespace {

constexpr std::int64_t kNsPerSecond = 1000000000;
// Bounds that keep num x den of a period below 2^60, so every product below fits in 64
// bits without a 128-bit type (32-bit builds have none).
constexpr std::int64_t kMaxExactDen = 1 << 20;
constexpr std::int64_t kMaxExactNum = std::int64_t{1} << 40;

CFramePacer::Period Reduced(std::int64_t num, std::int64_t den) {
  if (num <= 0 || den <= 0) return {};
  const std::int64_t divisor = std::gcd(num, den);
  num /= divisor;
  den /= divisor;
  if (num <= kMaxExactNum && den <= kMaxExactDen) return {num, den};
  // Beyond exact: the nearest whole nanosecond (at least 1).
  const std::int64_t rounded = num / den + ((num % den) * 2 >= den ? 1 : 0);
  return {rounded > 0 ? rounded : 1, 1};
}

}  // namespace

CFramePacer::Period CFramePacer::FromRate(std::int64_t fpsNum, std::int64_t fpsDen) {
  if (fpsNum <= 0 || fpsDen <= 0) return {};
  const std::int64_t divisor = std::gcd(fpsNum, fpsDen);
  fpsNum /= divisor;
  fpsDen /= divisor;
  if (fpsDen <= kMaxExactNum / kNsPerSecond) return Reduced(fpsDen * kNsPerSecond, fpsNum);
  const long double ns = static_cast<long double>(fpsDen) * kNsPerSecond / static_cast<long double>(fpsNum);
  if (ns >= static_cast<long double>(kMaxExactNum)) return {kMaxExactNum, 1};
  return {ns < 1 ? 1 : std::llround(ns), 1};
}

CFramePacer::Period CFramePacer::FromInterval(Clock::duration interval) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(interval).count();
  return ns > 0 ? Period{ns, 1} : Period{};
}

void CFramePacer::Start(std::int64_t startNs, Period period) {
  m_period = period.num > 0 && period.den > 0 ? period : Period{};
  m_anchorNs = startNs;
  m_frame = 0;
  m_started = true;
}

std::int64_t CFramePacer::Offset(std::int64_t n) const {
  if (m_period.num <= 0) return 0;
  // n x num / den, split so that no product exceeds num x den.
  return (n / m_period.den) * m_period.num + ((n % m_period.den) * m_period.num) / m_period.den;
}

std::int64_t CFramePacer::FramesUpTo(std::int64_t nowNs) const {
  const std::int64_t elapsed = nowNs - m_anchorNs;
  if (elapsed < 0) return 0;
  // floor(elapsed x den / num) + 1, split like Offset.
  return (elapsed / m_period.num) * m_period.den + ((elapsed % m_period.num) * m_period.den) / m_period.num + 1;
}

std::int64_t CFramePacer::Advance(std::int64_t nowNs) {
  ++m_frame;
  if (m_period.num <= 0) {
    m_anchorNs = nowNs;
    m_frame = 0;
    return nowNs;
  }
  const std::int64_t due = Due();
  // Late by more than one period (late x den > num, i.e. late > floor(num / den)): a new
  // chain from this frame, counting the passed deadlines it stands in for.
  if (nowNs - due > m_period.num / m_period.den) {
    const std::int64_t passed = FramesUpTo(nowNs) - m_frame;
    if (passed > 1) m_skipped += static_cast<std::uint64_t>(passed - 1);
    m_anchorNs = nowNs;
    m_frame = 0;
    return nowNs;
  }
  return due;
}

CFramePacer::Clock::duration CFramePacer::WaitBefore(Clock::time_point now, Clock::duration interval) {
  const std::int64_t nowNs = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
  const Period period = FromInterval(interval);
  if (!m_started) {
    Start(nowNs, period);
  } else if (period.num != m_period.num || period.den != m_period.den) {
    Start(Due(), period);  // the new interval runs from the previous deadline
  }
  const std::int64_t due = Advance(nowNs);
  return due > nowNs ? std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(due - nowNs))
                     : Clock::duration::zero();
}
