// soak_parent: plays the parent daemon for a long run of the real core under
// a camera's plugin load, with faults, and judges the result. tools/soak.sh
// lays out the tree, builds, sets up the mounts and draws the picture; this
// program starts the core, measures it idle, starts the load, injects the
// faults, samples the process once a second into a CSV, reads the core's
// statistics report for the reference blocks, reads the dispatch queue's
// length out of the core's memory once a second, checks that nothing the
// core accepted was lost, and ends with a verdict: exit 0 when it passes, 1
// when it fails, 2 on bad usage or set-up. Every fault's waits follow from
// the rate, so the verdict means the same at any --rate.
//
// One thread: a poll loop over the channel, the core's output, /dev/log and
// a 100 ms tick.
#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ipc/ipc_packet.h"
#include "monitor/counters.h"
#include "soak_protocol.h"

namespace fs = std::filesystem;
using namespace ko::core;
using Clock = std::chrono::steady_clock;

namespace {

using namespace ko::soak;

constexpr const char* UsageText =
    "usage: soak_parent --tree DIR --out DIR [options]\n"
    "  --tree DIR        laid-out tree: DIR/bin/dvrcore, DIR/bin/plugins/*.so, DIR/work\n"
    "  --out DIR         where soak.csv, faults.csv, core.log, figures.md and verdict.txt go\n"
    "  --minutes N       length of the loaded stretch (default 30)\n"
    "  --rate X          multiple of a camera's real rates (default 1)\n"
    "  --faults          inject the faults (those that fit in the run)\n"
    "  --shim PATH       preload PATH into the core (sysinfo and mallinfo2 for the soak)\n"
    "  --ram-mib N       with --shim: the RAM sysinfo reports (default 256: the 190 MiB limit)\n"
    "  --dev-log         own /dev/log (a private /dev): the /dev/log fault\n"
    "  --full-disk       the working directory is a small file system of its own: the full-disk fault\n"
    "  --tolerance-mib N growth allowed between the first and last fault-free stretch (default 4)\n"
    "  --counters-at HEX the address of the core's figures in its executable (nm): the queue\n"
    "                    length once a second\n";

// Plugin identifiers of the load (tools/soak/CMakeLists.txt) and commands.
constexpr uint8_t Cameras[] = {0x11, 0x12, 0x13, 0x14, 0x15};
constexpr uint8_t Recorder = 0x20;
constexpr uint8_t Requester = 0x00;
constexpr uint8_t Echo = 0x40;
constexpr uint32_t EchoRequest = 0x200;
constexpr uint32_t EchoReply = 0x101;

// What the faults need and what they must show.
constexpr double MiB = 1024.0 * 1024.0;
// The load's live video at real rates: five cameras, 25 frames a second of
// 2..10 KiB, so 6 KiB on average.
constexpr double VideoBytesPerSecond = 5 * 25 * 6 * 1024.0;
// The throttle's limit below 512 MiB of RAM, and its share above.
constexpr double SmallMachineLimit = 190 * MiB;
constexpr double LimitShareOfRam = 0.8;
constexpr double ThrottleRecoverySeconds = 60;
// Slack on top of what a fault should take before it counts as failed.
constexpr double FaultSlackSeconds = 30;
constexpr double SlowFillFactor = 1.5;
constexpr double GrowthBoundMiB = 64;
constexpr long ThreadBound = 50;
constexpr uint32_t StdoutUnreadSeconds = 20;
constexpr uint32_t ConsoleLines = 10000;
constexpr uint32_t FloodSeconds = 10;
constexpr uint32_t StallSeconds = 20;
constexpr uint32_t BigRecordsPerSecond = 10;
constexpr uint32_t HoldIpcSeconds = 15;
constexpr double StuckLinesWithin = 12;
constexpr uint32_t HoldSearchSeconds = 20;
constexpr uint32_t BurstSearches = 200;
constexpr uint32_t BurstSearchesPerSecond = 20;
constexpr double CountsWait = 10;
constexpr double StopWithin = 10;

struct Options {
  fs::path tree, out;
  double minutes = 30;
  double rate = 1;
  bool faults = false;
  std::string shim;
  unsigned ramMib = 256;
  bool devLog = false;
  bool fullDisk = false;
  double toleranceMib = 4;
  uint64_t countersAt = 0;
};

struct Sample {
  double t = 0;  // seconds since the load started
  long rssKib = 0, hwmKib = 0, fds = 0, threads = 0;
  double cpuSeconds = 0;
  long inuseKib = -1;
  long queue = -1, refBlocks = -1;
  long queueNow = -1;  // read out of the core this second
  std::string fault;
};

using Counts = std::map<std::string, long>;

struct FaultWindow {
  std::string name;
  double start = 0, end = -1;
};

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

long groupedNumber(std::string_view text) {
  long value = 0;
  bool any = false;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      value = value * 10 + (c - '0');
      any = true;
    } else if (c != ',' && c != '.') {
      break;
    }
  }
  return any ? value : -1;
}

std::string readText(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

long statusKib(pid_t pid, const char* name) {
  std::ifstream in(fmt::format("/proc/{}/status", pid));
  std::string line;
  const std::string prefix = std::string(name) + ":";
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) return std::atol(line.c_str() + prefix.size());
  }
  return -1;
}

double cpuSeconds(pid_t pid) {
  const std::string stat = readText(fmt::format("/proc/{}/stat", pid));
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; fields >> field; ++i) {
    if (i == 14) utime = std::stoul(field);
    if (i == 15) {
      stime = std::stoul(field);
      break;
    }
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long countFds(pid_t pid) {
  std::error_code error;
  long n = 0;
  for (fs::directory_iterator it(fmt::format("/proc/{}/fd", pid), error), end; !error && it != end;
       it.increment(error)) {
    ++n;
  }
  return error ? -1 : n;
}

bool sendPacket(int fd, const std::vector<uint8_t>& packet) {
  return ::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(packet.size());
}

std::vector<uint8_t> command(uint8_t id, uint32_t what, std::string_view payload = {}) {
  return buildIpcPacket(ipcTargetFor(id), what, 0, payload);
}

int bindDevLog() {
  ::unlink("/dev/log");
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, "/dev/log");
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    fmt::print(stderr, "soak: cannot bind /dev/log: {}\n", std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return -1;
  }
  ::chmod("/dev/log", 0666);
  return fd;
}

// Least-squares slope of `value` over time, per hour.
double growthPerHour(const std::vector<std::pair<double, double>>& points) {
  if (points.size() < 2) return 0;
  double st = 0, sv = 0;
  for (const auto& [t, v] : points) st += t, sv += v;
  const double n = static_cast<double>(points.size());
  const double mt = st / n, mv = sv / n;
  double num = 0, den = 0;
  for (const auto& [t, v] : points) num += (t - mt) * (v - mv), den += (t - mt) * (t - mt);
  return den == 0 ? 0 : num / den * 3600;
}

// A console line without its colour sequences.
std::string withoutColours(const std::string& line) {
  std::string plain;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '\x1b') {
      const auto end = line.find('m', i);
      if (end == std::string::npos) break;
      i = end;
    } else {
      plain += line[i];
    }
  }
  return plain;
}

double median(std::vector<double> values) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

class Soak {
 public:
  explicit Soak(Options options) : o_(std::move(options)) {}
  int run();

 private:
  bool startCore();
  void pump(double seconds);
  void pollOnce(int timeoutMs);
  void readChannel();
  void readOutput();
  void onLine(const std::string& line);
  void tick();
  void sample();
  void send(const std::vector<uint8_t>& packet);
  void beginFault(const std::string& name);
  void endFault();
  bool waitFor(const std::function<bool()>& condition, double seconds);
  void runFaults();
  int verdict();
  long readQueueLength();
  bool collectCounts(bool mustAnswer = true);
  long count(uint8_t id, const std::string& name) const;
  long sumOverCameras(const std::map<uint8_t, Counts>& counts, const std::string& name) const;
  bool alertSeen(const std::string& text, double since) const;
  long peakDuring(long Sample::*member, double start, double end) const;
  long lastBefore(long Sample::*member, double t) const;
  void figure(const std::string& text) {
    faultFigures_.push_back(text);
    fmt::print("soak: {}\n", text);
  }
  void faultStdoutUnread();
  void faultLogFlood();
  void faultStall();
  void faultIpcStuck();
  void faultSearchStuck();
  void faultMemoryLow(double fillSeconds);
  void fail(const std::string& why) {
    problems_.push_back(why);
    fmt::print("soak: FAIL {}\n", why);
  }

  Options o_;
  pid_t pid_ = -1;
  int channel_ = -1;
  int output_ = -1;
  int devLog_ = -1;
  bool holding_ = false;
  bool outputHeld_ = false;
  int memFd_ = -1;
  uint64_t base_ = 0;
  std::map<uint8_t, Counts> counts_;
  std::set<uint8_t> countsSeen_;
  std::vector<std::pair<double, std::string>> syslogTexts_;
  std::vector<std::pair<double, std::string>> alertLines_;  // the core's console, level 50 and up
  std::vector<std::string> faultFigures_;
  long idleThreads_ = 0;
  bool exited_ = false;
  int exitStatus_ = 0;
  std::string partial_;
  FILE* log_ = nullptr;
  FILE* csv_ = nullptr;
  Clock::time_point loadStart_{};
  bool loading_ = false;
  Clock::time_point nextSample_{}, nextEcho_{};
  std::vector<Sample> samples_;
  std::vector<FaultWindow> faults_;
  std::string activeFault_;
  long queue_ = -1, refBlocks_ = -1;
  int reports_ = 0;
  uint32_t nextStatus_ = 0;
  long statusGaps_ = 0;
  long echoesSent_ = 0, echoesReceived_ = 0;
  long syslogLines_ = 0;
  std::optional<double> lowAt_, okAt_, hogReleasedAt_, queueFullAt_, queueResumedAt_;
  std::vector<std::string> problems_;
  std::vector<std::string> notes_;
};

void Soak::send(const std::vector<uint8_t>& packet) {
  if (channel_ >= 0 && !sendPacket(channel_, packet)) fmt::print(stderr, "soak: send: {}\n", std::strerror(errno));
}

bool Soak::startCore() {
  int pair[2];
  int pipeFds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) < 0 || ::pipe2(pipeFds, O_CLOEXEC) < 0) {
    fmt::print(stderr, "soak: socketpair/pipe: {}\n", std::strerror(errno));
    return false;
  }
  const std::string corePath = (o_.tree / "bin" / "dvrcore").string();
  const std::string workDir = (o_.tree / "work").string();
  const std::string mallinfo = (o_.out / "mallinfo").string();
  pid_ = ::fork();
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    ::setpgid(0, 0);
    ::dup2(pipeFds[1], 1);
    ::dup2(pipeFds[1], 2);
    ::dup2(pair[1], 3);  // dup2 clears close-on-exec
    if (::chdir(workDir.c_str()) < 0) ::_exit(127);
    if (!o_.shim.empty()) {
      ::setenv("LD_PRELOAD", o_.shim.c_str(), 1);
      ::setenv("SOAK_TOTALRAM_MIB", std::to_string(o_.ramMib).c_str(), 1);
      ::setenv("SOAK_MALLINFO", mallinfo.c_str(), 1);
    }
    ::execl(corePath.c_str(), corePath.c_str(), "3", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(pair[1]);
  ::close(pipeFds[1]);
  channel_ = pair[0];
  output_ = pipeFds[0];
  ::fcntl(channel_, F_SETFL, O_NONBLOCK);
  ::fcntl(output_, F_SETFL, O_NONBLOCK);
  std::string startup = std::string("norvad") + '\0' + "26.2.3.0" + '\0';
  send(buildIpcPacket(0, IpcCommandStartup, 0, startup));
  fmt::print("soak: core started as pid {}\n", pid_);
  return true;
}

void Soak::onLine(const std::string& line) {
  if (log_ != nullptr) std::fprintf(log_, "%s\n", line.c_str());
  const double t = loading_ ? secondsSince(loadStart_) : -1;
  if (auto at = line.find("InQ:"); at != std::string::npos) queue_ = groupedNumber(line.substr(at + 4));
  if (auto at = line.find("refblks:"); at != std::string::npos) {
    refBlocks_ = groupedNumber(line.substr(at + 8));
    ++reports_;
  }
  if (line.find("available system memory is low") != std::string::npos && !lowAt_) lowAt_ = t;
  if (line.find("available system memory ok") != std::string::npos && lowAt_ && !okAt_) okAt_ = t;
  if (line.find("soak hog: throttled") != std::string::npos && !hogReleasedAt_) hogReleasedAt_ = t;
  if (line.find("ipc send queue full") != std::string::npos && !queueFullAt_) queueFullAt_ = t;
  if (line.find("ipc send queue accepting packets again") != std::string::npos && !queueResumedAt_) {
    queueResumedAt_ = t;
  }
  if (line.find("fatal signal") != std::string::npos) fail("the core reported a fatal signal: " + line);
  for (const char* text : {"console lines dropped", "log records from", "stuck in", "searches running",
                           "event queue"}) {
    if (line.find(text) != std::string::npos) alertLines_.emplace_back(t, line);
  }
}

void Soak::readOutput() {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(output_, buffer, sizeof buffer);
    if (n <= 0) break;
    partial_.append(buffer, static_cast<size_t>(n));
  }
  size_t start = 0;
  for (size_t nl; (nl = partial_.find('\n', start)) != std::string::npos; start = nl + 1) {
    onLine(partial_.substr(start, nl - start));
  }
  partial_.erase(0, start);
}

void Soak::readChannel() {
  std::vector<uint8_t> buffer(IpcMaxPacket);
  for (;;) {
    const ssize_t n = ::recv(channel_, buffer.data(), buffer.size(), 0);
    if (n <= 0) {
      if (n == 0) {
        ::close(channel_);
        channel_ = -1;
      }
      return;
    }
    if (static_cast<size_t>(n) < IpcHeaderSize) continue;
    const IpcHeader header = readIpcHeader(buffer.data());
    if (header.command == StatusPacket && n >= 20) {
      const uint32_t seq = loadLe32(buffer.data() + IpcHeaderSize);
      if (seq != nextStatus_) {
        ++statusGaps_;
        if (statusGaps_ <= 5) fail(fmt::format("status packet {} arrived where {} was due", seq, nextStatus_));
      }
      nextStatus_ = seq + 1;
    } else if (header.command == EchoReply) {
      ++echoesReceived_;
    } else if (header.command == CountsPacket) {
      Counts counts;
      std::istringstream lines(std::string(reinterpret_cast<const char*>(buffer.data()) + IpcHeaderSize,
                                           static_cast<size_t>(n) - IpcHeaderSize));
      for (std::string line; std::getline(lines, line);) {
        if (const auto eq = line.find('='); eq != std::string::npos) {
          counts[line.substr(0, eq)] = std::strtol(line.c_str() + eq + 1, nullptr, line.rfind("id=", 0) == 0 ? 16 : 10);
        }
      }
      if (const auto id = counts.find("id"); id != counts.end()) {
        counts_[static_cast<uint8_t>(id->second)] = counts;
        countsSeen_.insert(static_cast<uint8_t>(id->second));
      }
    }
  }
}

void Soak::pollOnce(int timeoutMs) {
  pollfd fds[3] = {{outputHeld_ ? -1 : output_, POLLIN, 0}, {holding_ ? -1 : channel_, POLLIN, 0}, {devLog_, POLLIN, 0}};
  ::poll(fds, 3, timeoutMs);
  if (fds[0].revents != 0) readOutput();
  if (fds[1].revents != 0) readChannel();
  if (devLog_ >= 0 && fds[2].revents != 0) {
    char datagram[4096];
    for (ssize_t n; (n = ::recv(devLog_, datagram, sizeof datagram, 0)) > 0;) {
      ++syslogLines_;
      syslogTexts_.emplace_back(loading_ ? secondsSince(loadStart_) : -1, std::string(datagram, static_cast<size_t>(n)));
    }
  }
  if (!exited_) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      exitStatus_ = status;
      readOutput();
    }
  }
  tick();
}

void Soak::tick() {
  const auto now = Clock::now();
  if (loading_ && now >= nextSample_) {
    sample();
    nextSample_ += std::chrono::seconds(1);
  }
  // IPC from the parent: one echo request per second at real rates.
  if (loading_ && now >= nextEcho_ && !exited_) {
    send(command(Echo, EchoRequest, "soak echo"));
    ++echoesSent_;
    nextEcho_ = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / o_.rate));
  }
}

void Soak::sample() {
  if (exited_) return;
  Sample s;
  s.t = secondsSince(loadStart_);
  s.rssKib = statusKib(pid_, "VmRSS");
  s.hwmKib = statusKib(pid_, "VmHWM");
  s.threads = statusKib(pid_, "Threads");
  s.fds = countFds(pid_);
  s.cpuSeconds = cpuSeconds(pid_);
  if (!o_.shim.empty()) {
    const long bytes = std::atol(readText(o_.out / "mallinfo").c_str());
    s.inuseKib = bytes > 0 ? bytes / 1024 : -1;
  }
  s.queue = queue_;
  s.refBlocks = refBlocks_;
  s.queueNow = readQueueLength();
  s.fault = activeFault_;
  samples_.push_back(s);
  std::fprintf(csv_, "%.1f,%ld,%ld,%ld,%ld,%.2f,%ld,%ld,%ld,%ld,%s\n", s.t, s.rssKib, s.hwmKib, s.fds, s.threads,
               s.cpuSeconds, s.inuseKib, s.queue, s.refBlocks, s.queueNow, s.fault.c_str());
  std::fflush(csv_);
}

// The dispatch loop's queue length, as the statistics report would show it,
// read out of the core's memory: the figures sit at a fixed place in its
// executable, which is loaded at the start of its first mapping.
long Soak::readQueueLength() {
  if (o_.countersAt == 0 || exited_) return -1;
  if (memFd_ < 0) {
    std::ifstream maps(fmt::format("/proc/{}/maps", pid_));
    std::error_code error;
    const auto core = fs::canonical(o_.tree / "bin" / "dvrcore", error);
    for (std::string line; std::getline(maps, line);) {
      std::istringstream fields(line);
      std::string range, mode, offset, device, inode, path;
      fields >> range >> mode >> offset >> device >> inode >> path;
      if (path == core.string() && std::strtoull(offset.c_str(), nullptr, 16) == 0) {
        base_ = std::strtoull(range.c_str(), nullptr, 16);
        break;
      }
    }
    if (base_ == 0) return -1;
    memFd_ = ::open(fmt::format("/proc/{}/mem", pid_).c_str(), O_RDONLY | O_CLOEXEC);
    if (memFd_ < 0) return -1;
  }
  int64_t length = -1;
  const auto at = static_cast<off_t>(base_ + o_.countersAt + offsetof(CoreCounters, queueLength));
  if (::pread(memFd_, &length, sizeof length, at) != static_cast<ssize_t>(sizeof length)) return -1;
  return static_cast<long>(length);
}

bool Soak::collectCounts(bool mustAnswer) {
  countsSeen_.clear();
  for (uint8_t id : Cameras) send(command(id, CommandCounts));
  send(command(Recorder, CommandCounts));
  send(command(Requester, CommandCounts));
  const size_t all = std::size(Cameras) + 2;
  if (waitFor([&] { return countsSeen_.size() >= all; }, CountsWait)) return true;
  if (mustAnswer) fail(fmt::format("only {} of {} plugins answered for their counts", countsSeen_.size(), all));
  return false;
}

long Soak::count(uint8_t id, const std::string& name) const {
  const auto plugin = counts_.find(id);
  if (plugin == counts_.end()) return 0;
  const auto it = plugin->second.find(name);
  return it == plugin->second.end() ? 0 : it->second;
}

long Soak::sumOverCameras(const std::map<uint8_t, Counts>& counts, const std::string& name) const {
  long sum = 0;
  for (uint8_t id : Cameras) {
    if (const auto plugin = counts.find(id); plugin != counts.end()) {
      if (const auto it = plugin->second.find(name); it != plugin->second.end()) sum += it->second;
    }
  }
  return sum;
}

// A line the operator must see at once: at /dev/log when the soak owns it,
// else on the core's console.
bool Soak::alertSeen(const std::string& text, double since) const {
  const auto& lines = o_.devLog ? syslogTexts_ : alertLines_;
  return std::any_of(lines.begin(), lines.end(),
                     [&](const auto& line) { return line.first >= since && line.second.find(text) != std::string::npos; });
}

long Soak::peakDuring(long Sample::*member, double start, double end) const {
  long peak = -1;
  for (const auto& s : samples_) {
    if (s.t >= start && s.t <= end) peak = std::max(peak, s.*member);
  }
  return peak;
}

long Soak::lastBefore(long Sample::*member, double t) const {
  long value = -1;
  for (const auto& s : samples_) {
    if (s.t > t) break;
    value = s.*member;
  }
  return value;
}

void Soak::pump(double seconds) {
  const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (Clock::now() < until && !exited_) pollOnce(100);
}

bool Soak::waitFor(const std::function<bool()>& condition, double seconds) {
  const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  while (!condition()) {
    if (Clock::now() >= until || exited_) return condition();
    pollOnce(100);
  }
  return true;
}

void Soak::beginFault(const std::string& name) {
  activeFault_ = name;
  faults_.push_back({name, secondsSince(loadStart_)});
  fmt::print("soak: {:7.1f} s fault {}\n", faults_.back().start, name);
  std::fflush(stdout);
}

void Soak::endFault() {
  faults_.back().end = secondsSince(loadStart_);
  activeFault_.clear();
  // The core must carry on: the echo plugin answers again within 10 s.
  const long before = echoesReceived_;
  send(command(Echo, EchoRequest, "after the fault"));
  ++echoesSent_;
  if (!waitFor([&] { return echoesReceived_ > before; }, 10)) {
    fail("no echo within 10 s after the fault " + faults_.back().name);
  }
}

void Soak::runFaults() {
  const double length = o_.minutes * 60;
  struct Planned {
    std::string name;
    double seconds;  // how long it takes, roughly
  };
  std::vector<Planned> plan{{"parent-stops-reading", 30}, {"plugin-stall", StallSeconds + 2.0}, {"sigstop", 7}};
  if (o_.fullDisk) plan.insert(plan.begin() + 1, {"disk-full", 10});
  if (o_.devLog) plan.insert(plan.begin() + 2, {"dev-log-vanishes", 12});
  plan.push_back({"stdout-unread", StdoutUnreadSeconds + 2.0});
  plan.push_back({"log-flood", FloodSeconds + 2.0});
  plan.push_back({"ipc-and-dispatch-stuck", HoldIpcSeconds + 2.0});
  plan.push_back({"search-stuck", HoldSearchSeconds + 2.0});
  // The memory fault fills the throttle's limit with frames the recorder
  // holds, as fast as the cameras send them, then needs the throttle's
  // minute of recovery.
  const double limit = o_.ramMib < 512 ? SmallMachineLimit : o_.ramMib * MiB * LimitShareOfRam;
  const double fillSeconds = limit / (VideoBytesPerSecond * o_.rate);
  if (o_.faults && !o_.shim.empty()) plan.push_back({"memory-low", fillSeconds + ThrottleRecoverySeconds + 10});
  if (!o_.faults) plan.clear();
  double busy = 0;
  // Each fault ends with an echo round trip: a few seconds.
  for (const auto& p : plan) busy += p.seconds + 5;
  while (!plan.empty() && busy > length * 0.9) {
    busy -= plan.back().seconds + 5;
    notes_.push_back("fault left out, the run is too short: " + plan.back().name);
    plan.pop_back();
  }
  // Equal fault-free stretches between the faults and after the last one.
  const double gap = (length - busy) / static_cast<double>(plan.size() + 1);
  for (const auto& p : plan) {
    pump(gap);
    if (exited_) return;
    beginFault(p.name);
    if (p.name == "parent-stops-reading") {
      holding_ = true;
      pump(30);
      holding_ = false;
    } else if (p.name == "disk-full") {
      const fs::path filler = o_.tree / "work" / "soak-filler";
      {
        std::ofstream out(filler, std::ios::binary);
        const std::vector<char> block(1 << 20, 'x');
        while (out.write(block.data(), static_cast<std::streamsize>(block.size()))) {
        }
      }
      for (int i = 0; i < 10 && !exited_; ++i) {
        send(command(Cameras[0], CommandDelta));
        pump(1);
      }
      std::error_code ignored;
      fs::remove(filler, ignored);
      // A rewrite once there is room again must land.
      const fs::path coreXml = o_.tree / "work" / "core.xml";
      const auto before = fs::last_write_time(coreXml, ignored);
      send(command(Cameras[0], CommandDelta));
      if (!waitFor([&] { return fs::last_write_time(coreXml, ignored) != before; }, 10)) {
        fail("core.xml was not rewritten once the disk had room again");
      }
      if (readText(coreXml).find("</Kora>") == std::string::npos) fail("core.xml is not whole after the full disk");
    } else if (p.name == "dev-log-vanishes") {
      const long before = syslogLines_;
      send(command(Cameras[0], CommandSyslog));
      waitFor([&] { return syslogLines_ > before; }, 5);
      ::close(devLog_);
      devLog_ = -1;
      ::unlink("/dev/log");
      for (int i = 0; i < 5; ++i) {
        send(command(Cameras[0], CommandSyslog));
        pump(1);
      }
      devLog_ = bindDevLog();
      const long during = syslogLines_;
      for (int i = 0; i < 5; ++i) {
        send(command(Cameras[0], CommandSyslog));
        pump(1);
      }
      if (syslogLines_ <= during) fail("no syslog line reached /dev/log after it returned");
      if (before == during) notes_.push_back("no syslog line reached /dev/log before it vanished");
    } else if (p.name == "plugin-stall") {
      faultStall();
    } else if (p.name == "stdout-unread") {
      faultStdoutUnread();
    } else if (p.name == "log-flood") {
      faultLogFlood();
    } else if (p.name == "ipc-and-dispatch-stuck") {
      faultIpcStuck();
    } else if (p.name == "search-stuck") {
      faultSearchStuck();
    } else if (p.name == "sigstop") {
      ::kill(pid_, SIGSTOP);
      pump(5);
      ::kill(pid_, SIGCONT);
      pump(2);
    } else if (p.name == "memory-low") {
      faultMemoryLow(fillSeconds);
    }
    endFault();
  }
  pump(gap);
}

std::vector<uint8_t> withWords(uint8_t id, uint32_t what, std::initializer_list<uint32_t> words) {
  std::string payload(4 * words.size(), '\0');
  size_t at = 0;
  for (uint32_t w : words) storeLe32(reinterpret_cast<uint8_t*>(payload.data()) + 4 * at++, w);
  return command(id, what, payload);
}

// The core's stdout a pipe nobody reads while a plugin logs thousands of
// lines: records still routed (the numbered packets keep coming), the
// parent's IPC still answered, and once it is read again the console says
// how many lines it dropped.
void Soak::faultStdoutUnread() {
  const double start = secondsSince(loadStart_);
  const long echoes = echoesReceived_;
  const uint32_t status = nextStatus_;
  outputHeld_ = true;
  send(withWords(Cameras[2], CommandLogLines, {ConsoleLines}));
  pump(StdoutUnreadSeconds);
  const long echoesDuring = echoesReceived_ - echoes;
  const long statusDuring = static_cast<long>(nextStatus_ - status);
  outputHeld_ = false;
  const double resumed = secondsSince(loadStart_);
  // The console's own line, so not one for syslog.
  std::string dropped;
  const bool told = waitFor([&] {
    for (const auto& [t, line] : alertLines_) {
      if (t >= start && line.find("console lines dropped") != std::string::npos) dropped = line;
    }
    return !dropped.empty();
  }, CountsWait);
  figure(fmt::format("stdout-unread: {} s unread, {} echoes answered and {} status packets routed meanwhile; \"{}\" {:.1f} s after reading resumed",
                     StdoutUnreadSeconds, echoesDuring, statusDuring,
                     dropped.empty() ? "no dropped line" : withoutColours(dropped),
                     secondsSince(loadStart_) - resumed));
  if (echoesDuring == 0) fail("no echo answered while the core's stdout was not read");
  if (statusDuring == 0) fail("no record routed while the core's stdout was not read");
  if (!told) fail("no \"console lines dropped\" line once the console was read again");
}

// One plugin logging as fast as it can: memory stays bounded, no camera's
// video is refused for it, and the refusal line names the plugin.
void Soak::faultLogFlood() {
  if (!collectCounts()) return;
  const auto before = counts_;
  const double start = secondsSince(loadStart_);
  const long rssBefore = lastBefore(&Sample::rssKib, start);
  send(withWords(Cameras[1], CommandFlood, {FloodSeconds}));
  pump(FloodSeconds + 1);
  const double end = secondsSince(loadStart_);
  // Refusals name the source by its display name, as the other alert lines do.
  const std::string line = "log records from SoakCam2 refused";
  const bool named = waitFor([&] { return alertSeen(line, start); }, 10);
  collectCounts();
  const long growthKib = peakDuring(&Sample::rssKib, start, end) - rssBefore;
  const long videoRefused = sumOverCameras(counts_, "video-throttled") + sumOverCameras(counts_, "video-refused") -
                            sumOverCameras(before, "video-throttled") - sumOverCameras(before, "video-refused");
  const long accepted = count(Cameras[1], "log-accepted") - before.at(Cameras[1]).at("log-accepted");
  const long refused = count(Cameras[1], "log-refused") - before.at(Cameras[1]).at("log-refused");
  figure(fmt::format("log-flood: {} s, {} records accepted and {} refused ({:.0f} a second offered); resident grew {:.1f} MiB; cameras' video refused {}; refusal line {}",
                     FloodSeconds, accepted, refused, static_cast<double>(accepted + refused) / FloodSeconds,
                     growthKib / 1024.0, videoRefused, named ? "names SoakCam2" : "missing"));
  if (growthKib / 1024.0 >= GrowthBoundMiB) fail(fmt::format("resident memory grew {:.1f} MiB in the log flood", growthKib / 1024.0));
  if (videoRefused != 0) fail(fmt::format("{} video frames refused during the log flood", videoRefused));
  if (refused == 0) fail("no record of the log flood was refused");
  if (!named) fail("no refusal line names the flooding plugin");
}

// The dispatch thread held in the recorder while a camera submits 1 MiB
// records: memory stays bounded, some records are refused with 1, and
// every one accepted is delivered once the recorder returns.
void Soak::faultStall() {
  if (!collectCounts()) return;
  const auto before = counts_;
  const double start = secondsSince(loadStart_);
  const long rssBefore = lastBefore(&Sample::rssKib, start);
  send(withWords(Recorder, CommandStall, {StallSeconds}));
  send(withWords(Cameras[1], CommandBig, {StallSeconds, BigRecordsPerSecond}));
  pump(StallSeconds + 1);
  const double end = secondsSince(loadStart_);
  // The queue holds at most its bound, which the dispatch loop delivers in
  // well under the wait.
  const bool delivered = waitFor([&] {
    return collectCounts(false) && count(Recorder, "big-received") - before.at(Recorder).at("big-received") ==
                                  count(Cameras[1], "big-accepted") - before.at(Cameras[1]).at("big-accepted");
  }, 3 * CountsWait);
  const long accepted = count(Cameras[1], "big-accepted") - before.at(Cameras[1]).at("big-accepted");
  const long refused = count(Cameras[1], "big-refused") - before.at(Cameras[1]).at("big-refused");
  const long other = count(Cameras[1], "big-other") - before.at(Cameras[1]).at("big-other");
  const long received = count(Recorder, "big-received") - before.at(Recorder).at("big-received");
  const long growthKib = peakDuring(&Sample::rssKib, start, end) - rssBefore;
  figure(fmt::format("plugin-stall: dispatch held {} s; 1 MiB records {} accepted, {} refused with 1, {} otherwise, {} delivered; resident grew {:.1f} MiB; queue peak {}",
                     StallSeconds, accepted, refused, other, received, growthKib / 1024.0,
                     peakDuring(&Sample::queueNow, start, end)));
  if (growthKib / 1024.0 >= GrowthBoundMiB) fail(fmt::format("resident memory grew {:.1f} MiB in the stall", growthKib / 1024.0));
  if (refused == 0) fail("no 1 MiB record was refused with 1 while the dispatch thread was held");
  if (other != 0) fail(fmt::format("{} 1 MiB records refused with something other than 1", other));
  if (!delivered) fail(fmt::format("{} 1 MiB records accepted, {} delivered", accepted, received));
}

// A plugin stuck in "OnIpcResult" while the recorder holds "OnEvent" and
// the cameras keep sending: both stuck lines reach the operator at once.
void Soak::faultIpcStuck() {
  if (!collectCounts()) return;
  const auto before = counts_;
  const double start = secondsSince(loadStart_);
  send(withWords(Recorder, CommandStall, {HoldIpcSeconds}));
  send(withWords(Cameras[4], CommandHoldIpc, {HoldIpcSeconds}));
  std::optional<double> eventAt, ipcAt;
  waitFor([&] {
    if (!eventAt && alertSeen("SoakRecorder stuck in OnEvent", start)) eventAt = secondsSince(loadStart_) - start;
    if (!ipcAt && alertSeen("SoakCam5 stuck in OnIpcResult", start)) ipcAt = secondsSince(loadStart_) - start;
    return eventAt && ipcAt;
  }, StuckLinesWithin);
  pump(std::max(0.0, start + HoldIpcSeconds + 1 - secondsSince(loadStart_)));
  collectCounts();
  const long accepted = sumOverCameras(counts_, "video-accepted") - sumOverCameras(before, "video-accepted");
  figure(fmt::format("ipc-and-dispatch-stuck: {} s; OnEvent line after {}, OnIpcResult line after {}; {} frames accepted meanwhile",
                     HoldIpcSeconds, eventAt ? fmt::format("{:.1f} s", *eventAt) : "never",
                     ipcAt ? fmt::format("{:.1f} s", *ipcAt) : "never", accepted));
  if (!eventAt) fail(fmt::format("no stuck line for OnEvent within {} s", StuckLinesWithin));
  if (!ipcAt) fail(fmt::format("no stuck line for OnIpcResult within {} s", StuckLinesWithin));
  if (accepted <= 0) fail("no frame accepted while the io and dispatch threads were held");
}

// A serving plugin stuck in "OnSearch" while 200 searches are asked for:
// threads stay bounded, the plugin is named, and searching works again.
void Soak::faultSearchStuck() {
  if (!collectCounts()) return;
  const auto before = counts_;
  const double start = secondsSince(loadStart_);
  send(withWords(Recorder, CommandHoldSearch, {HoldSearchSeconds}));
  send(withWords(Requester, CommandSearchBurst, {BurstSearches, BurstSearchesPerSecond}));
  pump(HoldSearchSeconds + 1);
  const double end = secondsSince(loadStart_);
  const long threads = peakDuring(&Sample::threads, start, end);
  const bool stuck = alertSeen("SoakRecorder stuck in OnSearch", start);
  const bool lane = alertSeen("SoakRecorder has", start);
  collectCounts();
  const long results = count(Requester, "results");
  const bool again = waitFor([&] { return collectCounts(false) && count(Requester, "results") > results; },
                             3 / o_.rate + 2 * CountsWait);
  figure(fmt::format("search-stuck: {} s held, {} searches asked ({} refused); threads peak {} ({} idle); held calls {}, peak {} in OnSearch; stuck line {}, lane line {}; results again {}",
                     HoldSearchSeconds, count(Requester, "searches") - before.at(Requester).at("searches"),
                     count(Requester, "searches-refused") - before.at(Requester).at("searches-refused"), threads,
                     idleThreads_, count(Recorder, "searches-held") - before.at(Recorder).at("searches-held"),
                     count(Recorder, "searches-peak"), stuck ? "seen" : "missing", lane ? "seen" : "missing",
                     again ? "yes" : "no"));
  if (threads >= ThreadBound) fail(fmt::format("{} threads while searches were stuck", threads));
  if (!stuck) fail("no stuck line names the recorder in OnSearch");
  if (!lane) fail("no line names the recorder for the searches it could not start");
  if (!again) fail("no search result once the recorder's searches returned");
}

// The recorder holds every frame until the throttle refuses live video;
// how long that takes follows from the rate. Whatever happens, it lets go.
void Soak::faultMemoryLow(double fillSeconds) {
  send(command(Recorder, CommandHog));
  const double lowWait = fillSeconds * SlowFillFactor + FaultSlackSeconds;
  const bool low = waitFor([&] { return lowAt_.has_value(); }, lowWait);
  if (!low) {
    send(command(Recorder, CommandRelease));
    fail(fmt::format("the memory throttle never reported low within {:.0f} s", lowWait));
  }
  if (!waitFor([&] { return okAt_.has_value(); }, ThrottleRecoverySeconds + FaultSlackSeconds)) {
    fail("the memory throttle never reported ok");
  }
  send(command(Recorder, CommandRelease));
}

int Soak::run() {
  std::error_code error;
  fs::create_directories(o_.out, error);
  log_ = std::fopen((o_.out / "core.log").c_str(), "w");
  csv_ = std::fopen((o_.out / "soak.csv").c_str(), "w");
  if (log_ == nullptr || csv_ == nullptr) {
    fmt::print(stderr, "soak: cannot write in {}\n", o_.out.string());
    return 2;
  }
  std::fprintf(csv_, "seconds,rss_kib,hwm_kib,fds,threads,cpu_seconds,inuse_kib,queue,refblocks,queue_now,fault\n");
  if (o_.devLog && (devLog_ = bindDevLog()) < 0) return 2;
  signal(SIGPIPE, SIG_IGN);
  if (!startCore()) return 2;

  // Idle: ten plugins open, nothing moving. The first report comes as the
  // dispatch loop starts, with the start-up records still in flight; the
  // second, a minute later, gives the idle reference blocks.
  if (!waitFor([&] { return reports_ >= 2; }, 75)) {
    fmt::print(stderr, "soak: no statistics report from the core\n");
    return 2;
  }
  // The first syslog line opens the core's syslog socket for good: open it
  // before the idle figures are taken.
  send(command(Cameras[0], CommandSyslog));
  pump(2);
  const long idleRss = statusKib(pid_, "VmRSS");
  const long idleThreads = statusKib(pid_, "Threads");
  idleThreads_ = idleThreads;
  const long idleFds = countFds(pid_);
  const long startBlocks = refBlocks_;
  fmt::print("soak: idle: resident {:.2f} MiB, {} threads, {} descriptors, {} reference blocks\n", idleRss / 1024.0,
             idleThreads, idleFds, startBlocks);

  const uint32_t milli = static_cast<uint32_t>(o_.rate * 1000);
  std::string go(4, '\0');
  storeLe32(reinterpret_cast<uint8_t*>(go.data()), milli);
  loadStart_ = Clock::now();
  nextSample_ = nextEcho_ = loadStart_;
  loading_ = true;
  for (uint8_t id : Cameras) send(command(id, CommandGo, go));
  send(command(Recorder, CommandGo, go));
  send(command(Requester, CommandGo, go));
  fmt::print("soak: load at {}x real rates for {} minutes{}\n", o_.rate, o_.minutes, o_.faults ? ", with faults" : "");
  std::fflush(stdout);
  runFaults();
  loading_ = false;

  // Quiet: everything retained goes back; the next report must show the
  // reference blocks of the start.
  for (uint8_t id : Cameras) send(command(id, CommandQuiet));
  send(command(Recorder, CommandQuiet));
  send(command(Requester, CommandQuiet));
  pump(5);
  // A record still in flight at one report holds a block for a moment; a
  // leak holds it in every report, so wait for a later one before judging.
  const int reportsBefore = reports_;
  waitFor([&] { return reports_ > reportsBefore && refBlocks_ == startBlocks; }, 75);
  const long endBlocks = refBlocks_;
  const long endThreads = statusKib(pid_, "Threads");
  const long endFds = countFds(pid_);
  fmt::print("soak: quiet: resident {:.2f} MiB, {} threads, {} descriptors, {} reference blocks\n",
             statusKib(pid_, "VmRSS") / 1024.0, endThreads, endFds, endBlocks);
  if (exited_) fail("the core ended during the soak");
  if (endBlocks != startBlocks) fail(fmt::format("reference blocks {} at the end, {} at the start", endBlocks, startBlocks));
  if (endThreads > idleThreads) fail(fmt::format("threads {} at the end, {} idle at the start", endThreads, idleThreads));
  if (endFds > idleFds) fail(fmt::format("descriptors {} at the end, {} idle at the start", endFds, idleFds));

  // With faults the stop comes while nobody reads the core's stdout.
  outputHeld_ = o_.faults;
  const double stopWithin = o_.faults ? StopWithin : 30;
  const auto stopAt = Clock::now();
  send(buildIpcPacket(0, IpcCommandStop, 0));
  waitFor([&] { return exited_; }, stopWithin);
  outputHeld_ = false;
  if (exited_) {
    figure(fmt::format("stop: the core exited {:.1f} s after the stop command{}", secondsSince(stopAt),
                       o_.faults ? ", its stdout unread" : ""));
  }
  if (!exited_) {
    fail(fmt::format("the core did not exit within {:.0f} s of the stop command", stopWithin));
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &exitStatus_, 0);
  } else if (!WIFEXITED(exitStatus_) || WEXITSTATUS(exitStatus_) != 0) {
    fail(fmt::format("the core ended with status {:#x}", exitStatus_));
  }
  std::fclose(csv_);
  std::fclose(log_);
  if (memFd_ >= 0) ::close(memFd_);
  if (devLog_ >= 0) ::unlink("/dev/log");

  FILE* faults = std::fopen((o_.out / "faults.csv").c_str(), "w");
  if (faults != nullptr) {
    for (const auto& f : faults_) std::fprintf(faults, "%.1f,%.1f,%s\n", f.start, f.end, f.name.c_str());
    if (lowAt_) std::fprintf(faults, "%.1f,%.1f,throttle-low\n", *lowAt_, *lowAt_);
    if (okAt_) std::fprintf(faults, "%.1f,%.1f,throttle-ok\n", *okAt_, *okAt_);
    std::fclose(faults);
  }
  return verdict();
}

int Soak::verdict() {
  // Nothing the core accepted is lost: every frame a camera had accepted
  // reached the recorder.
  const std::string recorder = readText(o_.tree / "work" / fmt::format("soak-{:02x}.txt", Recorder));
  long throttled = 0, ipcRefused = 0;
  for (uint8_t id : Cameras) {
    const std::string camera = readText(o_.tree / "work" / fmt::format("soak-{:02x}.txt", id));
    auto field = [](const std::string& text, const std::string& name) {
      const auto at = text.find(name + "=");
      return at == std::string::npos ? -1L : std::atol(text.c_str() + at + name.size() + 1);
    };
    const long accepted = field(camera, "video-accepted");
    const long received = field(recorder, fmt::format("received-{:02x}", id));
    throttled += std::max(0L, field(camera, "video-throttled"));
    if (id == Cameras[0]) {
      ipcRefused = field(camera, "ipc-refused");
      if (field(camera, "crypto-failed") != 0) fail("crypto round trips failed: " + camera);
      if (field(camera, "ipc-sent") != static_cast<long>(nextStatus_)) {
        fail(fmt::format("camera sent {} status packets, the parent got {}", field(camera, "ipc-sent"), nextStatus_));
      }
    }
    if (accepted <= 0 || accepted != received) {
      fail(fmt::format("camera {:02x}: {} frames accepted, {} reached the recorder", id, accepted, received));
    }
  }
  // The throttle's three events, in order, when the memory fault ran.
  const bool memoryFault =
      std::any_of(faults_.begin(), faults_.end(), [](const FaultWindow& f) { return f.name == "memory-low"; });
  if (memoryFault) {
    if (throttled == 0) fail("the throttle refused no live video");
    if (lowAt_ && okAt_ && hogReleasedAt_ && !(*lowAt_ <= *hogReleasedAt_ && *okAt_ >= *hogReleasedAt_ + 59)) {
      fail(fmt::format("throttle events out of order: low {:.1f} s, released {:.1f} s, ok {:.1f} s", *lowAt_,
                       *hogReleasedAt_, *okAt_));
    }
  }

  // Growth over the fault-free stretches, after a warm-up and with 30 s of
  // settling after each fault. Before the memory fault the resident size is
  // judged; after it, what the allocator has handed out (mallinfo2), since
  // freed memory may stay resident.
  const double warmUp = std::min(60.0, o_.minutes * 60 / 4);
  const double memoryAt = memoryFault ? std::find_if(faults_.begin(), faults_.end(), [](const FaultWindow& f) {
                                          return f.name == "memory-low";
                                        })->start
                                      : INFINITY;
  auto settled = [&](const Sample& s) {
    if (s.t < warmUp || !s.fault.empty()) return false;
    for (const auto& f : faults_) {
      if (s.t >= f.start && s.t < f.end + 30) return false;
    }
    return true;
  };
  // Stretches: runs of settled samples.
  std::vector<std::vector<const Sample*>> stretches;
  bool inStretch = false;
  for (const auto& s : samples_) {
    if (!settled(s)) {
      inStretch = false;
      continue;
    }
    if (!inStretch) stretches.emplace_back();
    inStretch = true;
    stretches.back().push_back(&s);
  }
  auto stretchMedian = [](const std::vector<const Sample*>& stretch, bool inuse) {
    std::vector<double> values;
    for (const Sample* s : stretch) values.push_back(inuse ? s->inuseKib : s->rssKib);
    return median(values);
  };
  // Growth per hour: the stretches' own slopes, weighted by their length,
  // so that the steps the faults cause do not count as growth.
  auto stretchGrowth = [&](auto value, double until) {
    double weighted = 0, total = 0;
    for (const auto& stretch : stretches) {
      std::vector<std::pair<double, double>> points;
      for (const Sample* s : stretch) {
        if (s->t < until) points.emplace_back(s->t, value(*s));
      }
      if (points.size() < 10) continue;
      const double length = points.back().first - points.front().first;
      weighted += growthPerHour(points) * length;
      total += length;
    }
    return total > 0 ? weighted / total : 0.0;
  };
  // Within each fault-free stretch the resident size (what the core has in
  // use, once the memory fault has run) must stay within the tolerance; a
  // fault may leave the allocator holding more, but no stretch may grow. What
  // the allocator has handed out is compared across the whole run as well.
  const double tolerance = o_.toleranceMib * 1024;
  const auto tenth = [&](const std::vector<const Sample*>& stretch, bool fromEnd, bool inuse) {
    const size_t n = std::max<size_t>(1, stretch.size() / 10);
    std::vector<const Sample*> part(fromEnd ? stretch.end() - static_cast<long>(n) : stretch.begin(),
                                    fromEnd ? stretch.end() : stretch.begin() + static_cast<long>(n));
    return stretchMedian(part, inuse);
  };
  for (const auto& stretch : stretches) {
    const bool inuse = stretch.front()->t >= memoryAt;
    if (inuse && stretch.front()->inuseKib < 0) continue;
    const double growth = tenth(stretch, true, inuse) - tenth(stretch, false, inuse);
    if (growth > tolerance) {
      fail(fmt::format("{} grew {:.2f} MiB in the fault-free stretch {:.0f}-{:.0f} s",
                       inuse ? "memory in use" : "resident memory", growth / 1024, stretch.front()->t,
                       stretch.back()->t));
    }
  }
  if (stretches.size() >= 2 && stretches.front().front()->inuseKib >= 0) {
    const double growth = stretchMedian(stretches.back(), true) - stretchMedian(stretches.front(), true);
    if (growth > tolerance) {
      fail(fmt::format("memory in use grew {:.2f} MiB from the first fault-free stretch to the last", growth / 1024));
    }
  }
  if (stretches.empty()) notes_.push_back("no fault-free stretch after the warm-up: no growth judged");

  // The table of figures.
  std::string table = fmt::format(
      "| figure | start | end | peak | growth per hour (fault-free) |\n|---|---|---|---|---|\n");
  if (!samples_.empty()) {
    const Sample& first = samples_.front();
    const Sample& last = samples_.back();
    auto peak = [&](auto member) {
      long p = 0;
      for (const auto& s : samples_) p = std::max(p, s.*member);
      return p;
    };
    auto growth = [&](auto member) {
      return stretchGrowth([member](const Sample& s) { return static_cast<double>(s.*member); }, INFINITY);
    };
    table += fmt::format("| resident (MiB) | {:.2f} | {:.2f} | {:.2f} | {:+.2f} (before the memory fault) |\n",
                         first.rssKib / 1024.0, last.rssKib / 1024.0, peak(&Sample::rssKib) / 1024.0,
                         stretchGrowth([](const Sample& s) { return s.rssKib / 1024.0; }, memoryAt));
    if (first.inuseKib >= 0) {
      table += fmt::format("| in use, mallinfo2 (MiB) | {:.2f} | {:.2f} | {:.2f} | {:+.2f} |\n", first.inuseKib / 1024.0,
                           last.inuseKib / 1024.0, peak(&Sample::inuseKib) / 1024.0, stretchGrowth([](const Sample& s) { return s.inuseKib / 1024.0; }, INFINITY));
    }
    table += fmt::format("| peak resident, VmHWM (MiB) | {:.2f} | {:.2f} | {:.2f} | |\n", first.hwmKib / 1024.0,
                         last.hwmKib / 1024.0, peak(&Sample::hwmKib) / 1024.0);
    table += fmt::format("| descriptors | {} | {} | {} | {:+.2f} |\n", first.fds, last.fds, peak(&Sample::fds),
                         growth(&Sample::fds));
    table += fmt::format("| threads | {} | {} | {} | {:+.2f} |\n", first.threads, last.threads,
                         peak(&Sample::threads), growth(&Sample::threads));
    table += fmt::format("| queue length (per report) | {} | {} | {} | |\n", first.queue, last.queue,
                         peak(&Sample::queue));
    if (first.queueNow >= 0) {
      table += fmt::format("| queue length (each second) | {} | {} | {} | |\n", first.queueNow, last.queueNow,
                           peak(&Sample::queueNow));
    }
    table += fmt::format("| reference blocks (per report) | {} | {} | {} | |\n", first.refBlocks, last.refBlocks,
                         peak(&Sample::refBlocks));
    const double minutes = last.t / 60;
    table += fmt::format("| CPU time (s) | {:.1f} | {:.1f} | | {:.1f} % of one core on average |\n",
                         first.cpuSeconds, last.cpuSeconds,
                         last.t > 0 ? (last.cpuSeconds - first.cpuSeconds) / last.t * 100 : 0.0);
    (void)minutes;
  }
  std::string text;
  text += fmt::format("Soak: {} minutes at {}x real rates{}.\n\n", o_.minutes, o_.rate,
                      o_.faults ? ", with faults" : "");
  text += table + "\n";
  text += fmt::format("- reference blocks: {} idle at the start, {} once the load stopped\n",
                      samples_.empty() ? -1 : samples_.front().refBlocks, refBlocks_);
  text += fmt::format("- IPC: {} status packets received in order ({} gaps), {} refused by the core; {} of {} echo requests answered\n",
                      nextStatus_, statusGaps_, ipcRefused, echoesReceived_, echoesSent_);
  text += fmt::format("- live video refused by the throttle: {}\n", throttled);
  text += fmt::format("- syslog lines at /dev/log: {}\n", syslogLines_);
  if (queueFullAt_) {
    text += fmt::format("- ipc send queue full at {:.1f} s, accepting again at {:.1f} s\n", *queueFullAt_,
                        queueResumedAt_.value_or(-1));
  }
  if (lowAt_) {
    text += fmt::format("- throttle: low at {:.1f} s, frames released at {:.1f} s, ok at {:.1f} s\n", *lowAt_,
                        hogReleasedAt_.value_or(-1), okAt_.value_or(-1));
  }
  for (const auto& f : faultFigures_) text += "- " + f + "\n";
  text += "- faults (seconds after the load started):";
  for (const auto& f : faults_) text += fmt::format(" {} {:.0f}-{:.0f};", f.name, f.start, f.end);
  text += "\n";
  for (const auto& note : notes_) text += "- note: " + note + "\n";
  text += problems_.empty() ? "\nVerdict: PASS\n" : "\nVerdict: FAIL\n";
  for (const auto& problem : problems_) text += "- " + problem + "\n";
  std::ofstream(o_.out / "figures.md") << text;
  fmt::print("\n{}", text);
  return problems_.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        fmt::print(stderr, "{} needs a value\n{}", arg, UsageText);
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--tree") {
      options.tree = value();
    } else if (arg == "--out") {
      options.out = value();
    } else if (arg == "--minutes") {
      options.minutes = std::atof(value().c_str());
    } else if (arg == "--rate") {
      options.rate = std::atof(value().c_str());
    } else if (arg == "--faults") {
      options.faults = true;
    } else if (arg == "--shim") {
      options.shim = value();
    } else if (arg == "--ram-mib") {
      options.ramMib = static_cast<unsigned>(std::atoi(value().c_str()));
    } else if (arg == "--dev-log") {
      options.devLog = true;
    } else if (arg == "--full-disk") {
      options.fullDisk = true;
    } else if (arg == "--tolerance-mib") {
      options.toleranceMib = std::atof(value().c_str());
    } else if (arg == "--counters-at") {
      options.countersAt = std::strtoull(value().c_str(), nullptr, 16);
    } else {
      fmt::print(stderr, "{}", UsageText);
      return 2;
    }
  }
  if (options.tree.empty() || options.out.empty() || !(options.minutes > 0) || !(options.rate > 0)) {
    fmt::print(stderr, "{}", UsageText);
    return 2;
  }
  return Soak(options).run();
}
