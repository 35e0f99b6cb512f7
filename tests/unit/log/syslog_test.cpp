// Fatal records reach syslog for real: a child process in its own mount
// namespace puts a datagram socket at /dev/log and reads what arrives there.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>

#include "support/dev_log.h"
#include "log/core_log.h"
#include "support/core_test_support.h"

namespace ko::test {
namespace {

constexpr int CannotIsolate = 77;


TEST(Syslog, FatalRecordReachesDevLogEvenWithAQuietConsole) {
  TempDir tmp;
  const auto received = tmp.path() / "received.txt";
  const auto console = tmp.path() / "console.txt";
  const int status = runInChild([&] {
    const int fd = listenOnDevLog();
    if (fd < 0) return CannotIsolate;
    std::freopen(console.c_str(), "w", stdout);
    core::DvrCore core("/nonexistent/bin/dvrcore");
    core::coreInstance = &core;
    core.consoleQuiet = true;
    const char error[] = "only an error";
    const char fatal[] = "disk on fire\r\n";
    core::submitLog(99, sizeof error - 1, error);
    core::submitLog(150, sizeof fatal - 1, fatal);
    char datagram[512];
    const ssize_t length = recv(fd, datagram, sizeof datagram, 0);
    if (length <= 0) return 1;
    std::ofstream(received) << std::string(datagram, static_cast<size_t>(length));
    // Exactly one datagram: the level-99 record never went to syslog.
    const ssize_t more = recv(fd, datagram, sizeof datagram, MSG_DONTWAIT);
    discardQueue(core);
    return more < 0 ? 0 : 2;
  });
  if (status == CannotIsolate) GTEST_SKIP() << "cannot make a private /dev/log (needs CAP_SYS_ADMIN)";
  ASSERT_EQ(status, 0);
  const std::string message = readFile(received);
  // Priority LOG_CRIT in the default facility LOG_USER: 8 + 2.
  EXPECT_EQ(message.rfind("<10>", 0), 0u) << message;
  EXPECT_TRUE(message.size() >= 12 && message.compare(message.size() - 12, 12, "disk on fire") == 0) << message;
  EXPECT_EQ(readFile(console), "");
}

// Runs act in a child that owns /dev/log, with a quiet core of its own, and
// brings back the first datagram act sent; then must send none more and
// return true. The status is CannotIsolate where no private /dev/log can be
// made.
struct Alert {
  int status;
  std::string message;
};
Alert firstAlert(const TempDir& tmp, const std::function<void(core::DvrCore&)>& act,
                 const std::function<bool(core::DvrCore&)>& then) {
  const auto received = tmp.path() / "received.txt";
  const int status = runInChild([&] {
    const int fd = listenOnDevLog();
    if (fd < 0) return CannotIsolate;
    core::DvrCore core("/nonexistent/bin/dvrcore");
    core::coreInstance = &core;
    core.consoleQuiet = true;
    act(core);
    char datagram[512];
    const ssize_t length = recv(fd, datagram, sizeof datagram, 0);
    if (length <= 0) return 1;
    std::ofstream(received) << std::string(datagram, static_cast<size_t>(length));
    const bool thenHeld = then(core);
    const ssize_t more = recv(fd, datagram, sizeof datagram, MSG_DONTWAIT);
    discardQueue(core);
    return more < 0 && thenHeld ? 0 : 2;
  });
  return {status, status == 0 ? readFile(received) : std::string()};
}

// Lines the operator must see at once (a stuck call, refusing beginning)
// reach syslog from the logging thread itself, whatever the queue and the
// core's threshold do; ordinary warnings do not.
TEST(Syslog, AlertLinesReachDevLogAtOnce) {
  TempDir tmp;
  const Alert alert = firstAlert(
      tmp,
      [](core::DvrCore& core) {
        core.logLevels[0] = 100;
        core::coreLog(50, "an ordinary warning");
        core::alertLog(50, "refusing {} records", "all");
      },
      [](core::DvrCore& core) { return core.queuedEvents() == 0; });
  if (alert.status == CannotIsolate) GTEST_SKIP() << "cannot make a private /dev/log (needs CAP_SYS_ADMIN)";
  ASSERT_EQ(alert.status, 0);
  // LOG_WARNING in LOG_USER: 8 + 4.
  EXPECT_EQ(alert.message.rfind("<12>", 0), 0u) << alert.message;
  EXPECT_NE(alert.message.find("refusing all records"), std::string::npos) << alert.message;
}

// The throttle beginning to refuse is such a line; its end is not, and
// neither comes again while memory stays low.
TEST(Syslog, ThrottleLowLineReachesDevLogAtOnceButNotItsRepeatOrTheOkLine) {
  TempDir tmp;
  const Alert alert = firstAlert(
      tmp,
      [](core::DvrCore& core) {
        core.updateThrottle(true);
        core.updateThrottle(true);
      },
      [](core::DvrCore& core) {
        // Recovered a minute ago: the ok line goes through the queue only.
        core.lowMemorySince -= 61'000'000'000;
        core.updateThrottle(false);
        return true;
      });
  if (alert.status == CannotIsolate) GTEST_SKIP() << "cannot make a private /dev/log (needs CAP_SYS_ADMIN)";
  ASSERT_EQ(alert.status, 0);
  EXPECT_EQ(alert.message.rfind("<12>", 0), 0u) << alert.message;
  EXPECT_NE(alert.message.find("available system memory is low, throttling audio/video"), std::string::npos)
      << alert.message;
}

}  // namespace
}  // namespace ko::test
