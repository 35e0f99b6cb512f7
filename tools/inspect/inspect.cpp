// dvrcore-inspect PLUGIN.so: prints what a plugin says about itself (its
// exported entry points, its PluginInfo) and whether the core's discovery and
// binding would take it, without starting a recorder. The plugin is bound as
// the core binds it (LoadPlugin): its "Load" runs, with a submit function
// that keeps what it logs and refuses everything else, then its "Unload";
// it is never opened. Single-threaded.
//
// dvrcore-inspect --check PLUGIN.so: a conformance run. The plugin runs in
// the real core through the test kit for a bounded time with standard
// traffic, and a table says what it did; exit status 0 only if nothing is
// wrong.
#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "ko/core/event.hpp"
#include "ko/testkit/core.hpp"
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
// The conformance run's traffic: one second of the example camera's
// records, a few alarms and packets.
constexpr int CheckFrames = 25;
constexpr size_t CheckFrameBytes = 6 * 1024;
constexpr size_t CheckAudioBytes = 640;
constexpr int CheckAlarms = 3;
constexpr int CheckPackets = 2;
// How long the run waits for search results and for the core to stop.
constexpr ko::testkit::Millis CheckSearchWait{1000};
constexpr ko::testkit::Millis CheckStopWait{20000};
constexpr uint8_t UnusedIdentifier = 0x7d;

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

// The core and the kit's probe: installed beside the inspector, else the
// ones of the build tree the inspector was built in.
ko::testkit::Options checkOptions(const std::string& plugin, ko::testkit::Millis slow) {
  ko::testkit::Options options;
  options.plugins = {plugin};
  options.slowCall = slow;
  options.slowCallsAreProblems = true;
  std::error_code ec;
  const fs::path self = fs::canonical("/proc/self/exe", ec).parent_path();
  if (!ec && fs::exists(self / "dvrcore")) options.core = self / "dvrcore";
  if (!ec && fs::exists(self / "testkit" / "TestkitProbe.so")) options.probe = self / "testkit" / "TestkitProbe.so";
  return options;
}

struct Left {
  int threads = -1;  // -1: not counted
  int descriptors = -1;
};

// What the core still ran and held once every "Unload" returned, beyond what
// it ran and held before the first "Load".
Left leftBy(const ko::testkit::ExitReport& report, const Left& baseline) {
  auto difference = [](int before, int after, int core) {
    return before < 0 || after < 0 || core == -1 ? -1 : after - before - core;
  };
  return {difference(report.beforeLoad.threads, report.afterUnload.threads, baseline.threads),
          difference(report.beforeLoad.descriptors, report.afterUnload.descriptors, baseline.descriptors)};
}

// The core's own share of that difference: the same kit with no plugin
// under test (the core starts and stops threads of its own between the two
// counts).
Left coreBaseline(const std::string& plugin, ko::testkit::Millis slow) {
  ko::testkit::Options options = checkOptions(plugin, slow);
  options.plugins.clear();
  try {
    ko::testkit::Core core(options);
    return leftBy(core.stop(CheckStopWait), Left{0, 0});
  } catch (const ko::testkit::Error&) {
    return {};
  }
}

int check(const std::string& path, ko::testkit::Millis slow) {
  using namespace ko::testkit;
  fmt::print("{}: conformance run\n", path);
  const Left baseline = coreBaseline(path, slow);
  std::optional<Core> core;
  try {
    core.emplace(checkOptions(path, slow));
  } catch (const Error& error) {
    fmt::print("  did not start: {}\n", error.what());
    return Refused;
  }
  const uint8_t id = core->identifier();
  std::vector<std::string> sent;
  std::string trouble;
  try {
    std::string frame(CheckFrameBytes, '\0');
    const std::string silence(CheckAudioBytes, '\0');
    for (uint32_t n = 1; n <= CheckFrames; ++n) {
      std::memcpy(frame.data(), &n, sizeof n);
      (void)core->inject(video(frame));
      (void)core->inject(audio(silence));
    }
    sent.push_back(fmt::format("{} video and {} audio records", CheckFrames, CheckFrames));
    for (int n = 1; n <= CheckAlarms; ++n) {
      (void)core->inject(alarm(fmt::format("<Alarm Camera=\"1\" Kind=\"motion\" Frame=\"{}\"/>", n * 125)));
    }
    sent.push_back(fmt::format("{} alarms", CheckAlarms));
    // Identifier 0 shares the core's threshold, which the exit report
    // needs at 0: its delta names an identifier nobody has.
    const uint32_t pluginId = static_cast<uint32_t>(id == 0 ? UnusedIdentifier : id) << 16;
    (void)core->inject(config(fmt::format("<?xml version=\"1.0\"?><Kora><Modules Delta=\"1\"><Module><Plugin ID=\"{}\" "
                                          "LogLevel=\"25\"/></Module></Modules></Kora>",
                                          pluginId),
                              camera()));
    sent.push_back("a configuration delta");
    for (const auto& [type, name] : {std::pair{EventTypeVideo, "video"}, std::pair{EventTypeAlarm, "alarm"}}) {
      const auto results = core->search(type, fmt::format("<Search Type=\"{}\" Newest=\"8\"/>", name), 1000,
                                        CheckSearchWait);
      sent.push_back(fmt::format("a {} search ({} results)", name, results.size()));
    }
    for (int n = 1; n <= CheckPackets; ++n) core->sendPacket(0x200, fmt::format("check {}", n));
    sent.push_back(fmt::format("{} IPC packets", CheckPackets));
    core->settle();
  } catch (const Error& error) {
    trouble = error.what();
  }
  const ExitReport& report = core->stop(CheckStopWait);
  sent.push_back("the stop");

  fmt::print("  traffic        {}\n", fmt::join(sent, ", "));
  if (!trouble.empty()) fmt::print("  interrupted    {}\n", trouble.substr(0, trouble.find('\n')));
  // Each entry point the run reaches, and the slowest call the core timed.
  const auto loaded = core->plugins();
  int64_t loadMs = 0, openMs = 0;
  for (const auto& p : loaded) {
    if (p.identifier == id) {
      loadMs = p.loadMs;
      openMs = p.openMs;
    }
  }
  Millis slowestEvent{0};
  for (const auto& call : report.slowCalls) {
    if (call.identifier == id && call.entryPoint == "OnEvent") slowestEvent = std::max(slowestEvent, call.duration);
  }
  void* handle = dlopen(path.c_str(), RTLD_NOW);
  auto exported = [&](const char* name) { return handle != nullptr && dlsym(handle, name) != nullptr; };
  fmt::print("\n  {:<12} {:<9} {}\n", "entry point", "called", "slowest call");
  fmt::print("  {:<12} {:<9} {} ms\n", "Load", "yes", loadMs);
  fmt::print("  {:<12} {:<9} {} ms\n", "Open", "yes", openMs);
  // Events go to "OnEvent", else to "Write"; a plugin with neither gets none.
  const char* eventEntry = exported("OnEvent") || !exported("Write") ? "OnEvent" : "Write";
  fmt::print("  {:<12} {:<9} {}\n", eventEntry, exported(eventEntry) ? "yes" : "no",
             !exported(eventEntry)     ? std::string("-")
             : slowestEvent.count() > 0 ? fmt::format("{} ms", slowestEvent.count())
                                        : fmt::format("under {} ms", CoreSlowHandler.count()));
  for (const char* name : {"OnSearch", "OnIpcResult"}) {
    fmt::print("  {:<12} {:<9} {}\n", name, exported(name) ? "yes" : "no", exported(name) ? "not timed" : "-");
  }
  fmt::print("  {:<12} {:<9} {}\n", "Close", "yes", "not timed");
  fmt::print("  {:<12} {:<9} {}\n", "Unload", report.faults.empty() ? "yes" : "maybe not", "not timed");
  if (handle != nullptr) (void)dlclose(handle);

  int64_t held = 0;
  for (const auto& h : report.held) held += h.references;
  fmt::print("\n  references held at exit   {}\n", held);
  fmt::print("  faults                    {}\n", report.faults.empty() ? "none" : std::to_string(report.faults.size()));
  const Left left = leftBy(report, baseline);
  const int threadsLeft = left.threads;
  const int descriptorsLeft = left.descriptors;
  auto shown = [](int count) { return count < 0 ? std::string("not counted") : std::to_string(count); };
  fmt::print("  threads left after Unload {}\n", shown(threadsLeft));
  fmt::print("  descriptors left          {}\n", shown(descriptorsLeft));
  fmt::print("  exit                      {}\n",
             report.timedOut ? "killed after the stop timed out"
                             : (report.signal != 0 ? fmt::format("signal {}", report.signal)
                                                   : fmt::format("status {}", report.exitCode)));
  std::string problems = report.problems();
  const std::string name = fs::path(path).filename().string();
  if (threadsLeft > 0) {
    problems += fmt::format("{} left {} thread(s) running after \"Unload\"\n", name, threadsLeft);
  }
  if (descriptorsLeft > 0) {
    problems += fmt::format("{} left {} descriptor(s) open after \"Unload\"\n", name, descriptorsLeft);
  }
  // Uncounted (a core that never reached its last "Unload", or a baseline
  // that did not run) is not vouched for.
  if ((threadsLeft < 0 || descriptorsLeft < 0) && problems.empty()) {
    problems += "the core did not count what was left after \"Unload\"\n";
  }
  if (problems.empty() && trouble.empty()) {
    fmt::print("\nVerdict\n  passed\n");
    return Acceptable;
  }
  fmt::print("\nVerdict\n");
  std::istringstream lines(problems);
  for (std::string line; std::getline(lines, line);) fmt::print("  failed: {}\n", line);
  if (!trouble.empty()) fmt::print("  failed: the run was interrupted\n");
  return Refused;
}

void usage(FILE* out) {
  std::fputs(
      "usage: dvrcore-inspect [--against DIR] PLUGIN.so\n"
      "       dvrcore-inspect --check [--slow MS] PLUGIN.so\n"
      "Prints what the plugin says about itself (entry points, identifier, the records it wants, search\n"
      "words, close rank, thread requests) and whether the core's discovery would refuse it (file trust,\n"
      "name, an identifier already taken by a plugin in DIR). Runs the plugin's \"Load\" and \"Unload\"\n"
      "(and those of the plugins in DIR), never its \"Open\". Exit status 0: the core would load and open\n"
      "it; 1: it would refuse it, never open it, or drop it as a duplicate; 2: usage.\n"
      "--check runs it inside the real core through the test kit with standard traffic (video, audio,\n"
      "alarms, a configuration delta, searches, IPC packets, the stop) and prints what it did; exit\n"
      "status 0 only if nothing is wrong (no reference held, no fault, no thread running or\n"
      "descriptor open after \"Unload\", no call over 5 ms, or over MS with --slow; the core times\n"
      "no shorter call).\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<fs::path> against;
  std::optional<fs::path> file;
  bool conformance = false;
  ko::testkit::Millis slow = ko::testkit::CoreSlowHandler;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      usage(stdout);
      return Acceptable;
    }
    if (arg == "--check") {
      conformance = true;
    } else if (arg == "--slow" && i + 1 < argc) {
      slow = ko::testkit::Millis(std::max(std::atol(argv[++i]), static_cast<long>(ko::testkit::CoreSlowHandler.count())));
    } else if (arg == "--against" && i + 1 < argc) {
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
  if (conformance) return check(path, slow);
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
