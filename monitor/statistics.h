// Helpers of the statistics report that other code shares: the human-readable
// size and the resident-memory reading. Both are safe on any thread.
#pragma once

#include <cstdint>
#include <string>

namespace ko::core {

// Up to 102,399 in grouped digits; above, the magnitude in binary units
// rounded up at two decimals ("100KiB", "1.47MiB", "-200KiB").
std::string formatSize(int64_t value);

// Resident memory of this process in bytes, from /proc/self/statm; 0 when it
// cannot be read.
uint64_t getHeapAlloc() noexcept;

}  // namespace ko::core
