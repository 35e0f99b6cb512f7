// Safe replacement of configuration files, with real files in a temporary
// working directory: which of target and pending file a read uses, the exact
// failure texts, a directory the writer may not write, and a writer killed
// at random moments.
#include "config/file_replace.h"

#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>

#include <filesystem>
#include <random>
#include <stdexcept>

#include "child_process.h"
#include "temp_dir.h"

namespace ko::core {
namespace {

using testing::readFile;
using testing::writeFile;
namespace fs = std::filesystem;

const std::string OldDoc = "<?xml?>\n<Kora>\n\t<Memory ID=\"1\"/>\n</Kora>\n";
const std::string NewDoc = "<?xml?>\n<Kora>\n\t<Memory ID=\"2\"/>\n</Kora>\n";

std::string failureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no failure";
}

class FileReplaceTest : public ::testing::Test {
 protected:
  testing::TempWorkDir dir_;
};

TEST_F(FileReplaceTest, TargetAloneIsReturnedAndNoPendingAppears) {
  writeFile("core.xml", OldDoc);
  EXPECT_EQ(readXmlFile("core.xml"), OldDoc);
  EXPECT_FALSE(fs::exists("core.xml.pending"));
}

TEST_F(FileReplaceTest, CompletePendingIsPromotedOverOlderTarget) {
  writeFile("core.xml", OldDoc);
  writeFile("core.xml.pending", NewDoc);
  EXPECT_EQ(readXmlFile("core.xml"), NewDoc);
  EXPECT_FALSE(fs::exists("core.xml.pending"));
  EXPECT_EQ(readFile("core.xml"), NewDoc);
}

TEST_F(FileReplaceTest, TruncatedPendingIsDiscardedForTarget) {
  writeFile("core.xml", OldDoc);
  writeFile("core.xml.pending", NewDoc.substr(0, NewDoc.size() / 2));
  EXPECT_EQ(readXmlFile("core.xml"), OldDoc);
  EXPECT_FALSE(fs::exists("core.xml.pending"));
  EXPECT_EQ(readFile("core.xml"), OldDoc);
}

TEST_F(FileReplaceTest, PendingStartingWithBlankLineIsNeverPromoted) {
  writeFile("core.xml", OldDoc);
  writeFile("core.xml.pending", "\n" + NewDoc);
  EXPECT_EQ(readXmlFile("core.xml"), OldDoc);
  EXPECT_EQ(readFile("core.xml"), OldDoc);
}

TEST_F(FileReplaceTest, PendingCutAfterItsDeclarationIsNotPromoted) {
  writeFile("core.xml", OldDoc);
  writeFile("core.xml.pending", "<?xml?>\n");
  EXPECT_EQ(readXmlFile("core.xml"), OldDoc);
  EXPECT_EQ(readFile("core.xml"), OldDoc);
}

TEST_F(FileReplaceTest, MissingFilesAreReportedUnderTheTargetName) {
  EXPECT_EQ(failureOf([] { readXmlFile("core.xml"); }), "Failed to open core.xml - No such file or directory");
}

TEST_F(FileReplaceTest, EmptyTargetIsNotXmlContent) {
  writeFile("core.xml", "");
  EXPECT_EQ(failureOf([] { readXmlFile("core.xml"); }), "Failed - not xml content");
}

TEST_F(FileReplaceTest, MalformedTargetReportsParserTextAndKeepsPending) {
  writeFile("core.xml", "<?xml?><Kora>");
  writeFile("core.xml.pending", "junk");
  EXPECT_EQ(failureOf([] { readXmlFile("core.xml"); }), "unexpected end of data");
  EXPECT_EQ(readFile("core.xml.pending"), "junk");
}

TEST_F(FileReplaceTest, DirectoryInPlaceOfTheFileIsAReadFailure) {
  fs::create_directory("core.xml");
  EXPECT_EQ(failureOf([] { readWholeFile("core.xml"); }), "Failed to read core.xml - Is a directory");
}

TEST_F(FileReplaceTest, NonXmlTextIsRefusedWithoutTouchingAnyFile) {
  writeFile("core.xml", OldDoc);
  const std::string text = "<Kora/>";
  EXPECT_EQ(failureOf([&] { writeXmlFile("core.xml", text.data(), text.size()); }), "Failed - not xml content");
  EXPECT_EQ(readFile("core.xml"), OldDoc);
  EXPECT_FALSE(fs::exists("core.xml.pending"));
}

TEST_F(FileReplaceTest, WriteReplacesTargetAndLeavesNoPending) {
  writeFile("core.xml", OldDoc);
  writeXmlFile("core.xml", NewDoc.data(), NewDoc.size());
  EXPECT_EQ(readFile("core.xml"), NewDoc);
  EXPECT_FALSE(fs::exists("core.xml.pending"));
}

TEST_F(FileReplaceTest, FailedRenameIsReportedAndPendingKeepsTheNewVersion) {
  fs::create_directory("core.xml");
  fs::create_directory("core.xml/occupied");
  const std::string failure = failureOf([] { writeXmlFile("core.xml", NewDoc.data(), NewDoc.size()); });
  EXPECT_EQ(failure.rfind("Failed to rename core.xml.pending to core.xml - ", 0), 0u) << failure;
  EXPECT_EQ(readFile("core.xml.pending"), NewDoc);
}

// The working directory belongs to another user, who may plant anything at
// the pending name before a write.
TEST_F(FileReplaceTest, PendingSymlinkOrHardLinkIsReplacedNotWrittenThrough) {
  const std::string victim = "victim line\n";
  writeFile("victim", victim);
  writeFile("core.xml", OldDoc);
  fs::create_symlink("victim", "core.xml.pending");
  writeXmlFile("core.xml", NewDoc.data(), NewDoc.size());
  EXPECT_EQ(readFile("victim"), victim);
  EXPECT_FALSE(fs::is_symlink("core.xml"));
  EXPECT_EQ(readFile("core.xml"), NewDoc);

  fs::create_hard_link("victim", "core.xml.pending");
  writeXmlFile("core.xml", OldDoc.data(), OldDoc.size());
  EXPECT_EQ(readFile("victim"), victim);
  EXPECT_EQ(readFile("core.xml"), OldDoc);
  EXPECT_FALSE(fs::exists("core.xml.pending"));
}

TEST_F(FileReplaceTest, PendingFifoBlocksNeitherWriteNorRead) {
  writeFile("core.xml", OldDoc);
  ASSERT_EQ(::mkfifo("core.xml.pending", 0644), 0);
  // A read first: the FIFO is no version of the target.
  const auto outcome = testing::runInChild([] {
    std::string seen = readXmlFile("core.xml");
    if (!fs::is_fifo("core.xml.pending") && ::mkfifo("core.xml.pending", 0644) != 0) return std::string("no fifo");
    writeXmlFile("core.xml", NewDoc.data(), NewDoc.size());
    return seen;
  }, std::chrono::seconds(10));
  ASSERT_TRUE(outcome.has_value()) << "a FIFO at the pending name blocked";
  EXPECT_EQ(*outcome, OldDoc);
  EXPECT_EQ(readFile("core.xml"), NewDoc);
  EXPECT_FALSE(fs::exists("core.xml.pending"));
}

TEST_F(FileReplaceTest, PendingSymlinkIsNeverPromoted) {
  writeFile("core.xml", OldDoc);
  writeFile("elsewhere.xml", NewDoc);
  fs::create_symlink("elsewhere.xml", "core.xml.pending");
  EXPECT_EQ(readXmlFile("core.xml"), OldDoc);
  EXPECT_FALSE(fs::is_symlink("core.xml"));
  EXPECT_EQ(readFile("core.xml"), OldDoc);
  EXPECT_EQ(readFile("elsewhere.xml"), NewDoc);
}

#if defined(__x86_64__)
constexpr uint32_t OwnAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t OwnAuditArch = AUDIT_ARCH_AARCH64;
#endif

// In a child: every fsync answers EIO. Writes are synchronous through O_SYNC,
// so the only fsync a replacement makes is the directory's.
bool failEveryFsync() {
  static const sock_filter Filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, OwnAuditArch, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_fsync, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EIO & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(std::size(Filter)), const_cast<sock_filter*>(Filter)};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// The rename, and the promotion of a pending file, are each followed by a
// sync of the directory whose failure is reported, not swallowed.
TEST_F(FileReplaceTest, RenameIsFollowedByDirectorySyncWhoseFailureIsReported) {
  writeFile("core.xml", OldDoc);
  const auto outcome = testing::runInChild([] {
    if (!failEveryFsync()) return std::string("skip");
    std::string seen = failureOf([] { writeXmlFile("core.xml", NewDoc.data(), NewDoc.size()); });
    seen += "|" + readFile("core.xml") + "|";
    writeFile("core.xml.pending", OldDoc);
    std::string syncFailure;
    seen += readXmlFile("core.xml", &syncFailure) + "|" + syncFailure;
    return seen;
  });
  ASSERT_TRUE(outcome.has_value());
  if (*outcome == "skip") GTEST_SKIP() << "no seccomp filter here";
  const std::string failure = "Failed to sync the directory of core.xml - Input/output error";
  EXPECT_EQ(*outcome, failure + "|" + NewDoc + "|" + OldDoc + "|" + failure);
  EXPECT_EQ(readFile("core.xml"), OldDoc);
  EXPECT_FALSE(fs::exists("core.xml.pending"));
}

// Root passes every permission check unless it gives up the capabilities
// that override them; the child drops them before writing.
bool dropFileOverrides() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (::syscall(SYS_capget, &header, data) != 0) return false;
  for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
    data[cap / 32].effective &= ~(1u << (cap % 32));
  }
  return ::syscall(SYS_capset, &header, data) == 0;
}

TEST_F(FileReplaceTest, ReadOnlyDirectoryReportsPendingNameAndKeepsTarget) {
  writeFile("core.xml", OldDoc);
  fs::permissions(dir_.path(), fs::perms::owner_read | fs::perms::owner_exec);
  const auto outcome = testing::runInChild([] {
    if (!dropFileOverrides()) return std::string("skip");
    return failureOf([] { writeXmlFile("core.xml", NewDoc.data(), NewDoc.size()); });
  });
  fs::permissions(dir_.path(), fs::perms::owner_all);
  ASSERT_TRUE(outcome.has_value());
  if (*outcome == "skip") GTEST_SKIP() << "cannot drop file capabilities here";
  EXPECT_EQ(*outcome, "Failed to open core.xml.pending - Permission denied");
  EXPECT_EQ(readFile("core.xml"), OldDoc);
  EXPECT_FALSE(fs::exists("core.xml.pending"));
}

// A document for sequence number `seq`, a few hundred bytes to several pages
// long so that kills also land in the middle of multi-page writes. Page-sized
// writes are cut at page boundaries; the length is kept off one past a page
// multiple, where a cut would leave the document whole but for its final line
// break.
std::string sequenceDocument(uint64_t seq) {
  std::string text = "<?xml?>\n<Kora Seq=\"" + std::to_string(seq) + "\">\n";
  const std::size_t lines = seq * 7919 % 200;
  for (std::size_t i = 0; i < lines; ++i) text += "\t<Line N=\"" + std::to_string(i) + "\" Pad=\"0123456789abcdef\"/>\n";
  if ((text.size() + 7) % 4096 == 0) text += ' ';
  return text + "</Kora>\n";
}

uint64_t sequenceOf(const std::string& text) {
  const auto at = text.find("Seq=\"");
  return at == std::string::npos ? UINT64_MAX : std::stoull(text.substr(at + 5));
}

TEST_F(FileReplaceTest, WriterKilledAtRandomMomentsLeavesOneCompleteDocument) {
  const std::string first = sequenceDocument(0);
  writeXmlFile("core.xml", first.data(), first.size());
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> delayMicros(0, 4000);
  for (uint64_t round = 1; round <= 60; ++round) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(ready[0]);
      for (uint64_t seq = round * 1000000;; ++seq) {
        const std::string text = sequenceDocument(seq);
        try {
          writeXmlFile("core.xml", text.data(), text.size());
        } catch (...) {
          ::_exit(2);
        }
        if (seq == round * 1000000) {
          (void)!::write(ready[1], "r", 1);
          ::close(ready[1]);
        }
      }
    }
    ::close(ready[1]);
    pollfd pfd{ready[0], POLLIN, 0};
    ASSERT_EQ(::poll(&pfd, 1, 20000), 1) << "writer never completed a write";
    ::close(ready[0]);
    // Randomises where in the write loop the kill lands; nothing waits on it.
    ::usleep(static_cast<useconds_t>(delayMicros(rng)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer failed on its own";

    const std::string text = readXmlFile("core.xml");
    const uint64_t seq = sequenceOf(text);
    ASSERT_GE(seq, round * 1000000) << "round " << round;
    ASSERT_EQ(text, sequenceDocument(seq)) << "round " << round;
    ASSERT_FALSE(fs::exists("core.xml.pending"));
  }
}

}  // namespace
}  // namespace ko::core
