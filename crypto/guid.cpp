// Random identifiers from the random device. The device is opened anew for
// every identifier, so there is no descriptor to share, leak or inherit.
//
// Threads: any, concurrently.
#include "crypto/guid.h"

#include <errno.h>
#include <fcntl.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace ko::core {

namespace {

// One line on standard error: program name, message and, when asked, the
// system's text for `error`. One write of a stack buffer keeps concurrent
// lines whole and needs no allocation.
template <typename... Args>
void printLine(bool withError, int error, const char* format, Args... args) noexcept {
  char line[512];
  int used = std::snprintf(line, sizeof line, "%s: ", program_invocation_short_name);
  used += std::snprintf(line + used, sizeof line - static_cast<size_t>(used), format, args...);
  if (withError && static_cast<size_t>(used) < sizeof line) {
    char text[256];
    used += std::snprintf(line + used, sizeof line - static_cast<size_t>(used), ": %s",
                          strerror_r(error, text, sizeof text));
  }
  const size_t length = std::min(static_cast<size_t>(used), sizeof line - 2);
  line[length] = '\n';
  std::fwrite(line, 1, length + 1, stderr);
}

// A random device that cannot be used makes every later identifier suspect,
// so the process ends. _exit rather than exit: other threads keep running
// and must not meet destroyed statics on the way out.
template <typename... Args>
[[noreturn]] void fail(bool withError, int error, const char* format, Args... args) noexcept {
  printLine(withError, error, format, args...);
  std::fflush(stdout);
  std::fflush(stderr);
  _exit(EX_IOERR);
}

}  // namespace

namespace detail {

int fillFromRandomDevice(const char* devicePath, Guid& guid) noexcept {
  int fd;
  for (;;) {
    errno = 0;
    fd = ::open(devicePath, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) break;
    if (fd == -1 && errno != EINTR) fail(true, errno, "CoCreateGuid(): open: %s", devicePath);
  }

  const auto wanted = static_cast<ssize_t>(guid.size());
  ssize_t got = 0;
  while (got < wanted) {
    errno = 0;
    const ssize_t n = ::read(fd, guid.data() + got, static_cast<size_t>(wanted - got));
    if (n > 0) {
      got += n;
      continue;
    }
    if (n == 0) {
      fail(false, 0, "CoCreateGuid(): read: %s: EOF, got %zd of %zd bytes requested", devicePath, got, wanted);
    }
    if (n == -1 && errno != EINTR) fail(true, errno, "CoCreateGuid(): read: %s", devicePath);
  }

  errno = 0;
  if (::close(fd) != 0) printLine(true, errno, "CoCreateGuid(): close: %s", devicePath);
  return 0;
}

}  // namespace detail

int CoCreateGuid(Guid& guid) noexcept { return detail::fillFromRandomDevice(RandomDevicePath, guid); }

}  // namespace ko::core
