// The handler of the fatal signals (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT):
// on whichever thread the signal arrives, it writes one level-100 line naming
// the thread and the plugin entry point it was inside (plugins/plugin_call.h)
// to the console and to syslog, then a backtrace of that thread, and ends the
// process with the same signal by its default action.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ko::core {

// Installs the handler for the five signals and gives the calling thread (the
// main thread) its role and an alternate signal stack for the life of the
// process. Called once by the program before the core starts.
void installFatalSignalHandlers() noexcept;

// The line the handler writes for `signo` on the calling thread, without
// time, tag or newline, into `buffer`; its length. Async-signal-safe. On a
// thread outside plugin calls, the first of `addresses` (the interrupted
// instruction when `firstInterrupted`, else a return address like the rest)
// that lies in a plugin's library names the plugin.
size_t formatFatalSignalLine(int signo, char* buffer, size_t size, const uintptr_t* addresses = nullptr,
                             size_t count = 0, bool firstInterrupted = false) noexcept;

}  // namespace ko::core
