// Each source's budget of log records: a rate with a burst, far above what a
// well-behaved plugin logs, so that one plugin logging as fast as it can
// costs its own records and not the core's memory or anyone's video.
//
// Threads: any submitting thread takes from its source's bucket; the
// refusal counts are reported by whichever thread finds a report due (the
// refusing thread, or the dispatch loop's once-a-second check). `lock_` is a
// leaf held for a few arithmetic steps; reports are made after releasing it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace ko::core {

// Records a second a source may keep queueing, and the burst it may spend
// at once. Beyond them its records are refused with 1 and counted.
inline constexpr int64_t LogRecordsPerSecond = 5000;
inline constexpr int64_t LogRecordBurst = 20000;
// A source's refusals are told at most this often (and at once, the first
// time).
inline constexpr int64_t LogRefusalReportNanos = 60'000'000'000;

class LogBudget {
 public:
  // True when a record of `index` fits its budget at steady time `now`
  // (nanoseconds); false (and counted) otherwise.
  bool take(uint8_t index, int64_t now) noexcept;
  // The (index, count) of every source with refusals whose report is due at
  // `now`; their counts restart from 0. Cheap when nothing was refused.
  std::vector<std::pair<uint8_t, int64_t>> dueReports(int64_t now);

 private:
  struct Bucket {
    int64_t tokens = LogRecordBurst * 1'000'000'000;  // records, in nanorecords
    int64_t last = INT64_MIN;                          // steady time of the last refill
    int64_t refused = 0;                               // since the last report
    int64_t lastReport = INT64_MIN;
  };
  std::mutex lock_;
  std::array<Bucket, 256> buckets_{};  // guarded by lock_
  // Set under lock_ by a refusal; lets dueReports skip the walk (relaxed:
  // a missed flag is seen at the next check).
  std::atomic<bool> refusals_{false};
};

}  // namespace ko::core
