// Whether this test runs under a user-mode emulator (qemu-user), which keeps
// a host handler of its own for signals the program left alone: the kernel
// then reports the emulator's signals, threads and privileges, not the
// program's. Decided at run time, since the same cross build also runs on
// the target's own kernel (tools/run-tests.sh arm64-vm).
#pragma once

#include <signal.h>

#include <cstdint>
#include <fstream>
#include <string>

namespace ko::test {

inline bool underUserModeEmulator() {
  static const bool emulated = [] {
    std::ifstream status("/proc/self/status");
    std::uint64_t caught = 0;
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("SigCgt:", 0) == 0) caught = std::stoull(line.substr(7), nullptr, 16);
    }
    for (const int signal : {SIGUSR1, SIGUSR2}) {
      struct sigaction own {};
      if (::sigaction(signal, nullptr, &own) != 0) continue;
      const bool left = (own.sa_flags & SA_SIGINFO) == 0 && own.sa_handler == SIG_DFL;
      if (left && (caught & (std::uint64_t{1} << (signal - 1))) != 0) return true;
    }
    return false;
  }();
  return emulated;
}

}  // namespace ko::test
