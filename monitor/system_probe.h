// The monitor's view of the machine: the two clocks, the installed RAM, the
// stack limit and the process's resident memory. The core reaches them only
// through a SystemProbe so that tests can drive throttling and the clock
// watch with simulated time and memory; the product uses realSystemProbe().
//
// Implementations are called on the io thread (housekeeping) only.
#pragma once

#include <cstdint>
#include <optional>

namespace ko::core {

class SystemProbe {
 public:
  virtual ~SystemProbe() = default;
  // Monotonic clock, nanoseconds since its epoch.
  virtual int64_t steadyNanos() const = 0;
  // Wall clock, nanoseconds since the Unix epoch.
  virtual int64_t wallNanos() const = 0;
  // Installed RAM in bytes; nullopt when the system cannot tell.
  virtual std::optional<uint64_t> totalRam() const = 0;
  // Soft stack limit in bytes; -1 when unlimited.
  virtual int64_t stackLimit() const = 0;
  // The process's resident memory in bytes; 0 when unreadable.
  virtual uint64_t residentBytes() const = 0;
};

// The real system: steady_clock, system_clock, sysinfo, getrlimit and
// getHeapAlloc. One process-wide instance; never null.
const SystemProbe* realSystemProbe() noexcept;

}  // namespace ko::core
