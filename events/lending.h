// Lending a payload reference for one plugin call: the only way a block
// reaches a plugin, used by the dispatch loop (OnEvent, the configuration
// IOCTL, Write) and by the direct hand-off of log records after a stop
// request, so the release rule below cannot differ by path.
//
// The release rule. During its call a plugin holds the reference it was
// lent. It may give it back before the call returns (a plugin that passes the
// record to its own thread, which releases it at once). A release during the
// call gives the lent reference back early; if the call then answers "kept",
// the plugin holds nothing afterwards; if it answers "not kept", nothing more
// is taken back. A plugin that shares its source index with another holder
// (identifier 0, or the logging plugin's) thus never gives back the other's
// reference.
//
// Threads: the lending thread runs the call; releases may come from any
// thread (events/ref_block.h says how they meet).
#pragma once

#include <cstdint>
#include <utility>

#include "events/ref_block.h"

namespace ko::core {

// Runs `call` (which answers whether the plugin keeps the record) with one
// reference to `block` lent to source index `index`. The caller has already
// added the lent reference to the block's count and holds one of its own, so
// the block outlives the call whatever the plugin gives back meanwhile.
// Returned: the caller drops the lent reference. Kept: the plugin holds it
// (and refsHeld counts it) until its release record. Pinned: kept beyond the
// index's count, which is logged; the reference is never given back. ReleasedInCall: the
// plugin's release already dropped it (refsHeld is evened out here). A null
// block only runs the call.
// The level-50 line of a Pinned keep.
void reportPinnedKeep(uint8_t index) noexcept;

template <typename Call>
LendOutcome lendForCall(void* block, uint8_t index, Call&& call) {
  if (block == nullptr) {
    (void)std::forward<Call>(call)();
    return LendOutcome::Returned;
  }
  openLend(block, index);
  const LendOutcome outcome = settleLend(block, index, std::forward<Call>(call)());
  // A release during the call took one off the index's tally for a
  // reference the tally never counted; a kept one is counted now.
  if (outcome != LendOutcome::Returned) refsHeld[index].fetch_add(1, std::memory_order_relaxed);
  if (outcome == LendOutcome::Pinned) reportPinnedKeep(index);
  return outcome;
}

}  // namespace ko::core
