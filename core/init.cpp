// Initialisation: hardens the process, takes on the parent daemon's identity
// with a fixed set of capabilities, adopts the IPC descriptor and binds the
// logging plugin. Runs once on the main thread before Run, when no other
// thread exists yet.
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
#include <fstream>
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

const char* errnoText() { return std::strerror(errno); }

}  // namespace

unsigned getParentUid() {
  std::ifstream status("/proc/" + std::to_string(::getppid()) + "/status");
  if (!status) return 0;
  std::string line;
  while (std::getline(status, line)) {
    unsigned uid = 0;
    if (std::sscanf(line.c_str(), "Uid: %u", &uid) == 1) return uid;
  }
  return 0;
}

bool DvrCore::Init(int pipeFd) {
  ::umask(077);
  // Keeps the capability sets across the change of user id below.
  (void)::prctl(PR_SET_SECUREBITS, SECBIT_NO_SETUID_FIXUP);

  const unsigned parentUid = getParentUid();
  const bool changesUser = parentUid != ::getuid();
  if (changesUser) {
    errno = 0;
    const passwd* pw = ::getpwuid(parentUid);
    if (pw == nullptr) {
      coreLog(100, "getpwuid failed: {}", errnoText());
      return false;
    }
    const std::string name = pw->pw_name;
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    // User first, then group: the secure bit keeps CAP_SETGID for setgid.
    if (::setuid(uid) < 0 || ::setgid(gid) < 0) {
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

  // A core whose parent runs as root keeps all its privileges. One that has
  // just become the parent's user still holds every capability (the secure
  // bit kept them), so it must not go on if they cannot be narrowed.
  if (parentUid != 0) {
    const CapabilityOutcome outcome = setProcessCapabilities(InitialCapabilities);
    if (outcome.failed()) {
      if (changesUser) {
        coreLog(100, "capset failed: {}", outcome.describe());
        return false;
      }
      coreLog(50, "capset failed: {}", outcome.describe());
    }
  }

  if (pipeFd != -1) {
    namespace asio = boost::asio;
    boost::system::error_code ec;
    asio::generic::seq_packet_protocol::socket socket(io->context);
    // Adopting registers the descriptor with the reactor, which fails for a
    // descriptor that is not open (or cannot be polled).
    socket.assign(asio::generic::seq_packet_protocol(AF_UNIX, 0), pipeFd, ec);
    if (ec) {
      coreLog(100, "failed to open ipc pipe");
      return false;
    }
    io->ipcSocket = std::move(socket);
    // Submitting threads check this flag instead of the socket, which only
    // the io thread may touch once it runs.
    ipcChannelOpen.store(true, std::memory_order_release);
  }

  bindLogPlugin();
  return true;
}

}  // namespace ko::core
