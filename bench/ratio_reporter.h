// CRatioReporter: the console table of Google Benchmark, followed by the ratio of each
// benchmark to its baseline measured in the same run (same argument). Pairs are named
// "<Candidate>" / "<Baseline>"; lines show the labels given. The candidate's figure is
// the processor time of its thread, or one of its counters when the pair names one (a
// counter in microseconds, compared with the baseline's time in microseconds). Processor
// time rather than elapsed time: on a shared machine elapsed time also counts the waits
// for a processor. With --benchmark_repetitions the medians are compared; otherwise the
// single run.
//
// PublishPairs() writes the pairs into the run's context ("ratio <n> <Candidate>" =
// "baseline=…;target=…;counter=…;labels=a|b|…;note=…", n giving the order), so the JSON
// output (--benchmark_out) carries them and scripts/bench-report.sh needs no second list
// of pairs, targets and known causes. Call it before RunSpecifiedBenchmarks.
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
    double target;                    // the ratio not to exceed, for the reader; 0: none
    std::string counter = {};         // the candidate's counter in microseconds; empty: its time
    std::string note = {};            // a known cause behind the figure, for the report (no ';')
  };

  explicit CRatioReporter(std::vector<Pair> pairs) : m_pairs(std::move(pairs)) {}

  void PublishPairs() const {
    int order = 0;
    for (const Pair& pair : m_pairs) {
      std::string labels;
      for (const std::string& label : pair.labels) labels += (labels.empty() ? "" : "|") + label;
      char target[32];
      std::snprintf(target, sizeof target, "%g", pair.target);
      benchmark::AddCustomContext("ratio " + std::to_string(order++) + " " + pair.candidate,
                                  "baseline=" + pair.baseline + ";target=" + target + ";counter=" + pair.counter +
                                      ";labels=" + labels + ";note=" + pair.note);
    }
  }

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) continue;
      const std::string name = run.run_name.str();
      Figures& figures = m_figures[name];
      if (figures.median && !median) continue;
      figures.median = median;
      figures.microseconds = run.GetAdjustedCPUTime() * MicrosecondsPer(run.time_unit);
      for (const auto& [key, counter] : run.counters) figures.counters[key] = counter.value;
    }
  }

  void PrintRatios() const {
    for (const Pair& pair : m_pairs) {
      std::printf("\n%s%s / %s", pair.candidate.c_str(), pair.counter.empty() ? "" : (" " + pair.counter).c_str(),
                  pair.baseline.c_str());
      if (pair.target > 0) std::printf(" (target <= %.2f)", pair.target);
      std::printf("\n");
      for (std::size_t i = 0; i < pair.labels.size(); ++i) {
        double candidate = 0, baseline = 0;
        if (!Find(pair.candidate, i, pair.counter, &candidate) || !Find(pair.baseline, i, {}, &baseline) ||
            baseline <= 0)
          continue;
        const double ratio = candidate / baseline;
        std::printf("  %-28s %.2f%s\n", pair.labels[i].c_str(), ratio,
                    pair.target <= 0 || ratio <= pair.target ? "" : "  ABOVE TARGET");
      }
    }
  }

 private:
  struct Figures {
    bool median = false;
    double microseconds = 0;
    std::map<std::string, double> counters;
  };

  static double MicrosecondsPer(benchmark::TimeUnit unit) {
    switch (unit) {
      case benchmark::kNanosecond: return 1e-3;
      case benchmark::kMicrosecond: return 1;
      case benchmark::kMillisecond: return 1e3;
      case benchmark::kSecond: return 1e6;
    }
    return 1;
  }

  // The figure of benchmark `name` with argument `index`: a counter, or its processor time.
  bool Find(const std::string& name, std::size_t index, const std::string& counter, double* value) const {
    const std::string prefix = name + "/" + std::to_string(index) + "/";
    for (const auto& [run, figures] : m_figures) {
      if (run.compare(0, prefix.size(), prefix) != 0) continue;
      if (counter.empty()) {
        *value = figures.microseconds;
        return true;
      }
      const auto found = figures.counters.find(counter);
      if (found == figures.counters.end()) return false;
      *value = found->second;
      return true;
    }
    return false;
  }

  std::vector<Pair> m_pairs;
  std::map<std::string, Figures> m_figures;
};
