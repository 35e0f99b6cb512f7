// Random identifiers from the random device. The device is opened anew for
// every identifier, so there is no descriptor to share, leak or inherit.
//
// Threads: any, concurrently.
#include "crypto/guid.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace ko::core {

namespace {

// One line on standard error: program name, message and, when asked, the
// system's text for `error`. The pieces go out in one writev, which keeps
// concurrent lines whole and needs no allocation; only the message itself is
// formatted, into a stack buffer it is cut to, so a program name of any
// length is printed whole and nothing is written past the buffer.
template <typename... Args>
void printLine(bool withError, int error, const char* format, Args... args) noexcept {
  char message[512];
  const int formatted = std::snprintf(message, sizeof message, format, args...);
  const size_t messageLength = formatted < 0 ? 0 : std::min(static_cast<size_t>(formatted), sizeof message - 1);
  char text[256];
  const char* errorText = withError ? strerror_r(error, text, sizeof text) : "";
  const char* name = program_invocation_short_name;
  iovec pieces[] = {
      {const_cast<char*>(name), std::strlen(name)},
      {const_cast<char*>(": "), 2},
      {message, messageLength},
      {const_cast<char*>(": "), withError ? size_t{2} : 0},
      {const_cast<char*>(errorText), std::strlen(errorText)},
      {const_cast<char*>("\n"), 1},
  };
  // A pipe may take a long line in more than one piece.
  iovec* next = pieces;
  int left = static_cast<int>(std::size(pieces));
  while (left > 0) {
    const ssize_t written = ::writev(STDERR_FILENO, next, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    auto done = static_cast<size_t>(written);
    while (left > 0 && done >= next->iov_len) {
      done -= next->iov_len;
      ++next;
      --left;
    }
    if (left > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + done;
      next->iov_len -= done;
    }
  }
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
