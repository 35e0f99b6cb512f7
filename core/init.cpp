// Initialisation: hardens the process, takes on the parent daemon's identity
// with a fixed set of capabilities, adopts the IPC descriptor and binds the
// logging plugin. Runs once on the main thread before Run, when no other
// thread exists yet.
#include <fcntl.h>
#include <grp.h>
#include <linux/securebits.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "core/capabilities.h"
#include "core/core_io.h"
#include "core/dvr_core.h"
#include "log/core_log.h"

namespace ko::core {

namespace {

// CAP_NET_ADMIN, CAP_NET_RAW and CAP_SYS_RAWIO: what the recorder needs of
// root once it runs as the parent's user.
constexpr uint32_t InitialCapabilities = (1u << 12) | (1u << 13) | (1u << 17);
constexpr int MaxGroups = 256;
// Longer lines of a status file are read in pieces; no "Uid:" line is
// near this long.
constexpr size_t StatusLineLength = 256;

const char* errnoText() { return std::strerror(errno); }

}  // namespace

// The parent's real uid from its status file; nothing when the file cannot
// be read or holds no Uid line.
std::optional<unsigned> readParentUid() {
  std::FILE* status = std::fopen(("/proc/" + std::to_string(::getppid()) + "/status").c_str(), "re");
  if (status == nullptr) return std::nullopt;
  std::optional<unsigned> found;
  std::array<char, StatusLineLength> line{};
  while (!found && std::fgets(line.data(), static_cast<int>(line.size()), status) != nullptr) {
    unsigned uid = 0;
    if (std::sscanf(line.data(), "Uid: %u", &uid) == 1) found = uid;
  }
  std::fclose(status);
  return found;
}

unsigned getParentUid() { return readParentUid().value_or(0); }

// The uid the core takes on. A core started as root follows its parent
// (unreadable counts as a root parent). A set-user-ID start (real uid not
// 0) may take only its real uid: the status file belongs to whatever
// process is the parent now (pid 1 or a root subreaper once the starter has
// gone, or another process reusing its pid), so a parent read as anyone
// else, or not read at all, fails rather than raise the core's ids.
std::optional<unsigned> identityToTake() {
  const std::optional<unsigned> parent = readParentUid();
  const uid_t real = ::getuid();
  if (real == 0) return parent.value_or(0);
  if (parent && *parent == real) return real;
  coreLog(100, "setuid/gid failed: {}", std::strerror(parent ? EPERM : errno != 0 ? errno : ESRCH));
  return std::nullopt;
}

bool DvrCore::Init(int pipeFd) {
  // No thread of the core's own until the identity is settled: lines are
  // written at once meanwhile.
  console.holdWriter();
  struct ReleaseConsole {
    ConsoleSink& console;
    ~ReleaseConsole() { console.releaseWriter(); }
  } releaseConsole{console};
  ::umask(077);
  // Only root may read the key file, so it is read while the core still is
  // root, and before any plugin could see the process.
  if (!loadDeviceKey()) return false;
  const int inheritedBits = ::prctl(PR_GET_SECUREBITS);
  // Keeps the capability sets across the change of user id below.
  (void)::prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP);
  const bool ownFixupBit = inheritedBits >= 0 && (inheritedBits & SECBIT_NO_SETUID_FIXUP) == 0;

  // Any real, effective or saved uid other than the parent's, or gid other
  // than the primary group of the parent's user entry, is a change of user,
  // and all three of each are set: a core installed set-user-ID root and
  // started by the parent's user has the parent's real uid but effective
  // and saved uid 0, which it would otherwise keep (and with it full
  // capabilities for every program it starts).
  const std::optional<unsigned> identity = identityToTake();
  if (!identity) return false;
  const unsigned parentUid = *identity;
  uid_t ruid = 0, euid = 0, suid = 0;
  gid_t rgid = 0, egid = 0, sgid = 0;
  if (::getresuid(&ruid, &euid, &suid) < 0 || ::getresgid(&rgid, &egid, &sgid) < 0) {
    coreLog(100, "setuid/gid failed: {}", errnoText());
    return false;
  }
  bool changesUser = ruid != parentUid || euid != parentUid || suid != parentUid;
  errno = 0;
  const passwd* pw = ::getpwuid(parentUid);
  if (changesUser && pw == nullptr) {
    coreLog(100, "getpwuid failed: {}", errnoText());
    return false;
  }
  if (pw != nullptr && (rgid != pw->pw_gid || egid != pw->pw_gid || sgid != pw->pw_gid)) changesUser = true;
  if (changesUser) {
    const std::string name = pw->pw_name;
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    // User first, then group: the secure bit keeps CAP_SETGID for setresgid.
    if (::setresuid(uid, uid, uid) < 0 || ::setresgid(gid, gid, gid) < 0) {
      coreLog(100, "setuid/gid failed: {}", errnoText());
      return false;
    }
    std::array<gid_t, MaxGroups> groups{};
    int count = MaxGroups;
    if (::getgrouplist(name.c_str(), gid, groups.data(), &count) < 0) {
      coreLog(100, "getgrouplist failed");
      return false;
    }
    if (::setgroups(static_cast<size_t>(count), groups.data()) < 0) {
      coreLog(100, "setgroups failed: {}", errnoText());
      return false;
    }
  }

  // The kernel keeps secure bits across execve: left set, every program the
  // core or a plugin starts would keep its capabilities through its own
  // change of user (a set-user-ID-root helper's setuid(getuid()) among
  // them). Cleared while CAP_SETPCAP is still held, before any plugin is
  // loaded, with or without a change of user. A bit the core did not set
  // itself is the parent's business.
  if (::prctl(PR_SET_SECUREBITS, 0) < 0) {
    const int error = errno;
    const int bits = ::prctl(PR_GET_SECUREBITS);
    if (ownFixupBit && (bits < 0 || (bits & SECBIT_NO_SETUID_FIXUP) != 0)) {
      coreLog(100, "securebits failed: {}", std::strerror(error));
      return false;
    }
  }

  // A core whose parent runs as root keeps all its privileges. Otherwise
  // the capabilities read back from the threads decide: a core left holding
  // more than the set (one that has just changed user still holds every
  // capability, the secure bit kept them) must not go on.
  if (parentUid != 0 && !narrowCapabilities(InitialCapabilities)) return false;
  // The identity is final and no thread of the core or a plugin exists yet.
  noteSanitizerThread();

  if (pipeFd != -1) {
    namespace asio = boost::asio;
    boost::system::error_code ec;
    asio::generic::seq_packet_protocol::socket socket(io->context);
    // Adopting registers the descriptor with the reactor, which fails for a
    // descriptor that is not open (or cannot be polled).
    socket.assign(asio::generic::seq_packet_protocol(AF_UNIX, 0), pipeFd, ec);
    // Inherited without close-on-exec, the socket would reach every program
    // a plugin starts, and the parent would see no hang-up while one lives.
    const int flags = ec ? -1 : ::fcntl(pipeFd, F_GETFD);
    if (flags < 0 || ::fcntl(pipeFd, F_SETFD, flags | FD_CLOEXEC) < 0) {
      coreLog(100, "failed to open ipc pipe");
      return false;
    }
    io->ipcSocket = std::move(socket);
    // Submitting threads check this flag instead of the socket, which only
    // the io thread may touch once it runs.
    ipcChannelOpen.store(true, std::memory_order_release);
  }

  logThreadsAndDescriptors("Before loading");
  bindLogPlugin();
  return true;
}

}  // namespace ko::core
