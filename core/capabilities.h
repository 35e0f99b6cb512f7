// Capability sets for the whole process. The kernel keeps capabilities per
// thread and lets a thread change only its own, so a change made by one
// thread leaves every other one (and whatever they start later) as it was.
//
// Threads: any thread may call setProcessCapabilities, but only one at a time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace ko::core {

struct CapabilityOutcome {
  // errno of the first capability call that failed, in any thread; 0 if none.
  int error = 0;
  // A thread that still holds a capability outside the requested set when
  // everything is over (0 if none), and the union of its four sets.
  pid_t wideThread = 0;
  uint64_t wideSet = 0;
  // The threads' sets could not be read back.
  bool unverified = false;
  // A thread that was running before the program's own code (an emulator's
  // or a sanitizer's) and still holds more: reported, not counted as failed.
  pid_t runtimeThread = 0;
  uint64_t runtimeSet = 0;

  bool failed() const noexcept { return error != 0 || leftWide(); }
  bool leftWide() const noexcept { return wideThread != 0 || unverified; }
  // The system's text for `error`, or which thread holds what.
  std::string describe() const;
};

// Notes the threads that run before the program's own code: none on the
// target, a host thread of an emulator (qemu-user) or a sanitizer's
// background thread elsewhere. They never run core or plugin code and block
// the broadcast's signal, so they are neither waited for nor taken to mean
// the process kept its capabilities. Called first thing in main.
void noteRuntimeThreads() noexcept;

// Sets effective = permitted = `mask` (first capability word; the second and
// the inheritable set empty) in every thread of the process, then reads every
// thread's sets back. Threads created afterwards inherit the sets from their
// creator.
CapabilityOutcome setProcessCapabilities(uint32_t mask);

}  // namespace ko::core
