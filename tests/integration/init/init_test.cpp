// Initialisation against the real process: the identity and capabilities the
// core ends up with for each parent/core pairing, and the IPC descriptor.
// The identity cases need root (CI runs as root) and a test user with
// supplementary groups, which they create once.
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <vector>
#include <filesystem>
#include <sstream>

#include "integration/harness/core_process.h"
#include "ipc/ipc_packet.h"

namespace ko::test {
namespace {

constexpr const char* TestUser = "kocoretest";
constexpr const char* ThreeCapabilities = "0000000000023000";
constexpr const char* TwoCapabilities = "0000000000003000";
constexpr const char* NoCapabilities = "0000000000000000";
#if defined(KO_SANITIZER_BUILD)
constexpr bool SanitizerBuild = true;
#else
constexpr bool SanitizerBuild = false;
#endif

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

// Console lines at level 75 or 100 about capabilities or threads, other than
// those naming a thread the core leaves out of its narrowing as not its own.
std::vector<std::string> narrowingErrors(const std::string& console) {
  std::vector<std::string> found;
  std::istringstream lines(console);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find(" not the core: left out of the narrowing") != std::string::npos) continue;
    const bool aboutNarrowing = line.find("capset") != std::string::npos || line.find("thread ") != std::string::npos;
    if (aboutNarrowing && consoleLevel(line, line) >= 75) found.push_back(line);
  }
  return found;
}

// Real-time signals (glibc's own two aside) the process still catches, or
// that are pending anywhere in it.
uint64_t realTimeSignalsLeft(pid_t pid) {
  const std::string processStatus = readFile("/proc/" + std::to_string(pid) + "/status");
  const uint64_t realTime = ~uint64_t{0} << (SIGRTMIN - 1);
  const auto field = [](const std::string& status, const char* name) {
    const std::string text = probed(status, name);
    return text.empty() ? uint64_t{0} : std::stoull(text, nullptr, 16);
  };
  uint64_t left = (field(processStatus, "SigCgt") | field(processStatus, "ShdPnd")) & realTime;
  for (const auto& [tid, status] : threadStatuses(pid)) left |= field(status, "SigPnd") & realTime;
  return left;
}

// The plugin that records its threads' secure bits and starts "./child-probe"
// after the narrowing; the program is installed set-user-ID root or plain.
void installChildProbe(CoreProcess& core, bool setUserIdRoot) {
  core.installPlugin(KO_CHILD_PROBE_PLUGIN);
  const auto program = core.workDir() / "child-probe";
  std::filesystem::copy_file(KO_CHILD_PROBE, program);
  std::filesystem::permissions(program, std::filesystem::perms(setUserIdRoot ? 04755 : 0755));
}

// The secure bit that kept the capabilities across the change of user is
// gone before any plugin runs: neither the plugins' threads nor the programs
// they start inherit it, so a set-user-ID-root helper that drops root the
// usual way keeps nothing.
TEST_F(InitIdentity, RootCoreUnderUserParentBecomesThatUserWithOnlyThreeCapabilitiesAndNoSecureBits) {
  // The probe, bound as the logging plugin at the end of initialisation,
  // records what initialisation left (later steps narrow it further).
  core.installPlugin(KO_IDENTITY_PROBE_PLUGIN, PluginFolder::Plugins, "LogPI.so");
  installChildProbe(core, true);
  ASSERT_TRUE(core.start(CoreOptions().underParent(account.uid)));
  const auto probe = core.workDir() / "identity-at-load";
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(probe); })) << core.allOutput();
  const std::string record = readFile(probe);
  EXPECT_EQ(probed(record, "Uid"), fourTimes(account.uid)) << record;
  EXPECT_EQ(probed(record, "Gid"), fourTimes(account.gid)) << record;
  EXPECT_EQ(parseGroups(probed(record, "Groups")), account.groups) << record;
  EXPECT_EQ(probed(record, "CapEff"), ThreeCapabilities) << record;
  EXPECT_EQ(probed(record, "CapPrm"), ThreeCapabilities) << record;
  EXPECT_EQ(probed(record, "CapInh"), NoCapabilities) << record;

  const auto child = core.workDir() / "child-status";
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(child); })) << core.allOutput();
  for (const char* where : {"open", "worker", "own"}) {
    const auto bits = core.workDir() / (std::string("securebits-") + where);
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(bits); })) << where;
    EXPECT_EQ(readFile(bits), "0\n") << where;
  }
  const std::string program = readFile(child);
  EXPECT_EQ(probed(program, "Uid"), fourTimes(account.uid)) << program;
  EXPECT_EQ(probed(program, "Securebits"), "0") << program;
  for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb"}) {
    EXPECT_EQ(probed(program, set), NoCapabilities) << set << "\n" << program;
  }
  stop();
}

// A thread that blocks every signal (glibc's helper for thread-notified
// timers) holds nothing here, so nothing is signalled or waited for.
TEST_F(InitIdentity, SameUserForParentAndCoreChangesNothingAndOnlyWarnsAboutCapabilities) {
  if (KO_EMULATED_BUILD) GTEST_SKIP() << "qemu-user holds a host handler and mask for every signal: /proc shows its own, not the core's";
  core.installPlugin(KO_THREAD_PROBE_BLOCKING_PLUGIN, PluginFolder::Plugins, "LogPI.so");
  ASSERT_TRUE(core.start(CoreOptions().underParent(account.uid).asUser(account.uid, account.gid)));
  // Well within the five seconds a thread that does not answer is waited for.
  ASSERT_TRUE(core.waitUntilRunning(4000ms)) << core.allOutput();
  // The request is made and refused (an ordinary user holds no capabilities).
  EXPECT_EQ(consoleLevel(core.stdoutText(), "capset failed: Operation not permitted"), 50) << core.allOutput();
  EXPECT_EQ(narrowingErrors(core.stdoutText()), std::vector<std::string>{});
  EXPECT_EQ(realTimeSignalsLeft(core.pid()), 0u);
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
  EXPECT_GE(threads.size(), 7u) << core.allOutput();
  // An emulator's thread, running before the core's code, or in a
  // sanitizer build the sanitizer's own, is left out and named; a native
  // build without sanitizers leaves out nothing.
  const std::string console = core.stdoutText();
  for (const auto& [tid, status] : threads) {
    const std::string named = "thread " + tid + " (";
    if (consoleLevel(console, named) == 75 && console.find(" not the core: left out") != std::string::npos) {
      EXPECT_TRUE(SanitizerBuild || KO_EMULATED_BUILD) << "thread " << tid << " left out:\n" << console;
      continue;
    }
    EXPECT_EQ(probed(status, "Uid"), fourTimes(account.uid)) << "thread " << tid;
    EXPECT_EQ(probed(status, "CapEff"), TwoCapabilities) << "thread " << tid << "\n" << console;
    EXPECT_EQ(probed(status, "CapPrm"), TwoCapabilities) << "thread " << tid;
    EXPECT_EQ(probed(status, "CapInh"), "0000000000000000") << "thread " << tid;
  }
  stop();
}

// A thread that blocks every signal (glibc's helper for thread-notified
// timers) cannot be reached; rather than run with it holding CAP_SYS_RAWIO
// (which every notification thread would inherit) the core says which thread
// and why, and stops, without waiting for an answer that cannot come.
TEST_F(InitIdentity, ThreadThatBlocksTheSignalWithWiderCapabilitiesStopsTheCoreAtOnce) {
  if (KO_EMULATED_BUILD) GTEST_SKIP() << "qemu-user holds a host handler and mask for every signal: /proc shows its own, not the core's";
  core.installPlugin(KO_THREAD_PROBE_BLOCKING_PLUGIN, PluginFolder::Plugins, "LogPI.so");
  ASSERT_TRUE(core.start(CoreOptions().underParent(account.uid)));
  // Well within the five seconds a thread that does not answer is waited for.
  EXPECT_TRUE(core.exitsWith(0, 4000ms));
  const std::string console = core.stdoutText();
  std::smatch line;
  ASSERT_TRUE(std::regex_search(console, line,
                                std::regex(R"(capset failed: thread [0-9]+ \([^)]+\) blocks signal [0-9]+ and still )"
                                           R"(holds capabilities 23000)")))
      << console;
  EXPECT_EQ(consoleLevel(console, line.str()), 100) << console;
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

// A secure bit that cannot be cleared would reach every program the core
// starts, so initialisation fails.
TEST_F(InitIdentity, SecureBitThatCannotBeClearedFailsInitialisation) {
  if (!seccompAvailable()) GTEST_SKIP() << "no seccomp filters here";
  ASSERT_TRUE(core.start(CoreOptions().underParent(account.uid).refusingSecureBitsClear()));
  EXPECT_TRUE(core.exitsWith(2));
  EXPECT_EQ(consoleLevel(core.stdoutText(), "securebits failed: Operation not permitted"), 100) << core.allOutput();
}

// Without any change of user, the capabilities read back decide: a core
// given more by file capabilities that cannot narrow them does not go on.
TEST_F(InitIdentity, RefusedCapabilityCallLeavingFileCapabilitiesFailsInitialisationWithoutChangeOfUser) {
  if (!seccompAvailable()) GTEST_SKIP() << "no seccomp filters here";
  if (KO_EMULATED_BUILD) GTEST_SKIP() << "qemu-user, which runs this cross build, ignores file capabilities";
  // CAP_NET_ADMIN, CAP_NET_RAW, CAP_SYS_RAWIO and CAP_SYS_ADMIN, permitted
  // and effective.
  vfs_cap_data granted{};
  granted.magic_etc = VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE;
  granted.data[0].permitted = 0x223000;
  const std::string path = (core.binDir() / "dvrcore").string();
  ASSERT_EQ(::setxattr(path.c_str(), "security.capability", &granted, sizeof granted, 0), 0) << std::strerror(errno);
  ASSERT_TRUE(core.start(CoreOptions().underParent(account.uid).asUser(account.uid, account.gid).refusingCapset()));
  EXPECT_TRUE(core.exitsWith(2));
  EXPECT_EQ(consoleLevel(core.stdoutText(), "capset failed: Operation not permitted"), 100) << core.allOutput();
}

TEST_F(InitIdentity, RootCoreUnderRootParentKeepsAllPrivilegesButNoSecureBit) {
  installChildProbe(core, false);
  ASSERT_TRUE(core.start());
  ASSERT_TRUE(core.waitUntilRunning()) << core.allOutput();
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(core.workDir() / "securebits-open"); }));
  EXPECT_EQ(readFile(core.workDir() / "securebits-open"), "0\n");
  EXPECT_EQ(core.procStatus("Uid"), fourTimes(0));
  EXPECT_EQ(core.procStatus("CapEff"), ownStatus("CapEff"));
  EXPECT_EQ(core.procStatus("CapPrm"), ownStatus("CapPrm"));
  stop();
  EXPECT_EQ(core.stdoutText().find("capset"), std::string::npos);
}

// Started by the parent's user, a set-user-ID-root core has the parent's
// real uid but effective and saved uid 0: it takes on every id of the
// parent, so the programs it starts are that user's and hold nothing.
TEST_F(InitIdentity, SetUserIdRootCoreStartedByTheParentsUserTakesEveryIdOfTheParent) {
  if (KO_EMULATED_BUILD) GTEST_SKIP() << "qemu-user, which runs this cross build, ignores the set-user-ID bit";
  std::filesystem::permissions(core.binDir() / "dvrcore", std::filesystem::perms::set_uid,
                               std::filesystem::perm_options::add);
  installChildProbe(core, false);
  ASSERT_TRUE(core.start(CoreOptions().underParent(account.uid).asUser(account.uid, account.gid)));
  ASSERT_TRUE(core.waitUntilRunning()) << core.allOutput();
  // Real, effective, saved and filesystem ids.
  EXPECT_EQ(core.procStatus("Uid"), fourTimes(account.uid));
  EXPECT_EQ(core.procStatus("Gid"), fourTimes(account.gid));
  EXPECT_EQ(parseGroups(core.procStatus("Groups")), account.groups);
  const std::string console = core.stdoutText();
  for (const auto& [tid, status] : threadStatuses(core.pid())) {
    if (consoleLevel(console, "thread " + tid + " (") == 75) continue;  // named as not the core's
    EXPECT_EQ(probed(status, "CapEff"), TwoCapabilities) << "thread " << tid << "\n" << console;
    EXPECT_EQ(probed(status, "CapPrm"), TwoCapabilities) << "thread " << tid;
  }
  const auto child = core.workDir() / "child-status";
  ASSERT_TRUE(eventually([&] { return std::filesystem::exists(child); })) << core.allOutput();
  const std::string program = readFile(child);
  EXPECT_EQ(probed(program, "StartedUid"), fourTimes(account.uid)) << program;
  for (const char* set : {"StartedCapInh", "StartedCapPrm", "StartedCapEff", "StartedCapAmb"}) {
    EXPECT_EQ(probed(program, set), NoCapabilities) << set << "\n" << program;
  }
  stop();
}

// Started set-user-ID root by a user whose own process has gone, the core
// is adopted by a root process: taking that parent for its starter would make
// it root with every capability. It refuses before any plugin is opened.
TEST_F(InitIdentity, SetUserIdRootCoreAdoptedByARootProcessNeverTakesRoot) {
  if (KO_EMULATED_BUILD) GTEST_SKIP() << "qemu-user, which runs this cross build, ignores the set-user-ID bit";
  std::filesystem::permissions(core.binDir() / "dvrcore", std::filesystem::perms::set_uid,
                               std::filesystem::perm_options::add);
  core.installPlugin(KO_IDENTITY_PROBE_PLUGIN, PluginFolder::Plugins, "LogPI.so");
  ASSERT_TRUE(core.start(CoreOptions().orphanedUnderRootSubreaper().asUser(account.uid, account.gid)));
  EXPECT_TRUE(core.exitsWith(2)) << core.allOutput();
  EXPECT_TRUE(core.waitForOutput("setuid/gid failed: Operation not permitted", 2s, Stream::Stdout))
      << core.allOutput();
  EXPECT_FALSE(std::filesystem::exists(core.workDir() / "identity-at-load")) << readFile(core.workDir() / "identity-at-load");
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

// Descriptors numbered 3 and up that a program started by a plugin holds,
// as "ls -l /proc/self/fd" lists them, other than the listing's own
// directory.
std::vector<std::string> inheritedDescriptors(const std::string& listing) {
  std::vector<std::string> held;
  std::istringstream lines(listing);
  std::string line;
  while (std::getline(lines, line)) {
    std::smatch entry;
    if (!std::regex_search(line, entry, std::regex(R"(([0-9]+) -> (.*)$)"))) continue;
    if (std::stoi(entry[1]) < 3 || std::regex_match(entry[2].str(), std::regex("/proc/[0-9]+/fd"))) continue;
    held.push_back(entry[1].str() + " -> " + entry[2].str());
  }
  return held;
}

// Neither the IPC socket nor any other descriptor of the core reaches a
// program a plugin starts, whether from "Open" during initialisation (the
// logging plugin), from "Open" of the run or from an event.
TEST(InitChannel, ProgramsStartedByPluginsInheritNoDescriptorOfTheCore) {
  CoreProcess core;
  core.installPlugin(KO_FD_PROBE_LOG_PLUGIN, PluginFolder::Plugins, "LogPI.so");
  core.installPlugin(KO_FD_PROBE_PLUGIN);
  ASSERT_TRUE(core.start());
  for (const char* file : {"fds-open-log", "fds-open-plugin", "fds-event-plugin", "fds-event-log"}) {
    const auto listing = core.workDir() / file;
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(listing); })) << file << "\n" << core.allOutput();
    const std::string text = readFile(listing);
    EXPECT_NE(text.find(" 2 -> "), std::string::npos) << file << "\n" << text;
    EXPECT_EQ(inheritedDescriptors(text), std::vector<std::string>{}) << file << "\n" << text;
  }
  ASSERT_TRUE(core.sendPacket(core::buildIpcPacket(0, core::IpcCommandStop, 0)));
  EXPECT_TRUE(core.exitsWith(0));
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
