// Comparisons that survive a shared, noisy machine: the core and its
// baseline run back to back on the same cell, several times over, and the
// figure reported is the median of the per-pair ratios with their spread.
// Running all of one side first and all of the other after lets any change
// in the machine's load between the two halves pass for a difference in
// speed; a pair sees nearly the same machine on both sides. Even pairs run
// the core first, odd pairs the baseline, so neither side always meets a
// warmer cache.
//
// Each run is an ordinary Google Benchmark run named "<cell>/pair:<i>/core"
// or "<cell>/pair:<i>/base". Its rate is items_per_second, else
// bytes_per_second, else iterations per second.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace kobench {

using Body = std::function<void(benchmark::State&)>;
using Setup = std::function<void(benchmark::internal::Benchmark*)>;

struct CellInfo {
  std::string label;   // the row's text in the table
  double target = 0;   // core/base the row must reach; 0 = shown only
};

inline std::vector<std::string>& cellOrder() {
  static std::vector<std::string> order;
  return order;
}
inline std::map<std::string, CellInfo>& cells() {
  static std::map<std::string, CellInfo> all;
  return all;
}

// Pairs per cell: --pairs=N on the command line (taken out before Google
// Benchmark sees the arguments), default 7, at least 5.
inline int takePairsArgument(int& argc, char** argv, int fallback = 7) {
  int pairs = fallback;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--pairs=", 8) == 0) {
      pairs = std::max(5, std::atoi(argv[i] + 8));
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  return pairs;
}

// Registers `pairs` back-to-back pairs for one cell, in registration order.
inline void registerPairs(const std::string& cell, const CellInfo& info, int pairs, const Body& core,
                          const Body& base, const Setup& setup = {}) {
  cellOrder().push_back(cell);
  cells()[cell] = info;
  for (int i = 0; i < pairs; ++i) {
    const std::string prefix = cell + "/pair:" + std::to_string(i) + "/";
    const bool coreFirst = i % 2 == 0;
    for (int side = 0; side < 2; ++side) {
      const bool isCore = (side == 0) == coreFirst;
      auto* b = benchmark::RegisterBenchmark((prefix + (isCore ? "core" : "base")).c_str(), isCore ? core : base);
      if (setup) setup(b);
    }
  }
}

inline double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The usual console lines while running (unless quiet), then one row per
// cell: median core/base ratio, the lowest and highest pair, the target.
class PairedReporter : public benchmark::ConsoleReporter {
 public:
  explicit PairedReporter(bool quiet) : quiet_(quiet) {}

  bool ReportContext(const Context& context) override {
    return quiet_ ? true : ConsoleReporter::ReportContext(context);
  }

  void ReportRuns(const std::vector<Run>& runs) override {
    if (!quiet_) ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      const std::string name = run.benchmark_name();
      const auto pairAt = name.find("/pair:");
      if (pairAt == std::string::npos) continue;
      const std::string cell = name.substr(0, pairAt);
      const int pair = std::atoi(name.c_str() + pairAt + 6);
      // Google Benchmark may append arguments after the side.
      const auto sideAt = name.find('/', pairAt + 6);
      const bool isCore = sideAt != std::string::npos && name.compare(sideAt, 5, "/core") == 0;
      (isCore ? core_ : base_)[cell][pair] = rateOf(run);
    }
  }

  void Finalize() override {
    if (!quiet_) ConsoleReporter::Finalize();
    for (const auto& cell : cellOrder()) {
      std::vector<double> ratios;
      for (const auto& [pair, coreRate] : core_[cell]) {
        auto base = base_[cell].find(pair);
        if (base != base_[cell].end() && base->second > 0) ratios.push_back(coreRate / base->second);
      }
      const CellInfo& info = cells()[cell];
      if (ratios.empty()) {
        std::printf("| %-58s | %6s | %-13s | %6s |\n", info.label.c_str(), "-", "no pairs", "");
        continue;
      }
      const double med = median(ratios);
      const auto [lo, hi] = std::minmax_element(ratios.begin(), ratios.end());
      char spread[32];
      std::snprintf(spread, sizeof spread, "%.2f-%.2f (%zu)", *lo, *hi, ratios.size());
      char target[16] = "";
      if (info.target > 0) std::snprintf(target, sizeof target, "%s%.2f", med >= info.target ? ">=" : "MISS ", info.target);
      std::printf("| %-58s | %6.2f | %-13s | %-10s |\n", info.label.c_str(), med, spread, target);
    }
    std::fflush(stdout);
  }

 private:
  static double rateOf(const Run& run) {
    for (const char* key : {"items_per_second", "bytes_per_second"}) {
      auto it = run.counters.find(key);
      if (it != run.counters.end()) return it->second.value;
    }
    const double seconds = run.real_accumulated_time;
    return seconds > 0 ? static_cast<double>(run.iterations) / seconds : 0;
  }

  bool quiet_;
  std::map<std::string, std::map<int, double>> core_;
  std::map<std::string, std::map<int, double>> base_;
};

// --quiet: only the table rows. Taken out before Google Benchmark.
inline bool takeQuietArgument(int& argc, char** argv) {
  bool quiet = false;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quiet") == 0) {
      quiet = true;
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  return quiet;
}

}  // namespace kobench
