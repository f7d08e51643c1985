// Console output plus one closing line: the library's speed as a ratio of
// the raw baseline measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <utility>

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto &r : runs) {
      // With --benchmark_repetitions the median stands for the run.
      bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      if (r.error_occurred || (r.run_type != Run::RT_Iteration && !median)) continue;
      const auto &n = r.run_name;
      std::string key = n.function_name + (n.args.empty() ? "" : "/" + n.args);
      if (median || !medians_.count(key)) time_[key] = {r.GetAdjustedRealTime(), r.GetAdjustedCPUTime()};
      if (median) medians_.insert(key);
    }
  }
  double real_time(const std::string &name) const {  // 0 when it did not run
    auto it = time_.find(name);
    return it == time_.end() ? 0.0 : it->second.first;
  }
  void ratio(const std::string &subject, const std::string &baseline, double goal) const {
    for (const auto &[name, t] : time_) {
      if (name.rfind(subject, 0) != 0) continue;
      std::string suffix = name.substr(subject.size());
      auto b = time_.find(baseline + suffix);
      if (b != time_.end())
        std::printf("%s: %.2f x %s in real time, %.2f x in CPU time (goal >= %.2f)\n", name.c_str(),
                    b->second.first / t.first, (baseline + suffix).c_str(), b->second.second / t.second, goal);
    }
  }

 private:
  std::map<std::string, std::pair<double, double>> time_;  // real, CPU
  std::set<std::string> medians_;
};

// Runs the registered benchmarks and prints the ratio of subject to baseline.
inline int run_with_ratio(int argc, char **argv, const char *subject, const char *baseline, double goal) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.ratio(subject, baseline, goal);
  benchmark::Shutdown();
  return 0;
}
