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
// This thread's message buffer, emptied and with room for 2048 characters.
fmt::memory_buffer& logScratch();
}  // namespace detail

template <typename... Args>
void coreLog(int level, fmt::format_string<Args...> format, Args&&... args) {
  DvrCore* core = coreInstance;
  if (core == nullptr || core->effectiveLogLevel(0) > level) return;
  auto& text = detail::logScratch();
  fmt::vformat_to(std::back_inserter(text), groupingLocale(), fmt::string_view(format),
                  fmt::make_format_args(args...));
  submitLog(level, text.size(), text.data());
}

}  // namespace ko::core
