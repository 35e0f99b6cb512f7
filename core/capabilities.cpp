// Process-wide capability changes.
//
// capset with pid 0 changes the calling thread only, and no call changes
// another thread's sets. So the change is broadcast the way the C library
// makes setuid process-wide: every thread listed in /proc/self/task that
// holds more than the target gets a real-time signal whose handler makes the
// same capset call on itself and writes down its answer. The list is read
// again until a whole pass finds only threads that have answered or need
// nothing, so a thread created meanwhile by one that had not yet answered
// (and so inherited the old sets) is reached too; one created by a thread
// that has answered inherits the new sets. A thread created with
// pthread_create by a plugin is in the list like any other, which a library
// that tracks threads through its own pthread_create wrapper (libpsx, behind
// libcap's process-wide calls) would miss. When no other thread holds more
// than the target, no signal is sent at all.
//
// Limits:
// - A thread that blocks the signal (or takes it with sigwait or a signalfd)
//   never answers: glibc's helper thread for thread-notified timers and the
//   POSIX AIO helpers block every signal. Such a thread is given up as soon
//   as its mask still blocks the pending signal on a re-check a short grace
//   later while it sleeps (glibc blocks every signal for an instant inside
//   pthread_create, and on a busy system a new thread may wait a while for
//   a processor before it unblocks); any other thread that has not answered
//   is waited for at most five seconds.
//   The handler then stays installed so that the still pending signal runs
//   it whenever the thread unblocks, rather than the default action ending
//   the process. The caller learns of such a thread from the read-back,
//   which looks at every thread's own status.
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
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log/core_log.h"

namespace ko::core {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t MaxAnswers = 4096;
// Read size for a thread's status file; the file is read whole in pieces.
constexpr size_t TaskFileChunk = 4096;
constexpr auto BroadcastTimeout = std::chrono::seconds(5);
// How long a thread's mask may block the signal before it is given up: far
// longer than pthread_create keeps a new thread's signals blocked, even on a
// busy system, and far shorter than the wait for a thread that is merely
// slow to answer.
constexpr auto BlockedGrace = std::chrono::milliseconds(250);

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

std::string taskFile(pid_t tid, const char* name) {
  std::FILE* file = std::fopen(("/proc/self/task/" + std::to_string(tid) + "/" + name).c_str(), "re");
  if (file == nullptr) return {};
  std::string text;
  std::array<char, TaskFileChunk> chunk{};
  for (size_t n; (n = std::fread(chunk.data(), 1, chunk.size(), file)) > 0;) text.append(chunk.data(), n);
  std::fclose(file);
  return text;
}

uint64_t statusField(const std::string& status, const char* name) {
  const auto at = status.find(name);
  if (at == std::string::npos) return 0;
  return std::strtoull(status.c_str() + at + std::char_traits<char>::length(name), nullptr, 16);
}

// What one thread holds and blocks, from its own status file; nothing when
// the thread is gone.
struct ThreadState {
  uint64_t held = 0;  // union of the inheritable, permitted, effective and ambient sets
  uint64_t blocked = 0;
  uint64_t pending = 0;  // signals sent to this thread alone
  // In an interruptible wait (sigwaitinfo, a futex, a sleep), not running,
  // waiting for a processor or for a page to come in.
  bool sleeping = false;
};

std::optional<ThreadState> threadState(pid_t tid) {
  const std::string status = taskFile(tid, "status");
  if (status.empty()) return std::nullopt;
  ThreadState state;
  for (const char* name : {"\nCapInh:", "\nCapPrm:", "\nCapEff:", "\nCapAmb:"}) state.held |= statusField(status, name);
  state.blocked = statusField(status, "\nSigBlk:");
  state.pending = statusField(status, "\nSigPnd:");
  state.sleeping = status.find("\nState:\tS") != std::string::npos;
  return state;
}

bool holdsMore(uint64_t held, uint32_t mask) { return (held & ~uint64_t{mask}) != 0; }

// The signal waits in the thread because its mask blocks it. A thread
// running the handler blocks every signal too, but its signal is no longer
// pending: it is only slow to answer.
bool blocks(const ThreadState& state, int signo) {
  return (state.blocked & state.pending) >> (signo - 1) & 1;
}

std::string threadName(pid_t tid) {
  std::string name = taskFile(tid, "comm");
  while (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
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

// Threads that are not the product's; written on the main thread by
// noteRuntimeThreads before any thread of the core or a plugin exists,
// read-only afterwards.
struct RuntimeThread {
  pid_t tid = 0;
  const char* owner = "";
};
std::array<RuntimeThread, 8> runtimeThreads{};

const RuntimeThread* runtimeThread(pid_t tid) {
  if (tid == 0) return nullptr;
  const auto found =
      std::find_if(runtimeThreads.begin(), runtimeThreads.end(), [tid](const auto& known) { return known.tid == tid; });
  return found == runtimeThreads.end() ? nullptr : &*found;
}

// Signals every other thread that holds more than `mask` until each has
// answered, is given up as blocking the signal, or the time is up. Returns
// the signal used (0 if none) and fills `givenUp` with the blocking threads.
int broadcastToOthers(uint32_t mask, CapabilityOutcome& outcome, std::set<pid_t>& givenUp) {
  if (threadIds().size() <= 1) return 0;  // only the caller, which has done it
  int signo = 0;
  struct sigaction previous {};
  // Restores what was there before, unless someone (a plugin's thread) has
  // installed a handler of its own on the signal meanwhile.
  const auto restore = [&] {
    struct sigaction current {};
    if (::sigaction(signo, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
        current.sa_handler == answerBroadcast) {
      ::sigaction(signo, &previous, nullptr);
    }
  };
  // Installs the handler on the next free signal below the current one; an
  // emulator (qemu-user) accepts a handler for the highest ones but refuses
  // to send them, so a refused send moves the broadcast down.
  const auto nextSignal = [&]() -> bool {
    if (signo != 0) restore();
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

  const pid_t pid = ::getpid();
  const pid_t self = ownThreadId();
  std::set<pid_t> signalled;
  std::set<pid_t> answered;
  // Threads found holding nothing beyond `mask`: nothing to narrow.
  std::set<pid_t> within;
  std::map<pid_t, Clock::time_point> blockedSince;
  uint32_t taken = 0;
  const auto deadline = Clock::now() + BroadcastTimeout;
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
    const auto now = Clock::now();
    for (const pid_t tid : threadIds()) {
      if (tid == self || answered.count(tid) != 0 || within.count(tid) != 0 || givenUp.count(tid) != 0 ||
          runtimeThread(tid) != nullptr) {
        continue;
      }
      const std::optional<ThreadState> state = threadState(tid);
      if (!state) continue;  // gone
      if (signalled.count(tid) == 0) {
        if (!holdsMore(state->held, mask)) {
          within.insert(tid);
          continue;
        }
        if (signo == 0 && !nextSignal()) return 0;  // nothing can be sent; the read-back decides
        if (::syscall(SYS_tgkill, pid, tid, signo) == 0) {
          signalled.insert(tid);
        } else if (errno == ESRCH) {
          continue;  // gone
        } else if (errno == EINVAL) {
          refused = true;
          break;
        }
        // EAGAIN (queue full): tried again on the next pass.
      } else if (blocks(*state, signo) && state->sleeping) {
        // Given up once it has slept with the signal blocked for the whole
        // grace. One running or waiting for a processor or a page (a new
        // thread on a busy system that has not yet reached the point where
        // it unblocks) starts the grace again.
        const auto [since, first] = blockedSince.try_emplace(tid, now);
        if (!first && now - since->second >= BlockedGrace) {
          givenUp.insert(tid);
          continue;
        }
      } else {
        blockedSince.erase(tid);
      }
      waiting = true;
    }
    if (refused) {
      if (!signalled.empty()) return signo;  // some have it pending: handler stays
      if (!nextSignal()) return 0;
      continue;
    }
    if (!waiting) break;
    // Left installed: a signal still pending must find the handler.
    if (Clock::now() >= deadline) return signo;
    const timespec pause{0, 200'000};
    ::nanosleep(&pause, nullptr);
  }
  // A thread given up has the signal pending: the handler stays for it.
  if (signo != 0 && givenUp.empty()) restore();
  return signo;
}

void noteRuntimeThreads(const char* owner) noexcept {
  try {
    const pid_t self = ownThreadId();
    pid_t spawned = 0;
    if (std::strcmp(owner, "sanitizer") == 0) {
      // The joined thread itself may still be listed for an instant after
      // the join; it is told apart by its id.
      std::atomic<pid_t> first{0};
      std::thread([&first] { first.store(ownThreadId()); }).join();
      spawned = first.load();
    }
    size_t n = 0;
    while (n < runtimeThreads.size() && runtimeThreads[n].tid != 0) ++n;
    for (const pid_t tid : threadIds()) {
      if (tid != self && tid != spawned && runtimeThread(tid) == nullptr && n < runtimeThreads.size()) {
        runtimeThreads[n++] = {tid, owner};
      }
    }
  } catch (...) {
    // Nothing noted: such threads then count like any other.
  }
}

}  // namespace

void noteEmulatorThreads() noexcept { noteRuntimeThreads("emulator"); }

void noteSanitizerThread() noexcept {
#if defined(KO_SANITIZER_BUILD)
  noteRuntimeThreads("sanitizer");
#endif
}

std::string CapabilityOutcome::describe() const {
  if (error != 0) return std::strerror(error);
  if (unverified) return "cannot read /proc/self/task";
  char text[160];
  if (wideBlocks != 0) {
    std::snprintf(text, sizeof text, "thread %d (%s) blocks signal %d and still holds capabilities %llx",
                  static_cast<int>(wideThread), wideName.c_str(), wideBlocks,
                  static_cast<unsigned long long>(wideSet));
  } else {
    std::snprintf(text, sizeof text, "thread %d (%s) still holds capabilities %llx", static_cast<int>(wideThread),
                  wideName.c_str(), static_cast<unsigned long long>(wideSet));
  }
  return text;
}

CapabilityOutcome setProcessCapabilities(uint32_t mask) {
  CapabilityOutcome outcome;
  outcome.error = applyToThisThread(mask);
  std::set<pid_t> givenUp;
  const int signo = broadcastToOthers(mask, outcome, givenUp);

  const std::vector<pid_t> threads = threadIds();
  // Unverifiable counts as not narrowed.
  outcome.unverified = threads.empty();
  for (const pid_t tid : threads) {
    const std::optional<ThreadState> state = threadState(tid);
    if (!state) continue;  // gone
    if (const RuntimeThread* runtime = runtimeThread(tid)) {
      outcome.exempt.push_back({tid, runtime->owner, threadName(tid), state->held});
      continue;
    }
    if (!holdsMore(state->held, mask) || outcome.wideThread != 0) continue;
    outcome.wideThread = tid;
    outcome.wideName = threadName(tid);
    outcome.wideSet = state->held;
    if (givenUp.count(tid) != 0 || (signo != 0 && blocks(*state, signo))) outcome.wideBlocks = signo;
  }
  return outcome;
}

bool narrowCapabilities(uint32_t mask) {
  const CapabilityOutcome outcome = setProcessCapabilities(mask);
  for (const ExemptThread& thread : outcome.exempt) {
    coreLog(75, "thread {} ({}) belongs to the {}, not the core: left out of the narrowing (capabilities {:x})",
            thread.tid, thread.name, thread.owner, thread.held);
  }
  if (outcome.leftWide()) {
    coreLog(100, "capset failed: {}", outcome.describe());
    return false;
  }
  if (outcome.error != 0) coreLog(50, "capset failed: {}", outcome.describe());
  return true;
}

}  // namespace ko::core
