// core.xml across power cuts, with the real core on a small ext4 image of
// its own. Driver plugins keep the core rewriting core.xml with thresholds
// that count a sequence number; at a random moment the file system is shut
// down without flushing its journal (what reaches the storage is all a power
// cut leaves), or the core is killed. The image is then mounted again and the
// core restarted on it: what it reads back must be the last number whose
// rewrite completed before the cut, or one whose rewrite had started by the
// end of the cut; never anything older and never the defaults. A completed
// rewrite found only as a side file is a lost rename, also a failure.
//
// Runs as root with loop devices and mkfs.ext4; skips with its reason
// elsewhere. KO_POWER_CUT_TRIALS (default 30) and KO_POWER_CUT_SEED choose
// the long form and replay a run; trials and seeds are printed.
#include <expat.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "integration/harness/core_process.h"

namespace ko::core {
namespace {

using ko::test::CoreProcess;
using ko::test::eventually;
using ko::test::readFile;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// From the kernel's ext4 interface (not in the exported headers): shut the
// file system down; NOLOGFLUSH drops the journal not yet committed.
constexpr unsigned long Ext4IocShutdown = _IOR('X', 125, uint32_t);
constexpr uint32_t Ext4GoingFlagsNoLogFlush = 2;

constexpr int DefaultTrials = 30;
constexpr int Levels = 100;
// The drivers count 0 to 9999 and wrap.
constexpr int Sequence = Levels * Levels;
// How many completed rewrites a trial lets pass before its cut, and how far
// into the next one (in microseconds) the cut may land.
constexpr int MaxAcksBeforeCut = 25;
constexpr int MaxCutDelayMicros = 4000;
constexpr auto AckTimeout = 20s;

int envNumber(const char* name, long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? static_cast<int>(std::strtol(text, nullptr, 10)) : static_cast<int>(fallback);
}

// Runs a shell command; its output is returned in `output`.
int run(const std::string& command, std::string* output = nullptr) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[512];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
  const int status = ::pclose(pipe);
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// One acknowledgement of the driver: a value whose rewrite had completed by
// `nanos` on the monotonic clock.
struct Ack {
  int level = 0;
  int64_t nanos = 0;
};

std::vector<Ack> acksOf(const fs::path& path) {
  std::vector<Ack> acks;
  const std::string text = readFile(path);
  std::size_t at = 0;
  for (auto eol = text.find('\n'); eol != std::string::npos; at = eol + 1, eol = text.find('\n', at)) {
    Ack ack;
    long long nanos = 0;
    if (std::sscanf(text.c_str() + at, "%d %lld", &ack.level, &nanos) != 2) break;
    ack.nanos = nanos;
    acks.push_back(ack);
  }
  return acks;
}

int64_t monotonicNanos() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// The last value acknowledged before `nanos`; -1 when none.
int lastAckedBefore(const std::vector<Ack>& acks, int64_t nanos) {
  int level = -1;
  for (const Ack& ack : acks) {
    if (ack.nanos < nanos) level = ack.level;
  }
  return level;
}

// Whether expat accepts `text` as a document; the sequence number its two
// driver thresholds count goes to `number` (-1 when an entry is missing).
bool parses(const std::string& text, int& number) {
  struct State {
    int low = -2;
    int high = -2;
  } state;
  XML_Parser parser = XML_ParserCreate("UTF-8");
  XML_SetUserData(parser, &state);
  XML_SetStartElementHandler(parser, [](void* data, const XML_Char* name, const XML_Char** attributes) {
    if (std::string_view(name) != "Plugin") return;
    std::string_view id;
    int value = -2;
    for (int i = 0; attributes[i] != nullptr; i += 2) {
      const std::string_view key(attributes[i]);
      if (key == "ID") id = attributes[i + 1];
      if (key == "LogLevel") value = std::max(0, std::atoi(attributes[i + 1]));
    }
    auto& s = *static_cast<State*>(data);
    if (id == "1310720") s.low = value;
    if (id == "1376256") s.high = value;
  });
  const bool ok = XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
  XML_ParserFree(parser);
  number = state.low >= 0 && state.high >= 0 ? state.high * Levels + state.low : -1;
  return ok;
}

// The ext4 image mounted on one trial's working directory. The core must be
// gone before the unmount; the guard kills it first.
class TrialMount {
 public:
  TrialMount(CoreProcess& core, const fs::path& image) : core_(core), point_(core.workDir()) {
    mounted_ = run("mount -o loop " + image.string() + " " + point_.string(), &output_) == 0;
  }
  ~TrialMount() { (void)unmount(); }
  TrialMount(const TrialMount&) = delete;
  TrialMount& operator=(const TrialMount&) = delete;

  bool mounted() const { return mounted_; }
  const std::string& output() const { return output_; }
  bool unmount() {
    if (!mounted_) return true;
    if (core_.running()) {
      core_.signal(SIGKILL);
      (void)core_.waitForExit(10s);
    }
    mounted_ = run("umount " + point_.string(), &output_) != 0;
    return !mounted_;
  }

 private:
  CoreProcess& core_;
  fs::path point_;
  bool mounted_ = false;
  std::string output_;
};

// Shuts the file system holding `directory` down as a power cut would; the
// error number, or 0.
int shutDown(const fs::path& directory) {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  uint32_t flags = Ext4GoingFlagsNoLogFlush;
  const int error = ::ioctl(fd, Ext4IocShutdown, &flags) == 0 ? 0 : errno;
  ::close(fd);
  return error;
}

class PowerCutTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "loop devices need root";
    if (::access("/dev/loop-control", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/loop-control here";
    char pattern[] = "/tmp/kopowercut-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    scratch_ = pattern;
    image_ = scratch_ / "core.img";
    std::string output;
    if (run("truncate -s 32M " + image_.string() + " && mkfs.ext4 -q -F " + image_.string(), &output) != 0) {
      GTEST_SKIP() << "cannot make an ext4 image: " << output;
    }
    CoreProcess probe;
    TrialMount mount(probe, image_);
    if (!mount.mounted()) GTEST_SKIP() << "loop devices are not available here: " << mount.output();
    // Emulators and older kernels may not pass the shutdown request on.
    if (const int error = shutDown(probe.workDir()); error != 0) {
      GTEST_SKIP() << "cannot cut power to ext4 here: " << std::strerror(error);
    }
  }
  void TearDown() override {
    std::error_code ignored;
    if (!scratch_.empty()) fs::remove_all(scratch_, ignored);
  }

  fs::path scratch_;
  fs::path image_;
};

TEST_F(PowerCutTest, CoreXmlKeepsTheLastCompletedRewriteThroughCutsAndKills) {
  const int trials = envNumber("KO_POWER_CUT_TRIALS", DefaultTrials);
  const auto seed = static_cast<uint32_t>(envNumber("KO_POWER_CUT_SEED", std::random_device{}()));
  std::printf("power cut: %d trials, seed %u\n", trials, seed);
  std::mt19937 rng(seed);

  // From the previous trial: the last value whose rewrite completed before
  // the cut began (it must survive), and how many later values had started
  // before the cut ended (any of them may have survived).
  int lastAcked = -1;
  int startedAfter = 0;
  int cuts = 0, kills = 0, keptLast = 0, keptNewer = 0, lostMore = 0, promoted = 0, lostRenames = 0;
  for (int trial = 0; trial <= trials; ++trial) {
    CoreProcess core;
    TrialMount mount(core, image_);
    ASSERT_TRUE(mount.mounted()) << mount.output();

    // What the previous trial left, as any XML parser reads it.
    const std::string pending = readFile(core.workDir() / "core.xml.pending");
    const std::string file = readFile(core.workDir() / "core.xml");
    int found = -1;
    int pendingLevel = -2;
    if (pending.starts_with("<?xml") && parses(pending, pendingLevel) && pendingLevel >= 0) {
      found = pendingLevel;
      ++promoted;
      // A completed rewrite had renamed its side file away; finding it again
      // means the rename did not survive, and only the promotion saved it.
      if (trial > 0 && pendingLevel == lastAcked) ++lostRenames;
      EXPECT_TRUE(trial == 0 || pendingLevel != lastAcked)
          << "trial " << trial << " seed " << seed << ": the rename of completed rewrite " << lastAcked << " was lost";
    } else if (trial > 0) {
      ASSERT_TRUE(parses(file, found)) << "trial " << trial << " seed " << seed << ": core.xml is malformed:\n" << file;
    }
    if (trial > 0) {
      const int ahead = (found - lastAcked + Sequence) % Sequence;
      const bool survived = found >= 0 && ahead <= startedAfter;
      if (!survived) ++lostMore;
      if (survived && ahead == 0) ++keptLast;
      if (survived && ahead > 0) ++keptNewer;
      EXPECT_TRUE(survived) << "trial " << trial << " seed " << seed << ": found " << found << ", last completed "
                            << lastAcked << ", " << startedAfter << " more started";
    }
    if (trial == trials) break;

    const fs::path acks = core.root() / "acks";
    ASSERT_EQ(::setenv("KO_POWER_CUT_ACKS", acks.c_str(), 1), 0);
    core.installPlugin(DRIVER_PLUGIN_PATH);
    core.installPlugin(PARTNER_PLUGIN_PATH);
    ASSERT_TRUE(core.start());
    // The first document shows what the core read back.
    ASSERT_TRUE(eventually([&] { return !acksOf(acks).empty(); }, AckTimeout)) << core.allOutput();
    const int restored = acksOf(acks).front().level;
    if (trial > 0) {
      EXPECT_EQ(restored, found) << "trial " << trial << " seed " << seed << ": the core read back another value\n"
                                 << core.allOutput();
    }

    const auto wanted = static_cast<std::size_t>(1 + std::uniform_int_distribution<int>(0, MaxAcksBeforeCut)(rng));
    ASSERT_TRUE(eventually([&] { return acksOf(acks).size() >= wanted; }, AckTimeout)) << core.allOutput();
    // Randomises where in the rewrite the cut lands; nothing waits on it.
    ::usleep(static_cast<useconds_t>(std::uniform_int_distribution<int>(0, MaxCutDelayMicros)(rng)));
    const bool cut = std::uniform_int_distribution<int>(0, 2)(rng) != 0;
    const int64_t cutBegins = monotonicNanos();
    if (cut) {
      const int error = shutDown(core.workDir());
      ASSERT_EQ(error, 0) << "shutdown: " << std::strerror(error);
      ++cuts;
    } else {
      ASSERT_TRUE(core.signal(SIGKILL));
      ++kills;
    }
    const int64_t cutEnds = monotonicNanos();
    // Each rewrite starts after the acknowledgement of the one before.
    const auto all = acksOf(acks);
    lastAcked = lastAckedBefore(all, cutBegins);
    const int lastBeforeEnd = lastAckedBefore(all, cutEnds);
    startedAfter = (lastBeforeEnd - lastAcked + Sequence) % Sequence + 1;
    std::printf("trial %d: %s after %zu rewrites, last completed %d, %d more started\n", trial,
                cut ? "cut" : "kill", wanted, lastAcked, startedAfter);
    ASSERT_TRUE(mount.unmount()) << mount.output();
  }
  std::printf("power cut: %d trials (%d cuts, %d kills), seed %u: last completed rewrite kept %d, a later one "
              "kept %d, promoted side files %d, renames of completed rewrites lost %d, completed rewrites lost %d\n",
              trials, cuts, kills, seed, keptLast, keptNewer, promoted, lostRenames, lostMore);
  EXPECT_EQ(lostMore, 0);
  EXPECT_EQ(lostRenames, 0);
}

}  // namespace
}  // namespace ko::core
