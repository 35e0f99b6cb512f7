#include "events/ref_block.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace ko::core {

void* allocRefBlock(const void* data, uint32_t length) noexcept {
  const uint64_t total = uint64_t{length} + sizeof(RefBlockHeader);
  void* raw = std::malloc(total);
  if (raw == nullptr) return nullptr;
  auto* header = new (raw) RefBlockHeader{total, {0}, 0};
  void* payload = header + 1;
  if (length != 0 && data != nullptr) std::memcpy(payload, data, length);
  refBlockCount.fetch_add(1, std::memory_order_relaxed);
  refBlockBytes.fetch_add(static_cast<int64_t>(total), std::memory_order_relaxed);
  return payload;
}

void freeRefBlock(void* payload) noexcept {
  RefBlockHeader* header = refBlockHeader(payload);
  refBlockCount.fetch_sub(1, std::memory_order_relaxed);
  refBlockBytes.fetch_sub(static_cast<int64_t>(header->totalSize), std::memory_order_relaxed);
  header->~RefBlockHeader();
  std::free(header);
}

}  // namespace ko::core
