// Building the list of plugin files: two fixed directories beside the
// program, filtered entry by entry, then sorted into load order. Runs on the
// main thread during loading.
#include "plugins/discovery.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace ko::core {

namespace {

namespace fs = std::filesystem;

constexpr std::array<const char*, 2> PluginDirectories = {"protected-plugins", "plugins"};
constexpr std::string_view LogPluginFile = "LogPI.so";
constexpr std::string_view FirstGroupMark = "tKorpi";

std::string_view fileNameOf(const std::string& path) noexcept {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string_view(path) : std::string_view(path).substr(slash + 1);
}

// Appends the plugin files of one directory. Every entry is judged on its own
// error code, so an entry whose type cannot be read (a dangling link) costs
// only itself; an error while advancing the listing ends this directory and
// keeps what was found.
void scanDirectory(const fs::path& directory, std::vector<std::string>& files) {
  std::error_code ec;
  fs::directory_iterator it(directory, ec);
  if (ec) return;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) return;
    const fs::path& path = it->path();
    if (path.extension() != ".so") continue;
    std::error_code statusError;
    if (!fs::is_regular_file(fs::status(path, statusError))) continue;
    const std::string name = path.filename().string();
    if (name == LogPluginFile) continue;
    const bool known = std::any_of(files.begin(), files.end(),
                                   [&](const std::string& f) { return fileNameOf(f) == name; });
    if (known) continue;
    files.push_back(path.string());
  }
}

}  // namespace

std::vector<std::string> FindPluginFiles(const std::string& programDir) {
  std::vector<std::string> files;
  for (const char* name : PluginDirectories) scanDirectory(fs::path(programDir) / name, files);
  // Stable, so files whose names compare equal ("A.so" and "a.so") keep the
  // order they were found in: protected-plugins first.
  std::stable_sort(files.begin(), files.end(), PluginFileBefore);
  return files;
}

bool PluginFileBefore(const std::string& a, const std::string& b) noexcept {
  const bool aFirst = a.find(FirstGroupMark) != std::string::npos;
  const bool bFirst = b.find(FirstGroupMark) != std::string::npos;
  if (aFirst != bFirst) return aFirst;
  // File names never contain '/', so the views end where the strings do.
  return strcasecmp(fileNameOf(a).data(), fileNameOf(b).data()) < 0;
}

}  // namespace ko::core
