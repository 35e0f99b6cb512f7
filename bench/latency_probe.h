// What the latency benchmark's plugin shares with the benchmark: a buffer of
// submission-to-"OnEvent" times in nanoseconds, filled by the one thread
// that calls the plugin, read by the benchmark after the deliveries it waits
// for (`delivered`, release/acquire).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "ko/core/event.hpp"
#include "ko/core/plugin_api.h"

struct LatencyProbe {
  int64_t* samples = nullptr;
  size_t capacity = 0;
  std::atomic<uint64_t> count{0};
  std::atomic<uint64_t> delivered{0};
};

using LatencyProbeFn = LatencyProbe* (*)();
