// The configuration files with the real core process: started in a fresh
// working directory with one end of a socket pair as its parent channel,
// stopped with SIGTERM. What it reads from and writes to core.xml and
// product.xml, and what it prints, is checked from outside.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "../../unit/config/temp_dir.h"

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
  explicit CoreProcess(const fs::path& workDir) : console_(workDir / "console.log") {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) throw std::runtime_error("socketpair");
    pid_ = ::fork();
    if (pid_ == 0) {
      const int out = ::open(console_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0 || ::chdir(workDir.c_str()) != 0) ::_exit(120);
      const int channel = ::dup(pair[1]);  // without close-on-exec
      const std::string fd = std::to_string(channel);
      ::execl(DVRCORE_PATH, "dvrcore", fd.c_str(), static_cast<char*>(nullptr));
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
    CoreProcess core(dir_.path());
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

}  // namespace
}  // namespace ko::core
