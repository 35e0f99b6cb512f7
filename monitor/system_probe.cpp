// The real system behind SystemProbe. Called on the io thread.
#include "monitor/system_probe.h"

#include <sys/resource.h>
#include <sys/sysinfo.h>

#include <chrono>

#include "monitor/statistics.h"

namespace ko::core {

namespace {

template <typename ClockType>
int64_t nanosSinceEpoch() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(ClockType::now().time_since_epoch()).count();
}

class RealSystemProbe final : public SystemProbe {
 public:
  int64_t steadyNanos() const override { return nanosSinceEpoch<std::chrono::steady_clock>(); }
  int64_t wallNanos() const override { return nanosSinceEpoch<std::chrono::system_clock>(); }

  std::optional<uint64_t> totalRam() const override {
    struct sysinfo info {};
    if (sysinfo(&info) != 0) return std::nullopt;
    return static_cast<uint64_t>(info.totalram) * info.mem_unit;
  }

  int64_t stackLimit() const override {
    rlimit limit{};
    // getrlimit cannot fail for a valid resource; should it, the limit shows
    // as 0 rather than as "unlimited".
    if (getrlimit(RLIMIT_STACK, &limit) != 0) return 0;
    if (limit.rlim_cur == RLIM_INFINITY) return -1;
    return static_cast<int64_t>(limit.rlim_cur);
  }

  uint64_t residentBytes() const override { return getHeapAlloc(); }
};

}  // namespace

const SystemProbe* realSystemProbe() noexcept {
  static const RealSystemProbe probe;
  return &probe;
}

}  // namespace ko::core
