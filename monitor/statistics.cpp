// The periodic statistics report, written once a minute by the dispatch loop
// (main thread), and the size and memory helpers it shares with housekeeping.
// The figures come from counters.h and ref_block.h; they are written on many
// threads and only read and reset here.
#include "monitor/statistics.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iterator>

#include "core/dvr_core.h"
#include "events/ref_block.h"
#include "log/core_log.h"
#include "monitor/counters.h"
#include "plugins/plugin.h"

namespace ko::core {

namespace {

using Clock = std::chrono::steady_clock;

// A report is due when strictly more than this has passed since the last one.
constexpr std::chrono::nanoseconds ReportInterval{59'999'999'999};
constexpr size_t TopSources = 5;
constexpr int ReportLevel = 25;
// Above this magnitude a size is shown in binary units.
constexpr uint64_t PlainSizeLimit = 102399;

uint64_t magnitude(int64_t value) noexcept {
  // Computed in unsigned arithmetic so that INT64_MIN has a magnitude too.
  return value < 0 ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
}

int64_t take(std::atomic<int64_t>& figure) noexcept {
  // Reading and resetting in one step keeps increments made meanwhile by
  // other threads for the next report instead of losing them.
  return figure.exchange(0, std::memory_order_relaxed);
}

std::string_view sourceName(const std::vector<std::shared_ptr<Plugin>>& plugins, uint8_t index,
                            std::string& scratch) {
  if (index == 0) return "Core";
  for (const auto& plugin : plugins) {
    if (!plugin->isCore() && plugin->sourceIndexOf() == index) {
      scratch = plugin->displayName();
      return scratch;
    }
  }
  return "unknown";
}

}  // namespace

std::string formatSize(int64_t value) {
  const uint64_t size = magnitude(value);
  if (size <= PlainSizeLimit) return fmt::format(groupingLocale(), "{:L}", value);
  double scaled = static_cast<double>(size);
  size_t unit = 0;
  do {
    scaled /= 1024;
    ++unit;
  } while (scaled >= 1024);
  const double rounded = std::ceil(scaled * 100) / 100;
  constexpr std::string_view Units = "_KMGTPE";
  return fmt::format("{}{}{}iB", value < 0 ? "-" : "", rounded, Units[unit]);
}

uint64_t getHeapAlloc() noexcept {
  static const long pageSize = sysconf(_SC_PAGESIZE);
  std::FILE* file = std::fopen("/proc/self/statm", "re");
  if (file == nullptr) return 0;
  unsigned long size = 0;
  unsigned long resident = 0;
  const int fields = std::fscanf(file, "%lu %lu", &size, &resident);
  std::fclose(file);
  if (fields != 2 || pageSize <= 0) return 0;
  return static_cast<uint64_t>(resident) * static_cast<uint64_t>(pageSize);
}

void DvrCore::reportStatistics() {
  const auto now = Clock::now();
  if (now - lastReport <= ReportInterval) return;
  lastReport = now;

  // Every figure is reset whether or not the line is written.
  const int64_t queued = counters.queueLength.load(std::memory_order_relaxed);
  const int64_t events = take(counters.eventsDispatched);
  const int64_t idle = take(counters.idleSeconds);
  const int64_t video = take(counters.throttledVideo);
  const int64_t audio = take(counters.throttledAudio);
  const int64_t liveLog = take(counters.liveLogMicros);
  const int64_t ipcOut = take(counters.ipcRequests);
  const int64_t ipcIn = take(counters.ipcPackets);
  const int64_t ipcData = take(counters.ipcBytes);
  const int64_t searches = take(counters.searchRequests);
  const int64_t cancels = take(counters.searchCancels);
  const int64_t results = take(counters.searchResults);
  const int64_t resultData = take(counters.searchResultBytes);
  const int64_t memory = counters.memoryInUse.load(std::memory_order_relaxed);
  const int64_t baseline = counters.memoryBaseline.exchange(memory, std::memory_order_relaxed);
  if (effectiveLogLevel(0) > ReportLevel) return;

  // The top holders: highest count first, the lower index first on a tie.
  topSources.clear();
  topSources.reserve(TopSources + 1);
  for (size_t i = 0; i < refsHeld.size(); ++i) {
    const int64_t held = refsHeld[i].load(std::memory_order_relaxed);
    if (held == 0) continue;
    const auto at = std::upper_bound(topSources.begin(), topSources.end(), held,
                                     [](int64_t count, const auto& entry) { return count > entry.second; });
    topSources.insert(at, {static_cast<uint8_t>(i), held});
    if (topSources.size() > TopSources) topSources.pop_back();
  }
  topText.clear();
  std::string name;
  for (const auto& [index, held] : topSources) {
    const std::string_view separator = topText.empty() ? "" : ", ";
    fmt::format_to(std::back_inserter(topText), groupingLocale(), "{}{} {:L}", separator,
                   sourceName(plugins, index, name), held);
  }

  std::string memoryText = formatSize(memory);
  if (memory != baseline) {
    // The change is computed unsigned and read back signed, so that no
    // pair of readings overflows.
    const auto change = static_cast<int64_t>(static_cast<uint64_t>(memory) - static_cast<uint64_t>(baseline));
    memoryText += change > 0 ? " +" : " ";
    memoryText += formatSize(change);
  }
  // cDev is a reserved figure that nothing in the system increases.
  constexpr int64_t deviceCount = 0;
  const int32_t blocks = refBlockCount.load(std::memory_order_relaxed);
  const std::string blockBytes = formatSize(refBlockBytes.load(std::memory_order_relaxed));
  const std::string ipcText = formatSize(ipcData);
  const std::string resultText = formatSize(resultData);

  thread_local std::string line = detail::makeLogScratch();
  line.clear();
  fmt::format_to(std::back_inserter(line), groupingLocale(),
                 "InQ:{:L} events:{:L} idle:{}s throttled[v:{:L} a:{:L}]"
                 "\nltm:{:L}us ipc[r:{:L} p:{:L} d:{}] srch[r:{:L} c:{:L} p:{:L} d:{}] cDev:{}"
                 "\nmemory[inuse:{}] refblks:{:L}({}) top: {}",
                 queued, events, idle, video, audio, liveLog, ipcOut, ipcIn, ipcText, searches, cancels, results,
                 resultText, deviceCount, memoryText, blocks, blockBytes, topText);
  submitLog(ReportLevel, line.size(), line.data());
}

}  // namespace ko::core
