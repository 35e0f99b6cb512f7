// The inspector's verdicts on real plugin files: the examples pass; a
// plugin without "Close", a world-writable file and an identifier another
// plugin in the directory already has are each refused, saying why.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string output;
};

Outcome inspect(const std::string& arguments) {
  Outcome run;
  const std::string command = std::string(KO_INSPECT) + " " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.output.append(buffer, got);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

bool contains(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

class Inspector : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "ko-inspect-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  fs::path copy(const char* from, const std::string& as) {
    fs::create_directories(dir_ / "plugins");
    const fs::path to = dir_ / "plugins" / as;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms(0755));
    return to;
  }
  fs::path dir_;
};

TEST_F(Inspector, ExamplePluginsPass) {
  for (const char* plugin : {KO_RECORDER_PLUGIN, KO_IPC_ECHO_PLUGIN, KO_CAMERA_PLUGIN}) {
    SCOPED_TRACE(plugin);
    // As installed: a file only its owner writes.
    const Outcome run = inspect(copy(plugin, fs::path(plugin).filename().string()).string());
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "the core would load and open it")) << run.output;
  }
  const Outcome recorder = inspect(copy(KO_RECORDER_PLUGIN, "Recorder.so").string());
  EXPECT_TRUE(contains(recorder.output, "identifier     20, source id 0x00200000")) << recorder.output;
  EXPECT_TRUE(contains(recorder.output, "wants          video\n")) << recorder.output;
  EXPECT_TRUE(contains(recorder.output, "search words   video\n")) << recorder.output;
  EXPECT_TRUE(contains(recorder.output, "OnSearch     exported")) << recorder.output;
  const Outcome camera = inspect(copy(KO_CAMERA_PLUGIN, "CameraSim.so").string());
  EXPECT_TRUE(contains(camera.output, "worker thread  asked for\n")) << camera.output;
}

TEST_F(Inspector, RefusesWhatTheCoreWouldNotOpenOrLoad) {
  const Outcome noClose = inspect(copy(KO_NO_CLOSE_PLUGIN, "NoClose.so").string());
  EXPECT_EQ(noClose.status, 1) << noClose.output;
  EXPECT_TRUE(contains(noClose.output, "Close        missing  mandatory: loaded but never opened (OpenCode -102)"))
      << noClose.output;
  EXPECT_TRUE(contains(noClose.output, "refused: lacks \"Close\": never opened (OpenCode -102)")) << noClose.output;

  const fs::path writable = copy(KO_RECORDER_PLUGIN, "Recorder.so");
  fs::permissions(writable, fs::perms(0757));
  const Outcome open = inspect(writable.string());
  EXPECT_EQ(open.status, 1) << open.output;
  EXPECT_TRUE(contains(open.output, "refused: file trust: " + writable.string() + " is writable by others"))
      << open.output;

  // Another file in the directory with the same identifier.
  const fs::path mine = copy(KO_RECORDER_PLUGIN, "Recorder.so");
  (void)copy(KO_RECORDER_PLUGIN, "OtherRecorder.so");
  (void)copy(KO_IPC_ECHO_PLUGIN, "IpcEcho.so");
  const Outcome clash = inspect("--against " + (dir_ / "plugins").string() + " " + mine.string());
  EXPECT_EQ(clash.status, 1) << clash.output;
  EXPECT_TRUE(contains(clash.output, "taken by OtherRecorder.so")) << clash.output;
  EXPECT_FALSE(contains(clash.output, "taken by IpcEcho.so")) << clash.output;
  EXPECT_TRUE(contains(clash.output, "refused: identifier clashes with OtherRecorder.so")) << clash.output;
}

}  // namespace
