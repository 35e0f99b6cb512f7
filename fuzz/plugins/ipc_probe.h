// What the IPC probe plugin notes about the packets delivered to it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ko::fuzz {

struct IpcProbe {
  static constexpr size_t Capacity = 4096;
  struct Seen {
    const void* packet;
    uint64_t length;
    uint32_t headerLength;  // header words as they were at delivery
    uint32_t target;
    uint32_t command;
    uint32_t checksum;
  };
  size_t count = 0;
  size_t overflow = 0;
  Seen seen[Capacity];
};

}  // namespace ko::fuzz
