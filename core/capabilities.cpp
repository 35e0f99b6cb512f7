// Process-wide capability changes.
//
// capset with pid 0 changes the calling thread only, and no call changes
// another thread's sets. So the change is broadcast the way the C library
// makes setuid process-wide: every thread listed in /proc/self/task gets a
// real-time signal whose handler makes the same capset call on itself and
// writes down its answer. The list is read again until a whole pass finds
// only threads that have answered, so a thread created meanwhile by one that
// had not yet answered (and so inherited the old sets) is reached too; one
// created by a thread that has answered inherits the new sets. A thread
// created with pthread_create by a plugin is in the list like any other,
// which a library that tracks threads through its own pthread_create wrapper
// (libpsx, behind libcap's process-wide calls) would miss.
//
// Limits:
// - A thread that blocks the signal (or takes it with sigwait or a signalfd)
//   never answers; after at most five seconds the broadcast gives up. The
//   handler then stays installed so that the still pending signal runs it
//   whenever the thread unblocks, rather than the default action ending the
//   process. The caller learns of such a thread from the read-back, which
//   looks at every thread's own status.
// - The signal is the highest real-time signal nobody has a handler for and
//   the system will send (an emulator may refuse the highest ones); a
//   plugin that uses one with the default disposition through sigwait takes
//   the broadcast's instance and leaves its thread unanswered as above.
// - A system call the kernel does not restart after a handler (poll,
//   epoll_wait, nanosleep, ...) returns EINTR in a thread the signal
//   interrupts, as it does for any other signal.
// - At most MaxAnswers threads are told apart; beyond that the broadcast
//   waits out its time and the read-back decides.
//
// The inheritable set is emptied, which also empties the ambient set (kept
// within permitted and inheritable by the kernel), so programs the process
// starts get no capability from it. The bounding set is left alone: it only
// caps what an exec may grant, which for a user's process is what that user
// gets anyway, and narrowing it would need CAP_SETPCAP, which is gone once
// the sets are narrowed.
#include "core/capabilities.h"

#include <dirent.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace ko::core {

namespace {

constexpr size_t MaxAnswers = 4096;
constexpr auto BroadcastTimeout = std::chrono::seconds(5);

// Shared with the signal handler: plain atomics only.
struct Broadcast {
  std::atomic<uint32_t> mask{0};
  std::atomic<uint32_t> count{0};
  // (thread id << 32) | errno, 0 until written.
  std::array<std::atomic<uint64_t>, MaxAnswers> answers{};
};
Broadcast broadcast;

pid_t ownThreadId() noexcept { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// Async-signal-safe: a raw system call on stack data.
int applyToThisThread(uint32_t mask) noexcept {
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  __user_cap_data_struct data[2]{};
  data[0].effective = mask;
  data[0].permitted = mask;
  return ::syscall(SYS_capset, &header, data) == 0 ? 0 : errno;
}

extern "C" void answerBroadcast(int) {
  const int savedErrno = errno;
  const int error = applyToThisThread(broadcast.mask.load());
  const auto tid = static_cast<uint32_t>(ownThreadId());
  const uint32_t slot = broadcast.count.fetch_add(1);
  if (slot < MaxAnswers) broadcast.answers[slot].store(uint64_t{tid} << 32 | static_cast<uint32_t>(error));
  errno = savedErrno;
}

// Empty when the list cannot be read.
std::vector<pid_t> threadIds() {
  std::vector<pid_t> ids;
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return ids;
  while (const dirent* entry = ::readdir(dir)) {
    const int id = std::atoi(entry->d_name);
    if (id > 0) ids.push_back(id);
  }
  ::closedir(dir);
  return ids;
}

// The highest real-time signal below `above` left at its default action.
int freeSignal(int above) {
  for (int signo = above - 1; signo >= SIGRTMIN; --signo) {
    struct sigaction current {};
    if (::sigaction(signo, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
        current.sa_handler == SIG_DFL) {
      return signo;
    }
  }
  return 0;
}

// Threads found running when main began; written once before any other
// thread of the program exists.
std::array<pid_t, 8> runtimeThreads{};

bool isRuntimeThread(pid_t tid) {
  return tid != 0 && std::find(runtimeThreads.begin(), runtimeThreads.end(), tid) != runtimeThreads.end();
}

// Signals every other thread until each has answered or the time is up.
void broadcastToOthers(uint32_t mask, CapabilityOutcome& outcome) {
  if (threadIds().size() <= 1) return;  // only the caller, which has done it
  int signo = 0;
  struct sigaction previous {};
  // Installs the handler on the next free signal below the current one; an
  // emulator (qemu-user) accepts a handler for the highest ones but refuses
  // to send them, so a refused send moves the broadcast down.
  const auto nextSignal = [&]() -> bool {
    if (signo != 0) ::sigaction(signo, &previous, nullptr);
    signo = freeSignal(signo == 0 ? SIGRTMAX + 1 : signo);
    if (signo == 0) return false;
    struct sigaction handler {};
    handler.sa_handler = answerBroadcast;
    handler.sa_flags = SA_RESTART;
    sigfillset(&handler.sa_mask);
    if (::sigaction(signo, &handler, &previous) == 0) return true;
    signo = 0;
    return false;
  };
  broadcast.mask.store(mask);
  broadcast.count.store(0);
  for (auto& answer : broadcast.answers) answer.store(0);
  if (!nextSignal()) return;  // nothing sent; the read-back decides

  const pid_t pid = ::getpid();
  const pid_t self = ownThreadId();
  std::set<pid_t> signalled;
  std::set<pid_t> answered;
  uint32_t taken = 0;
  const auto deadline = std::chrono::steady_clock::now() + BroadcastTimeout;
  for (;;) {
    for (const uint32_t written = std::min<uint32_t>(broadcast.count.load(), MaxAnswers); taken < written; ++taken) {
      const uint64_t answer = broadcast.answers[taken].load();
      if (answer == 0) break;  // counted, not yet written
      answered.insert(static_cast<pid_t>(answer >> 32));
      if (const int error = static_cast<int>(answer & 0xffffffffu); error != 0 && outcome.error == 0) {
        outcome.error = error;
      }
    }
    bool waiting = false;
    bool refused = false;
    for (const pid_t tid : threadIds()) {
      if (tid == self || answered.count(tid) != 0 || isRuntimeThread(tid)) continue;
      if (signalled.count(tid) == 0) {
        if (::syscall(SYS_tgkill, pid, tid, signo) == 0) {
          signalled.insert(tid);
        } else if (errno == ESRCH) {
          continue;  // gone
        } else if (errno == EINVAL) {
          refused = true;
          break;
        }
        // EAGAIN (queue full): tried again on the next pass.
      }
      waiting = true;
    }
    if (refused) {
      if (!signalled.empty()) return;  // some have it pending: handler stays
      if (!nextSignal()) return;
      continue;
    }
    if (!waiting) break;
    // Left installed: a signal still pending must find the handler.
    if (std::chrono::steady_clock::now() >= deadline) return;
    const timespec pause{0, 200'000};
    ::nanosleep(&pause, nullptr);
  }
  ::sigaction(signo, &previous, nullptr);
}

uint64_t statusField(const std::string& status, const char* name) {
  const auto at = status.find(name);
  if (at == std::string::npos) return 0;
  return std::strtoull(status.c_str() + at + std::char_traits<char>::length(name), nullptr, 16);
}

}  // namespace

void noteRuntimeThreads() noexcept {
  try {
    const pid_t self = ownThreadId();
    size_t n = 0;
    for (const pid_t tid : threadIds()) {
      if (tid != self && n < runtimeThreads.size()) runtimeThreads[n++] = tid;
    }
  } catch (...) {
    // Nothing noted: such threads then count like any other.
  }
}

std::string CapabilityOutcome::describe() const {
  if (error != 0) return std::strerror(error);
  if (unverified) return "cannot read /proc/self/task";
  char text[80];
  std::snprintf(text, sizeof text, "thread %d still holds capabilities %llx", static_cast<int>(wideThread),
                static_cast<unsigned long long>(wideSet));
  return text;
}

CapabilityOutcome setProcessCapabilities(uint32_t mask) {
  CapabilityOutcome outcome;
  outcome.error = applyToThisThread(mask);
  broadcastToOthers(mask, outcome);

  const std::vector<pid_t> threads = threadIds();
  // Unverifiable counts as not narrowed.
  outcome.unverified = threads.empty();
  for (const pid_t tid : threads) {
    std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/status");
    if (!file) continue;  // gone
    const std::string status((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    uint64_t held = 0;
    for (const char* name : {"\nCapInh:", "\nCapPrm:", "\nCapEff:", "\nCapAmb:"}) held |= statusField(status, name);
    if ((held & ~uint64_t{mask}) == 0) continue;
    if (isRuntimeThread(tid)) {
      outcome.runtimeThread = tid;
      outcome.runtimeSet = held;
      continue;
    }
    outcome.wideThread = tid;
    outcome.wideSet = held;
    break;
  }
  return outcome;
}

}  // namespace ko::core
