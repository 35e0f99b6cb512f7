// Whether a plugin file is in trusted hands: the rule the core applies before
// it opens any plugin library, and that tools inspecting an install apply to
// say why the core would refuse a file. No core state; any thread.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace ko::core {

// Symbolic links followed while resolving one plugin path, as the kernel's
// own bound; a longer chain is refused.
inline constexpr int MaxPluginPathLinks = 40;

// Why `path` must not be loaded by a core whose effective uid at start is
// `coreEuid`, or nothing when it may be. The path is resolved one component
// at a time from "/", so every directory on the way and every symbolic link
// met is judged, not only the final file:
// - the file reached must be a regular file;
// - it, every directory from it up to "/" (on the way to each link's target
//   too) and every link must be owned by root or `coreEuid`;
// - neither the file nor any of those directories may be writable by group
//   or others, except a root-owned directory with the sticky bit (such as
//   /tmp), where nobody else can rename or remove what is ours.
// The reason is a short text for the log and the inventory, such as
// "writable by group" or "directory /opt/x owned by uid 1000".
[[nodiscard]] std::optional<std::string> untrustedPluginReason(const std::string& path, uid_t coreEuid);

}  // namespace ko::core
