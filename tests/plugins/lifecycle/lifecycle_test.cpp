// Loading, opening, closing and unloading real plugins, and the threads the
// core lends them.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>

#include "plugin_tree.h"

namespace ko::test {
namespace {

using core::EventClassLive;
using core::EventTypeAlarm;

// Texts of the console lines the core printed under its own tag.
std::vector<std::string> coreMessages(const std::string& console) {
  const std::string marker = "\x1b[36m core\x1b[0m ";
  std::vector<std::string> texts;
  for (auto& line : splitLines(console)) {
    if (const auto at = line.find(marker); at != std::string::npos) texts.push_back(line.substr(at + marker.size()));
  }
  return texts;
}

bool contains(const std::vector<std::string>& all, const std::string& one) {
  return std::find(all.begin(), all.end(), one) != all.end();
}

using PluginLifecycle = PluginTreeTest;

TEST_F(PluginLifecycle, Identifier06DispatchesFirstAndTheLoggingPluginLast) {
  install(LC_ID10_PATH, "a.so");
  install(LC_ID20_PATH, "b.so");
  install(LC_ID06_PATH, "z.so");
  install(LC_LOGPI_PATH, "LogPI.so");
  makeCore();
  start();
  EXPECT_EQ(listedFiles(), (std::vector<std::string>{"z.so", "a.so", "b.so", "LogPI.so"}));

  auto alarm = core::makeEvent(EventTypeAlarm, EventClassLive, core::CoreSourceId, "door", 4);
  ASSERT_EQ(core->submitEvent(alarm), 0);
  finish();
  EXPECT_EQ(calledMatching(" OnEvent alarm"), (std::vector<std::string>{"z.so", "a.so", "b.so", "LogPI.so"}));
}

TEST_F(PluginLifecycle, SecondPluginWithAnIdentifierIsUnloadedWithoutOpening) {
  install(LC_ID12_PATH, "dupa.so");
  install(LC_ID12_PATH, "dupb.so");
  makeCore();
  StdoutCapture console(scratch("console.txt"));
  start();
  const auto messages = coreMessages(console.stop());

  EXPECT_TRUE(contains(messages, "Loaded plugin 12:dupa"));
  EXPECT_TRUE(contains(messages, "pluginId 12 already loaded from dupa.so trying to load dupb.so"));
  EXPECT_FALSE(contains(messages, "Loaded plugin 12:dupb"));
  // The logging plugin joins the list even when it is not there to load.
  EXPECT_EQ(listedFiles(), (std::vector<std::string>{"dupa.so", "LogPI.so"}));
  EXPECT_TRUE(recorded("dupb.so Load"));
  EXPECT_TRUE(recorded("dupb.so Unload"));
  EXPECT_FALSE(recorded("dupb.so Open"));
  EXPECT_TRUE(recorded("dupa.so Open"));
}

TEST_F(PluginLifecycle, FailedLoadIsLoggedAndKeptOnlyForTheInventory) {
  install(LC_LOAD3_PATH, "x.so");
  install(LC_ID10_PATH, "a.so");
  makeCore();
  StdoutCapture console(scratch("console.txt"));
  start();
  const auto messages = coreMessages(console.stop());

  EXPECT_TRUE(contains(messages, "Failed to load plugin x.so: load code 3"));
  ASSERT_EQ(core->failedPlugins.size(), 1u);
  EXPECT_EQ(core->failedPlugins[0]->fileName, "x.so");
  EXPECT_EQ(core->failedPlugins[0]->loadCode, 3);
  EXPECT_FALSE(contains(listedFiles(), "x.so"));
  finish();
  EXPECT_FALSE(recorded("x.so Unload"));
  EXPECT_FALSE(recorded("x.so Close"));
}

TEST_F(PluginLifecycle, ClosesByRankThenNameAfterTakingIdentifier08Out) {
  install(LC_ID20_PATH, "B.so");
  install(LC_ID10_PATH, "a.so");
  install(LC_RANK5_PATH, "m.so");
  install(LC_ID08_PATH, "e.so");
  install(LC_LOGPI_PATH, "LogPI.so");
  makeCore();
  start();
  core->requestStop();
  core->dispatchLoop();
  core->closePlugins();

  EXPECT_EQ(listedFiles(), (std::vector<std::string>{"m.so", "a.so", "B.so", "LogPI.so"}));
  EXPECT_EQ(calledMatching(" Close"), (std::vector<std::string>{"e.so", "m.so", "a.so", "B.so", "LogPI.so"}));
  // The 0x08 plugin is gone for good before anything else closes.
  EXPECT_LT(positionOf("e.so Unload"), positionOf("m.so Close"));
  core->unloadPlugins();
  EXPECT_EQ(calledMatching(" Unload"), (std::vector<std::string>{"e.so", "m.so", "a.so", "B.so", "LogPI.so"}));
}

TEST_F(PluginLifecycle, PhasesAreLoggedInOrder) {
  install(LC_ID10_PATH, "a.so");
  install(LC_ID06_PATH, "z.so", "protected-plugins");
  install(LC_LOGPI_PATH, "LogPI.so");
  makeCore();
  StdoutCapture console(scratch("console.txt"));
  start();
  finish();
  const auto messages = coreMessages(console.stop());

  std::vector<std::string> phases;
  for (auto& text : messages) {
    for (const char* phase : {"Loaded plugin", "Opening", "Closing", "Unloading"}) {
      if (text.rfind(phase, 0) == 0) phases.push_back(text);
    }
  }
  EXPECT_EQ(phases, (std::vector<std::string>{"Loaded plugin 10:a", "Loaded plugin 06:z", "Opening 06:z",
                                               "Opening 10:a", "Closing 10:a", "Closing 01:LogPI", "Closing 06:z",
                                               "Unloading 10:a", "Unloading 01:LogPI", "Unloading 06:z"}));
  // Each loaded plugin's records are printed under its lower-cased stem.
  std::lock_guard lock(core->logLock);
  EXPECT_EQ(core->logTags.at(0x06), "z");
  EXPECT_EQ(core->logTags.at(0x10), "a");
}

TEST_F(PluginLifecycle, PluginWithoutOpenIsStillClosed) {
  install(LC_NOOPEN_PATH, "noopen.so");
  makeCore();
  StdoutCapture console(scratch("console.txt"));
  start();
  const auto messages = coreMessages(console.stop());
  ASSERT_EQ(listedFiles(), (std::vector<std::string>{"noopen.so", "LogPI.so"}));
  EXPECT_EQ(core->plugins[0]->openCode, -102);
  // The one line that says why it never receives anything names what it lacks.
  const auto opening = std::find(messages.begin(), messages.end(), "Opening 32:noopen");
  ASSERT_NE(opening, messages.end());
  ASSERT_NE(opening + 1, messages.end());
  EXPECT_EQ(opening[1], "Plugin 32:noopen is not opened: it does not export \"Open\", a mandatory entry point");
  finish();
  EXPECT_TRUE(recorded("noopen.so Close"));
  EXPECT_FALSE(recorded("noopen.so Open"));
}

using PluginThreads = PluginTreeTest;

TEST_F(PluginThreads, WorkerRunsOnItsOwnThreadBeforeOpenAndReaderAfterOpen) {
  install(LC_THREADS_PATH, "w.so");
  install(LC_LOGPI_PATH, "LogPI.so");
  makeCore();
  core->bindLogPlugin();
  core->loadPlugins();
  ASSERT_TRUE(waitUntil([&] { return recorded("w.so IOCTL1 begin"); }));
  EXPECT_FALSE(recorded("w.so Open"));
  const long mainThread = gettid();
  EXPECT_NE(threadOf("w.so IOCTL1 begin"), mainThread);

  core->openPlugins();
  EXPECT_EQ(threadOf("w.so Open"), mainThread);
  ASSERT_TRUE(waitUntil([&] { return recorded("w.so Read second=null one=1 length=0"); }));
  EXPECT_GT(positionOf("w.so Read second=null one=1 length=0"), positionOf("w.so Open"));
  const long reader = threadOf("w.so Read second=null one=1 length=0");
  EXPECT_NE(reader, mainThread);
  EXPECT_NE(reader, threadOf("w.so IOCTL1 begin"));
  // Lent threads are the plugin's to name; the core leaves them as started.
  EXPECT_EQ(threadName(reader), threadName(mainThread));
  EXPECT_EQ(threadName(threadOf("w.so IOCTL1 begin")), threadName(mainThread));

  // The logging plugin asked for a worker and exports "IOCTL", yet gets none.
  EXPECT_FALSE(core->logPlugin->workerThread.joinable());
  EXPECT_FALSE(recorded("LogPI.so IOCTL1 begin"));
  EXPECT_FALSE(recorded("w.so IOCTL1 end"));
  EXPECT_FALSE(recorded("w.so Read end"));

  core->requestStop();
  core->dispatchLoop();
  core->closePlugins();
  ASSERT_TRUE(waitUntil([&] { return recorded("w.so IOCTL1 end") && recorded("w.so Read end"); }));
  EXPECT_GT(positionOf("w.so IOCTL1 end"), positionOf("w.so Close"));
  EXPECT_GT(positionOf("w.so Read end"), positionOf("w.so Close"));

  auto& plugin = *core->plugins[0];
  core->unloadPlugins();
  EXPECT_FALSE(plugin.workerThread.joinable());
  EXPECT_FALSE(plugin.readerThread.joinable());
  EXPECT_GT(positionOf("w.so Unload"), positionOf("w.so IOCTL1 end"));
  EXPECT_GT(positionOf("w.so Unload"), positionOf("w.so Read end"));
  EXPECT_FALSE(recorded("w.so IOCTL1 timeout"));
  EXPECT_FALSE(recorded("w.so Read timeout"));
}

TEST_F(PluginThreads, NoThreadsWithoutTheEntryPointsOrWithoutOpen) {
  install(LC_NOTHREADS_PATH, "n.so");
  install(LC_NOOPEN_PATH, "noopen.so");
  makeCore();
  start();
  // The plugin without "Open" still gets its worker, but no reader.
  ASSERT_TRUE(waitUntil([&] { return recorded("noopen.so IOCTL1 begin"); }));
  for (auto& plugin : core->plugins) {
    if (plugin->fileName != "noopen.so") {
      EXPECT_FALSE(plugin->workerThread.joinable());
      EXPECT_FALSE(plugin->readerThread.joinable());
    } else {
      EXPECT_TRUE(plugin->workerThread.joinable());
      EXPECT_FALSE(plugin->readerThread.joinable());
    }
  }
  finish();
  EXPECT_TRUE(recorded("noopen.so IOCTL1 end"));
  EXPECT_FALSE(recorded("noopen.so Read second=null one=1 length=0"));
}

// A thread that cannot be created leaves the plugin without it; the core
// logs that and goes on instead of ending.
TEST_F(PluginThreads, ThreadThatCannotStartIsLoggedAndSkipped) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to switch to a user with a thread limit";
  install(LC_THREADS_PATH, "w.so");
  const auto console = scratch("console.txt");
  const int status = runInChild([&] {
    StdoutCapture capture(console);
    fs::permissions(root(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    const rlimit one{1, 1};
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0 ||
        setrlimit(RLIMIT_NPROC, &one) != 0) {
      return 3;
    }
    makeCore();
    core->loadPlugins();
    core->openPlugins();
    if (core->plugins.empty() || !core->plugins[0]->loaded()) return 4;
    const auto& plugin = *core->plugins[0];
    return plugin.workerThread.joinable() || plugin.readerThread.joinable() ? 1 : 0;
  });
  ASSERT_EQ(status, 0);
  const auto messages = coreMessages(readFile(console));
  EXPECT_TRUE(contains(messages, "Failed to start worker thread for w: Resource temporarily unavailable"));
  EXPECT_TRUE(contains(messages, "Failed to start reader thread for w: Resource temporarily unavailable"));
}

// IPC packets reach a plugin from the io thread until it is unloaded; none
// may still arrive while its "Unload" runs.
using PluginUnloadConcurrency = PluginTreeTest;

TEST_F(PluginUnloadConcurrency, IpcPacketsNeverOverlapUnload) {
  install(LC_IPC_PATH, "ipc.so");
  makeCore();
  core->consoleQuiet = true;
  start();
  std::atomic<bool> done{false};
  std::atomic<int> delivered{0};
  std::thread router([&] {
    const char packet[16] = {};
    while (!done.load()) {
      for (const auto& plugin : core->pluginSnapshot()) plugin->DeliverIpcPacket(sizeof packet, packet);
      delivered.fetch_add(1);
    }
  });
  const bool routing = waitUntil([&] { return delivered.load() > 100; });
  finish();
  done = true;
  router.join();
  EXPECT_TRUE(routing);
  EXPECT_TRUE(recorded("ipc.so Unload"));
  EXPECT_FALSE(recorded("ipc.so OnIpcResult during Unload"));
}

// No call is in a plugin while its "Close" runs: an IPC packet admitted
// before is waited for up to the stuck-call grace.
using PluginCloseConcurrency = PluginTreeTest;

TEST_F(PluginCloseConcurrency, IpcCallAdmittedBeforeCloseEndsBeforeCloseBegins) {
  install(LC_IPC_SLOW_PATH, "slow.so");
  install(LC_RANK5_PATH, "m.so");  // closes first
  makeCore();
  core->consoleQuiet = true;
  start();
  const auto slow = *std::find_if(core->plugins.begin(), core->plugins.end(),
                                  [](const auto& plugin) { return plugin->fileName == "slow.so"; });
  std::thread io([slow] {
    const char packet[16] = {};
    slow->DeliverIpcPacket(sizeof packet, packet);
  });
  const bool admitted = waitUntil([&] { return recorded("slow.so OnIpcResult begin"); });
  finish();
  io.join();
  ASSERT_TRUE(admitted);
  EXPECT_LT(positionOf("m.so Close"), positionOf("slow.so OnIpcResult end"));
  EXPECT_LT(positionOf("slow.so OnIpcResult end"), positionOf("slow.so Close"));
  EXPECT_TRUE(recorded("slow.so Unload"));
}

TEST_F(PluginCloseConcurrency, IpcCallThatNeverReturnsLeavesThePluginLoadedWithoutClose) {
  install(LC_IPC_STUCK_PATH, "stuck.so");
  const auto console = scratch("console.txt");
  const int status = runInChild([&] {
    StdoutCapture capture(console);
    makeCore();
    start();
    const auto stuck = core->plugins.at(0);
    std::thread([stuck] {
      const char packet[16] = {};
      stuck->DeliverIpcPacket(sizeof packet, packet);
    }).detach();
    if (!waitUntil([&] { return recorded("stuck.so OnIpcResult begin"); })) return 3;
    finish();
    return core->settle() ? 1 : 0;
  });
  ASSERT_EQ(status, 0);
  EXPECT_TRUE(contains(coreMessages(readFile(console)), "Plugin stuck still running 3s before Close; left loaded"));
  EXPECT_FALSE(recorded("stuck.so Close"));
  EXPECT_FALSE(recorded("stuck.so Unload"));
}

// --- Capabilities after opening --------------------------------------------

// The effective and permitted sets of this process, from /proc.
std::pair<std::string, std::string> capabilitySets() {
  std::ifstream status("/proc/self/status");
  std::string effective, permitted;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("CapEff:", 0) == 0) effective = line.substr(line.find_first_not_of(" \t", 7));
    if (line.rfind("CapPrm:", 0) == 0) permitted = line.substr(line.find_first_not_of(" \t", 7));
  }
  return {effective, permitted};
}

using PluginTrust = PluginTreeTest;

// The level of the console line holding `text`, told by its colour; -1 when
// there is none.
int levelOf(const std::string& console, const std::string& text) {
  for (auto& line : splitLines(console)) {
    if (line.find(text) == std::string::npos) continue;
    if (line.rfind("\x1b[38;5;196m", 0) == 0) return 75;
    if (line.rfind("\x1b[38;5;227m", 0) == 0) return 50;
    return 0;
  }
  return -1;
}

std::vector<std::string> failedFiles(const core::DvrCore& core) {
  std::vector<std::string> names;
  for (const auto& plugin : core.failedPlugins) names.push_back(plugin->fileName + ": " + plugin->errorText);
  std::sort(names.begin(), names.end());
  return names;
}

constexpr uid_t NobodyUid = 65534;

// Each way another user could have put code in front of the core is refused
// before the library is opened, named at level 75 with its reason and kept
// for the inventory like a failed load; trusted files beside them, one
// reached through a link, load. The tree sits under the root-owned sticky
// temporary directory, an ancestor every file here passes.
TEST_F(PluginTrust, FilesAnotherUserCouldWriteAreRefusedWithTheirReason) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
  const fs::path bin = root() / "bin";
  install(LC_ID10_PATH, "good.so");
  install(LC_ID20_PATH, "open.so");
  fs::permissions(bin / "plugins" / "open.so", fs::perms(0666));
  install(LC_ID12_PATH, "group.so");
  fs::permissions(bin / "plugins" / "group.so", fs::perms(0775));
  install(LC_ID06_PATH, "prot.so", "protected-plugins");
  fs::permissions(bin / "protected-plugins", fs::perms(0777));
  install(LC_LOGPI_PATH, "LogPI.so");
  fs::permissions(bin / "plugins" / "LogPI.so", fs::perms(0646));

  // Trees outside the program directory, reached through links.
  const auto place = [&](const fs::path& directory, const char* built) {
    fs::create_directories(directory);
    fs::copy_file(built, directory / "lib.so");
  };
  place(root() / "trusted", LC_ID08_PATH);
  fs::create_symlink(root() / "trusted" / "lib.so", bin / "plugins" / "alias.so");
  place(root() / "nobodys", LC_RANK5_PATH);
  ASSERT_EQ(chown((root() / "nobodys").c_str(), NobodyUid, NobodyUid), 0);
  fs::create_symlink(root() / "nobodys" / "lib.so", bin / "plugins" / "intonobodys.so");
  place(root() / "sticky", LC_LOAD3_PATH);
  fs::permissions(root() / "sticky", fs::perms(01777));
  ASSERT_EQ(chown((root() / "sticky").c_str(), NobodyUid, NobodyUid), 0);
  fs::create_symlink(root() / "sticky" / "lib.so", bin / "plugins" / "sticky.so");
  place(root() / "deep" / "a" / "b", LC_THREADS_PATH);
  fs::permissions(root() / "deep", fs::perms(0777));
  fs::create_symlink(root() / "deep" / "a" / "b" / "lib.so", bin / "plugins" / "deep.so");
  fs::create_symlink(root() / "trusted" / "lib.so", bin / "plugins" / "nobodyslink.so");
  ASSERT_EQ(lchown((bin / "plugins" / "nobodyslink.so").c_str(), NobodyUid, NobodyUid), 0);

  makeCore();
  StdoutCapture console(scratch("console.txt"));
  start();
  const std::string text = console.stop();

  EXPECT_EQ(listedFiles(), (std::vector<std::string>{"alias.so", "good.so"}));
  const std::string plugins = (bin / "plugins").string();
  const std::string sticky = (root() / "sticky").string();
  const std::vector<std::pair<std::string, std::string>> refused = {
      {plugins + "/open.so", "writable by others"},
      {plugins + "/group.so", "writable by group"},
      {(bin / "protected-plugins" / "prot.so").string(),
       "directory " + (bin / "protected-plugins").string() + " writable by others"},
      {plugins + "/LogPI.so", "writable by others"},
      {plugins + "/intonobodys.so", "directory " + (root() / "nobodys").string() + " owned by uid 65534"},
      {plugins + "/sticky.so", "directory " + sticky + " owned by uid 65534"},
      {plugins + "/deep.so", "directory " + (root() / "deep").string() + " writable by others"},
      {plugins + "/nobodyslink.so", "link " + plugins + "/nobodyslink.so owned by uid 65534"},
  };
  std::vector<std::string> expected;
  for (const auto& [path, reason] : refused) {
    EXPECT_EQ(levelOf(text, "plugin " + path + " refused: " + reason), 75) << path << "\n" << text;
    expected.push_back(path.substr(path.rfind('/') + 1) + ": " + reason);
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(failedFiles(*core), expected);
  for (const auto& plugin : core->failedPlugins) EXPECT_EQ(plugin->loadCode, core::RefusedLoadCode);
  // Only the two trusted files ran any code.
  EXPECT_EQ(calledMatching(" Load"), (std::vector<std::string>{"alias.so", "good.so"}));
}

// dlopen hands back the library already open for a link, a hard link or a
// versioned name: the second name is refused without a call, so the one
// instance sees each entry point and each event once.
TEST_F(PluginTrust, LibraryReachedUnderSecondNamesIsLoadedOnce) {
  const fs::path plugins = root() / "bin" / "plugins";
  install(LC_ID10_PATH, "Recorder-1.2.so");
  fs::create_symlink("Recorder-1.2.so", plugins / "Recorder.so");
  fs::create_hard_link(plugins / "Recorder-1.2.so", plugins / "Copy.so");
  makeCore();
  StdoutCapture console(scratch("console.txt"));
  start();
  auto alarm = core::makeEvent(EventTypeAlarm, EventClassLive, core::CoreSourceId, "door", 4);
  ASSERT_EQ(core->submitEvent(alarm), 0);
  finish();
  const std::string text = console.stop();

  EXPECT_EQ(listedFiles(), (std::vector<std::string>{"Copy.so", "LogPI.so"}));
  EXPECT_EQ(failedFiles(*core), (std::vector<std::string>{"Recorder-1.2.so: same library as Copy.so",
                                                           "Recorder.so: same library as Copy.so"}));
  EXPECT_EQ(levelOf(text, "plugin " + (plugins / "Recorder.so").string() + " refused: same library as Copy.so"), 75)
      << text;
  for (const char* call : {" Load", " Open", " Close", " Unload", " OnEvent alarm"}) {
    EXPECT_EQ(calledMatching(call), std::vector<std::string>{"Copy.so"}) << call;
  }
}

TEST_F(PluginTrust, LoggingPluginReachedUnderASecondNameIsBoundOnce) {
  const fs::path plugins = root() / "bin" / "plugins";
  install(LC_LOGPI_PATH, "LogPI.so");
  fs::create_symlink("LogPI.so", plugins / "Logger.so");
  makeCore();
  start();
  auto alarm = core::makeEvent(EventTypeAlarm, EventClassLive, core::CoreSourceId, "door", 4);
  ASSERT_EQ(core->submitEvent(alarm), 0);
  finish();

  EXPECT_EQ(listedFiles(), std::vector<std::string>{"LogPI.so"});
  EXPECT_EQ(failedFiles(*core), std::vector<std::string>{"Logger.so: same library as LogPI.so"});
  for (const char* call : {" Load", " Open", " Close", " Unload", " OnEvent alarm"}) {
    EXPECT_EQ(calledMatching(call), std::vector<std::string>{"LogPI.so"}) << call;
  }
}

using PluginCapabilities = PluginTreeTest;

TEST_F(PluginCapabilities, CoreNotRunningAsRootKeepsOnlyNetworkCapabilities) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to switch to another user in a child";
  const int status = runInChild([&] {
    if (prctl(PR_SET_KEEPCAPS, 1) != 0 || setresgid(65534, 65534, 65534) != 0 ||
        setresuid(65534, 65534, 65534) != 0) {
      return 3;
    }
    makeCore();
    core->openPlugins();
    const auto [effective, permitted] = capabilitySets();
    return effective == "0000000000003000" && permitted == "0000000000003000" ? 0 : 1;
  });
  EXPECT_EQ(status, 0);
}

TEST_F(PluginCapabilities, FailedNarrowingIsLoggedAndTheCoreGoesOn) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to switch to another user in a child";
  const auto console = scratch("console.txt");
  const int status = runInChild([&] {
    StdoutCapture capture(console);
    // Without kept capabilities the new user has none to narrow to.
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) return 3;
    makeCore();
    core->openPlugins();
    return 0;
  });
  ASSERT_EQ(status, 0);
  EXPECT_TRUE(contains(coreMessages(readFile(console)), "capset failed: Operation not permitted"));
}

TEST_F(PluginCapabilities, RootKeepsEveryCapability) {
  if (getuid() != 0) GTEST_SKIP() << "runs as root only";
  const auto before = capabilitySets();
  makeCore();
  core->openPlugins();
  EXPECT_EQ(capabilitySets(), before);
}

}  // namespace
}  // namespace ko::test
