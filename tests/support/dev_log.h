// A private /dev for a forked test child, with the test's own datagram socket
// bound at /dev/log, so the syslog lines of whatever runs there reach the test.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cstring>

namespace ko::test {

// In the child, before anything logs. Returns the socket (5 s receive
// timeout; a listening one for SOCK_STREAM, as some syslog daemons have it)
// or -1 when the child cannot be isolated.
inline int listenOnDevLog(int type = SOCK_DGRAM) {
  if (unshare(CLONE_NEWNS) != 0) return -1;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return -1;
  if (mount("tmpfs", "/dev", "tmpfs", 0, "size=64k,mode=0755") != 0) return -1;
  // Programs started from the child expect /dev/null.
  if (mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) != 0) return -1;
  const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, "/dev/log");
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  if (type == SOCK_STREAM && listen(fd, 4) != 0) return -1;
  timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return fd;
}

}  // namespace ko::test
