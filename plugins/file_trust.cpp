// The ownership and mode walk from a plugin file up to "/".
#include "plugins/file_trust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fmt/format.h>

namespace ko::core {

namespace {

std::optional<std::string> judge(const std::string& what, const struct stat& st, uid_t coreEuid, bool directory) {
  if (st.st_uid != 0 && st.st_uid != coreEuid) {
    return fmt::format("{} is owned by uid {}, neither root nor the core's uid {}", what, st.st_uid, coreEuid);
  }
  const bool stickyRoot = directory && (st.st_mode & S_ISVTX) != 0 && st.st_uid == 0;
  if (stickyRoot) return std::nullopt;
  if ((st.st_mode & S_IWOTH) != 0) return fmt::format("{} is writable by others", what);
  if ((st.st_mode & S_IWGRP) != 0) return fmt::format("{} is writable by its group", what);
  return std::nullopt;
}

}  // namespace

std::optional<std::string> untrustedPluginReason(const std::string& path, uid_t coreEuid) {
  // The file itself is looked at through a descriptor opened without
  // following a link, so what is judged is what would be loaded.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return fmt::format("{} cannot be opened: {}", path, std::strerror(errno));
  struct stat st {};
  const int statted = ::fstat(fd, &st);
  const int savedErrno = errno;
  ::close(fd);
  if (statted != 0) return fmt::format("{} cannot be examined: {}", path, std::strerror(savedErrno));
  if (!S_ISREG(st.st_mode)) return fmt::format("{} is not a regular file", path);
  if (auto reason = judge(path, st, coreEuid, false)) return reason;

  std::error_code ec;
  std::filesystem::path dir = std::filesystem::absolute(path, ec).lexically_normal().parent_path();
  if (ec) return fmt::format("{} has no absolute path: {}", path, ec.message());
  for (;;) {
    struct stat up {};
    if (::stat(dir.c_str(), &up) != 0) {
      return fmt::format("{} cannot be examined: {}", dir.string(), std::strerror(errno));
    }
    if (auto reason = judge(dir.string(), up, coreEuid, true)) return reason;
    if (dir == dir.root_path() || !dir.has_parent_path() || dir.parent_path() == dir) break;
    dir = dir.parent_path();
  }
  return std::nullopt;
}

}  // namespace ko::core
