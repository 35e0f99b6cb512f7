// The integration harness's process control: temporary tree, fork/exec of the
// core (directly or under an intermediate parent), the channel and the output
// readers. See core_process.h.
#include "integration/harness/core_process.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace ko::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// An orphaned core waits at most this long (polls of 1 ms) for its adoption.
constexpr long OrphanPollNanos = 1'000'000;
constexpr long OrphanWaitPolls = 5000;

// Owns one descriptor in the test process.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~Fd() { reset(); }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

int remainingMillis(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

std::string describeStatus(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

#if defined(__x86_64__)
constexpr uint32_t OwnAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t OwnAuditArch = AUDIT_ARCH_AARCH64;
#else
#error "no seccomp architecture for this target"
#endif

// capset answers EPERM; everything else is allowed.
const sock_filter RefuseCapset[] = {
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, OwnAuditArch, 0, 3),
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_capset, 0, 1),
    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
};

// prctl(PR_SET_SECUREBITS, 0) answers EPERM; everything else is allowed.
// The arguments' low words (both targets are little-endian).
const sock_filter RefuseSecureBitsClear[] = {
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, OwnAuditArch, 0, 7),
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_prctl, 0, 5),
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PR_SET_SECUREBITS, 0, 3),
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1),
    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
};

// Async-signal-safe: prctl calls. A process holding CAP_SYS_ADMIN needs no
// no-new-privileges flag; any other sets it first.
template <size_t N>
bool installFilter(const sock_filter (&filter)[N]) {
  sock_fprog program{static_cast<unsigned short>(N), const_cast<sock_filter*>(filter)};
  if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0) return true;
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

bool installCapsetFilter() { return installFilter(RefuseCapset); }

// --- code that runs in the forked child: async-signal-safe calls only --------

[[noreturn]] void childFail(const char* what) {
  const int err = errno;
  (void)!::write(2, "harness child: ", 15);
  (void)!::write(2, what, std::strlen(what));
  const char* text = std::strerror(err);
  (void)!::write(2, ": ", 2);
  (void)!::write(2, text, std::strlen(text));
  (void)!::write(2, "\n", 1);
  ::_exit(127);
}

// Moves `fd` out of the way of the target numbers, then onto `target`,
// inheritable.
void placeFd(int fd, int target) {
  if (::dup2(fd, target) < 0) childFail("dup2");
  const int flags = ::fcntl(target, F_GETFD);
  if (flags < 0 || ::fcntl(target, F_SETFD, flags & ~FD_CLOEXEC) < 0) childFail("fcntl");
}

void takeIdentity(const CoreOptions& options) {
  if (options.refuseCapset && !installCapsetFilter()) childFail("seccomp");
  if (options.refuseSecureBitsClear && !installFilter(RefuseSecureBitsClear)) childFail("seccomp");
  if (options.coreGid) {
    const gid_t gid = *options.coreGid;
    if (::setgroups(1, &gid) < 0) childFail("setgroups");
    if (::setresgid(gid, gid, gid) < 0) childFail("setresgid");
  }
  if (options.coreUid) {
    const uid_t uid = *options.coreUid;
    if (::setresuid(uid, uid, uid) < 0) childFail("setresuid");
  } else if (options.parentUid) {
    // Back to a whole root identity after the intermediate parent's change.
    if (::setresuid(0, 0, 0) < 0) childFail("setresuid root");
  }
}

// The test's directory stands for the key's directory, in this process and
// the core only.
void bindKeyDirectory(const char* source, const char* target) {
  if (::unshare(CLONE_NEWNS) < 0) childFail("unshare");
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0) childFail("mount private");
  if (::mount(source, target, nullptr, MS_BIND, nullptr) < 0) childFail("mount bind");
}

[[noreturn]] void execCore(const char* path, char* const* argv) {
  ::execv(path, argv);
  childFail("execv");
}

}  // namespace

fs::path builtCorePath() { return fs::path(KO_DVRCORE_PATH); }
fs::path deviceKeyPath() { return fs::path(KO_DEVICE_KEY_FILE); }

bool seccompAvailable() {
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) ::_exit(installCapsetFilter() ? 0 : 1);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

CoreProcess::CoreProcess() {
  std::string pattern = (fs::temp_directory_path() / "kocore-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  root_ = pattern;
  // Cores that run as another user must still reach their binary and plugins
  // and write in the working directory.
  fs::permissions(root_, fs::perms(0755));
  fs::create_directories(binDir() / "plugins");
  fs::create_directories(binDir() / "protected-plugins");
  fs::create_directories(workDir());
  fs::permissions(workDir(), fs::perms(0777));
  fs::copy_file(builtCorePath(), binDir() / "dvrcore");
  fs::permissions(binDir() / "dvrcore", fs::perms(0755));
}

CoreProcess::~CoreProcess() {
  if (childPid_ > 0 && !exited_) {
    ::kill(corePid_, SIGKILL);
    if (childPid_ != corePid_) ::kill(childPid_, SIGKILL);
    int status = 0;
    while (::waitpid(childPid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (parentFd_ >= 0) ::close(parentFd_);
  if (outReader_.joinable()) outReader_.join();
  if (errReader_.joinable()) errReader_.join();
  std::error_code ec;
  fs::remove_all(root_, ec);
}

fs::path CoreProcess::folder(PluginFolder f) const {
  return binDir() / (f == PluginFolder::Plugins ? "plugins" : "protected-plugins");
}

void CoreProcess::installPlugin(const fs::path& source, PluginFolder where, const std::string& name) {
  const fs::path target = folder(where) / (name.empty() ? source.filename().string() : name);
  fs::copy_file(source, target, fs::copy_options::overwrite_existing);
  fs::permissions(target, fs::perms(0755));
}

bool CoreProcess::start(const CoreOptions& options) {
  if (childPid_ > 0) {
    ADD_FAILURE() << "harness: one core per CoreProcess";
    return false;
  }
  if (options.descriptorNumber < 3) {
    ADD_FAILURE() << "harness: descriptorNumber must be 3 or more";
    return false;
  }
  std::array<int, 2> pair{};
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair.data()) < 0) {
    ADD_FAILURE() << "socketpair: " << std::strerror(errno);
    return false;
  }
  Fd parentEnd(pair[0]);
  Fd coreEnd(pair[1]);
  std::array<int, 2> outPipe{}, errPipe{}, pidPipe{};
  if (::pipe2(outPipe.data(), O_CLOEXEC) < 0 || ::pipe2(errPipe.data(), O_CLOEXEC) < 0 ||
      ::pipe2(pidPipe.data(), O_CLOEXEC) < 0) {
    ADD_FAILURE() << "pipe2: " << std::strerror(errno);
    return false;
  }
  Fd outRead(outPipe[0]), outWrite(outPipe[1]), errRead(errPipe[0]), errWrite(errPipe[1]);
  Fd pidRead(pidPipe[0]), pidWrite(pidPipe[1]);
  Fd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));

  // Everything the child needs is prepared before fork.
  const std::string corePath = (binDir() / "dvrcore").string();
  const std::string workPath = workDir().string();
  const std::string fdText = std::to_string(options.descriptorNumber);
  bool usesFd = options.descriptorOnStdin;
  std::vector<std::string> args{corePath};
  for (std::string arg : options.args) {
    for (auto at = arg.find("{fd}"); at != std::string::npos; at = arg.find("{fd}")) {
      arg.replace(at, 4, fdText);
      usesFd = true;
    }
    args.push_back(std::move(arg));
  }
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const int descriptorTarget = options.descriptorNumber;
  const int pidTarget = descriptorTarget + 1;

  std::string keySource, keyTarget;
  if (options.deviceKeyDir) {
    keySource = options.deviceKeyDir->string();
    keyTarget = deviceKeyPath().parent_path().string();
    // The mount point must exist; an empty directory stands in for a
    // machine that was never provisioned.
    std::error_code ec;
    if (!fs::is_directory(keyTarget, ec) && !fs::create_directories(keyTarget, ec)) {
      ADD_FAILURE() << "cannot create " << keyTarget << ": " << ec.message();
      return false;
    }
  }

  const pid_t child = ::fork();
  if (child < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return false;
  }
  if (child == 0) {
    // Lift every source above the targets first so no dup2 overwrites one
    // that is still needed.
    const int base = pidTarget + 1;
    const int stdinSrc = ::fcntl(options.descriptorOnStdin ? coreEnd.get() : devNull.get(), F_DUPFD_CLOEXEC, base);
    const int outSrc = ::fcntl(outWrite.get(), F_DUPFD_CLOEXEC, base);
    const int errSrc = ::fcntl(errWrite.get(), F_DUPFD_CLOEXEC, base);
    const int sockSrc = ::fcntl(coreEnd.get(), F_DUPFD_CLOEXEC, base);
    const int pidSrc = ::fcntl(pidWrite.get(), F_DUPFD_CLOEXEC, base);
    if (stdinSrc < 0 || outSrc < 0 || errSrc < 0 || sockSrc < 0 || pidSrc < 0) childFail("F_DUPFD");
    placeFd(stdinSrc, 0);
    placeFd(outSrc, 1);
    placeFd(errSrc, 2);
    if (usesFd) placeFd(sockSrc, descriptorTarget);
    // The pid pipe closes itself at exec.
    if (::dup3(pidSrc, pidTarget, O_CLOEXEC) < 0) childFail("dup3");
    if (::close_range(static_cast<unsigned>(pidTarget + 1), ~0U, 0) < 0) childFail("close_range");
    if (!usesFd) ::close(descriptorTarget);
    if (!keySource.empty()) bindKeyDirectory(keySource.c_str(), keyTarget.c_str());
    if (::chdir(workPath.c_str()) < 0) childFail("chdir");

    pid_t corePid = ::getpid();
    if (options.orphaned) {
      // This process adopts the core once its starter has gone.
      if (::prctl(PR_SET_CHILD_SUBREAPER, 1) < 0) childFail("subreaper");
      const pid_t starter = ::fork();
      if (starter < 0) childFail("fork");
      if (starter == 0) {
        const pid_t self = ::getpid();
        corePid = ::fork();
        if (corePid < 0) childFail("fork");
        if (corePid == 0) {
          // Goes on only once adopted: the starter has exited.
          for (long waited = 0; ::getppid() == self; ++waited) {
            if (waited >= OrphanWaitPolls) childFail("adoption");
            const timespec pause{0, OrphanPollNanos};
            ::nanosleep(&pause, nullptr);
          }
          takeIdentity(options);
          execCore(argv[0], argv.data());
        }
        (void)!::write(pidTarget, &corePid, sizeof corePid);
        ::_exit(0);
      }
      ::close_range(0U, ~0U, 0);
      int status = 0;
      for (;;) {
        const pid_t ended = ::waitpid(-1, &status, 0);
        if (ended < 0 && errno == EINTR) continue;
        if (ended < 0) ::_exit(126);
        if (ended != starter) break;
      }
      if (WIFSIGNALED(status)) {
        ::signal(WTERMSIG(status), SIG_DFL);
        ::kill(::getpid(), WTERMSIG(status));
        ::_exit(128 + WTERMSIG(status));
      }
      ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 126);
    }
    if (options.parentUid) {
      // The intermediate parent: real uid changed, effective still ours.
      if (::setresuid(*options.parentUid, ::geteuid(), ::geteuid()) < 0) childFail("setresuid parent");
      corePid = ::fork();
      if (corePid < 0) childFail("fork");
      if (corePid == 0) {
        takeIdentity(options);
        execCore(argv[0], argv.data());
      }
      (void)!::write(pidTarget, &corePid, sizeof corePid);
      // It holds nothing of the channel or the output, so end of stream and
      // end of output are the core's alone.
      ::close_range(0U, ~0U, 0);
      int status = 0;
      while (::waitpid(corePid, &status, 0) < 0) {
        if (errno != EINTR) ::_exit(126);
      }
      if (WIFSIGNALED(status)) {
        ::signal(WTERMSIG(status), SIG_DFL);
        ::kill(::getpid(), WTERMSIG(status));
        ::_exit(128 + WTERMSIG(status));
      }
      ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 126);
    }
    (void)!::write(pidTarget, &corePid, sizeof corePid);
    takeIdentity(options);
    execCore(argv[0], argv.data());
  }

  childPid_ = child;
  pidWrite.reset();
  outWrite.reset();
  errWrite.reset();
  coreEnd.reset();
  parentFd_ = parentEnd.release();

  pollfd waitPid{pidRead.get(), POLLIN, 0};
  pid_t reported = -1;
  if (::poll(&waitPid, 1, 5000) == 1 && ::read(pidRead.get(), &reported, sizeof reported) == sizeof reported) {
    corePid_ = reported;
  } else {
    corePid_ = child;
  }
  outReader_ = std::thread([this, fd = outRead.release()] { readOutput(fd, out_); });
  errReader_ = std::thread([this, fd = errRead.release()] { readOutput(fd, err_); });
  return true;
}

void CoreProcess::readOutput(int fd, OutputBuffer& buffer) {
  std::array<char, 4096> chunk{};
  for (;;) {
    const ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard lock(outputLock_);
    if (n <= 0) {
      buffer.closed = true;
      outputChanged_.notify_all();
      break;
    }
    buffer.text.append(chunk.data(), static_cast<size_t>(n));
    outputChanged_.notify_all();
  }
  ::close(fd);
}

bool CoreProcess::waitForOutput(std::string_view needle, Millis timeout, Stream stream) {
  auto found = [&] {
    const bool inOut = stream != Stream::Stderr && out_.text.find(needle) != std::string::npos;
    const bool inErr = stream != Stream::Stdout && err_.text.find(needle) != std::string::npos;
    return inOut || inErr;
  };
  std::unique_lock lock(outputLock_);
  outputChanged_.wait_for(lock, timeout, [&] { return found() || (out_.closed && err_.closed); });
  return found();
}

std::string CoreProcess::stdoutText() const {
  std::lock_guard lock(outputLock_);
  return out_.text;
}

std::string CoreProcess::stderrText() const {
  std::lock_guard lock(outputLock_);
  return err_.text;
}

bool CoreProcess::sendPacket(const void* bytes, size_t length, Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const ssize_t sent = ::send(parentFd_, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent == static_cast<ssize_t>(length)) return true;
    if (sent >= 0 || (errno != EAGAIN && errno != EINTR)) return false;
    pollfd p{parentFd_, POLLOUT, 0};
    if (::poll(&p, 1, remainingMillis(deadline)) == 0 && Clock::now() >= deadline) return false;
  }
}

std::optional<std::vector<uint8_t>> CoreProcess::waitForPacket(Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  std::vector<uint8_t> packet(2 * 65536);
  for (;;) {
    const ssize_t got = ::recv(parentFd_, packet.data(), packet.size(), MSG_DONTWAIT);
    if (got > 0) {
      packet.resize(static_cast<size_t>(got));
      return packet;
    }
    if (got == 0 || (errno != EAGAIN && errno != EINTR)) return std::nullopt;
    pollfd p{parentFd_, POLLIN, 0};
    if (::poll(&p, 1, remainingMillis(deadline)) == 0 && Clock::now() >= deadline) return std::nullopt;
  }
}

bool CoreProcess::waitForChannelClosed(Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  std::vector<uint8_t> packet(2 * 65536);
  for (;;) {
    const ssize_t got = ::recv(parentFd_, packet.data(), packet.size(), MSG_DONTWAIT);
    if (got == 0) return true;
    if (got < 0 && errno != EAGAIN && errno != EINTR) return true;
    if (got > 0) continue;
    pollfd p{parentFd_, POLLIN, 0};
    if (::poll(&p, 1, remainingMillis(deadline)) == 0 && Clock::now() >= deadline) return false;
  }
}

void CoreProcess::closeParentEnd() {
  if (parentFd_ >= 0) ::close(parentFd_);
  parentFd_ = -1;
}

bool CoreProcess::signal(int signo) { return running() && ::kill(corePid_, signo) == 0; }

std::string CoreProcess::procStatus(const std::string& name) const {
  std::ifstream status("/proc/" + std::to_string(corePid_) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 && line[name.size()] == ':') {
      const auto value = line.find_first_not_of(" \t", name.size() + 1);
      return value == std::string::npos ? std::string() : line.substr(value);
    }
  }
  return {};
}

bool CoreProcess::handlesStopSignals() const {
  const std::string caught = procStatus("SigCgt");
  if (caught.empty()) return false;
  const unsigned long long mask = std::stoull(caught, nullptr, 16);
  const unsigned long long wanted = (1ull << (SIGINT - 1)) | (1ull << (SIGTERM - 1)) | (1ull << (SIGQUIT - 1));
  return (mask & wanted) == wanted;
}

bool CoreProcess::waitUntilRunning(Millis timeout) {
  return waitForOutput("InQ:", timeout, Stream::Stdout) && handlesStopSignals();
}

void CoreProcess::reap(int status) {
  exited_ = true;
  status_ = status;
  // The core has exited but the reader threads may not have read its last
  // lines yet; callers read the output right after the exit.
  std::unique_lock lock(outputLock_);
  outputChanged_.wait_for(lock, 5s, [&] { return out_.closed && err_.closed; });
}

std::optional<int> CoreProcess::waitForExit(Millis timeout, const std::function<void()>& whileWaiting) {
  if (childPid_ <= 0) {
    ADD_FAILURE() << "harness: no core was started";
    return std::nullopt;
  }
  if (exited_) return status_;
  const auto deadline = Clock::now() + timeout;
  int status = 0;
  for (;;) {
    if (whileWaiting) whileWaiting();
    const pid_t done = ::waitpid(childPid_, &status, WNOHANG);
    if (done == childPid_) {
      reap(status);
      return status;
    }
    if (done < 0 && errno != EINTR) {
      ADD_FAILURE() << "waitpid: " << std::strerror(errno);
      return std::nullopt;
    }
    if (Clock::now() >= deadline) break;
    std::this_thread::sleep_for(2ms);
  }
  ::kill(corePid_, SIGKILL);
  while (::waitpid(childPid_, &status, 0) < 0 && errno == EINTR) {
  }
  reap(status);
  ADD_FAILURE() << "core did not exit within " << timeout.count() << " ms; killed\n--- stdout\n"
                << stdoutText() << "--- stderr\n"
                << stderrText();
  return std::nullopt;
}

::testing::AssertionResult CoreProcess::exitsWith(int code, Millis timeout) {
  const auto status = waitForExit(timeout);
  if (!status) return ::testing::AssertionFailure() << "no exit status";
  if (WIFEXITED(*status) && WEXITSTATUS(*status) == code) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected exit " << code << ", got " << describeStatus(*status)
                                       << "\n--- stdout\n"
                                       << stdoutText() << "--- stderr\n"
                                       << stderrText();
}

}  // namespace ko::test
