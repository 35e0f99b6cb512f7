// The 250 ms housekeeping tick: memory throttling and the clock watch. Runs on
// the watch thread only (monitor/stuck_calls.h), which never calls a plugin,
// so a plugin stuck on any thread cannot hold the throttle or the memory
// figure of the statistics report. Time and memory come through the core's
// SystemProbe.
#include <cstdlib>
#include <optional>

#include "core/dvr_core.h"
#include "log/core_log.h"
#include "monitor/counters.h"
#include "monitor/statistics.h"
#include "monitor/system_probe.h"

namespace ko::core {

namespace {

constexpr uint64_t LargeMachineRam = 536'870'912;    // 512 MiB
constexpr uint64_t SmallMachineLimit = 199'229'440;  // 190 MiB
// Memory and the clocks are checked once more than this has passed.
constexpr int64_t CheckInterval = 999'999'999;
// A tick this close to the last check is the first one.
constexpr int64_t FirstTickWindow = 999'999;
// A check this long after the previous one logs the limits again.
constexpr int64_t LongPause = 86'399'999'999'999;
// The throttle lifts this long after the last low reading.
constexpr int64_t RecoveryNanos = 60'000'000'000;
constexpr int64_t NotLow = INT64_MAX;

uint64_t memoryLimitFor(std::optional<uint64_t> totalRam) noexcept {
  if (!totalRam || *totalRam < LargeMachineRam) return SmallMachineLimit;
  return *totalRam / 100 * 80;
}

}  // namespace

void DvrCore::housekeepingTick() {
  auto& state = housekeeping;
  const SystemProbe& system = *systemProbe;
  const int64_t now = system.steadyNanos();
  const int64_t wall = system.wallNanos();
  if (!state.started) {
    state.started = true;
    state.stackLimit = system.stackLimit();
    state.memoryLimit = memoryLimitFor(system.totalRam());
    state.lastCheck = now;
    state.lastWall = wall;
  }

  const int64_t elapsed = now - state.lastCheck;
  if (std::llabs(elapsed) <= FirstTickWindow || elapsed > LongPause) {
    coreLog(25, "memory limits, throttling:{} stack:{}", formatSize(static_cast<int64_t>(state.memoryLimit)),
            formatSize(state.stackLimit));
  }
  if (elapsed <= CheckInterval) return;

  const int64_t wallMs = (wall - state.lastWall) / 1'000'000;
  const int64_t steadyMs = elapsed / 1'000'000;
  if (steadyMs + 999 < std::llabs(wallMs)) {
    coreLog(50, "system time changed by {:.2f}seconds", static_cast<double>(wallMs) / 1000.0);
  }
  state.lastWall = wall;

  const uint64_t memory = system.residentBytes();
  counters.memoryInUse.store(static_cast<int64_t>(memory), std::memory_order_relaxed);
  updateThrottle(memory > state.memoryLimit);
  state.lastCheck = now;
}

void DvrCore::updateThrottle(bool low) {
  if (!throttlingEnabled) return;
  // Submitting threads only need to see the new value eventually.
  throttled.store(low, std::memory_order_relaxed);
  const int64_t now = systemProbe->steadyNanos();
  if (low) {
    if (lowMemorySince == NotLow) {
      // Refusing begins: the operator hears at once, not behind the queue.
      alertLog(50, "available system memory is low, throttling audio/video");
      publishMemoryState();
    }
    lowMemorySince = now;
  } else if (lowMemorySince != NotLow && now - RecoveryNanos >= lowMemorySince) {
    coreLog(50, "available system memory ok, not throttling audio/video");
    publishMemoryState();
    lowMemorySince = NotLow;
  }
}

}  // namespace ko::core
