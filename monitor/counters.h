// Figures gathered across the core for the periodic statistics report. They
// are written from many threads and read and reset by the dispatch thread;
// each is a relaxed atomic because only the figures matter, not their order
// relative to other memory.
#pragma once

#include <atomic>
#include <cstdint>

namespace ko::core {

struct CoreCounters {
  std::atomic<int64_t> throttledVideo{0};
  std::atomic<int64_t> throttledAudio{0};
  std::atomic<int64_t> ipcRequests{0};
  std::atomic<int64_t> ipcPackets{0};
  std::atomic<int64_t> ipcBytes{0};
  // Packets for a plugin that could not take them (closing or unloading).
  std::atomic<int64_t> ipcDropped{0};
  // Packets refused because the send queue to the parent was full.
  std::atomic<int64_t> ipcRefused{0};
  // Log records the logging plugin never got after a stop request: raised
  // inside its own call on the same thread, or beyond the courier's bound.
  std::atomic<int64_t> logRecordsDropped{0};
  std::atomic<int64_t> searchRequests{0};
  std::atomic<int64_t> searchCancels{0};
  std::atomic<int64_t> searchResults{0};
  std::atomic<int64_t> searchResultBytes{0};
  std::atomic<int64_t> memoryInUse{0};
  // memoryInUse at the last report; the report shows the change since.
  std::atomic<int64_t> memoryBaseline{0};

  // The dispatch loop's figures.
  std::atomic<int64_t> eventsDispatched{0};
  std::atomic<int64_t> idleSeconds{0};
  std::atomic<int64_t> queueLength{0};
  std::atomic<int64_t> liveLogMicros{0};
};

inline CoreCounters counters;

}  // namespace ko::core
