// The console report of a benchmark run, keeping each benchmark's mean real
// time per iteration so that the program can print the ratios it is for.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const auto &run : runs)
            if (!run.error_occurred && run.iterations > 0)
                seconds[run.run_name.function_name +
                        (run.run_name.args.empty() ? "" : "/" + run.run_name.args)] =
                    run.real_accumulated_time / static_cast<double>(run.iterations);
    }
    // Seconds by benchmark name ("BM_X", or "BM_X/ARGS" for one with arguments).
    std::map<std::string, double> seconds;
};
