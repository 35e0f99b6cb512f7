// Which plugin files are found, on real directory trees, and in which order.
#include "plugins/discovery.h"
#include "plugins/file_trust.h"

#include <gtest/gtest.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "support/core_test_support.h"

namespace ko::test {
namespace {

namespace fs = std::filesystem;
using core::FindPluginFiles;
using core::PluginFileBefore;

class PluginDiscovery : public ::testing::Test {
 protected:
  void SetUp() override { programDir_ = tmp_.path() / "bin"; }

  fs::path touch(const std::string& directory, const std::string& name) {
    fs::create_directories(programDir_ / directory);
    const auto path = programDir_ / directory / name;
    std::ofstream(path) << "not really a library";
    return path;
  }

  // The file names found, with the directory each came from.
  std::vector<std::string> found() const {
    std::vector<std::string> names;
    for (const auto& path : FindPluginFiles(programDir_.string())) {
      const fs::path p(path);
      EXPECT_EQ(p.parent_path().parent_path(), programDir_);
      names.push_back(p.parent_path().filename().string() + "/" + p.filename().string());
    }
    return names;
  }

  TempDir tmp_;
  fs::path programDir_;
};

TEST_F(PluginDiscovery, MissingDirectoriesGiveNothing) {
  EXPECT_TRUE(found().empty());
  fs::create_directories(programDir_);
  EXPECT_TRUE(found().empty());
}

TEST_F(PluginDiscovery, LoggingPluginIsNeverListed) {
  touch("plugins", "LogPI.so");
  touch("protected-plugins", "LogPI.so");
  touch("plugins", "a.so");
  EXPECT_EQ(found(), (std::vector<std::string>{"plugins/a.so"}));
}

TEST_F(PluginDiscovery, ProtectedFileHidesTheSameNameOnlyWhenCaseMatches) {
  touch("protected-plugins", "x.so");
  touch("plugins", "x.so");
  touch("protected-plugins", "A.so");
  touch("plugins", "a.so");
  // "A.so" and "a.so" are different files that compare equal: both stay, in
  // the order they were found.
  EXPECT_EQ(found(), (std::vector<std::string>{"protected-plugins/A.so", "plugins/a.so", "protected-plugins/x.so"}));
}

TEST_F(PluginDiscovery, OnlyRegularFilesNamedDotSoAreListed) {
  const auto target = touch("elsewhere", "real-library");
  fs::create_directories(programDir_ / "plugins");
  fs::create_symlink(target, programDir_ / "plugins" / "link.so");
  fs::create_directories(programDir_ / "plugins" / "dir.so");
  touch("plugins", "upper.SO");
  touch("plugins", "versioned.so.1");
  touch("plugins", ".so");
  touch("plugins", "noext");
  ASSERT_EQ(mkfifo((programDir_ / "plugins" / "fifo.so").c_str(), 0600), 0);
  EXPECT_EQ(found(), (std::vector<std::string>{"plugins/link.so"}));
}

TEST_F(PluginDiscovery, DanglingLinkDoesNotHideTheEntriesAfterIt) {
  std::vector<std::string> expected;
  for (int i = 0; i < 10; ++i) {
    for (const char* directory : {"plugins", "protected-plugins"}) {
      const std::string name = std::string(directory).substr(0, 2) + std::to_string(10 + i) + ".so";
      touch(directory, name);
      expected.push_back(std::string(directory) + "/" + name);
      if (i % 3 == 0) {
        fs::create_symlink(programDir_ / "nowhere", programDir_ / directory / ("x" + std::to_string(i) + ".so"));
      }
    }
  }
  // The listing order is the file system's; make sure some real file is
  // listed after a dangling link, or the test proves nothing.
  bool fileAfterLink = false;
  for (const char* directory : {"plugins", "protected-plugins"}) {
    bool linkSeen = false;
    for (const auto& entry : fs::directory_iterator(programDir_ / directory)) {
      if (entry.is_symlink()) linkSeen = true;
      else if (linkSeen) fileAfterLink = true;
    }
  }
  ASSERT_TRUE(fileAfterLink);
  std::sort(expected.begin(), expected.end(), [](const std::string& a, const std::string& b) {
    return strcasecmp(a.substr(a.find('/') + 1).c_str(), b.substr(b.find('/') + 1).c_str()) < 0;
  });
  EXPECT_EQ(found(), expected);
}

TEST_F(PluginDiscovery, MarkedFilesFirstThenNamesInterleavedWithoutCase) {
  touch("plugins", "b.so");
  touch("protected-plugins", "A.so");
  touch("plugins", "c.so");
  touch("plugins", "tKorpiX.so");
  touch("protected-plugins", "tKorpiA.so");
  touch("protected-plugins", "D.so");
  EXPECT_EQ(found(), (std::vector<std::string>{"protected-plugins/tKorpiA.so", "plugins/tKorpiX.so",
                                               "protected-plugins/A.so", "plugins/b.so", "plugins/c.so",
                                               "protected-plugins/D.so"}));
}

TEST_F(PluginDiscovery, MarkInTheProgramDirectoryPutsEveryFileInTheFirstGroup) {
  programDir_ = tmp_.path() / "tKorpi-bin";
  touch("plugins", "b.so");
  touch("plugins", "A.so");
  EXPECT_EQ(found(), (std::vector<std::string>{"plugins/A.so", "plugins/b.so"}));
}

// A comparison that says "before" both ways lets a sort run off the list.
// The owner and sticky parts of the trust rule for a core that does not run
// as root, judged on a tree whose every ancestor is trusted: the file may be
// the core's own user's, and a sticky directory excuses others' write
// permission only when root owns it.
TEST_F(PluginDiscovery, TrustFollowsTheCoresOwnUserAndOnlyRootsStickyDirectories) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to other users";
  constexpr uid_t CoreUser = 54321;
  const auto file = touch("plugins", "own.so");
  fs::permissions(file, fs::perms(0755));
  ASSERT_EQ(chown(file.c_str(), CoreUser, 0), 0);
  EXPECT_EQ(core::untrustedPluginReason(file.string(), CoreUser), std::nullopt);
  EXPECT_EQ(core::untrustedPluginReason(file.string(), CoreUser + 1), "owned by uid 54321");

  const auto shared = programDir_ / "shared";
  fs::create_directories(shared);
  fs::permissions(shared, fs::perms(01777));
  const auto inShared = shared / "x.so";
  std::ofstream(inShared) << "x";
  fs::permissions(inShared, fs::perms(0755));
  EXPECT_EQ(core::untrustedPluginReason(inShared.string(), CoreUser), std::nullopt);
  ASSERT_EQ(chown(shared.c_str(), CoreUser, 0), 0);
  EXPECT_EQ(core::untrustedPluginReason(inShared.string(), CoreUser), "directory " + shared.string() + " writable by others");
  EXPECT_EQ(core::untrustedPluginReason(shared.string(), 0), "not a regular file");
  // The file itself gets no sticky excuse.
  fs::permissions(file, fs::perms(01777));
  EXPECT_EQ(core::untrustedPluginReason(file.string(), CoreUser), "writable by others");
}

TEST(PluginFileOrder, IsAStrictWeakOrderingAmongMarkedFiles) {
  const std::vector<std::string> paths = {"/x/plugins/tKorpiB.so", "/x/plugins/tKorpia.so", "/x/tKorpi/plugins/c.so",
                                          "/x/plugins/a.so", "/x/plugins/A.so", "/x/protected-plugins/b.so"};
  for (const auto& a : paths) {
    EXPECT_FALSE(PluginFileBefore(a, a)) << a;
    for (const auto& b : paths) {
      EXPECT_FALSE(PluginFileBefore(a, b) && PluginFileBefore(b, a)) << a << " / " << b;
      for (const auto& c : paths) {
        EXPECT_TRUE(!(PluginFileBefore(a, b) && PluginFileBefore(b, c)) || PluginFileBefore(a, c));
      }
    }
  }
  EXPECT_TRUE(PluginFileBefore("/x/plugins/tKorpia.so", "/x/plugins/tKorpiB.so"));
  EXPECT_TRUE(PluginFileBefore("/x/plugins/tKorpiB.so", "/x/plugins/a.so"));
  EXPECT_FALSE(PluginFileBefore("/x/plugins/a.so", "/x/plugins/A.so"));
}

// Many marked files: a sort driven by an ordering that is not strict weak
// would read outside the list here (caught by the sanitizers).
TEST(PluginFileOrder, SortsManyMarkedFilesWithinTheList) {
  TempDir tmp;
  const auto directory = tmp.path() / "bin" / "plugins";
  fs::create_directories(directory);
  for (int i = 0; i < 40; ++i) std::ofstream(directory / ("tKorpi" + std::to_string(i % 7) + ".so." + "x")) << "";
  for (int i = 0; i < 40; ++i) std::ofstream(directory / ("tKorpi" + std::to_string(i) + ".so")) << "";
  const auto files = FindPluginFiles((tmp.path() / "bin").string());
  ASSERT_EQ(files.size(), 40u);
  EXPECT_TRUE(std::is_sorted(files.begin(), files.end(), PluginFileBefore));
}

}  // namespace
}  // namespace ko::test
