// Capability sets for the whole process. The kernel keeps capabilities per
// thread and lets a thread change only its own, so a change made by one
// thread leaves every other one (and whatever they start later) as it was.
//
// Threads: any thread may call setProcessCapabilities, but only one at a time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ko::core {

// A thread that is not the product's (an emulator's or a sanitizer's):
// left out of the broadcast and the read-back, and named instead.
struct ExemptThread {
  pid_t tid = 0;
  const char* owner = "";  // "emulator" or "sanitizer"
  std::string name;        // its comm
  uint64_t held = 0;       // union of its four sets
};

struct CapabilityOutcome {
  // errno of the first capability call that failed, in any thread; 0 if none.
  int error = 0;
  // A thread that still holds a capability outside the requested set when
  // everything is over (0 if none), its comm, and the union of its four sets.
  pid_t wideThread = 0;
  std::string wideName;
  uint64_t wideSet = 0;
  // The broadcast's signal when the wide thread still blocked it (and so was
  // not waited for); 0 otherwise.
  int wideBlocks = 0;
  // The threads' sets could not be read back.
  bool unverified = false;
  // Threads left out as not the product's, present at the read-back.
  std::vector<ExemptThread> exempt;

  bool leftWide() const noexcept { return wideThread != 0 || unverified; }
  // The system's text for `error`, or which thread holds what and why.
  std::string describe() const;
};

// Threads that are not the product's: they never run core or plugin code
// and block the broadcast's signal, so they are neither waited for nor taken
// to mean the process kept its capabilities. A build without sanitizers
// exempts nothing but an emulator's threads.
//
// Notes the threads running before main: none on the target, a host thread
// of an emulator (qemu-user) elsewhere. Called first thing in main.
void noteEmulatorThreads() noexcept;
// In a sanitizer build, brings up and notes the sanitizer's own thread, which
// it starts with the first thread the process creates (so one is created and
// joined here); nothing otherwise. Called on the main thread once the
// process has its final identity (glibc's change of user must reach every
// thread, and that one could not follow it) and before any plugin can
// create threads.
void noteSanitizerThread() noexcept;

// Sets effective = permitted = `mask` (first capability word; the second and
// the inheritable set empty) in every thread of the process that holds more,
// then reads every thread's sets back. Threads created afterwards inherit the
// sets from their creator.
CapabilityOutcome setProcessCapabilities(uint32_t mask);

// setProcessCapabilities with its outcome logged as the core's: each exempt
// thread at level 75; a thread of the product left holding more (or sets
// that cannot be read back) at level 100, and then false, since its programs
// and the threads it starts would keep them; a refused call that left nothing
// wider at level 50 (a core that never held the set).
[[nodiscard]] bool narrowCapabilities(uint32_t mask);

}  // namespace ko::core
