// The fatal-signal report. Everything the handler does is async-signal-safe:
// fixed buffers on the (alternate) stack, poll, write, socket, connect, send,
// clock_gettime, nanosleep, the table of loaded objects (core/loaded_objects)
// and libgcc's unwinder (it finds frames through _dl_find_object, which takes
// no lock). The
// local time comes from the offset to UTC taken at installation, since
// localtime_r may take a lock.
//
// The report never keeps a dying process alive: each sink gets about a
// second in all (a console pipe nobody reads, a syslog daemon that does not
// take its line), frames are named from the table rather than by the loader
// (dladdr takes the loader's lock, which the crashing thread may hold), and a
// second faulting thread waits a bounded time for the first to end the
// process before it ends the process itself.
#include "core/fatal_signal.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>

#include "core/dvr_core.h"
#include "core/loaded_objects.h"
#include "ko/core/event.hpp"
#include "plugins/plugin_call.h"

namespace ko::core {

namespace {

constexpr int FatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int BacktraceFrames = 64;
// What one sink (the console, standard error, syslog) may take of the report.
constexpr int64_t SinkBudgetNanos = 1'000'000'000;
// How long a second faulting thread leaves the first to end the process:
// more than the first's report may take with every sink at its budget.
constexpr int64_t SecondFaultWaitNanos = 4'000'000'000;
// LOG_CRIT in the default facility LOG_USER, as the console sink's syslog call.
constexpr const char* SyslogPriority = "<10>";
constexpr const char* Months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// The console's level-100 colours: time stamp, before and after the tag.
constexpr const char* FatalColour = "\x1b[38;5;37m\x1b[38;5;1m";
constexpr const char* TagColour = "\x1b[36m";
constexpr const char* ResetColour = "\x1b[0m";

// Seconds east of UTC, taken when the handler is installed.
std::atomic<long> utcOffset{0};
// The thread writing the report; a second thread that faults meanwhile waits
// for the first to end the process.
std::atomic<pid_t> reportingThread{0};

// Appends to a fixed buffer, truncating silently.
class Text {
 public:
  Text(char* buffer, size_t size) noexcept : buffer_(buffer), size_(size) {}
  Text& add(const char* text) noexcept {
    while (*text != '\0' && length_ < size_) buffer_[length_++] = *text++;
    return *this;
  }
  Text& add(const char* text, size_t count) noexcept {
    for (size_t i = 0; i < count && length_ < size_; ++i) buffer_[length_++] = text[i];
    return *this;
  }
  Text& decimal(uint64_t value, int width = 0, char fill = '0') noexcept {
    char digits[24];
    int count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    for (int pad = width - count; pad > 0; --pad) add(&fill, 1);
    while (count > 0) add(&digits[--count], 1);
    return *this;
  }
  Text& hex2(uint8_t value) noexcept {
    constexpr char Digits[] = "0123456789abcdef";
    const char pair[2] = {Digits[value >> 4], Digits[value & 15]};
    return add(pair, 2);
  }
  Text& hex(uint64_t value) noexcept {
    constexpr char Digits[] = "0123456789abcdef";
    char digits[16];
    int count = 0;
    do {
      digits[count++] = Digits[value & 15];
      value >>= 4;
    } while (value != 0);
    add("0x");
    while (count > 0) add(&digits[--count], 1);
    return *this;
  }
  size_t length() const noexcept { return length_; }
  const char* data() const noexcept { return buffer_; }

 private:
  char* buffer_;
  size_t size_;
  size_t length_ = 0;
};

const char* signalName(int signo) noexcept {
  switch (signo) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    default: return nullptr;
  }
}

pid_t threadId() noexcept { return static_cast<pid_t>(syscall(SYS_gettid)); }

struct LocalTime {
  int month, day, hour, minute, second, millis;
};

// Civil date from days since 1970-01-01 (proleptic Gregorian).
LocalTime localNow() noexcept {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const int64_t seconds = static_cast<int64_t>(now.tv_sec) + utcOffset.load(std::memory_order_relaxed);
  int64_t days = seconds / 86400;
  int64_t inDay = seconds % 86400;
  if (inDay < 0) {
    inDay += 86400;
    --days;
  }
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t shifted = (5 * dayOfYear + 2) / 153;
  LocalTime t{};
  t.day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
  t.month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
  t.hour = static_cast<int>(inDay / 3600);
  t.minute = static_cast<int>(inDay / 60 % 60);
  t.second = static_cast<int>(inDay % 60);
  t.millis = static_cast<int>(now.tv_nsec / 1'000'000);
  return t;
}

int64_t monotonicNanos() noexcept {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// One destination of the report with what is left of its budget. A sink
// that is not ready within it is given up for the rest of the report.
class Sink {
 public:
  explicit Sink(int fd, bool socket = false) noexcept : fd_(fd), socket_(socket) {}

  // Each write is preceded by a poll and kept within PIPE_BUF, so that a
  // blocking pipe with room for it takes it at once.
  void write(const char* data, size_t length) noexcept {
    while (length > 0 && fd_ >= 0) {
      if (deadline_ == 0) deadline_ = monotonicNanos() + SinkBudgetNanos;
      const int64_t left = deadline_ - monotonicNanos();
      pollfd ready{fd_, POLLOUT, 0};
      const int polled = left > 0 ? poll(&ready, 1, static_cast<int>((left + 999'999) / 1'000'000)) : 0;
      if (polled < 0 && errno == EINTR) continue;
      if (polled <= 0 || (ready.revents & POLLOUT) == 0) {
        fd_ = -1;
        return;
      }
      const size_t chunk = length < PIPE_BUF ? length : PIPE_BUF;
      const ssize_t n = socket_ ? send(fd_, data, chunk, MSG_NOSIGNAL | MSG_DONTWAIT) : ::write(fd_, data, chunk);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        fd_ = -1;
        return;
      }
      data += n;
      length -= static_cast<size_t>(n);
    }
  }

 private:
  int fd_;
  bool socket_;
  int64_t deadline_ = 0;
};

// A socket connected to /dev/log: a datagram one, or a stream one where the
// syslog daemon listens on a stream socket. -1 when there is none.
int connectSyslog(bool& stream) noexcept {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, "/dev/log", sizeof "/dev/log");
  for (const int type : {SOCK_DGRAM, SOCK_STREAM}) {
    // Non-blocking, so that a daemon with a full backlog refuses at once.
    const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      stream = type == SOCK_STREAM;
      return fd;
    }
    const int error = errno;
    close(fd);
    if (error != EPROTOTYPE) return -1;
  }
  return -1;
}

// As the console sink's syslog call would send it: no openlog, so the
// program name without a process id.
void sendToSyslog(const char* text, size_t length, const LocalTime& t) noexcept {
  char buffer[768];
  Text message(buffer, sizeof buffer - 1);
  message.add(SyslogPriority).add(Months[t.month - 1]).add(" ").decimal(static_cast<uint64_t>(t.day), 2, ' ');
  message.add(" ").decimal(static_cast<uint64_t>(t.hour), 2).add(":").decimal(static_cast<uint64_t>(t.minute), 2);
  message.add(":").decimal(static_cast<uint64_t>(t.second), 2).add(" ");
  message.add(program_invocation_short_name).add(": ").add(text, length);

  bool stream = false;
  const int fd = connectSyslog(stream);
  if (fd < 0) return;
  // On a stream each message ends with a NUL, as the C library's syslog
  // sends it; the buffer keeps a byte for it.
  size_t size = message.length();
  if (stream) buffer[size++] = '\0';
  Sink(fd, true).write(buffer, size);
  close(fd);
}

void writeConsoleLine(Sink& console, const char* text, size_t length, const LocalTime& t, bool colour) noexcept {
  char buffer[768];
  Text line(buffer, sizeof buffer);
  if (colour) line.add(FatalColour);
  line.decimal(static_cast<uint64_t>(t.hour), 2).add(":").decimal(static_cast<uint64_t>(t.minute), 2).add(":");
  line.decimal(static_cast<uint64_t>(t.second), 2).add(".").decimal(static_cast<uint64_t>(t.millis), 3);
  if (colour) line.add(TagColour);
  line.add(" core");
  if (colour) line.add(ResetColour);
  line.add(" ").add(text, length).add("\n");
  console.write(line.data(), line.length());
}

// Each frame as object(+offset), the offset from the object's load address
// as addr2line takes it; a frame outside every known object as its address.
void writeBacktrace(Sink& sink, void* const* frames, int count) noexcept {
  for (int i = 0; i < count; ++i) {
    char buffer[128];
    Text line(buffer, sizeof buffer);
    const auto address = reinterpret_cast<uintptr_t>(frames[i]);
    LoadedObject object;
    if (findLoadedObject(address, object)) {
      line.add(object.file).add("(+").hex(address - object.base).add(")");
    } else {
      line.add("[").hex(address).add("]");
    }
    line.add("\n");
    sink.write(line.data(), line.length());
  }
}

// The instruction the signal interrupted.
uintptr_t interruptedAddress(const void* context) noexcept {
  if (context == nullptr) return 0;
  const auto& machine = static_cast<const ucontext_t*>(context)->uc_mcontext;
#if defined(__aarch64__)
  return static_cast<uintptr_t>(machine.pc);
#elif defined(__x86_64__)
  return static_cast<uintptr_t>(machine.gregs[REG_RIP]);
#else
  (void)machine;
  return 0;
#endif
}

void sleepNanos(int64_t nanos) noexcept {
  timespec rest{static_cast<time_t>(nanos / 1'000'000'000), static_cast<long>(nanos % 1'000'000'000)};
  while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
  }
}

// Ends the process by `signo`'s default action: raised on this thread while
// the handler blocks it, it is delivered as the handler returns.
void endBy(int signo) noexcept {
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signo, &fallback, nullptr);
  syscall(SYS_tgkill, getpid(), threadId(), signo);
}

// The backtrace comes from the unwinder in libgcc_s, which the C++ runtime
// has loaded since start-up: it finds each frame through the loaded objects'
// own unwind tables and allocates nothing. glibc's backtrace() would load the
// same unwinder on its first call, allocating, and warming it up in advance
// kept about 180 KiB of the C library resident in every idle core.
struct FrameList {
  void** frames;
  int count;
  int capacity;
  int skip;
};

_Unwind_Reason_Code addFrame(_Unwind_Context* context, void* argument) {
  auto* list = static_cast<FrameList*>(argument);
  if (list->skip > 0) {
    --list->skip;
    return _URC_NO_REASON;
  }
  if (list->count >= list->capacity) return _URC_END_OF_STACK;
  list->frames[list->count++] = reinterpret_cast<void*>(_Unwind_GetIP(context));
  return _URC_NO_REASON;
}

// As with backtrace(), the caller's frame comes first: this one is skipped.
[[gnu::noinline]] int collectBacktrace(void** frames, int capacity) noexcept {
  FrameList list{frames, 0, capacity, 1};
  _Unwind_Backtrace(addFrame, &list);
  return list.count;
}

void onFatalSignal(int signo, siginfo_t*, void* context) {
  const int savedErrno = errno;
  const pid_t self = threadId();
  pid_t first = 0;
  if (!reportingThread.compare_exchange_strong(first, self)) {
    // The first report normally ends the process meanwhile; one that cannot
    // (its thread stopped inside it) must not keep this one parked.
    if (first != self) sleepNanos(SecondFaultWaitNanos);
    endBy(signo);
    errno = savedErrno;
    return;
  }

  // The interrupted instruction, then the stack's return addresses; the
  // first frame is this handler.
  void* frames[BacktraceFrames + 1];
  frames[0] = reinterpret_cast<void*>(interruptedAddress(context));
  const int count = collectBacktrace(frames + 1, BacktraceFrames);
  uintptr_t addresses[BacktraceFrames];
  size_t known = 0;
  if (frames[0] != nullptr) addresses[known++] = reinterpret_cast<uintptr_t>(frames[0]);
  for (int i = 2; i <= count; ++i) addresses[known++] = reinterpret_cast<uintptr_t>(frames[i]);

  char buffer[512];
  const size_t length = formatFatalSignalLine(signo, buffer, sizeof buffer, addresses, known,
                                              frames[0] != nullptr);
  const LocalTime now = localNow();
  sendToSyslog(buffer, length, now);
  // The core may never have been created, or be gone already.
  const DvrCore* core = coreInstance;
  const bool quiet = core != nullptr && core->consoleQuiet.load(std::memory_order_relaxed);
  Sink console(STDOUT_FILENO);
  if (!quiet) writeConsoleLine(console, buffer, length, now, core == nullptr || core->consoleColour);
  Sink errors(STDERR_FILENO);
  if (count > 1) writeBacktrace(quiet ? errors : console, frames + 2, count - 1);

  endBy(signo);
  errno = savedErrno;
}

}  // namespace

size_t formatFatalSignalLine(int signo, char* buffer, size_t size, const uintptr_t* addresses, size_t count,
                             bool firstInterrupted) noexcept {
  const CallSlot& slot = threadCallSlot();
  Text line(buffer, size);
  line.add("fatal signal ");
  if (const char* name = signalName(signo)) {
    line.add(name);
  } else {
    line.add("SIG").decimal(static_cast<uint64_t>(signo));
  }
  line.add(" in ");
  const uint8_t roleId = slot.roleId.load(std::memory_order_relaxed);
  switch (slot.role.load(std::memory_order_relaxed)) {
    case ThreadRole::Main: line.add("main"); break;
    case ThreadRole::Dispatch: line.add("dispatch"); break;
    case ThreadRole::Io: line.add("io"); break;
    case ThreadRole::Log: line.add("log"); break;
    case ThreadRole::Worker: line.add("worker ").hex2(roleId); break;
    case ThreadRole::Reader: line.add("reader ").hex2(roleId); break;
    case ThreadRole::Search: line.add("search ").hex2(roleId); break;
    case ThreadRole::Foreign: line.add("thread ").decimal(static_cast<uint64_t>(threadId())); break;
  }
  line.add(": ");
  const char* name = slot.name.load(std::memory_order_relaxed);
  const uint64_t* sourceId = slot.sourceId.load(std::memory_order_relaxed);
  if (name == nullptr) {
    // No call record: the code that faulted decides, or else the innermost
    // caller in a plugin (a plugin that passed NULL to strlen, or aborts).
    // A return address is looked up one byte back, inside its call.
    LoadedObject object;
    for (size_t i = 0; i < count; ++i) {
      const uintptr_t address = addresses[i] - (i == 0 && firstInterrupted ? 0 : 1);
      if (findLoadedObject(address, object) && object.plugin != nullptr) {
        line.hex2(object.pluginIndex).add(":").add(object.plugin);
        return line.length();
      }
    }
    line.add("the core itself");
  } else {
    line.hex2(sourceId != nullptr ? sourceIndex(*sourceId) : 0).add(":").add(name).add(" ");
    line.add(entryName(slot.entry.load(std::memory_order_relaxed)));
  }
  return line.length();
}

void installFatalSignalHandlers() noexcept {
  static CoreThread* const mainThread = new (std::nothrow) CoreThread(ThreadRole::Main);
  (void)mainThread;

  tzset();
  const time_t now = time(nullptr);
  tm local{};
  if (localtime_r(&now, &local) != nullptr) utcOffset.store(local.tm_gmtoff, std::memory_order_relaxed);
  refreshLoadedObjects();

  struct sigaction action {};
  action.sa_sigaction = onFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  // A fault inside the report itself then ends the process at once.
  for (int signo : FatalSignals) sigaddset(&action.sa_mask, signo);
  for (int signo : FatalSignals) sigaction(signo, &action, nullptr);
}

}  // namespace ko::core
