// The configuration files with the real core process: started in a fresh
// working directory with one end of a socket pair as its parent channel,
// stopped with SIGTERM. What it reads from and writes to core.xml and
// product.xml, what it prints, and the documents a real plugin receives are
// checked from outside.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../../unit/config/temp_dir.h"
#include "ko/core/event.hpp"

namespace ko::core {
namespace {

using ko::core::testing::readFile;
using ko::core::testing::writeFile;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Polls `done` until it holds or the deadline passes.
bool waitFor(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(20)) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

class CoreProcess {
 public:
  CoreProcess(const fs::path& program, const fs::path& workDir) : console_(workDir / "console.log") {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) throw std::runtime_error("socketpair");
    pid_ = ::fork();
    if (pid_ == 0) {
      const int out = ::open(console_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0 || ::chdir(workDir.c_str()) != 0) ::_exit(120);
      const int channel = ::dup(pair[1]);  // without close-on-exec
      const std::string fd = std::to_string(channel);
      ::execl(program.c_str(), "dvrcore", fd.c_str(), static_cast<char*>(nullptr));
      ::_exit(121);
    }
    ::close(pair[1]);
    parent_ = pair[0];
  }
  ~CoreProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (parent_ >= 0) ::close(parent_);
  }
  CoreProcess(const CoreProcess&) = delete;
  CoreProcess& operator=(const CoreProcess&) = delete;

  // SIGTERM, then the exit status once the core has shut down (-1 when it
  // did not within the limit or died of a signal).
  int stop() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    if (!waitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; })) return -1;
    exited_ = true;
    if (!WIFEXITED(status)) ADD_FAILURE() << "core ended by signal " << WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string console() const { return readFile(console_); }

 private:
  fs::path console_;
  pid_t pid_ = -1;
  int parent_ = -1;
  bool exited_ = false;
};

class ConfigEndToEnd : public ::testing::Test {
 protected:
  // Starts the core, waits until it has replaced core.xml, stops it, and
  // returns the file.
  std::string runOnce() {
    const std::string before = fs::exists("core.xml") ? readFile("core.xml") : std::string();
    CoreProcess core(DVRCORE_PATH, dir_.path());
    const bool written = waitFor([&] {
      if (!fs::exists("core.xml")) return false;
      const std::string now = readFile("core.xml");
      return now != before && now.ends_with("</Kora>\n");
    });
    console_ = core.console();
    EXPECT_TRUE(written) << console_;
    EXPECT_EQ(core.stop(), 0) << core.console();
    console_ = core.console();
    return readFile("core.xml");
  }

  testing::TempWorkDir dir_;
  std::string console_;
};

TEST_F(ConfigEndToEnd, MissingCoreXmlIsReportedDefaultedAndWritten) {
  const std::string file = runOnce();
  EXPECT_NE(console_.find("Failed to open core.xml - No such file or directory\nConfig defaulted"), std::string::npos)
      << console_;
  EXPECT_TRUE(file.starts_with("<?xml?>\n<Kora>\n\t<Memory ID=\"-2147483648\" Throttling=\"1\"/>\n"
                               "\t<Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">\n"
                               "\t\t<Module ID=\"-2147483648\" Name=\"Core\" Version=\"26.2.3.0\">\n"
                               "\t\t\t<Plugin ID=\"-2147483648\" Filename=\"dvrcore\" Opened=\"1\" LoadTimeMs=\"0\" "
                               "OpenTimeMs=\"0\" OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>\n"))
      << file;
  EXPECT_TRUE(file.ends_with("\t</Modules>\n</Kora>\n")) << file;
  EXPECT_EQ(file.find("<Product"), std::string::npos);
  EXPECT_FALSE(fs::exists("core.xml.pending"));
}

TEST_F(ConfigEndToEnd, SettingsSurviveRestartAndProductVersionIsShown) {
  writeFile("product.xml", "<?xml?><Root><Product Family=\"Fam\" Version=\"7.7\"/></Root>");
  writeFile("core.xml", "<?xml?><Kora><Memory Throttling=\"FALSE\"/><Modules><Module>"
                        "<Plugin ID=\"-2147483648\" LogLevel=\"250\"/></Module></Modules></Kora>");
  std::string file = runOnce();
  EXPECT_NE(file.find("<Memory ID=\"-2147483648\" Throttling=\"0\"/>"), std::string::npos) << file;
  EXPECT_NE(file.find("Name=\"Core\" Version=\"7.7\""), std::string::npos) << file;
  EXPECT_NE(file.find("Filename=\"dvrcore\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"0\" "
                      "LogLevel=\"100\""),
            std::string::npos)
      << file;

  // The second start reads what the first one wrote.
  fs::remove("core.xml.pending");
  writeFile("core.xml", file + "<!-- not yet rewritten -->\n");
  file = runOnce();
  EXPECT_NE(file.find("Throttling=\"0\""), std::string::npos) << file;
  EXPECT_NE(file.find("LogLevel=\"100\""), std::string::npos) << file;
}

TEST_F(ConfigEndToEnd, HostileCoreXmlIsDefaultedAndRewritten) {
  std::string nested = "<?xml?>";
  while (nested.size() < (10u << 20)) nested += "<Kora><Memory Throttling=\"0\">";
  writeFile("core.xml", nested);
  const std::string file = runOnce();
  EXPECT_NE(console_.find("Failed - xml nested deeper than 256 levels\nConfig defaulted"), std::string::npos)
      << console_.substr(0, 500);
  EXPECT_NE(file.find("Throttling=\"1\""), std::string::npos);
}

// One record as the spy plugin wrote it.
struct SpyRecord {
  uint32_t type = 0;
  std::string text;
};

std::vector<SpyRecord> spyRecords() {
  const std::string all = fs::exists("spy.out") ? readFile("spy.out") : std::string();
  std::vector<SpyRecord> records;
  std::size_t at = 0;
  while (at < all.size()) {
    const auto eol = all.find('\n', at);
    if (eol == std::string::npos) break;
    SpyRecord r;
    std::size_t length = 0;
    if (std::sscanf(all.c_str() + at, "%u %zu", &r.type, &length) != 2 || eol + 1 + length + 1 > all.size()) break;
    r.text = all.substr(eol + 1, length);
    records.push_back(std::move(r));
    at = eol + 1 + length + 1;
  }
  return records;
}

std::size_t countOf(const std::vector<SpyRecord>& records, uint32_t type) {
  return static_cast<std::size_t>(
      std::count_if(records.begin(), records.end(), [&](const SpyRecord& r) { return r.type == type; }));
}

// The core installed with plugins beside it: bin/dvrcore, bin/plugins/ with
// the spy, a file that is no library and a plugin whose Load refuses.
class ConfigWithPlugins : public ConfigEndToEnd {
 protected:
  void SetUp() override {
    fs::create_directories("bin/plugins");
    fs::copy_file(DVRCORE_PATH, "bin/dvrcore");
    fs::copy_file(SPY_PLUGIN_PATH, "bin/plugins/ConfigSpy.so");
    fs::copy_file(REFUSING_PLUGIN_PATH, "bin/plugins/ConfigRefusing.v2.so");
    writeFile("bin/plugins/broken.so", "not a library");
  }

  // Runs the core until every configuration document the spy answered has
  // its marker back, so nothing its deltas caused is still queued; then stops
  // the core. Returns the configuration documents in the order received.
  std::vector<std::string> runUntilQuiet() {
    fs::remove("spy.out");
    CoreProcess core(dir_.path() / "bin/dvrcore", dir_.path());
    const bool marked = waitFor([] {
      const auto records = spyRecords();
      const auto markers = std::count_if(records.begin(), records.end(), [](auto& r) { return r.text == "marker"; });
      return !records.empty() && records.back().text == "marker" &&
             static_cast<std::size_t>(markers) == countOf(records, EventTypeConfig);
    });
    EXPECT_TRUE(marked) << core.console();
    EXPECT_EQ(core.stop(), 0) << core.console();
    const auto records = spyRecords();
    EXPECT_FALSE(records.empty());
    // The memory state queued at start comes first.
    if (!records.empty()) {
      EXPECT_EQ(records[0].type, EventTypeAlarm);
      EXPECT_TRUE(records[0].text.starts_with("<?xml?><Kora><Memory ID=\"-2147483648\" Throttling=\"0\" Time=\""))
          << records[0].text;
    }
    std::vector<std::string> configs;
    for (const auto& r : records) {
      if (r.type == EventTypeConfig) configs.push_back(r.text);
    }
    return configs;
  }
};

TEST_F(ConfigWithPlugins, PluginsGetTheDocumentWithProductAndTheirDeltaRepublishesOnce) {
  writeFile("product.xml", "<?xml?><Root><Product Family=\"Fam\" Version=\"7.7\"/></Root>");
  const auto configs = runUntilQuiet();
  ASSERT_EQ(configs.size(), 2u) << "the repeated delta republished";
  const std::string& first = configs[0];
  const std::string& second = configs[1];
  EXPECT_EQ(first.find('\t'), std::string::npos);
  EXPECT_EQ(first.find('\n'), std::string::npos);
  EXPECT_TRUE(first.ends_with("<Product Family=\"Fam\" Version=\"7.7\"/></Kora>")) << first;
  EXPECT_NE(first.find("<Module ID=\"-2147483648\" Name=\"Core\" Version=\"7.7\">"), std::string::npos) << first;
  EXPECT_NE(first.find("<Plugin ID=\"1179648\" Filename=\"ConfigSpy.so\" Opened=\"1\""), std::string::npos);
  EXPECT_NE(first.find("OpenCode=\"0\" LogLevel=\"-1\" LogLevelDefault=\"-1\"/>"), std::string::npos);
  EXPECT_NE(second.find("Filename=\"ConfigSpy.so\" Opened=\"1\""), std::string::npos);

  // The failed plugins: Plugin entries numbered from 1 inside the core's
  // Module, and a Module of their own each after it.
  for (const std::string id : {"1", "2"}) {
    EXPECT_NE(first.find("<Plugin ID=\"" + id + "\" Filename=\""), std::string::npos) << first;
    EXPECT_NE(first.find("</Module><Module ID=\"") , std::string::npos) << first;
    EXPECT_NE(first.find("<Module ID=\"" + id + "\" Name=\""), std::string::npos) << first;
  }
  EXPECT_NE(first.find("Filename=\"broken.so\" Opened=\"1\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"79\" "
                       "LogLevel=\"-1\""),
            std::string::npos);
  EXPECT_NE(first.find("Name=\"ConfigRefusing\" Version=\"load code 3\"/>"), std::string::npos) << first;

  const auto spyLevel = [](const std::string& text) {
    const auto at = text.find("Filename=\"ConfigSpy.so\"");
    const auto level = text.find("LogLevel=\"", at);
    return text.substr(level + 10, text.find('"', level + 10) - level - 10);
  };
  EXPECT_EQ(spyLevel(first), "-1");
  EXPECT_EQ(spyLevel(second), "60");

  const std::string file = readFile("core.xml");
  EXPECT_EQ(spyLevel(file), "60");
  EXPECT_EQ(file.find("<Product"), std::string::npos);
  EXPECT_NE(file.find("\n\t\t\t<Plugin ID=\"1179648\" Filename=\"ConfigSpy.so\""), std::string::npos) << file;

  // The next start restores the spy's threshold before the spy asks.
  const auto again = runUntilQuiet();
  ASSERT_EQ(again.size(), 1u) << "a delta that changes nothing republished";
  EXPECT_EQ(spyLevel(again[0]), "60");
}

}  // namespace
}  // namespace ko::core
