// The address ranges of every object loaded in the process (the core, its
// libraries, each plugin's library and what it pulled in), kept where the
// fatal-signal handler can read them: it names the plugin behind an address
// and prints each backtrace frame as object(+offset) without asking the
// loader, whose lock a crashing thread may hold.
//
// Threads: the table is rebuilt whenever a plugin library is noted or
// forgotten, which the plugin host does on the main thread (serialised by a
// lock of its own all the same); any thread, in a signal handler included,
// looks addresses up. Each slot is a sequence lock over atomic fields, so a
// lookup that meets a slot being rewritten skips it instead of reading a
// torn range.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ko::core {

struct LoadedObject {
  const char* file = nullptr;    // the object's file name, without directory
  uintptr_t base = 0;            // where its addresses are counted from
  const char* plugin = nullptr;  // the plugin's display name; null for others
  uint8_t pluginIndex = 0;       // its identifier byte
};

// Async-signal-safe: the object whose loaded segments hold `address`.
[[nodiscard]] bool findLoadedObject(uintptr_t address, LoadedObject& found) noexcept;

// Re-reads the loaded objects (at installation of the fatal-signal handler).
void refreshLoadedObjects() noexcept;

// After a plugin's "Load" succeeded: its library (the dlopen `handle`) is
// named `name` (interned, see internPluginName) with identifier `index`.
void notePluginLibrary(void* handle, const char* name, uint8_t index) noexcept;

// After the library behind `handle` was closed (its destructors have run,
// still named as the plugin's).
void forgetPluginLibrary(void* handle) noexcept;

}  // namespace ko::core
