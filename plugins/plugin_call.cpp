// The per-thread call records, their interned plugin names, and the threads'
// alternate signal stacks. See plugin_call.h.
#include "plugins/plugin_call.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <iterator>
#include <mutex>
#include <string>

#include "log/core_log.h"

namespace ko::core {

namespace {

constexpr const char* EntryNames[] = {"",      "OnEvent", "OnSearch", "OnIpcResult", "IOCTL", "Read",
                                      "Write", "Open",    "Close",    "Load",        "Unload"};
static_assert(std::size(EntryNames) == static_cast<size_t>(PluginEntry::Unload) + 1);

// Room for the signal handler's own frames and the unwinder behind the
// backtrace, above what the system asks for.
constexpr size_t HandlerStackExtra = 64 * 1024;

}  // namespace

const char* entryName(PluginEntry entry) noexcept {
  const auto index = static_cast<size_t>(entry);
  return index < std::size(EntryNames) ? EntryNames[index] : "";
}

void setThreadRole(ThreadRole role, uint8_t id) noexcept {
  threadCalls.roleId.store(id, std::memory_order_relaxed);
  threadCalls.role.store(role, std::memory_order_relaxed);
}

const char* internPluginName(const char* name) {
  // Never shrinks: a slot on another thread may point at any name handed
  // out. One entry per distinct plugin name.
  static std::mutex lock;
  static std::deque<std::string> names;
  std::lock_guard guard(lock);
  for (const auto& known : names) {
    if (known == name) return known.c_str();
  }
  return names.emplace_back(name).c_str();
}

namespace detail {
void reportReturned(CallSlot& slot, const char* name, PluginEntry entry, int64_t start) noexcept {
  // The watch may be clearing the same report at this moment; one of the two
  // writes the line.
  int64_t expected = start;
  if (!slot.stuckStart.compare_exchange_strong(expected, 0)) return;
  coreLog(25, "{} returned from {} after {}s", name, entryName(entry), roundedSeconds(callClockNanos() - start));
}
}  // namespace detail

ThreadName coreThreadName(ThreadRole role, uint8_t id) noexcept {
  ThreadName name{};
  constexpr char Digits[] = "0123456789abcdef";
  switch (role) {
    case ThreadRole::Io: std::memcpy(name.text, "ko-io", sizeof "ko-io"); break;
    case ThreadRole::Log: std::memcpy(name.text, "ko-log", sizeof "ko-log"); break;
    case ThreadRole::Search: {
      constexpr char Prefix[] = "ko-search-";
      std::memcpy(name.text, Prefix, sizeof Prefix - 1);
      name.text[sizeof Prefix - 1] = Digits[id >> 4];
      name.text[sizeof Prefix] = Digits[id & 15];
      break;
    }
    default: break;
  }
  return name;
}

CoreThread::CoreThread(ThreadRole role, uint8_t id) noexcept {
  setThreadRole(role, id);
  // A thread left with its inherited name is only harder to tell apart.
  if (const ThreadName name = coreThreadName(role, id); name.text[0] != '\0') {
    (void)pthread_setname_np(pthread_self(), name.text);
  }
  const long minimum = sysconf(_SC_SIGSTKSZ);
  size_ = (minimum > 0 ? static_cast<size_t>(minimum) : static_cast<size_t>(SIGSTKSZ)) + HandlerStackExtra;
  void* stack = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  // Without its own stack the thread still has the handler; only an overflow
  // of its stack would then go unreported.
  if (stack == MAP_FAILED) return;
  stack_t alternate{};
  alternate.ss_sp = stack;
  alternate.ss_size = size_;
  if (sigaltstack(&alternate, &previous_) != 0) {
    (void)munmap(stack, size_);
    return;
  }
  stack_ = stack;
}

CoreThread::~CoreThread() {
  setThreadRole(ThreadRole::Foreign);
  if (stack_ == nullptr) return;
  // Whatever stack the thread had before (a sanitizer's, say) comes back.
  (void)sigaltstack(&previous_, nullptr);
  (void)munmap(stack_, size_);
}

}  // namespace ko::core
