// Random identifiers: 16 bytes from the system's random device, the only
// source of randomness the core uses for cryptography.
//
// Threads: any, at the same time; each call opens its own descriptor and
// keeps no state.
#pragma once

#include <array>
#include <cstdint>

namespace ko::core {

using Guid = std::array<uint8_t, 16>;

inline constexpr const char* RandomDevicePath = "/dev/urandom";

// Fills all 16 bytes from RandomDevicePath and returns 0. A device that
// cannot be opened or read ends the process with exit status 74 after one line
// on standard error; only a failed close is a warning.
int CoCreateGuid(Guid& guid) noexcept;

namespace detail {
// CoCreateGuid's work on any device path, so tests can offer a device that
// delivers short reads or ends early.
int fillFromRandomDevice(const char* devicePath, Guid& guid) noexcept;
}  // namespace detail

}  // namespace ko::core
