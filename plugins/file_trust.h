// Whether a plugin file may be trusted: what another user could have written
// is not loaded into the core. No core state; any thread.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace ko::core {

// Why the file at `path` is not to be trusted by a core running as
// `coreEuid`, or nothing when it is: it must be a regular file, and it and
// every directory above it up to "/" must be owned by root or `coreEuid` and
// writable by neither group nor others, except a directory that is sticky
// and owned by root (such as /tmp), where others cannot replace what they do
// not own.
[[nodiscard]] std::optional<std::string> untrustedPluginReason(const std::string& path, uid_t coreEuid);

}  // namespace ko::core
