// The ownership and mode walk behind the plugin trust rule. Only lstat and
// readlink: nothing is opened, so judging a file runs none of its code.
#include "plugins/file_trust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace ko::core {

namespace {

// Longest link target read; a longer one is refused rather than cut.
constexpr size_t MaxLinkTarget = 4096;

std::deque<std::string> componentsOf(std::string_view path) {
  std::deque<std::string> parts;
  while (!path.empty()) {
    const auto slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    if (!part.empty() && part != ".") parts.emplace_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return parts;
}

std::string joined(const std::string& directory, const std::string& name) {
  return directory == "/" ? "/" + name : directory + "/" + name;
}

std::string parentOf(const std::string& directory) {
  const auto slash = directory.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : directory.substr(0, slash);
}

bool trustedOwner(const struct stat& status, uid_t coreEuid) {
  return status.st_uid == 0 || status.st_uid == coreEuid;
}

// Owner and mode of one entry met on the way; `what` names it in the reason
// ("" for the plugin file itself, whose reason needs no name).
std::optional<std::string> judge(const struct stat& status, uid_t coreEuid, const std::string& what) {
  const std::string prefix = what.empty() ? std::string() : what + " ";
  if (!trustedOwner(status, coreEuid)) return prefix + "owned by uid " + std::to_string(status.st_uid);
  if (S_ISLNK(status.st_mode)) return std::nullopt;  // a link's own mode means nothing
  // Others may add entries to a root-owned sticky directory but never
  // rename or remove ours.
  if (S_ISDIR(status.st_mode) && status.st_uid == 0 && (status.st_mode & S_ISVTX) != 0) return std::nullopt;
  if ((status.st_mode & S_IWOTH) != 0) return prefix + "writable by others";
  if ((status.st_mode & S_IWGRP) != 0) return prefix + "writable by group";
  return std::nullopt;
}

std::string cannotExamine(const std::string& entry, int error) {
  return "cannot examine " + entry + ": " + std::strerror(error);
}

}  // namespace

std::optional<std::string> untrustedPluginReason(const std::string& path, uid_t coreEuid) {
  std::string start = path;
  if (start.empty() || start.front() != '/') {
    std::error_code ec;
    const auto cwd = std::filesystem::current_path(ec);
    if (ec) return cannotExamine("the working directory", ec.value());
    start = joined(cwd.string(), start);
  }
  struct stat status {};
  if (::lstat("/", &status) < 0) return cannotExamine("/", errno);
  if (auto reason = judge(status, coreEuid, "directory /")) return reason;

  std::deque<std::string> pending = componentsOf(start);
  std::string current = "/";  // resolved and judged
  int links = 0;
  while (!pending.empty()) {
    const std::string part = std::move(pending.front());
    pending.pop_front();
    if (part == "..") {
      current = parentOf(current);  // an ancestor of a judged directory: judged
      continue;
    }
    const std::string entry = joined(current, part);
    if (::lstat(entry.c_str(), &status) < 0) return cannotExamine(entry, errno);
    if (S_ISLNK(status.st_mode)) {
      if (auto reason = judge(status, coreEuid, "link " + entry)) return reason;
      if (++links > MaxPluginPathLinks) return "too many levels of symbolic links";
      std::array<char, MaxLinkTarget> target{};
      const ssize_t length = ::readlink(entry.c_str(), target.data(), target.size());
      if (length < 0) return cannotExamine(entry, errno);
      if (static_cast<size_t>(length) == target.size()) return "link " + entry + " too long";
      const std::string_view text(target.data(), static_cast<size_t>(length));
      // assign(1, '/'): GCC 12 at -O2 warns falsely (-Wrestrict) on = "/".
      if (!text.empty() && text.front() == '/') current.assign(1, '/');
      std::deque<std::string> inserted = componentsOf(text);
      pending.insert(pending.begin(), inserted.begin(), inserted.end());
      continue;
    }
    if (!pending.empty()) {
      if (!S_ISDIR(status.st_mode)) return cannotExamine(entry, ENOTDIR);
      if (auto reason = judge(status, coreEuid, "directory " + entry)) return reason;
      current = entry;
      continue;
    }
    if (!S_ISREG(status.st_mode)) return "not a regular file";
    return judge(status, coreEuid, "");
  }
  return "not a regular file";  // the path named a directory ("/", "x/..")
}

}  // namespace ko::core
