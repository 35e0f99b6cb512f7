// dvrcore-inspect PLUGIN.so: prints what a plugin says about itself (its
// exported entry points, its PluginInfo) and whether the core's discovery and
// binding would take it, without starting a recorder. The plugin is bound as
// the core binds it (LoadPlugin): its "Load" runs, with a submit function
// that keeps what it logs and refuses everything else, then its "Unload";
// it is never opened. Single-threaded.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "ko/core/event.hpp"
#include "plugins/file_trust.h"
#include "plugins/plugin.h"

namespace {

using namespace ko::core;
namespace fs = std::filesystem;

// Exit statuses.
constexpr int Acceptable = 0;  // discovery and binding would take it
constexpr int Refused = 1;     // the core would refuse, never open or drop it
constexpr int Usage = 2;

constexpr std::string_view LogPluginFile = "LogPI.so";
constexpr std::string_view FirstGroupMark = "tKorpi";
constexpr uint8_t FirstInDispatchIndex = 0x06;
constexpr uint8_t DetachedAtCloseIndex = 0x08;
// What the inspector keeps of the plugin's log records from "Load".
constexpr size_t MaxKeptLines = 20;

std::vector<std::string> loggedInLoad;

extern "C" int32_t inspectSubmit(EventParms* record) noexcept {
  if (record == nullptr) return 1;
  if (baseType(record->type) == EventTypeLog && (record->flags & EventFlagQuery) == 0) {
    if (loggedInLoad.size() < MaxKeptLines) {
      try {
        loggedInLoad.push_back(fmt::format("level {}: {}", record->body.bodyParam, payloadText(*record)));
      } catch (...) {
      }
    }
    return 0;
  }
  // The threshold query: the default threshold, as a core with no core.xml.
  if (baseType(record->type) == EventTypeLog) return 25;
  return 1;  // no core is running: nothing else is accepted
}

struct Entry {
  const char* name;
  bool mandatory;
  const char* absent;  // what its absence means
};
constexpr Entry Entries[] = {
    {"Load", true, "the core refuses to load it (load code -101)"},
    {"Unload", true, "the core refuses to load it (load code -101)"},
    {"Open", true, "loaded but never opened (OpenCode -102): no events, searches or reader thread"},
    {"Close", true, "loaded but never opened (OpenCode -102): no events, searches or reader thread"},
    {"OnEvent", false, "events go to \"Write\" if it sets acceptsWrite and exports it, else it receives none"},
    {"OnSearch", false, "searches go to \"Read\" if it asks for a reader and sets a search bit, else none"},
    {"Read", false, "no reader thread, and no searches without \"OnSearch\""},
    {"Write", false, "used only without \"OnEvent\""},
    {"IOCTL", false, "no worker thread; configuration documents and packets only through \"OnEvent\"/\"OnIpcResult\""},
    {"OnIpcResult", false, "packets from the parent go to \"IOCTL\" code 4, if exported"},
};

bool wants(uint64_t word) { return (static_cast<uint32_t>(word) & WantBit) != 0; }
bool serves(uint64_t word) { return (static_cast<uint32_t>(word) & SearchBit) != 0; }

struct Words {
  const char* name;
  uint64_t PluginInfo::*word;
  bool searchable;
};
constexpr Words AllWords[] = {
    {"video", &PluginInfo::videoWord, true},   {"audio", &PluginInfo::audioWord, true},
    {"alarm", &PluginInfo::alarmWord, true},   {"ptz", &PluginInfo::ptzWord, false},
    {"serial", &PluginInfo::serialWord, false}, {"log", &PluginInfo::logWord, true},
    {"pos", &PluginInfo::posWord, true},       {"analytic", &PluginInfo::analyticWord, true},
};

std::string listOr(const std::vector<std::string>& items, const char* none) {
  if (items.empty()) return none;
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : " ") + item;
  return text;
}

// Whether the identifier of another plugin file in `dir` equals `index`
// (or both speak as the core); the clashing files, in discovery order.
std::vector<std::string> clashes(const fs::path& dir, const fs::path& self, const Plugin& mine) {
  std::vector<std::string> found;
  std::error_code ec;
  std::vector<fs::path> files;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().extension() != ".so" || it->path().filename() == LogPluginFile) continue;
    std::error_code same;
    if (fs::equivalent(it->path(), self, same)) continue;
    files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    auto other = LoadPlugin(file.string(), inspectSubmit, nullptr, 0);
    if (!other->loaded()) continue;
    const bool clash = mine.isCore() || other->isCore() ? mine.isCore() && other->isCore()
                                                        : mine.sourceIndexOf() == other->sourceIndexOf();
    if (clash) found.push_back(file.filename().string());
    other->Retire(Plugin::Retired::Unloaded);
  }
  return found;
}

void usage(FILE* out) {
  std::fputs(
      "usage: dvrcore-inspect [--against DIR] PLUGIN.so\n"
      "Prints what the plugin says about itself (entry points, identifier, the records it wants, search\n"
      "words, close rank, thread requests) and whether the core's discovery would refuse it (file trust,\n"
      "name, an identifier already taken by a plugin in DIR). Runs the plugin's \"Load\" and \"Unload\"\n"
      "(and those of the plugins in DIR), never its \"Open\". Exit status 0: the core would load and open\n"
      "it; 1: it would refuse it, never open it, or drop it as a duplicate; 2: usage.\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<fs::path> against;
  std::optional<fs::path> file;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      usage(stdout);
      return Acceptable;
    }
    if (arg == "--against" && i + 1 < argc) {
      against = argv[++i];
    } else if (!arg.empty() && arg[0] != '-' && !file) {
      file = std::string(arg);
    } else {
      usage(stderr);
      return Usage;
    }
  }
  if (!file) {
    usage(stderr);
    return Usage;
  }
  const std::string path = fs::absolute(*file).lexically_normal().string();
  const std::string name = file->filename().string();
  std::vector<std::string> refusals;  // why the core would not take it

  fmt::print("{}\n", path);
  fmt::print("\nDiscovery\n");
  const uid_t euid = geteuid();
  if (auto reason = untrustedPluginReason(path, euid)) {
    fmt::print("  file trust     refused: {}\n", *reason);
    refusals.push_back("file trust: " + *reason);
  } else {
    fmt::print("  file trust     ok for a core running as uid {}\n", euid);
  }
  if (file->extension() != ".so") {
    fmt::print("  name           refused: only files ending in \".so\" are plugins\n");
    refusals.push_back("name: not a .so file");
  } else if (name == LogPluginFile) {
    fmt::print("  name           the logging plugin: bound by name at start-up, never discovered\n");
  } else if (name.find(FirstGroupMark) != std::string::npos) {
    fmt::print("  name           ok; loads in the first group (its name contains \"{}\")\n", FirstGroupMark);
  } else {
    fmt::print("  name           ok; loads in file-name order (case-insensitive)\n");
  }

  auto plugin = LoadPlugin(path, inspectSubmit, nullptr, 0);
  fmt::print("\nEntry points\n");
  if (!plugin->loaded() && plugin->loadCode == 79) {
    fmt::print("  the library cannot be opened: {}\n", plugin->errorText);
    refusals.push_back("load code 79: " + plugin->errorText);
  } else {
    // Looked up in the plugin's own library, as the binder does.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) handle = dlopen(path.c_str(), RTLD_NOW);
    for (const auto& entry : Entries) {
      const bool present = handle != nullptr && dlsym(handle, entry.name) != nullptr;
      fmt::print("  {:<12} {:<8} {}{}\n", entry.name, present ? "exported" : "missing",
                 entry.mandatory ? "mandatory" : "optional", present ? "" : fmt::format(": {}", entry.absent));
      if (!present && entry.mandatory && std::strcmp(entry.name, "Open") == 0) {
        refusals.push_back("lacks \"Open\": never opened (OpenCode -102)");
      }
      if (!present && entry.mandatory && std::strcmp(entry.name, "Close") == 0) {
        refusals.push_back("lacks \"Close\": never opened (OpenCode -102)");
      }
    }
    if (handle != nullptr) (void)dlclose(handle);
  }

  if (plugin->loadCode == -101) refusals.push_back("lacks \"Load\" or \"Unload\" (load code -101)");
  if (plugin->loaded() || plugin->loadCode != 79) {
    fmt::print("\nLoad\n");
    if (plugin->loadCode == -101) {
      fmt::print("  not called: {}\n", plugin->errorText);
    } else {
      fmt::print("  returned       {}{} in {:.1f} ms\n", plugin->loadCode,
                 plugin->loadCode == 0 ? " (loaded)" : " (the core would refuse it)",
                 static_cast<double>(plugin->loadTime) / 1e6);
      if (plugin->loadCode != 0) refusals.push_back(plugin->errorText);
      for (const auto& line : loggedInLoad) fmt::print("  logged         {}\n", line);
    }
  }

  if (plugin->loaded()) {
    const PluginInfo& info = plugin->info;
    fmt::print("\nWhat it says about itself\n");
    fmt::print("  ABI            PluginInfo {} bytes, version {}; LoadParms version {}; interface {}\n", info.size,
               info.version, KO_LOAD_PARMS_VERSION, KO_ABI_VERSION);
    const auto id = static_cast<uint32_t>(info.sourceId);
    if (plugin->isCore()) {
      fmt::print("  identifier     none: it speaks as the core (source id 0x{:08x})\n", id);
    } else {
      std::string role;
      const uint8_t index = plugin->sourceIndexOf();
      if (index == 0) role = " (the requester: its records with a request id are search requests)";
      if (index == FirstInDispatchIndex) role = " (dispatched first)";
      if (index == DetachedAtCloseIndex) role = " (left out of the close order; the logging plugin's)";
      fmt::print("  identifier     {:02x}{}, source id 0x{:08x}\n", index, role, id);
    }
    std::vector<std::string> wanted, searched;
    for (const auto& w : AllWords) {
      if (wants(info.*(w.word))) wanted.emplace_back(w.name);
      if (w.searchable && serves(info.*(w.word))) searched.emplace_back(w.name);
    }
    fmt::print("  wants          {}\n", listOr(wanted, "no records by type"));
    fmt::print("  search words   {}\n", listOr(searched, "none"));
    fmt::print("  close rank     {}{}\n", info.closeRank, info.closeRank == 0 ? " (closed after ranked plugins)" : "");
    fmt::print("  worker thread  {}\n", info.wantsWorkerThread != 0
                                            ? (plugin->entry.IOCTL != nullptr ? "asked for" : "asked for, but no \"IOCTL\": none given")
                                            : "no");
    fmt::print("  reader thread  {}\n", info.wantsAsyncReader != 0 ? "asked for" : "no");
    fmt::print("  accepts Write  {}\n", info.acceptsWrite != 0 ? "yes" : "no");

    if (against) {
      fmt::print("\nAgainst {}\n", against->string());
      const auto others = clashes(*against, path, *plugin);
      if (others.empty()) {
        fmt::print("  identifier     not taken by any plugin there\n");
      } else {
        for (const auto& other : others) {
          fmt::print("  identifier     taken by {}: the later of the two in discovery order is dropped\n", other);
        }
        refusals.push_back("identifier clashes with " + others.front());
      }
    }
    plugin->Retire(Plugin::Retired::Unloaded);
  }

  fmt::print("\nVerdict\n");
  if (refusals.empty()) {
    fmt::print("  the core would load and open it\n");
    return Acceptable;
  }
  for (const auto& why : refusals) fmt::print("  refused: {}\n", why);
  return Refused;
}
