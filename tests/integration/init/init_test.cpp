// Initialisation against the real process: the identity and capabilities the
// core ends up with for each parent/core pairing, and the IPC descriptor.
// The identity cases need root (CI runs as root) and a test user with
// supplementary groups, which they create once.
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <filesystem>
#include <sstream>

#include "integration/harness/core_process.h"
#include "ipc/ipc_packet.h"

namespace ko::test {
namespace {

constexpr const char* TestUser = "kocoretest";
constexpr const char* ThreeCapabilities = "0000000000023000";
constexpr const char* TwoCapabilities = "0000000000003000";

struct TestAccount {
  uid_t uid = 0;
  gid_t gid = 0;
  std::set<gid_t> groups;  // primary and supplementary, as getgrouplist gives them
};

std::optional<TestAccount> testAccount() {
  // Serialised across test processes that may run in parallel.
  const std::string create = std::string("flock /tmp/kocoretest-account.lock sh -c '") +
                             "getent passwd " + TestUser + " >/dev/null || (groupadd -f " + TestUser +
                             "-a && groupadd -f " + TestUser + "-b && useradd -M -s /usr/sbin/nologin -U -G " +
                             TestUser + "-a," + TestUser + "-b " + TestUser + ")' >/dev/null 2>&1";
  if (std::system(create.c_str()) != 0) return std::nullopt;
  const passwd* pw = ::getpwnam(TestUser);
  if (pw == nullptr) return std::nullopt;
  TestAccount account{pw->pw_uid, pw->pw_gid, {}};
  std::vector<gid_t> groups(64);
  int count = static_cast<int>(groups.size());
  if (::getgrouplist(TestUser, pw->pw_gid, groups.data(), &count) < 0) return std::nullopt;
  account.groups.insert(groups.begin(), groups.begin() + count);
  return account;
}

std::set<gid_t> parseGroups(const std::string& line) {
  std::set<gid_t> groups;
  std::istringstream in(line);
  for (gid_t g = 0; in >> g;) groups.insert(g);
  return groups;
}

std::string fourTimes(unsigned id) {
  const std::string one = std::to_string(id);
  return one + "\t" + one + "\t" + one + "\t" + one;
}

std::string ownStatus(const std::string& name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name + ":", 0) == 0) return line.substr(line.find_first_not_of(" \t", name.size() + 1));
  }
  return {};
}

class InitIdentity : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "changing identities needs root";
    auto found = testAccount();
    ASSERT_TRUE(found) << "cannot create or read the test account " << TestUser;
    account = *found;
    ASSERT_GE(account.groups.size(), 3u) << "the test account lacks its supplementary groups";
  }

  void stop() {
    ASSERT_TRUE(core.sendPacket(core::buildIpcPacket(0, core::IpcCommandStop, 0)));
    EXPECT_TRUE(core.exitsWith(0));
  }

  TestAccount account;
  CoreProcess core;
};

// One "Name:" line of the probe's record, without the name.
std::string probed(const std::string& record, const std::string& name) {
  std::istringstream lines(record);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(name + ":", 0) == 0) return line.substr(line.find_first_not_of(" \t", name.size() + 1));
  }
  return {};
}

// The status file of every thread of `pid`, by thread id.
std::map<std::string, std::string> threadStatuses(pid_t pid) {
  std::map<std::string, std::string> statuses;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::string status = readFile(task.path() / "status");
    if (!status.empty()) statuses.emplace(task.path().filename().string(), std::move(status));
  }
  return statuses;
}

// The level of the first console line holding `text`, told by its colour;
// -1 when there is none.
int consoleLevel(const std::string& console, const std::string& text) {
  std::istringstream lines(console);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find(text) == std::string::npos) continue;
    if (line.rfind("\x1b[38;5;37m\x1b[38;5;1m", 0) == 0) return 100;
    if (line.rfind("\x1b[38;5;196m", 0) == 0) return 75;
    if (line.rfind("\x1b[38;5;227m", 0) == 0) return 50;
    return 0;
  }
  return -1;
}

TEST_F(InitIdentity, RootCoreUnderUserParentBecomesThatUserWithOnlyThreeCapabilities) {
  // The probe, bound as the logging plugin at the end of initialisation,
  // records what initialisation left (later steps narrow it further).
  core.installPlugin(KO_IDENTITY_PROBE_PLUGIN, PluginFolder::Plugins, "LogPI.so");
  ASSERT_TRUE(core.start(CoreOptions().underParent(account.uid)));
  const auto probe = core.workDir() / "identity-at-load";
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(probe); })) << core.allOutput();
  const std::string record = readFile(probe);
  EXPECT_EQ(probed(record, "Uid"), fourTimes(account.uid)) << record;
  EXPECT_EQ(probed(record, "Gid"), fourTimes(account.gid)) << record;
  EXPECT_EQ(parseGroups(probed(record, "Groups")), account.groups) << record;
  EXPECT_EQ(probed(record, "CapEff"), ThreeCapabilities) << record;
  EXPECT_EQ(probed(record, "CapPrm"), ThreeCapabilities) << record;
  EXPECT_EQ(probed(record, "CapInh"), "0000000000000000") << record;
  stop();
}

TEST_F(InitIdentity, SameUserForParentAndCoreChangesNothingAndOnlyWarnsAboutCapabilities) {
  ASSERT_TRUE(core.start(CoreOptions().underParent(account.uid).asUser(account.uid, account.gid)));
  // The request is made and refused (an ordinary user holds no capabilities).
  ASSERT_TRUE(core.waitForOutput("capset failed: Operation not permitted", 5s, Stream::Stdout)) << core.allOutput();
  EXPECT_EQ(consoleLevel(core.stdoutText(), "capset failed: Operation not permitted"), 50);
  EXPECT_EQ(core.procStatus("Uid"), fourTimes(account.uid));
  EXPECT_EQ(parseGroups(core.procStatus("Groups")), std::set<gid_t>{account.gid});
  stop();
}

// Threads the core lends (worker, readers), the io thread, and threads a
// plugin starts itself before and after the narrowing all end up with it.
TEST_F(InitIdentity, NarrowingAfterOpeningHoldsInEveryThread) {
  core.installPlugin(KO_WORKER_READER_PLUGIN);
  core.installPlugin(KO_THREAD_PROBE_PLUGIN, PluginFolder::Plugins, "LogPI.so");
  ASSERT_TRUE(core.start(CoreOptions().underParent(account.uid)));
  const auto late = core.workDir() / "late-thread-status";
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(late); })) << core.allOutput();
  const std::string record = readFile(late);
  EXPECT_EQ(probed(record, "CapEff"), TwoCapabilities) << record;
  EXPECT_EQ(probed(record, "CapPrm"), TwoCapabilities) << record;

  const auto threads = threadStatuses(core.pid());
  // main, io, worker, two readers, and the probe's two own threads
  EXPECT_GE(threads.size(), 7u);
  // An emulator's or a sanitizer's own thread, running before the core's
  // code, is beyond its reach; the core names it.
  const std::string console = core.stdoutText();
  for (const auto& [tid, status] : threads) {
    if (console.find("thread " + tid + " was running before the core") != std::string::npos) continue;
    EXPECT_EQ(probed(status, "Uid"), fourTimes(account.uid)) << "thread " << tid;
    EXPECT_EQ(probed(status, "CapEff"), TwoCapabilities) << "thread " << tid;
    EXPECT_EQ(probed(status, "CapPrm"), TwoCapabilities) << "thread " << tid;
    EXPECT_EQ(probed(status, "CapInh"), "0000000000000000") << "thread " << tid;
  }
  stop();
}

// A thread that blocks every signal cannot be reached; rather than run with
// it holding CAP_SYS_RAWIO the core says so and stops.
TEST_F(InitIdentity, ThreadLeftWithWiderCapabilitiesStopsTheCore) {
  core.installPlugin(KO_THREAD_PROBE_BLOCKING_PLUGIN, PluginFolder::Plugins, "LogPI.so");
  ASSERT_TRUE(core.start(CoreOptions().underParent(account.uid)));
  EXPECT_TRUE(core.exitsWith(0, 15s));
  EXPECT_EQ(consoleLevel(core.stdoutText(), "capset failed: thread "), 100) << core.allOutput();
}

// The secure bit kept every capability across the change of user; a refused
// call would leave them all, so initialisation fails.
TEST_F(InitIdentity, RefusedCapabilityCallAfterChangeOfUserFailsInitialisation) {
  if (!seccompAvailable()) GTEST_SKIP() << "no seccomp filters here";
  ASSERT_TRUE(core.start(CoreOptions().underParent(account.uid).refusingCapset()));
  EXPECT_TRUE(core.exitsWith(2));
  EXPECT_EQ(consoleLevel(core.stdoutText(), "capset failed: Operation not permitted"), 100) << core.allOutput();
  EXPECT_TRUE(core.waitForOutput("failed to initialize core\n", 2s, Stream::Stderr));
}

TEST_F(InitIdentity, RootCoreUnderRootParentKeepsAllPrivileges) {
  ASSERT_TRUE(core.start());
  ASSERT_TRUE(core.waitUntilRunning()) << core.allOutput();
  EXPECT_EQ(core.procStatus("Uid"), fourTimes(0));
  EXPECT_EQ(core.procStatus("CapEff"), ownStatus("CapEff"));
  EXPECT_EQ(core.procStatus("CapPrm"), ownStatus("CapPrm"));
  stop();
  EXPECT_EQ(core.stdoutText().find("capset"), std::string::npos);
}

TEST_F(InitIdentity, UserCoreUnderRootParentCannotBecomeRootAndFails) {
  ASSERT_TRUE(core.start(CoreOptions().asUser(account.uid, account.gid)));
  EXPECT_TRUE(core.exitsWith(2));
  EXPECT_TRUE(core.waitForOutput("setuid/gid failed: Operation not permitted", 2s, Stream::Stdout));
  EXPECT_TRUE(core.waitForOutput("failed to initialize core\n", 2s, Stream::Stderr));
}

TEST(InitChannel, DescriptorThatIsNotOpenFailsWithExitTwo) {
  CoreProcess core;
  ASSERT_TRUE(core.start(CoreOptions().arguments({"57"})));
  EXPECT_TRUE(core.exitsWith(2));
  EXPECT_TRUE(core.waitForOutput("failed to open ipc pipe", 2s, Stream::Stdout));
  EXPECT_TRUE(core.waitForOutput("failed to initialize core\n", 2s, Stream::Stderr));
}

TEST(InitStop, StopSignalDuringInitialisationWaitsForTheSignalSetAndEndsClean) {
  // The probe, bound as the logging plugin inside Init, signals the stop
  // before Run has installed the signal set.
  CoreProcess core;
  core.installPlugin(KO_STOPPING_PROBE_PLUGIN, PluginFolder::Plugins, "LogPI.so");
  ASSERT_TRUE(core.start());
  EXPECT_TRUE(core.exitsWith(0, 10s));
  EXPECT_TRUE(std::filesystem::exists(core.workDir() / "identity-at-load"));
}

}  // namespace
}  // namespace ko::test
