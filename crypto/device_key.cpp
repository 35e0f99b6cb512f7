// Reading the device key, and the core's use of it at initialisation: the
// key is taken only from a file that nobody but root could have written or
// read, and the process is kept from handing it out in a dump.
//
// Threads: main thread only, inside Init, before any other thread exists.
#include "crypto/device_key.h"

#include <fcntl.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "core/dvr_core.h"
#include "log/core_log.h"

namespace ko::core {

namespace {

class KeyFd {
 public:
  explicit KeyFd(int fd) noexcept : fd_(fd) {}
  ~KeyFd() {
    if (fd_ >= 0) (void)::close(fd_);  // read-only: nothing to lose
  }
  KeyFd(const KeyFd&) = delete;
  KeyFd& operator=(const KeyFd&) = delete;
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

DeviceKeyOutcome refused(std::string reason) { return {DeviceKeyStatus::Refused, std::move(reason)}; }

// The first permission the group or others hold, named; empty when none.
std::string foreignAccess(mode_t mode) {
  struct Bit {
    mode_t bit;
    const char* text;
  };
  static constexpr Bit Bits[] = {
      {S_IRGRP, "readable by group"}, {S_IWGRP, "writable by group"}, {S_IXGRP, "executable by group"},
      {S_IROTH, "readable by others"}, {S_IWOTH, "writable by others"}, {S_IXOTH, "executable by others"},
  };
  for (const auto& [bit, text] : Bits) {
    if ((mode & bit) != 0) return text;
  }
  return {};
}

}  // namespace

const char* deviceKeyFile() noexcept { return KO_DEVICE_KEY_FILE; }

void wipeSecret(std::string& secret) noexcept {
  // The whole allocation, not just the current text: a shorter text may sit
  // where a longer one was.
  secret.resize(secret.capacity());
  explicit_bzero(secret.data(), secret.size());
  secret.clear();
}

DeviceKeyOutcome readDeviceKey(const char* path, std::string& key) {
  wipeSecret(key);
  // O_NOFOLLOW: a link would let whoever can write its directory choose the
  // key. O_NONBLOCK: a FIFO at the path must not hold up the start.
  const KeyFd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK));
  if (fd.get() < 0) {
    const int error = errno;
    if (error == ENOENT) return {DeviceKeyStatus::Missing, {}};
    struct stat link {};
    if (error == ELOOP && ::lstat(path, &link) == 0 && S_ISLNK(link.st_mode)) return refused("a symbolic link");
    return {DeviceKeyStatus::ReadError, ::strerror(error)};
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) < 0) return {DeviceKeyStatus::ReadError, ::strerror(errno)};
  if (!S_ISREG(st.st_mode)) return refused("not a regular file");
  if (st.st_uid != 0) return refused("owned by uid " + std::to_string(st.st_uid) + ", not root");
  if (std::string access = foreignAccess(st.st_mode); !access.empty()) return refused(std::move(access));
  const std::string tooLarge = "larger than " + std::to_string(MaxDeviceKeyBytes) + " bytes";
  if (st.st_size > static_cast<off_t>(MaxDeviceKeyBytes)) return refused(tooLarge);

  // Straight into the key's own storage, one byte beyond the bound to see a
  // file that grew since fstat; shrinking it later moves nothing.
  key.resize(MaxDeviceKeyBytes + 1);
  size_t got = 0;
  while (got < key.size()) {
    const ssize_t n = ::read(fd.get(), key.data() + got, key.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      wipeSecret(key);
      return {DeviceKeyStatus::ReadError, ::strerror(error)};
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got > MaxDeviceKeyBytes) {
    wipeSecret(key);
    return refused(tooLarge);
  }
  // A key written by echo, or by base64 of random bytes, ends in a line break
  // that is no part of it.
  if (got > 0 && key[got - 1] == '\n') --got;
  key.resize(got);
  if (key.empty()) {
    wipeSecret(key);
    return refused("empty");
  }
  return {DeviceKeyStatus::Loaded, {}};
}

bool DvrCore::loadDeviceKey() {
  const char* path = deviceKeyFile();
  const DeviceKeyOutcome outcome = readDeviceKey(path, deviceKey);
  switch (outcome.status) {
    case DeviceKeyStatus::Loaded:
      break;
    case DeviceKeyStatus::Missing:
      coreLog(50, "no device key at {}: the crypto service uses the built-in key", path);
      return true;
    case DeviceKeyStatus::Refused:
      coreLog(100, "device key {} refused: {}", path, outcome.reason);
      return false;
    case DeviceKeyStatus::ReadError:
      coreLog(100, "device key {} unreadable: {}", path, outcome.reason);
      return false;
  }
  // A core dump, or /proc/PID/mem read by the same user, would carry the key.
  // A change of user makes the kernel reset the flag by its own rule
  // (fs.suid_dumpable); a core that stays root keeps what is set here.
  if (::prctl(PR_SET_DUMPABLE, 0) < 0) {
    coreLog(100, "device key {} unprotected: {}", path, ::strerror(errno));
    wipeSecret(deviceKey);
    return false;
  }
  return true;
}

}  // namespace ko::core
