// Reading the device key file: what becomes the key, and which files are not
// trusted or not read. Files owned by root need a root test process.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <string>

#include "crypto/device_key.h"
#include "support/core_test_support.h"

namespace ko::core {
namespace {

using namespace std::chrono_literals;

class DeviceKeyFile : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "a trusted key file is owned by root";
  }

  std::string keyFile(const std::string& text, mode_t mode = 0600) {
    const auto path = (dir.path() / "device.key").string();
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
  }

  test::TempDir dir;
  std::string key = "left from before";
};

TEST_F(DeviceKeyFile, OnlyOneFinalLineBreakIsDropped) {
  const std::pair<std::string, std::string> cases[] = {
      {"abc\n", "abc"}, {"abc", "abc"}, {"abc\n\n", "abc\n"}, {"ab\r\n", "ab\r"}, {"a\nb", "a\nb"}};
  for (const auto& [text, expected] : cases) {
    const auto outcome = readDeviceKey(keyFile(text).c_str(), key);
    EXPECT_EQ(outcome.status, DeviceKeyStatus::Loaded) << text;
    EXPECT_EQ(key, expected);
  }
}

TEST_F(DeviceKeyFile, AnyGroupOrOtherPermissionIsRefusedAndNamed) {
  const std::pair<mode_t, const char*> cases[] = {
      {0640, "readable by group"}, {0620, "writable by group"}, {0610, "executable by group"},
      {0604, "readable by others"}, {0602, "writable by others"}, {0601, "executable by others"}};
  for (const auto& [mode, reason] : cases) {
    const auto outcome = readDeviceKey(keyFile("KO-CAM-1\n", mode).c_str(), key);
    EXPECT_EQ(outcome.status, DeviceKeyStatus::Refused) << std::oct << mode;
    EXPECT_EQ(outcome.reason, reason);
    EXPECT_EQ(key, "");
  }
  EXPECT_EQ(readDeviceKey(keyFile("KO-CAM-1\n", 0400).c_str(), key).status, DeviceKeyStatus::Loaded);
}

// A FIFO at the path would otherwise hold up the start until someone wrote.
TEST_F(DeviceKeyFile, FifoOrDirectoryIsNoKeyFileAndDoesNotBlock) {
  const auto fifo = (dir.path() / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto reading = std::async(std::launch::async, [&] {
    std::string fifoKey;
    return readDeviceKey(fifo.c_str(), fifoKey);
  });
  if (reading.wait_for(5s) != std::future_status::ready) {
    // Opening the other end releases a reader blocked in open.
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    if (writer >= 0) ::close(writer);
    FAIL() << "reading a FIFO blocks";
  }
  auto outcome = reading.get();
  EXPECT_EQ(outcome.status, DeviceKeyStatus::Refused);
  EXPECT_EQ(outcome.reason, "not a regular file");
  outcome = readDeviceKey(dir.path().c_str(), key);
  EXPECT_EQ(outcome.status, DeviceKeyStatus::Refused);
  EXPECT_EQ(outcome.reason, "not a regular file");
}

TEST_F(DeviceKeyFile, FileAboveTheBoundIsRefusedOneAtItIsTaken) {
  auto outcome = readDeviceKey(keyFile(std::string(MaxDeviceKeyBytes + 1, 'k')).c_str(), key);
  EXPECT_EQ(outcome.status, DeviceKeyStatus::Refused);
  EXPECT_EQ(outcome.reason, "larger than " + std::to_string(MaxDeviceKeyBytes) + " bytes");
  EXPECT_EQ(key, "");
  outcome = readDeviceKey(keyFile(std::string(MaxDeviceKeyBytes, 'k')).c_str(), key);
  EXPECT_EQ(outcome.status, DeviceKeyStatus::Loaded);
  EXPECT_EQ(key.size(), MaxDeviceKeyBytes);
}

// Only "no such file" means an unprovisioned device; any other failure to
// reach the file fails the start rather than fall back to the built-in key.
TEST_F(DeviceKeyFile, OnlyAMissingFileIsMissing) {
  EXPECT_EQ(readDeviceKey((dir.path() / "absent.key").c_str(), key).status, DeviceKeyStatus::Missing);
  EXPECT_EQ(key, "");
  const auto throughFile = keyFile("KO-CAM-1\n") + "/device.key";
  const auto outcome = readDeviceKey(throughFile.c_str(), key);
  EXPECT_EQ(outcome.status, DeviceKeyStatus::ReadError);
  EXPECT_EQ(outcome.reason, "Not a directory");
}

}  // namespace
}  // namespace ko::core
