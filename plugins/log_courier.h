// Carries the log records of threads that must never call a plugin (the
// watch) to the logging plugin once a stop request has made log records go
// to it directly. One thread of its own, started at the first record and
// watched like any thread that calls a plugin.
//
// Threads: post from the barred thread; the courier thread delivers; finish
// from the main thread at the end of the stop. `lock_` guards the records
// and the flags and is never held across a delivery.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ko/core/event.hpp"

namespace ko::core {

class DvrCore;

class LogCourier {
 public:
  // Records waiting for the courier; one more is dropped and counted with the
  // other log records the logging plugin never got.
  static constexpr size_t Capacity = 64;

  LogCourier() = default;
  ~LogCourier();
  LogCourier(const LogCourier&) = delete;
  LogCourier& operator=(const LogCourier&) = delete;

  void post(DvrCore& core, const EventParms& record) noexcept;
  // Refuses later records and waits as long as for a stuck call for the
  // courier to hand over what waits; a courier still inside the logging
  // plugin then is left to it, and counts as a stuck plugin (the core is
  // not destroyed under it). Main thread.
  void finish() noexcept;

 private:
  struct Waiting {
    EventParms record;
    std::string text;
  };
  struct State {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Waiting> records;  // guarded by lock; at most Capacity
    bool finishing = false;       // guarded by lock
    bool finished = false;        // guarded by lock; set by the thread
  };
  static void run(const std::shared_ptr<State>& state, DvrCore& core) noexcept;

  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::mutex threadLock_;  // the start of the thread, which post may race with finish
  std::thread thread_;     // guarded by threadLock_
};

}  // namespace ko::core
