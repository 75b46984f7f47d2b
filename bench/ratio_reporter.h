// CRatioReporter: the console table of Google Benchmark, followed by the ratio of each
// benchmark to its baseline measured in the same run (same argument, times compared as
// real time). Pairs are named "<Candidate>" / "<Baseline>"; lines show the labels given.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

class CRatioReporter : public benchmark::ConsoleReporter {
 public:
  struct Pair {
    std::string candidate;
    std::string baseline;
    std::vector<std::string> labels;  // one per argument 0, 1, ...
    double target;                    // the ratio not to exceed, for the reader
  };

  explicit CRatioReporter(std::vector<Pair> pairs) : m_pairs(std::move(pairs)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) m_times[run.benchmark_name()] = run.GetAdjustedRealTime();
  }

  void PrintRatios() const {
    for (const Pair& pair : m_pairs) {
      std::printf("\n%s / %s (target <= %.2f)\n", pair.candidate.c_str(), pair.baseline.c_str(), pair.target);
      for (std::size_t i = 0; i < pair.labels.size(); ++i) {
        const std::string suffix = "/" + std::to_string(i) + "/real_time";
        const auto candidate = m_times.find(pair.candidate + suffix);
        const auto baseline = m_times.find(pair.baseline + suffix);
        if (candidate == m_times.end() || baseline == m_times.end() || baseline->second <= 0) continue;
        const double ratio = candidate->second / baseline->second;
        std::printf("  %-28s %.2f%s\n", pair.labels[i].c_str(), ratio, ratio <= pair.target ? "" : "  ABOVE TARGET");
      }
    }
  }

 private:
  std::vector<Pair> m_pairs;
  std::map<std::string, double> m_times;
};
