// The plugin test kit: runs a plugin under test inside the real dvrcore, as
// the camera's parent daemon would start it, and lets a unit test of any
// framework play everyone around the plugin.
//
//   ko::testkit::Core core("build/MyPlugin.so");
//   for (int i = 1; i <= 3; ++i) core.inject(ko::testkit::alarm("<Alarm N=\"" + std::to_string(i) + "\"/>"));
//   auto results = core.search(ko::core::EventTypeAlarm, "<Search Newest=\"3\"/>", 3);
//   const auto& report = core.stop();
//   // report.problems() is empty: exit 0, nothing held, no plugin left
//   // loaded, no stuck call, no crash, no refused release
//
// What runs: a copy of the core in a temporary tree, the plugins under test
// in its plugins/, and the kit's probe plugin bound as the logging plugin (so
// it also sees the log records written while the core shuts down). The kit
// is the parent at the other end of the core's channel. The probe submits
// what the test injects and reports every record the core delivers to it.
// The core runs with its own threshold at 0, so that it lists the references
// still held at exit; the kit hides the core's extra level-0 lines from the
// records it collects.
//
// Set-up failures throw ko::testkit::Error, among them a plugin under test
// that the core loaded but did not open; waits return what they got.
// Not thread-safe: one test thread drives one Core. Compiles as C++17.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ko/core/event.hpp"

namespace ko::testkit {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// The core reports an event delivery that took more than this (its
// slow-handler line); calls shorter than it are not seen by the kit.
inline constexpr Millis CoreSlowHandler{5};

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// One record with a copy of its payload. `parms.data` is always null: the
// payload lives in `payload`. Payloads travel up to 128 KiB: a longer one
// is cut there (`parms.length` keeps the whole length), and injecting one
// throws.
struct Record {
  ko::core::EventParms parms = ko::core::makeRecord<ko::core::EventParms>();
  std::string payload;
  // When the kit received it, on the test process's steady clock (the probe
  // passes each record on as the core delivers it); unset in records a test
  // builds. The interval between two arrivals is the interval the plugin
  // produced, to within the delivery's latency.
  Clock::time_point arrived{};

  uint32_t type() const { return static_cast<uint32_t>(parms.type); }
  uint32_t baseType() const { return ko::core::baseType(parms.type); }
  uint32_t source() const { return static_cast<uint32_t>(parms.source); }
  uint8_t identifier() const { return ko::core::koSourceIdentifier(parms.source); }
  uint32_t requestId() const { return static_cast<uint32_t>(parms.requestId); }
  uint64_t flags() const { return parms.flags; }
  bool stored() const { return (parms.flags & ko::core::EventClassStored) != 0; }
  // The level of a log record.
  int32_t level() const { return static_cast<int32_t>(parms.body.bodyParam); }
  const std::string& text() const { return payload; }

  // Chainable changes for records a test injects.
  Record& from(uint32_t sourceId) {
    parms.source = sourceId;
    return *this;
  }
  Record& request(uint32_t id) {
    parms.requestId = id;
    return *this;
  }
  Record& withFlags(uint64_t flags) {
    parms.flags = flags;
    return *this;
  }
  Record& param(uint32_t value) {
    parms.body.bodyParam = value;
    return *this;
  }
};

// Sources a test speaks as. The core's own records carry CoreSource.
inline constexpr uint32_t CoreSource = ko::core::CoreSourceId;
constexpr uint32_t plugin(uint8_t identifier, uint16_t channel = 0) { return ko::core::koSourceId(identifier, channel); }
constexpr uint32_t camera(uint16_t channel = 1) { return ko::core::koSourceId(0x10, channel); }

// Records as their usual producers send them (live class; XML or text flag
// where the type carries one).
Record event(uint32_t type, std::string payload, uint32_t source = camera(), uint64_t flags = ko::core::EventClassLive);
Record alarm(std::string xml, uint32_t source = camera());
Record video(std::string frame, uint32_t source = camera());
Record audio(std::string frame, uint32_t source = camera());
Record logRecord(int32_t level, std::string text, uint32_t source);
// A configuration document as another plugin sends it; CoreSource makes it
// the core's.
Record config(std::string xml, uint32_t source);

// A packet between the parent and a plugin.
struct Packet {
  uint32_t target = 0;
  uint32_t command = 0;
  uint32_t word3 = 0;
  std::string payload;
  // The plugin identifier in bits 20..27 of `target`.
  uint8_t identifier() const { return static_cast<uint8_t>(target >> 20); }
};

// One loaded plugin, from the configuration document the core published.
struct LoadedPlugin {
  uint8_t identifier = 0;
  std::string fileName;
  int32_t openCode = 0;  // 0 opened; -102 it lacks "Open" or "Close"
  int64_t loadMs = 0;    // its "Load" and "Open" calls, whole milliseconds
  int64_t openMs = 0;
};

// What the core left behind when it ended.
struct ExitReport {
  struct Held {
    uint8_t identifier = 0;
    std::string tag;       // the core's tag for it, e.g. "recorder"
    std::string fileName;  // e.g. "Recorder.so", when the plugin was loaded
    int64_t references = 0;
  };
  // A call into a plugin that took longer than Options::slowCall: an event
  // delivery ("OnEvent"; the core times every one) or the plugin's "Load"
  // or "Open". The kit's probe's own calls are left out.
  struct SlowCall {
    uint8_t identifier = 0;
    std::string fileName;    // e.g. "Recorder.so"
    std::string entryPoint;  // "OnEvent", "Load" or "Open"
    Millis duration{};       // whole milliseconds, as the core measured it
    std::string eventType;   // for "OnEvent": the record's type name
  };
  // A fault the core survived or ended with, as its own line says it.
  struct Fault {
    std::string kind;  // "left loaded", "stuck call", "fatal signal", "refused release"
    std::string line;  // the core's message
  };
  // The core's own threads and open descriptors before it loaded the first
  // plugin and after it unloaded the last, as it counted them; -1 when it
  // did not say. More after than before: a plugin left a thread running or
  // a descriptor open after its "Unload".
  struct Counts {
    int threads = -1;
    int descriptors = -1;
  };
  Counts beforeLoad;
  Counts afterUnload;
  int exitCode = -1;  // -1 when the core did not exit by itself
  int signal = 0;     // the signal that ended it, if one did
  bool timedOut = false;
  int64_t blocks = 0;  // reference blocks still allocated
  std::vector<Held> held;
  std::vector<Fault> faults;
  std::vector<SlowCall> slowCalls;
  bool slowCallsAreProblems = false;  // Options::slowCallsAreProblems
  std::string output;  // the core's standard output and error

  // Empty when the core exited with 0, nothing was held and it reported no
  // fault (a plugin left loaded, a stuck call, a fatal signal, a refused
  // release), nor a slow call where those count; otherwise one line per
  // problem, naming the plugin and what it did.
  std::string problems() const;
  bool clean() const { return problems().empty(); }
};
std::ostream& operator<<(std::ostream& out, const ExitReport& report);

// Set by the CMake package (kotestkit) or the build tree for the test's own
// sources: where the core and the probe of the same release are.
#ifdef KO_TESTKIT_PACKAGED_CORE
#define KO_TESTKIT_DETAIL_CORE KO_TESTKIT_PACKAGED_CORE
#else
#define KO_TESTKIT_DETAIL_CORE ""
#endif
#ifdef KO_TESTKIT_PACKAGED_PROBE
#define KO_TESTKIT_DETAIL_PROBE KO_TESTKIT_PACKAGED_PROBE
#else
#define KO_TESTKIT_DETAIL_PROBE ""
#endif

struct Options {
  // The plugins under test, copied into the core's plugins/ (a file named
  // LogPI.so becomes the logging plugin, and the probe an ordinary plugin).
  std::vector<std::filesystem::path> plugins{};
  // Your own core.xml (thresholds of your plugins, throttling). The kit sets
  // the core's threshold to 0 in it and applies yours to what it collects.
  std::string coreXml{};
  // The core binary. Empty: $KO_TESTKIT_CORE, else the core installed with
  // the kit.
  std::filesystem::path core{};
  std::filesystem::path probe{};  // normally found like the core
  // The probe's identifier: 0x08 as the logging plugin, 0xfe otherwise.
  // Change it if a plugin under test uses it.
  int probeIdentifier = -1;
  // Every wait of the kit without a timeout of its own.
  Millis timeout = 10s;
  // A call into a plugin that takes longer is listed in
  // ExitReport::slowCalls; not below CoreSlowHandler (the kit throws).
  Millis slowCall = CoreSlowHandler;
  // Makes each slow call a problem: clean() is then false.
  bool slowCallsAreProblems = false;
  // Extra environment for the core, "NAME=value".
  std::vector<std::string> environment{};
  // Filled in where the test is compiled (from the kit's CMake package);
  // leave them.
  std::filesystem::path installedCore{KO_TESTKIT_DETAIL_CORE};
  std::filesystem::path installedProbe{KO_TESTKIT_DETAIL_PROBE};
};

class Core {
 public:
  // Starts the core with the plugins and waits until its dispatch loop runs.
  explicit Core(Options options);
  // The same with one plugin and the kit's defaults.
  explicit Core(const std::filesystem::path& plugin) : Core(withPlugin(plugin)) {}
  // Kills a core that was not stopped.
  ~Core();
  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  // The plugins the core loaded, in dispatch order (the probe left out).
  std::vector<LoadedPlugin> plugins() const;
  // The identifier of the first plugin under test.
  uint8_t identifier() const;
  const std::filesystem::path& workDir() const;

  // Submits `record` through the probe, as its source would, and returns the
  // core's answer. An ordinary event has been offered to every plugin when
  // this returns; a record the core serves at once (cancel, ipc, crypto,
  // query) has been served.
  int inject(const Record& record);

  // Every record the core delivered to the probe so far, in delivery order:
  // what the plugins submitted, search results, the core's documents. Log
  // records below the threshold your core.xml gives the core are left out.
  // Safe to call from inside a waitFor or waitUntil predicate (they do not
  // hold the kit's lock while they ask it).
  std::vector<Record> received() const;
  std::vector<Record> received(const std::function<bool(const Record&)>& which) const;
  // Log records from the plugin with `identifier`.
  std::vector<Record> logs(uint8_t identifier) const;
  // Waits for a record that matches; returns it (nothing on timeout). The
  // predicate sees each record once, in arrival order, and may call back
  // into this Core (received(), logs(), ...).
  std::optional<Record> waitFor(const std::function<bool(const Record&)>& which, Millis timeout = {});
  // The same against a deadline, and how long it waited: a time-based
  // plugin is tested by waiting for what it produces, not by sleeping.
  struct Waited {
    std::optional<Record> record;
    Clock::duration waited{};  // from the call until the match or the deadline
    explicit operator bool() const { return record.has_value(); }
  };
  Waited waitUntil(const std::function<bool(const Record&)>& which, Clock::time_point deadline);
  // Waits for a log record of `identifier` whose text contains `text`.
  std::optional<Record> waitForLog(uint8_t identifier, std::string_view text, Millis timeout = {});

  // Searches as a requester does: type and query go to every plugin that
  // serves searches. Returns the search's id.
  uint32_t startSearch(uint32_t type, std::string query);
  // The results of search `id` so far, in arrival order.
  std::vector<Record> results(uint32_t id) const;
  // Waits until `count` results of search `id` arrived, then until every
  // record already queued was delivered; returns the results then.
  std::vector<Record> waitForResults(uint32_t id, size_t count, Millis timeout = {});
  // startSearch, then waitForResults.
  std::vector<Record> search(uint32_t type, std::string query, size_t count, Millis timeout = {});
  // Cancels search `id`; whether `id` counts as cancelled.
  void cancel(uint32_t id);
  bool cancelled(uint32_t id);

  // Sends a packet to the plugin under test (or to `identifier`) as the
  // parent daemon.
  void sendPacket(uint32_t command, std::string_view payload, uint32_t word3 = 0);
  void sendPacketTo(uint8_t identifier, uint32_t command, std::string_view payload, uint32_t word3 = 0);
  // Packets the plugins sent to the parent so far.
  std::vector<Packet> packets() const;
  std::optional<Packet> waitForPacket(const std::function<bool(const Packet&)>& which, Millis timeout = {});

  // Waits until every record submitted so far has been offered to every
  // plugin.
  void settle();

  // Sends the stop command and waits for the core to end; the report lists
  // what was still held. A second call returns the same report.
  const ExitReport& stop(Millis timeout = {});
  pid_t pid() const;
  // The core's standard output and error so far.
  std::string output() const;
  // The slow calls of every record offered so far (see
  // ExitReport::slowCalls); waits for the core's reports like settle().
  std::vector<ExitReport::SlowCall> slowCalls();

 private:
  static Options withPlugin(const std::filesystem::path& plugin) {
    Options options;
    options.plugins = {plugin};
    return options;
  }
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace ko::testkit
