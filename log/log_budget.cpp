// Per-source token buckets for log records (see log_budget.h).
#include "log/log_budget.h"

#include <algorithm>

namespace ko::core {

bool LogBudget::take(uint8_t index, int64_t now) noexcept {
  constexpr int64_t Unit = 1'000'000'000;  // one record, in nanorecords
  std::lock_guard guard(lock_);
  Bucket& bucket = buckets_[index];
  if (bucket.last != INT64_MIN && now > bucket.last) {
    // Nanoseconds times records a second is nanorecords; capped before the
    // product could overflow.
    const int64_t elapsed = std::min(now - bucket.last, LogRecordBurst * Unit);
    bucket.tokens = std::min(bucket.tokens + elapsed * LogRecordsPerSecond, LogRecordBurst * Unit);
  }
  if (bucket.last == INT64_MIN || now > bucket.last) bucket.last = now;
  if (bucket.tokens >= Unit) {
    bucket.tokens -= Unit;
    return true;
  }
  ++bucket.refused;
  refusals_.store(true, std::memory_order_relaxed);
  return false;
}

std::vector<std::pair<uint8_t, int64_t>> LogBudget::dueReports(int64_t now) {
  std::vector<std::pair<uint8_t, int64_t>> due;
  if (!refusals_.load(std::memory_order_relaxed)) return due;
  std::lock_guard guard(lock_);
  bool waiting = false;
  for (size_t i = 0; i < buckets_.size(); ++i) {
    Bucket& bucket = buckets_[i];
    if (bucket.refused == 0) continue;
    if (bucket.lastReport != INT64_MIN && now - bucket.lastReport < LogRefusalReportNanos) {
      waiting = true;
      continue;
    }
    due.emplace_back(static_cast<uint8_t>(i), bucket.refused);
    bucket.refused = 0;
    bucket.lastReport = now;
  }
  refusals_.store(waiting, std::memory_order_relaxed);
  return due;
}

}  // namespace ko::core
