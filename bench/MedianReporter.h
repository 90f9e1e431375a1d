// A console reporter that also keeps, for every run, the median (or the single) value of each
// counter, so a benchmark program can print its summary table with the anchors beside it.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace zelmar::bench {

class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if ((!median && !single) || run.error_occurred) continue;
            std::string key = run.run_name.function_name;
            if (!run.run_name.args.empty()) key += "/" + run.run_name.args;
            for (const auto& [name, counter] : run.counters) values_[key][name] = counter.value;
        }
    }
    // The counter's value for the run, 0 when the run or the counter is missing.
    double Get(const std::string& run, const std::string& counter = "x_realtime") const {
        const auto found = values_.find(run);
        if (found == values_.end()) return 0.0;
        const auto value = found->second.find(counter);
        return value == found->second.end() ? 0.0 : value->second;
    }

private:
    std::map<std::string, std::map<std::string, double>> values_;
};

}  // namespace zelmar::bench
