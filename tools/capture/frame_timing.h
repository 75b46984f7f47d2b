// CFrameTiming: how many frames arrived and how evenly — the tool's summary line.
// Arrival times are given in milliseconds on any steady clock, in order of arrival.
// Plain value object, no threads. With fewer than two frames the rate and the interval
// figures are zero and the summary gives them as "n/a".
#pragma once

#include <string>
#include <vector>

class CFrameTiming {
 public:
  void Add(double arrivalMs) { m_arrivals.push_back(arrivalMs); }
  long long Count() const { return static_cast<long long>(m_arrivals.size()); }
  // Frames per second over the span from the first to the last arrival.
  double AverageRate() const;
  double MinIntervalMs() const;
  double MedianIntervalMs() const;
  double MaxIntervalMs() const;
  // "frames received: 125, average rate 25.00 fps, interval min/median/max 38.9/40.0/41.2 ms"
  std::string Summary() const;

 private:
  std::vector<double> SortedIntervals() const;
  std::vector<double> m_arrivals;
};
