// The console: standard output behind a bounded buffer and a writer thread
// of its own, so that a parent that stops reading our stdout never stalls a
// thread that logs.
//
// Threads: any logging thread appends whole lines (append, under `lock_` only
// for the copy); the writer thread ("console", started at the first line)
// alone writes to descriptor 1, outside the lock; flush and the destructor
// wait for it with a deadline. `lock_` is a leaf: nothing is called and no I/O
// is done while it is held.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace ko::core {

// Bytes of console text waiting for the writer. At the bound a line is
// dropped whole and counted; the count is told once the console drains.
inline constexpr size_t ConsoleBufferBytes = 256 * 1024;
// Longest single write: a pipe that polls writable takes this much without
// blocking, so the writer always comes back to look at its wake-up.
inline constexpr size_t ConsoleWriteChunk = 4096;
// How long the core's end waits for the console to take what is buffered;
// what is left after it is lost.
inline constexpr std::chrono::milliseconds ConsoleFinalFlush{2000};

class ConsoleSink {
 public:
  // `onDropped(n)` runs on the writer thread, with no lock held, once the
  // buffer has drained after n lines were dropped.
  explicit ConsoleSink(std::function<void(uint64_t)> onDropped = {});
  // Waits up to ConsoleFinalFlush for the buffer to drain, then ends the
  // writer.
  ~ConsoleSink();
  ConsoleSink(const ConsoleSink&) = delete;
  ConsoleSink& operator=(const ConsoleSink&) = delete;

  // Any thread; never blocks on the console. False when the line was dropped
  // (buffer full, or no writer could be started).
  bool append(std::string_view line) noexcept;
  // Waits until everything appended so far has been written (or lost to a
  // failing descriptor), or `timeout` passes; false at the timeout.
  bool flush(std::chrono::milliseconds timeout) noexcept;
  // Lines dropped and not yet told (tests).
  uint64_t droppedLines() noexcept;
  // While held, no writer thread is started and lines are written at once
  // as far as the console takes them without waiting: a thread made before
  // the core's change of user would make that change fail in it (the C
  // library aborts a set*id it cannot make process-wide).
  void holdWriter() noexcept;
  void releaseWriter() noexcept;

 private:
  void run() noexcept;
  // Without a writer thread: writes `line` at once as far as the console
  // takes it without waiting; false when some of it was lost.
  bool writeNow(std::string_view line) noexcept;
  void wake() noexcept;

  std::function<void(uint64_t)> onDropped_;
  // An eventfd (close-on-exec) that wakes the writer from its poll: new
  // text, or the end. -1 when none could be made: the writer then polls the
  // console on a short period instead.
  int wakeFd_ = -1;
  std::mutex lock_;
  std::condition_variable drained_;
  std::string buffer_;     // guarded by lock_: text not yet taken by the writer
  size_t inFlight_ = 0;    // guarded by lock_: bytes the writer has taken and not finished
  uint64_t dropped_ = 0;   // guarded by lock_
  bool stopping_ = false;  // guarded by lock_
  bool started_ = false;   // guarded by lock_
  bool held_ = false;      // guarded by lock_
  std::thread writer_;
  // Serialises the direct writes made while no writer thread exists; held
  // only across writes the console polled ready for.
  std::mutex directLock_;
};

}  // namespace ko::core
