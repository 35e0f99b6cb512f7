// Which plugin files the core loads and in which order. Main thread only,
// once at the start of loading; nothing here touches the core object.
#pragma once

#include <string>
#include <vector>

namespace ko::core {

// Full paths of the plugin files in "protected-plugins" and then "plugins"
// under `programDir`, sorted with PluginFileBefore. A file name found in
// "protected-plugins" hides the same name (case-sensitive) in "plugins".
// Missing or unreadable directories and entries contribute nothing; the
// logging plugin "LogPI.so" is never listed.
std::vector<std::string> FindPluginFiles(const std::string& programDir);

// Load order: paths containing "tKorpi" first, then the rest; within each
// group case-insensitive order of the file names alone, so both directories
// interleave. A strict weak ordering, as sorting requires.
bool PluginFileBefore(const std::string& a, const std::string& b) noexcept;

}  // namespace ko::core
