// The core's own log functions. Any thread may call them; they reach the core
// through coreInstance and do nothing before it exists.
//
// coreLog formats only when the core's own threshold lets the level through,
// into a per-thread buffer reused across calls, and submits the text as a
// type-64 record from the core, exactly as a plugin's log record travels.
#pragma once

#include <fmt/format.h>

#include <cstddef>
#include <cstdint>
#include <locale>
#include <string>

#include "core/dvr_core.h"

namespace ko::core {

// The one process-wide locale used for "{:L}" digit grouping: "en_US.UTF-8"
// when the system has it, else the classic locale.
const std::locale& groupingLocale();

// Builds the core's log record for `text` and submits it; 0 without doing
// anything when `length` is 0, else the submission's result.
int32_t submitLog(int level, size_t length, const char* text);

namespace detail {
// Writes `text` to syslog now, at the priority of `level` (warning, or error
// from 75); level 100 is left to the console sink, which sends it already.
void sendAlert(int level, const std::string& text) noexcept;
// A message buffer for one coreLog instantiation on one thread: 2048
// characters reserved on first use, kept across calls.
std::string makeLogScratch();
}  // namespace detail

// Logs one message from the core at `level` (0, 25, 50, 75 or 100). Nothing
// is formatted when the core's own threshold drops the level. Each
// instantiation formats into its own per-thread buffer, so a message logged
// while another is being submitted on the same thread (a plugin's callback
// during a direct hand-off) leaves the outer text alone. Never throws: a
// message that cannot be formatted is lost, not the caller's thread.
template <typename... Args>
void coreLog(int level, fmt::format_string<Args...> format, Args&&... args) noexcept {
  DvrCore* core = coreInstance;
  if (core == nullptr || core->effectiveLogLevel(0) > level) return;
  try {
    thread_local std::string text = detail::makeLogScratch();
    text.clear();
    fmt::vformat_to(std::back_inserter(text), groupingLocale(), fmt::string_view(format),
                    fmt::make_format_args(args...));
    submitLog(level, text.size(), text.data());
  } catch (...) {
    // Out of memory while formatting: this message is lost, nothing else.
  }
}

// Like coreLog, and also straight to syslog on the calling thread: for the
// lines an operator must see at once (a stuck call, refusing beginning),
// which in the queue wait behind the very stall they report. Syslog gets
// them whatever the core's threshold.
template <typename... Args>
void alertLog(int level, fmt::format_string<Args...> format, Args&&... args) noexcept {
  DvrCore* core = coreInstance;
  if (core == nullptr) return;
  try {
    thread_local std::string text = detail::makeLogScratch();
    text.clear();
    fmt::vformat_to(std::back_inserter(text), groupingLocale(), fmt::string_view(format),
                    fmt::make_format_args(args...));
    detail::sendAlert(level, text);
    if (core->effectiveLogLevel(0) <= level) submitLog(level, text.size(), text.data());
  } catch (...) {
    // Out of memory while formatting: this message is lost, nothing else.
  }
}

}  // namespace ko::core
