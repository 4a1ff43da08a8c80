#pragma once
// What the benchmark programs share: a console reporter that keeps each
// benchmark's median time per iteration for the ratio lines, and start-up
// with the project's defaults ahead of the caller's flags.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace orvane::bench {

enum class TimeKind { kReal, kCpu };

// Prints as usual; Ms(name) is the median (or the single run) in
// milliseconds, by run name: the function name, then "/" and the arguments
// when there are any. -1 when the benchmark did not run.
class MedianReporter final : public benchmark::ConsoleReporter {
 public:
  // Colour only on a terminal, so logs of scripted runs stay plain text.
  explicit MedianReporter(TimeKind kind)
      : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular), kind_(kind) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      // Repetitions report aggregates; the median stands for them.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      const std::string name =
          run.run_name.args.empty() ? run.run_name.function_name : run.run_name.function_name + "/" + run.run_name.args;
      const double time = kind_ == TimeKind::kReal ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
      ms_[name] = time * benchmark::GetTimeUnitMultiplier(benchmark::kMillisecond) /
                  benchmark::GetTimeUnitMultiplier(run.time_unit);
    }
  }

  double Ms(const std::string& name) const {
    const auto it = ms_.find(name);
    return it == ms_.end() ? -1 : it->second;
  }

 private:
  const TimeKind kind_;
  std::map<std::string, double> ms_;
};

// benchmark::Initialize with `defaults` first, so the same flags given by the
// caller win. False when a flag is not understood.
inline bool InitializeWithDefaults(int argc, char** argv, std::vector<std::string> defaults) {
  std::vector<char*> args;
  args.push_back(argv[0]);
  for (std::string& d : defaults) args.push_back(d.data());
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  return !benchmark::ReportUnrecognizedArguments(count, args.data());
}

// Ten repetitions in random order, medians only.
inline std::vector<std::string> DefaultFlags(int repetitions = 10) {
  return {"--benchmark_repetitions=" + std::to_string(repetitions), "--benchmark_enable_random_interleaving=true",
          "--benchmark_report_aggregates_only=true"};
}

}  // namespace orvane::bench
