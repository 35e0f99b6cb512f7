// Random identifiers: fresh values, short reads, and the fatal handling of a
// random device that is missing, unreadable or runs dry.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "crypto/guid.h"

namespace ko::core {
namespace {

namespace fs = std::filesystem;

class GuidTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "guid-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
    dir = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  fs::path dir;
};

TEST_F(GuidTest, TwoIdentifiersDiffer) {
  Guid a{};
  Guid b{};
  ASSERT_EQ(CoCreateGuid(a), 0);
  ASSERT_EQ(CoCreateGuid(b), 0);
  EXPECT_NE(a, b);
}

// No byte position is forced: over many identifiers each position takes
// many values (a version or variant nibble would pin some bits).
TEST_F(GuidTest, NoBitIsFixed) {
  Guid orBits{};
  Guid andBits;
  andBits.fill(0xff);
  for (int i = 0; i < 64; ++i) {
    Guid g{};
    CoCreateGuid(g);
    for (size_t k = 0; k < g.size(); ++k) {
      orBits[k] |= g[k];
      andBits[k] &= g[k];
    }
  }
  for (size_t k = 0; k < orBits.size(); ++k) {
    EXPECT_EQ(orBits[k], 0xff) << "byte " << k;
    EXPECT_EQ(andBits[k], 0x00) << "byte " << k;
  }
}

// A device that hands out three bytes first is read again until all 16 are in.
TEST_F(GuidTest, ShortReadIsFollowedByFurtherReads) {
  const fs::path fifo = dir / "device";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0) << std::strerror(errno);
  const uint8_t first[3] = {1, 2, 3};
  uint8_t rest[13];
  for (int i = 0; i < 13; ++i) rest[i] = static_cast<uint8_t>(10 + i);

  bool firstDrained = false;
  std::thread writer([&] {
    const int fd = ::open(fifo.c_str(), O_WRONLY);
    if (fd < 0) return;
    bool ok = ::write(fd, first, sizeof first) == static_cast<ssize_t>(sizeof first);
    // The rest goes in only after the reader has taken the first bytes, so
    // one read cannot see all 16.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int pending = 1;
    while (ok && std::chrono::steady_clock::now() < deadline && ioctl(fd, FIONREAD, &pending) == 0 && pending != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    firstDrained = pending == 0;
    ok = ok && ::write(fd, rest, sizeof rest) == static_cast<ssize_t>(sizeof rest);
    ::close(fd);
  });
  Guid g{};
  EXPECT_EQ(detail::fillFromRandomDevice(fifo.c_str(), g), 0);
  writer.join();
  EXPECT_TRUE(firstDrained);
  EXPECT_EQ(g, (Guid{1, 2, 3, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22}));
}

using GuidDeathTest = GuidTest;

TEST_F(GuidDeathTest, DeviceEndingEarlyEndsProcessWithIoError) {
  const fs::path device = dir / "short";
  {
    const int fd = ::open(device.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "12345", 5), 5);
    ASSERT_EQ(::close(fd), 0);
  }
  Guid g{};
  EXPECT_EXIT(detail::fillFromRandomDevice(device.c_str(), g), ::testing::ExitedWithCode(74),
              "CoCreateGuid\\(\\): read: .*/short: EOF, got 5 of 16 bytes requested\n");
}

TEST_F(GuidDeathTest, UnreadableDeviceEndsProcessWithIoError) {
  Guid g{};
  // A directory opens read-only but every read fails with EISDIR.
  EXPECT_EXIT(detail::fillFromRandomDevice(dir.c_str(), g), ::testing::ExitedWithCode(74),
              std::string("CoCreateGuid\\(\\): read: .*: ") + std::strerror(EISDIR));
}

// The line is built in a fixed stack buffer; a program name longer than it
// must neither run past it nor be cut.
TEST_F(GuidDeathTest, LongProgramNameIsPrintedWholeBeforeExit) {
  std::string longName(600, 'n');
  const fs::path missing = dir / "missing";
  Guid g{};
  EXPECT_EXIT(
      {
        program_invocation_short_name = longName.data();
        detail::fillFromRandomDevice(missing.c_str(), g);
      },
      ::testing::ExitedWithCode(74),
      "(^|\n)" + longName + ": CoCreateGuid\\(\\): open: .*/missing: " + std::strerror(ENOENT) + "\n");
}

// The product path itself: /dev/urandom hidden under an empty /dev in a
// private mount namespace of a child process.
TEST_F(GuidTest, MissingRandomDeviceEndsProcessWithIoError) {
  constexpr int CannotIsolate = 99;
  int pipeFds[2];
  ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (dup2(pipeFds[1], STDERR_FILENO) < 0) _exit(CannotIsolate);
    if (unshare(CLONE_NEWNS) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) _exit(CannotIsolate);
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(CannotIsolate);
    if (mount("none", "/dev", "tmpfs", 0, nullptr) != 0) _exit(CannotIsolate);
    Guid g{};
    CoCreateGuid(g);
    _exit(0);
  }
  ::close(pipeFds[1]);
  std::string text;
  char chunk[256];
  for (ssize_t n; (n = ::read(pipeFds[0], chunk, sizeof chunk)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    ASSERT_GT(n, 0);
    text.append(chunk, static_cast<size_t>(n));
  }
  ::close(pipeFds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == CannotIsolate) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(WEXITSTATUS(status), 74);
  EXPECT_EQ(text, std::string(program_invocation_short_name) + ": CoCreateGuid(): open: /dev/urandom: " +
                      std::strerror(ENOENT) + "\n");
}

}  // namespace
}  // namespace ko::core
