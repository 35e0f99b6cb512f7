// Reading and safely replacing configuration files (see file_replace.h).
// Called on the main thread: at start-up for reads, when the configuration
// is published for writes.
#include "config/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "config/xml_tree.h"

namespace ko::core {

namespace {

// Owns a descriptor; close() reports the result for the one place where a
// failed close matters (the written file).
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() {
    // Only read-side and already-failed descriptors get here; their close
    // result changes nothing.
    if (fd_ >= 0) (void)::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  [[nodiscard]] int close() noexcept {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

std::string errorText(int error) { return std::error_code(error, std::generic_category()).message(); }

[[noreturn]] void fail(std::string_view what, std::string_view name, int error) {
  std::string text(what);
  text.append(name).append(" - ").append(errorText(error));
  throw std::runtime_error(text);
}

[[noreturn]] void failNotXml() { throw std::runtime_error("Failed - not xml content"); }

// The directory entry a rename changed is durable only once the directory
// itself is synchronised; until then a power cut may bring back the old name.
[[nodiscard]] std::optional<std::string> syncDirectoryOf(std::string_view name) {
  const auto slash = name.rfind('/');
  const std::string directory =
      slash == std::string_view::npos ? std::string(".") : std::string(name.substr(0, slash == 0 ? 1 : slash));
  FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd || ::fsync(fd.get()) != 0) {
    return "Failed to sync the directory of " + std::string(name) + " - " + errorText(errno);
  }
  return std::nullopt;
}

// `followLinks` false refuses a symbolic link in the file's place (ELOOP), for
// the pending file, whose directory another process may write.
std::string readRegularFile(std::string_view name, bool followLinks) {
  const std::string path(name);
  // Non-blocking so that a FIFO in the file's place cannot stall start-up;
  // it is refused below as not a regular file.
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW);
  FileDescriptor fd(::open(path.c_str(), flags));
  if (!fd) fail("Failed to open ", name, errno);
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) fail("Failed to get size of ", name, errno);
  if (!S_ISREG(status.st_mode)) fail("Failed to read ", name, S_ISDIR(status.st_mode) ? EISDIR : EINVAL);

  std::string text(static_cast<std::size_t>(status.st_size), '\0');
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::read(fd.get(), text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("Failed to read ", name, errno);
    }
    // The file shrank under us: what was read is not the file we measured.
    if (n == 0) fail("Failed to read ", name, EIO);
    done += static_cast<std::size_t>(n);
  }
  return text;
}

}  // namespace

bool isXmlContent(std::string_view text) noexcept { return text.starts_with("<?xml"); }

std::string readWholeFile(std::string_view name) { return readRegularFile(name, true); }

void writeFileReplacing(std::string_view name, const char* bytes, std::size_t length) {
  const std::string target(name);
  const std::string pending = target + std::string(PendingSuffix);

  // The directory belongs to the parent's user, so whatever stands at the
  // pending name (a symbolic link to another file, a FIFO, a hard link) is
  // removed and the file is created afresh: O_EXCL never follows a link and
  // fails if anything took the name in between, which refuses the write.
  const int removal = ::unlink(pending.c_str()) == 0 ? ENOENT : errno;
  FileDescriptor fd(::open(pending.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_SYNC | O_CLOEXEC | O_NOCTTY,
                           0644));
  // What could not be removed (a directory) explains the failure better than
  // the name being taken.
  if (!fd) fail("Failed to open ", pending, errno == EEXIST && removal != ENOENT ? removal : errno);

  // A partial pending file is removed: it must never be mistaken for a
  // version of the target.
  auto discard = [&](int error) {
    (void)::unlink(pending.c_str());
    fail("Failed to write ", pending, error);
  };
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(fd.get(), bytes + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      discard(errno);
    }
    if (n == 0) discard(EIO);
    done += static_cast<std::size_t>(n);
  }
  // O_SYNC made every write durable; close can still report a deferred error.
  if (fd.close() != 0) discard(errno);

  if (::rename(pending.c_str(), target.c_str()) != 0) {
    const int error = errno;
    throw std::runtime_error("Failed to rename " + pending + " to " + target + " - " + errorText(error));
  }
  if (auto failure = syncDirectoryOf(target)) throw std::runtime_error(*failure);
}

void writeXmlFile(std::string_view name, const char* bytes, std::size_t length) {
  if (!isXmlContent(std::string_view(bytes, length))) failNotXml();
  writeFileReplacing(name, bytes, length);
}

std::string readXmlFile(std::string_view name, std::string* syncFailure) {
  const std::string target(name);
  const std::string pending = target + std::string(PendingSuffix);

  try {
    std::string text = readRegularFile(pending, false);
    if (!isXmlContent(text)) failNotXml();
    const ParsedXml parsed(text);
    // A pending file cut short right after its declaration still parses;
    // without a root element it is no version of the target.
    if (firstChildElement(parsed.document()) == nullptr) throw std::runtime_error("Failed - no root element");
    // When the rename fails the text is still the newest complete version;
    // the pending file stays and is promoted by a later read or replaced by
    // the next write.
    if (::rename(pending.c_str(), target.c_str()) == 0) {
      if (auto failure = syncDirectoryOf(target); failure && syncFailure != nullptr) *syncFailure = *failure;
    }
    return text;
  } catch (const std::exception&) {
    // No usable pending file: the target is read instead.
  }

  std::string text = readWholeFile(target);
  if (!isXmlContent(text)) failNotXml();
  { const ParsedXml parsed(text); }
  // Usually there is no pending file; a leftover that could not be removed is
  // checked and refused again by the next read.
  (void)::unlink(pending.c_str());
  return text;
}

}  // namespace ko::core
