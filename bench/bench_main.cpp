// Runs the benchmarks with the plug-in's console lines (one per round) sent to /dev/null, prints the table
// on the original standard output and, after it, the figures against the aims.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ext/stdio_filebuf.h>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Figure {
  double real_ns = 0;
  double cpu_ns = 0;
  std::map<std::string, double> counters;
};

// The console table, keeping each benchmark's median (or its only run) for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  SummaryReporter() : benchmark::ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (!median && run.run_type != Run::RT_Iteration) continue;
      const std::string name = run.run_name.str();
      // A median, once there, stands; without repetitions the last run stands.
      if (!median && medians_.count(name) != 0) continue;
      Figure& figure = median ? medians_[name] : singles_[name];
      figure.real_ns = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
      figure.cpu_ns = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
      for (const auto& counter : run.counters) figure.counters[counter.first] = counter.second.value;
    }
    // Of repeated runs the table shows the medians only.
    std::vector<Run> shown;
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name == "median") shown.push_back(run);
    }
    ConsoleReporter::ReportRuns(shown);
  }

  const Figure* Find(const std::string& name) const {
    auto it = medians_.find(name);
    if (it != medians_.end()) return &it->second;
    it = singles_.find(name);
    return it == singles_.end() ? nullptr : &it->second;
  }

 private:
  std::map<std::string, Figure> medians_, singles_;
};

void Line(std::ostream& out, const std::string& what, const std::string& figure, const std::string& aim,
          const std::string& verdict) {
  out << std::left << std::setw(56) << what << std::setw(34) << figure << std::setw(12) << aim << verdict << "\n";
}

std::string Verdict(bool met) { return met ? "met" : "MISSED"; }

std::string Fixed(double value, int digits, const std::string& unit) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(digits) << value << unit;
  return text.str();
}

// Plug-in work is compared by CPU time, which other load on the machine does not stretch; the exchange by
// real time, since most of it is waiting for the other side.
void PrintAims(std::ostream& out, const SummaryReporter& figures) {
  const Figure* wire = figures.Find("Modbus_pty_exchange/real_time");
  const Figure* r5 = figures.Find("Round_mode1/signals:5");
  const Figure* r50 = figures.Find("Round_mode1/signals:50");
  const Figure* r500 = figures.Find("Round_mode1/signals:500");
  const Figure* idle = figures.Find("GenJsonData_no_round");
  const Figure* regen = figures.Find("GenJsonData_new_round");
  out << "\nAims (medians; plug-in work in CPU time, the libmodbus exchange in real time)\n";
  Line(out, "aim", "figure", "target", "");
  if (wire != nullptr && r5 != nullptr) {
    const double share = 100.0 * r5->cpu_ns / wire->real_ns;
    Line(out, "mode-1 round (5 signals) / bare libmodbus pty exchange",
         Fixed(r5->cpu_ns, 0, " ns / ") + Fixed(wire->real_ns / 1000.0, 1, " us = ") + Fixed(share, 2, "%"),
         "< 2%", Verdict(share < 2.0));
  }
  if (r5 != nullptr && r50 != nullptr && r500 != nullptr) {
    // Linear growth leaves the cost per configured signal flat or falling (the fixed part spreads out).
    const double per50 = r50->cpu_ns / 50, per500 = r500->cpu_ns / 500;
    Line(out, "mode-1 round per configured signal at 5/50/500",
         Fixed(r5->cpu_ns / 5, 0, " / ") + Fixed(per50, 0, " / ") + Fixed(per500, 0, " ns"), "not rising",
         Verdict(per500 <= per50 * 1.1));
  }
  if (idle != nullptr && regen != nullptr) {
    const double share = 100.0 * idle->cpu_ns / regen->cpu_ns;
    Line(out, "GenJsonData without a new round / regenerating",
         Fixed(idle->cpu_ns, 1, " ns / ") + Fixed(regen->cpu_ns, 0, " ns = ") + Fixed(share, 2, "%"), "< 5%",
         Verdict(share < 5.0));
    const auto allocs = idle->counters.find("allocs/op");
    if (allocs != idle->counters.end()) {
      Line(out, "GenJsonData without a new round, allocations per call", Fixed(allocs->second, 0, ""), "0",
           Verdict(allocs->second == 0));
    }
  }
}


}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  // Every round prints a line: the plug-in's standard output goes to /dev/null, the table to the original.
  std::cout.flush();
  std::fflush(stdout);
  const int table_fd = ::dup(STDOUT_FILENO);
  const int null_fd = ::open("/dev/null", O_WRONLY);
  if (table_fd < 0 || null_fd < 0 || ::dup2(null_fd, STDOUT_FILENO) < 0) {
    std::perror("vadid_bench: cannot redirect standard output");
    return 1;
  }
  ::close(null_fd);
  __gnu_cxx::stdio_filebuf<char> table_buf(table_fd, std::ios::out);
  std::ostream table(&table_buf);

  SummaryReporter reporter;
  reporter.SetOutputStream(&table);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintAims(table, reporter);
  table.flush();
  benchmark::Shutdown();
  return 0;
}
