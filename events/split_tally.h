// A tally raised and lowered on different threads, each side on a cache line
// of its own.
#pragma once

#include <atomic>
#include <type_traits>

namespace ko::core {

// A tally that submitting threads raise and the dispatch loop lowers, each on
// a cache line of its own, so the two sides never fight over one line for
// every block. Reading lowers first (acquire, paired with the release of
// each lowering), so every lowering read comes with its raising: the figure
// is never below zero.
template <typename T>
class SplitTally {
  // Each side only grows, and wraps: kept unsigned so the wrap is defined.
  using Word = std::make_unsigned_t<T>;

 public:
  void fetch_add(T value, std::memory_order order) noexcept { up_.fetch_add(static_cast<Word>(value), order); }
  // For raisers serialised by a lock of their own: no read-modify-write, so
  // no full barrier on the raising path.
  void addSerialised(T value) noexcept {
    up_.store(up_.load(std::memory_order_relaxed) + static_cast<Word>(value), std::memory_order_relaxed);
  }
  void fetch_sub(T value, std::memory_order) noexcept {
    down_.fetch_add(static_cast<Word>(value), std::memory_order_release);
  }
  T load(std::memory_order = std::memory_order_seq_cst) const noexcept {
    const Word down = down_.load(std::memory_order_acquire);
    return static_cast<T>(static_cast<Word>(up_.load(std::memory_order_relaxed) - down));
  }

 private:
  alignas(64) std::atomic<Word> up_{0};
  alignas(64) std::atomic<Word> down_{0};
};

}  // namespace ko::core
