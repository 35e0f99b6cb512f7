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
void sendAlert(int level, const std::string& text) noexcept {
  if (level >= 100 || text.empty()) return;
  syslog(level >= 75 ? LOG_ERR : LOG_WARNING, "%.*s", static_cast<int>(text.size()), text.data());
}

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
  // The core's own lines are never refused; a plugin's count against its
  // source's budget once they pass its threshold.
  const bool budgeted = static_cast<uint32_t>(record.source) != CoreSourceId;
  const auto withinBudget = [&] {
    if (!budgeted) return true;
    const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    if (logBudget.take(sourceIndex(record.source), now)) return true;
    reportLogRefusals(now);
    return false;
  };
  if ((record.flags & EventClassLive) == 0) return withinBudget() ? 1 : 2;
  if (record.length == 0) return 0;
  // A record whose type carries the modifier (or anything beyond 64) counts
  // as level 0.
  const int level = record.type == EventTypeLog
                        ? static_cast<int32_t>(static_cast<uint32_t>(record.body.bodyParam))
                        : 0;
  const uint8_t index = sourceIndex(record.source);
  if (effectiveLogLevel(index) > level) return 0;
  if (!withinBudget()) return 2;
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
    thread_local fmt::memory_buffer line;
    tag.clear();
    line.clear();
    const auto now = std::chrono::system_clock::now();
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const auto seconds = static_cast<std::time_t>(millis / 1000);
    const auto& row = ColourTable[consoleColour ? 1 : 0];
    {
      std::lock_guard lock(logLock);
      if (auto it = logTags.find(index); it != logTags.end()) {
        tag = it->second;
      } else {
        fmt::format_to(std::back_inserter(tag), "PI{:02x}", index);
      }
    }
    std::tm local{};
    localtime_r(&seconds, &local);
    fmt::format_to(std::back_inserter(line), "{}{:%T}.{:03}{} {}{} {}\n", row[level / 25], local,
                   static_cast<int>(millis % 1000), row[5], tag, row[6], std::string_view(text, length));
    // The console's own buffer takes the whole line or, full, drops and
    // counts it: a console nobody reads costs console lines and nothing
    // else. The record goes on to the queue and the logging plugin whatever
    // the console does.
    (void)console.append(std::string_view(line.data(), line.size()));
  } catch (...) {
    // Out of memory while building the line: the same rule applies.
  }
}

void DvrCore::reportLogRefusals(int64_t now) {
  try {
    for (const auto& [index, count] : logBudget.dueReports(now)) {
      std::string tag;
      {
        std::lock_guard lock(logLock);
        if (auto it = logNames.find(index); it != logNames.end()) {
          tag = it->second;
        } else if (auto tagged = logTags.find(index); tagged != logTags.end()) {
          tag = tagged->second;
        }
      }
      if (tag.empty()) tag = fmt::format("PI{:02x}", index);
      alertLog(50, "{:L} log records from {} refused: over its budget of {:L} a second", count, tag,
               LogRecordsPerSecond);
    }
  } catch (...) {
    // No memory for the report: the counts are lost, nothing else.
  }
}

void reportDroppedConsoleLines(uint64_t lines) { coreLog(50, "{:L} console lines dropped", lines); }

}  // namespace ko::core
