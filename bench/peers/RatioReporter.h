#pragma once
// Console reporter that also keeps each benchmark's real time per iteration, so a peer program can
// print peer time / kexmesh time after the runs.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override
  {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration) {
        times[r.benchmark_name()] = r.GetAdjustedRealTime();
        byFunction[r.run_name.function_name] = r.GetAdjustedRealTime();
      }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;      ///< by full benchmark name
  std::map<std::string, double> byFunction; ///< by function name only
};
