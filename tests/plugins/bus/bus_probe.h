// What a bus test plugin saw, shared between the plugin (which owns the one
// Probe of its library) and the tests (which reach it through the exported
// busProbe() on their own handle of the same library).
//
// Threads: the plugin's entry points write the probe on whatever thread the
// core calls them (dispatch, search threads); tests read and configure it on
// theirs. Everything but the configuration is guarded by `lock`; the
// configuration is written by the test before the core can call the plugin.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "ko/core/event.hpp"

namespace busprobe {

using namespace ko::core;

enum class Path { OnEvent, Ioctl, Write, Search, Read };

struct Delivery {
  Path path;
  EventParms record;               // OnEvent/OnSearch: the record as received
  WriteParms write;                // Write: the parameter record as received
  IoctlParms ioctl;                // IOCTL code 2
  ReadParms read;                  // Read for a search
  void* context;                   // Write's third argument
  std::vector<uint8_t> payload;    // the payload bytes as seen during the call
};

// Fills `length` bytes with the pattern the byte-checking plugins expect.
inline void fillPattern(void* data, uint32_t length, uint8_t seed) {
  auto* bytes = static_cast<uint8_t*>(data);
  for (uint32_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 31u + seed);
}
inline bool hasPattern(const void* data, uint32_t length, uint8_t seed) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (uint32_t i = 0; i < length; ++i) {
    if (bytes[i] != static_cast<uint8_t>(i * 31u + seed)) return false;
  }
  return true;
}

struct Probe {
  // --- configuration: set by the test before Load / before the events -----
  PluginInfo defaults{};      // the build's own configuration; reset() restores it
  PluginInfo info{};          // copied into Load's output (header kept)
  int32_t loadCode = 0;
  uint32_t retainAnswer = 0;  // OnEvent return / IOCTL and Write answer
  bool keepDeliveries = true; // false: no copies of what was delivered
  bool countOnly = false;     // count deliveries and nothing else (benchmarks)
  bool checkBytes = false;    // check the pattern (seed = typeSpecificB[0])
  uint32_t echoType = 0;      // on this base type, submit an alarm from inside the call
  uint32_t slowType = 0;      // on this base type, take slowMicros before answering
  uint32_t slowMicros = 0;
  bool scribble = false;      // OnEvent overwrites the record it was given
  // Gives the payload back during the call, before answering: from the
  // calling thread, or from a thread of its own that the call waits for.
  enum class ReleaseInCall { No, SameThread, OtherThread } releaseInCall = ReleaseInCall::No;
  // Search behaviour.
  int searchResults = 0;            // results submitted per search request
  uint32_t resultLength = 0;        // their payload length (0 = none)
  bool cancelBeforeResults = false; // cancel the own search first
  bool resultFromOtherThread = false;
  // A caller's own behaviour (the submission fuzzer): when set, an OnEvent,
  // IOCTL or Write delivery calls it instead of being recorded and answers
  // what it answers. `source` is 0 on the IOCTL path, whose record has none.
  using DeliveryHook = uint32_t (*)(void* context, Path path, uint64_t source, uint32_t type, void* data,
                                    uint32_t length);
  DeliveryHook onDelivery = nullptr;
  void* onDeliveryContext = nullptr;

  // --- observations ---------------------------------------------------------
  std::mutex lock;
  std::condition_variable changed;
  int loads = 0, unloads = 0, opens = 0, closes = 0;
  std::vector<Delivery> deliveries;
  std::vector<void*> retained;
  std::vector<int32_t> submitResults;   // results of submissions from the plugin
  int searchesEntered = 0, searchesLeft = 0;
  size_t searchStackBytes = 0;          // the stack "OnSearch" last ran on
  int badRecords = 0;
  std::atomic<uint64_t> delivered{0};
  std::atomic<uint64_t> sequence{0};    // shared clock for ordering checks
  uint64_t lastResultReturnedAt = 0;
  SubmitEventFn submit = nullptr;

  void reset() {
    std::lock_guard guard(lock);
    info = defaults;
    loadCode = 0;
    retainAnswer = 0;
    keepDeliveries = true;
    countOnly = false;
    checkBytes = false;
    echoType = 0;
    slowType = 0;
    slowMicros = 0;
    scribble = false;
    releaseInCall = ReleaseInCall::No;
    searchResults = 0;
    resultLength = 0;
    cancelBeforeResults = false;
    resultFromOtherThread = false;
    onDelivery = nullptr;
    onDeliveryContext = nullptr;
    loads = unloads = opens = closes = 0;
    deliveries.clear();
    retained.clear();
    submitResults.clear();
    searchesEntered = searchesLeft = 0;
    badRecords = 0;
    delivered = 0;
    lastResultReturnedAt = 0;
  }

  // Waits until `done()` holds (checked under the lock); false on time-out.
  template <typename Pred>
  bool waitFor(Pred done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, timeout, [&] { return done(); });
  }

  size_t deliveryCount() {
    std::lock_guard guard(lock);
    return deliveries.size();
  }

  // Gives back every retained payload with one decref record each, from the
  // calling thread; returns how many.
  size_t releaseRetained() {
    std::vector<void*> blocks;
    {
      std::lock_guard guard(lock);
      blocks.swap(retained);
    }
    for (void* block : blocks) {
      auto decref = makeEvent(EventTypeDecref, 0, info.sourceId, block, 0);
      submit(&decref);
    }
    return blocks.size();
  }
};

}  // namespace busprobe

extern "C" {
using BusProbeFn = busprobe::Probe* (*)();
}
