// Shared by the fuzz targets: reading structure out of the fuzzer's bytes, a
// check that stops the run with a message, a quiet in-process core, and a
// private working directory. The same sources build into libFuzzer targets
// (clang) and into the replay runner of the plain test suite (any compiler).
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <memory>
#include <string>
#include <string_view>

#include "core/dvr_core.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace ko::fuzz {

// The process's private directory once made (runDirectory below).
inline const std::filesystem::path*& madeRunDirectory() {
  static const std::filesystem::path* path = nullptr;
  return path;
}

// A failed check is a finding: print it and abort so that libFuzzer saves
// the input (and the replay runner fails). The abort runs no destructors, so
// the private directory goes here.
[[noreturn]] inline void fail(const char* file, int line, const char* what) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  if (const std::filesystem::path* path = madeRunDirectory()) {
    std::error_code ec;
    std::filesystem::remove_all(*path, ec);
  }
  std::abort();
}
#define KO_FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : ::ko::fuzz::fail(__FILE__, __LINE__, #condition))

// Takes little-endian integers and byte runs from the front of the input;
// once it is used up every read gives zeros.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) noexcept : data_(data), size_(size) {}

  size_t left() const noexcept { return size_ - at_; }
  bool empty() const noexcept { return at_ >= size_; }

  template <typename T>
  T take() noexcept {
    T value{};
    for (size_t i = 0; i < sizeof(T) && at_ < size_; ++i) {
      value = static_cast<T>(value | static_cast<T>(static_cast<T>(data_[at_++]) << (8 * i)));
    }
    return value;
  }

  std::string_view bytes(size_t count) noexcept {
    count = std::min(count, left());
    std::string_view out(reinterpret_cast<const char*>(data_ + at_), count);
    at_ += count;
    return out;
  }
  std::string_view rest() noexcept { return bytes(left()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Splits `text` at every `separator`; the pieces in order.
template <typename Fn>
void splitEach(std::string_view text, std::string_view separator, Fn&& fn) {
  for (;;) {
    const size_t at = text.find(separator);
    fn(text.substr(0, at));
    if (at == std::string_view::npos) return;
    text.remove_prefix(at + separator.size());
  }
}

// A core that prints nothing (so executions per second measure the code
// under test) and is reachable through coreInstance, as plugins need.
inline std::unique_ptr<core::DvrCore> quietCore(const std::string& corePath = "/nonexistent/bin/dvrcore") {
  auto core = std::make_unique<core::DvrCore>(corePath);
  core->consoleQuiet = true;
  // The core's own progress lines (the statistics report) would otherwise be
  // queued as log records on every drain.
  core->logLevels[0] = 100;
  core::coreInstance = core.get();
  return core;
}

// Drops what the core queued (its own log records, published documents),
// giving back the queue's references, so that nothing piles up across runs.
inline void discardQueue(core::DvrCore& core) {
  decltype(core.eventQueue) queued;
  {
    std::lock_guard lock(core.queueLock);
    queued.swap(core.eventQueue);
  }
  for (const auto& record : queued) core.releaseEventRef(record.data, 0);
}

// A fresh directory for the whole run, on memory when possible: the
// configuration files are written with synchronous writes.
inline std::filesystem::path privateDirectory(const char* tag) {
  std::string base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  if (const char* tmp = std::getenv("KO_FUZZ_TMPDIR")) base = tmp;
  std::string pattern = base + "/ko-fuzz-" + tag + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  return pattern;
}

// Removes the directory when the process ends normally.
struct DirectoryRemover {
  std::filesystem::path path;
  ~DirectoryRemover() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

// The process's one private directory, removed at a normal exit even where
// the harness working in it is left alive on purpose (a core is never torn
// down between runs).
inline const std::filesystem::path& runDirectory(const char* tag) {
  static const DirectoryRemover remover{privateDirectory(tag)};
  madeRunDirectory() = &remover.path;
  return remover.path;
}

}  // namespace ko::fuzz
