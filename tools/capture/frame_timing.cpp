#include "frame_timing.h"

#include <algorithm>
#include <cstdio>

std::vector<double> CFrameTiming::SortedIntervals() const {
  std::vector<double> intervals;
  for (std::size_t i = 1; i < m_arrivals.size(); ++i) intervals.push_back(m_arrivals[i] - m_arrivals[i - 1]);
  std::sort(intervals.begin(), intervals.end());
  return intervals;
}

double CFrameTiming::AverageRate() const {
  if (m_arrivals.size() < 2) return 0;
  const double span = m_arrivals.back() - m_arrivals.front();
  return span > 0 ? (m_arrivals.size() - 1) * 1000.0 / span : 0;
}

double CFrameTiming::MinIntervalMs() const {
  const std::vector<double> s = SortedIntervals();
  return s.empty() ? 0 : s.front();
}

double CFrameTiming::MaxIntervalMs() const {
  const std::vector<double> s = SortedIntervals();
  return s.empty() ? 0 : s.back();
}

double CFrameTiming::MedianIntervalMs() const {
  const std::vector<double> s = SortedIntervals();
  if (s.empty()) return 0;
  const std::size_t mid = s.size() / 2;
  return s.size() % 2 ? s[mid] : (s[mid - 1] + s[mid]) / 2;
}

std::string CFrameTiming::Summary() const {
  char line[200];
  if (m_arrivals.size() < 2) {
    // One frame has no interval: a rate would be invented.
    std::snprintf(line, sizeof line, "frames received: %lld, average rate n/a, interval min/median/max n/a", Count());
    return line;
  }
  std::snprintf(line, sizeof line, "frames received: %lld, average rate %.2f fps, interval min/median/max %.1f/%.1f/%.1f ms",
                Count(), AverageRate(), MinIntervalMs(), MedianIntervalMs(), MaxIntervalMs());
  return line;
}
