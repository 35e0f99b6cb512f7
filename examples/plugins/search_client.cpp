// SearchClient.so — asks for stored data and cancels a search part way.
//
// What it shows:
//  * Search requests come from the plugin whose identifier is 0: any record
//    it submits with a non-zero request id and a payload (the query) is a
//    search request, fanned out by the core to every plugin serving searches.
//    The request's type says what is searched for; the request id's bits
//    16..23 name who gets the results, so a requester with identifier 0 uses
//    ids below 0x10000.
//  * Results arrive through "OnEvent" as stored records carrying the request
//    id, whatever this plugin's interest words say. The core sends no record
//    that marks the end of a search: results simply stop coming.
//  * Cancelling: a cancel record with the request id stops further results;
//    a cancel record with the query flag asks whether an id is cancelled.
//
// What it searches for and when is configurable, so a new search server can
// be tried without writing a requester. The environment variable
// KO_SEARCH_CLIENT holds a list of items separated by commas or blanks:
// TYPE@SECONDS asks for TYPE (video, audio, alarm, pos or analytic) SECONDS
// after the plugin was opened, with request ids 1, 2, ... in the order given;
// newest=N and cancel=N after it change that search: ask for the newest N
// records (default 8), cancel once N results came (default never). For
// example "alarm@3" or "video@4 newest=2, alarm@6.5 cancel=1". Without the
// variable it asks for video after 4 s and again after 6 s, and cancels the
// second search after 2 results.
//
// The query payload is <Search Type="TYPE" Newest="N"/>: the newest N stored
// records of that type, newest first (the convention the example servers
// follow; the core never reads a query). Each result is logged with its
// source and first bytes.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ko/core/event.hpp"

namespace {

using namespace ko::core;
using Clock = std::chrono::steady_clock;

constexpr uint64_t MySourceId = koSourceId(0, 1);  // identifier 0: the requester
constexpr const char* PlanVariable = "KO_SEARCH_CLIENT";
constexpr uint32_t SearchableTypes[] = {EventTypeVideo, EventTypeAudio, EventTypeAlarm, EventTypePos,
                                        EventTypeAnalytic};

struct PlannedSearch {
  uint32_t id = 0;
  uint32_t type = 0;
  double seconds = 0;        // after "Open"
  unsigned cancelAfter = 0;  // cancel once this many results came; 0 = never
  unsigned newest = 8;       // the query's Newest
};

SubmitEventFn submit = nullptr;
std::vector<PlannedSearch> plan;  // set in "Load", read-only afterwards
std::string planProblem;          // set in "Load" when the variable is unreadable

std::mutex stateLock;
std::condition_variable stateChanged;
bool opened = false, closed = false;  // guarded by stateLock

// Touched only on the dispatch thread ("OnEvent"), and in "Close" once it
// has stopped delivering to us; indexed by request id.
std::vector<unsigned> results;
std::vector<bool> cancelSent;

void log(int32_t level, const std::string& text) {
  auto record = makeLogEvent(MySourceId, level, text);
  submit(&record);
}

std::string_view blanksTrimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// A whole decimal count below a million, or nothing.
std::optional<unsigned> readCount(std::string_view text) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value;
}

// Reads "TYPE@SECONDS [newest=N] [cancel=N], ..."; false (and `planProblem`)
// when an item is not.
bool readPlan(std::string_view text) {
  uint32_t id = 0;
  while (!text.empty()) {
    const auto end = text.find_first_of(", \t");
    const auto item = blanksTrimmed(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (item.empty()) continue;
    if (const auto eq = item.find('='); eq != std::string_view::npos) {
      const auto key = item.substr(0, eq);
      const auto count = readCount(item.substr(eq + 1));
      if (plan.empty() || !count || (key != "newest" && key != "cancel")) {
        planProblem = std::string(PlanVariable) + ": cannot read \"" + std::string(item) +
                      "\"; expected newest=N or cancel=N after a TYPE@SECONDS";
        return false;
      }
      (key == "newest" ? plan.back().newest : plan.back().cancelAfter) = *count;
      continue;
    }
    const auto at = item.find('@');
    PlannedSearch search;
    search.id = ++id;
    for (const uint32_t type : SearchableTypes) {
      if (item.substr(0, at) == eventTypeName(type)) search.type = type;
    }
    const std::string seconds(at == std::string_view::npos ? std::string_view() : item.substr(at + 1));
    char* parsedTo = nullptr;
    search.seconds = std::strtod(seconds.c_str(), &parsedTo);
    if (search.type == 0 || seconds.empty() || *parsedTo != '\0' || !(search.seconds >= 0 && search.seconds < 1e6)) {
      planProblem = std::string(PlanVariable) + ": cannot read \"" + std::string(item) +
                    "\"; expected TYPE@SECONDS with TYPE one of video, audio, alarm, pos, analytic";
      return false;
    }
    plan.push_back(search);
  }
  return true;
}

// The first bytes of a payload: as text when they are printable, else in hex.
std::string firstBytes(const void* data, uint32_t length) {
  constexpr uint32_t Shown = 16;
  const auto* bytes = static_cast<const unsigned char*>(data);
  const uint32_t shown = std::min(length, Shown);
  if (bytes == nullptr || shown == 0) return "no payload";
  const bool printable = std::all_of(bytes, bytes + shown, [](unsigned char c) { return c >= 0x20 && c < 0x7f; });
  std::string text;
  if (printable) {
    text.assign(bytes, bytes + shown);
    text = "\"" + text + "\"";
  } else {
    char hex[4];
    for (uint32_t i = 0; i < shown; ++i) {
      std::snprintf(hex, sizeof hex, i == 0 ? "%02x" : " %02x", bytes[i]);
      text += hex;
    }
  }
  return shown < length ? text + " ..." : text;
}

std::string sourceText(uint64_t source) {
  char text[48];
  std::snprintf(text, sizeof text, "%02x channel %u", static_cast<unsigned>(koSourceIdentifier(source)),
                static_cast<unsigned>(koSourceChannel(source)));
  return text;
}

std::string secondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

bool waitUntil(Clock::time_point deadline) {
  std::unique_lock lock(stateLock);
  return !stateChanged.wait_until(lock, deadline, [] { return closed; });
}

void startSearch(const PlannedSearch& search) {
  const std::string query = "<Search Type=\"" + std::string(eventTypeName(search.type)) + "\" Newest=\"" +
                            std::to_string(search.newest) + "\"/>";
  auto request = makeEvent(search.type, EventFlagXml, MySourceId, query.data(), static_cast<uint32_t>(query.size()));
  request.requestId = search.id;
  submit(&request);
  log(25, "search " + std::to_string(search.id) + " requested: " + query);
}

void run() {
  {
    std::unique_lock lock(stateLock);
    stateChanged.wait(lock, [] { return opened || closed; });
    if (closed) return;
  }
  const auto start = Clock::now();
  auto order = plan;
  std::stable_sort(order.begin(), order.end(), [](auto& a, auto& b) { return a.seconds < b.seconds; });
  for (const auto& search : order) {
    const auto due = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(search.seconds));
    if (!waitUntil(due)) return;
    startSearch(search);
  }
}

}  // namespace

KO_PLUGIN_EXPORT int32_t Load(LoadParms* parms, PluginInfo* info) {
  submit = parms->submitEvent;
  info->sourceId = MySourceId;
  info->wantsWorkerThread = 1;
  plan.clear();
  planProblem.clear();
  if (const char* text = std::getenv(PlanVariable); text != nullptr) {
    if (!readPlan(text)) plan.clear();
  } else {
    plan = {{1, EventTypeVideo, 4.0, 0, 8}, {2, EventTypeVideo, 6.0, 2, 8}};
  }
  results.assign(plan.size() + 1, 0);
  cancelSent.assign(plan.size() + 1, false);
  return 0;
}

KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) {}

KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) {
  if (!planProblem.empty()) log(75, planProblem);
  std::string described;
  for (const auto& search : plan) {
    described += (described.empty() ? "" : ", ") + std::string(eventTypeName(search.type)) + " after " +
                 secondsText(search.seconds) + " s";
    if (search.newest != 8) described += " newest " + std::to_string(search.newest);
    if (search.cancelAfter != 0) described += " cancel after " + std::to_string(search.cancelAfter);
  }
  log(25, "search client plan: " + (described.empty() ? std::string("nothing") : described));
  std::lock_guard lock(stateLock);
  opened = true;
  stateChanged.notify_all();
}

KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {
  {
    std::lock_guard lock(stateLock);
    closed = true;
  }
  stateChanged.notify_all();
  std::string summary;
  for (const auto& search : plan) {
    summary += (summary.empty() ? ": search " : ", search ") + std::to_string(search.id) + " got " +
               std::to_string(results[search.id]) + " results";
  }
  log(25, "search client closed" + summary);
}

KO_PLUGIN_EXPORT void IOCTL(IoctlParms* parms, IoctlResult*) {
  if (parms->code == IoctlWorkerThread) run();
}

KO_PLUGIN_EXPORT int OnEvent(EventParms* record) {
  if (!isStored(*record)) return 0;
  const auto id = static_cast<uint32_t>(record->requestId);
  if (id == 0 || id > plan.size()) return 0;
  const unsigned count = ++results[id];
  log(25, "search " + std::to_string(id) + " result " + std::to_string(count) + ": " +
              std::string(eventTypeName(record->type)) + ", " + std::to_string(record->length) + " bytes from " +
              sourceText(record->source) + ": " + firstBytes(record->data, record->length));
  const auto& search = plan[id - 1];
  if (search.cancelAfter != 0 && !cancelSent[id] && count >= search.cancelAfter) {
    cancelSent[id] = true;
    auto cancel = makeEvent(EventTypeCancel, 0, MySourceId);
    cancel.requestId = id;
    submit(&cancel);
    auto query = makeEvent(EventTypeCancel, EventFlagQuery, MySourceId);
    query.requestId = id;
    log(25, "search " + std::to_string(id) + " cancelled after " + std::to_string(count) +
                " results (cancelled: " + (submit(&query) == 1 ? "yes" : "no") + ")");
  }
  return 0;  // results are not retained: each is released when we return
}
