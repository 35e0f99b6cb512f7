// Log records: the threshold filter applied at submission, the console and
// syslog sinks, and the core's own record builder. Entered from every thread.
#include "log/core_log.h"

#include <fmt/chrono.h>
#include <syslog.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "plugins/plugin.h"

namespace ko::core {

namespace {

constexpr std::string_view ColourTable[2][7] = {
    {"", "", "", "", "", "", ""},
    {"\x1b[38;5;248m", "\x1b[32m", "\x1b[38;5;227m", "\x1b[38;5;196m", "\x1b[38;5;37m\x1b[38;5;1m",
     "\x1b[36m", "\x1b[0m"},
};

constexpr int DefaultThreshold = 25;

}  // namespace

const std::locale& groupingLocale() {
  static const std::locale locale = [] {
    try {
      return std::locale("en_US.UTF-8");
    } catch (const std::exception&) {
      return std::locale::classic();
    }
  }();
  return locale;
}

namespace detail {
std::string makeLogScratch() {
  std::string text;
  text.reserve(2048);
  return text;
}
}  // namespace detail

int32_t submitLog(int level, size_t length, const char* text) {
  if (length == 0) return 0;
  DvrCore* core = coreInstance;
  if (core == nullptr) return 0;
  auto record = makeEvent(EventTypeLog, EventClassLive | EventFlagText, CoreSourceId, text,
                          static_cast<uint32_t>(length));
  record.body.bodyParam = static_cast<uint32_t>(level);
  return core->submitEvent(record);
}

int DvrCore::effectiveLogLevel(uint8_t index) const noexcept {
  const int32_t level = logLevels[index].load(std::memory_order_relaxed);
  return level < 0 ? DefaultThreshold : level;
}

int DvrCore::filterLogRecord(const EventParms& record) {
  if ((record.flags & EventClassLive) == 0) return 1;
  if (record.length == 0) return 0;
  // A record whose type carries the modifier (or anything beyond 64) counts
  // as level 0.
  const int level = record.type == EventTypeLog
                        ? static_cast<int32_t>(static_cast<uint32_t>(record.body.bodyParam))
                        : 0;
  const uint8_t index = sourceIndex(record.source);
  if (effectiveLogLevel(index) > level) return 0;
  if ((record.flags & EventFlagText) != 0 && record.data != nullptr) {
    printLogLine(index, level, record.length, static_cast<const char*>(record.data));
  }
  if (stopRequested.load()) {
    // The dispatch loop no longer runs: the logging plugin gets the record
    // now, on the submitting thread.
    deliverToLogPlugin(record);
  }
  return 1;
}

void DvrCore::printLogLine(uint8_t index, int level, size_t length, const char* text) {
  if (length == 0 || text == nullptr) return;
  while (length > 0 && (text[length - 1] == '\0' || text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
  if (length == 0) return;
  if (level >= 100) {
    // No openlog: the program name and the default facility identify us.
    syslog(LOG_CRIT, "%.*s", static_cast<int>(length), text);
    level = 100;
  }
  if (consoleQuiet.load(std::memory_order_relaxed)) return;
  if (level < 0) level = 0;

  try {
    thread_local std::string tag;
    tag.clear();
    const auto now = std::chrono::system_clock::now();
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const auto seconds = static_cast<std::time_t>(millis / 1000);
    const auto& row = ColourTable[consoleColour ? 1 : 0];

    std::lock_guard lock(logLock);
    if (auto it = logTags.find(index); it != logTags.end()) {
      tag = it->second;
    } else {
      fmt::format_to(std::back_inserter(tag), "PI{:02x}", index);
    }
    std::tm local{};
    localtime_r(&seconds, &local);
    fmt::memory_buffer line;
    fmt::format_to(std::back_inserter(line), "{}{:%T}.{:03}{} {}{} {}\n", row[level / 25], local,
                   static_cast<int>(millis % 1000), row[5], tag, row[6], std::string_view(text, length));
    // One write per line. A failed or short write loses this console line
    // and nothing else: the record goes on to the queue and the logging
    // plugin whatever the console does. Each line is flushed so that a core
    // that dies leaves its last lines behind.
    if (std::fwrite(line.data(), 1, line.size(), stdout) == line.size()) (void)std::fflush(stdout);
  } catch (...) {
    // Out of memory while building the line: the same rule applies.
  }
}

}  // namespace ko::core
