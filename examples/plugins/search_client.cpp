// SearchClient.so — asks for stored video and cancels a search part way.
//
// What it shows:
//  * Search requests come from the plugin whose identifier is 0: any record
//    it submits with a non-zero request id and a payload (the query) is a
//    search request, fanned out by the core to every plugin serving searches.
//    The request id's bits 16..23 name who gets the results, so a requester
//    with identifier 0 uses ids below 0x10000.
//  * Results arrive through "OnEvent" as stored records carrying the request
//    id, whatever this plugin's interest words say.
//  * Cancelling: a cancel record with the request id stops further results;
//    a cancel record with the query flag asks whether an id is cancelled.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "ko/core/event.hpp"

namespace {

using namespace ko::core;
using Clock = std::chrono::steady_clock;

constexpr uint64_t MySourceId = 0x00000001;  // identifier 0: the requester
constexpr uint32_t FullSearch = 1;
constexpr uint32_t CancelledSearch = 2;
constexpr unsigned CancelAfter = 2;

SubmitEventFn submit = nullptr;

std::mutex stateLock;
std::condition_variable stateChanged;
bool closed = false;  // guarded by stateLock

// Touched only on the dispatch thread ("OnEvent").
unsigned fullResults = 0, cancelledResults = 0;
bool cancelSent = false;

void log(int32_t level, const std::string& text) {
  auto record = makeLogEvent(MySourceId, level, text);
  submit(&record);
}

bool waitFor(std::chrono::milliseconds delay) {
  std::unique_lock lock(stateLock);
  return !stateChanged.wait_for(lock, delay, [] { return closed; });
}

void startSearch(uint32_t id) {
  const std::string query = "<Search Type=\"video\" Newest=\"8\"/>";
  auto request = makeEvent(EventTypeVideo, EventFlagXml, MySourceId, query.data(),
                           static_cast<uint32_t>(query.size()));
  request.requestId = id;
  submit(&request);
  log(25, "search " + std::to_string(id) + " requested");
}

void run() {
  // Give the recorder a few seconds of video to hold, then ask twice.
  if (!waitFor(std::chrono::seconds(4))) return;
  startSearch(FullSearch);
  if (!waitFor(std::chrono::seconds(2))) return;
  startSearch(CancelledSearch);
}

}  // namespace

KO_PLUGIN_EXPORT int32_t Load(LoadParms* parms, PluginInfo* info) {
  submit = parms->submitEvent;
  info->sourceId = MySourceId;
  info->wantsWorkerThread = 1;
  return 0;
}

KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) {}
KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) {}

KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {
  {
    std::lock_guard lock(stateLock);
    closed = true;
  }
  stateChanged.notify_all();
  log(25, "search client closed: search " + std::to_string(FullSearch) + " got " + std::to_string(fullResults) +
              " results, search " + std::to_string(CancelledSearch) + " got " + std::to_string(cancelledResults) +
              " results");
}

KO_PLUGIN_EXPORT void IOCTL(IoctlParms* parms, IoctlResult*) {
  if (parms->code == IoctlWorkerThread) run();
}

KO_PLUGIN_EXPORT int OnEvent(EventParms* record) {
  if ((record->flags & EventClassStored) == 0) return 0;
  const auto id = static_cast<uint32_t>(record->requestId);
  if (id == FullSearch) {
    ++fullResults;
    log(25, "search " + std::to_string(id) + " result " + std::to_string(fullResults) + ": " +
                std::string(eventTypeName(record->type)) + ", " + std::to_string(record->length) + " bytes");
  } else if (id == CancelledSearch) {
    ++cancelledResults;
    log(25, "search " + std::to_string(id) + " result " + std::to_string(cancelledResults) + ": " +
                std::to_string(record->length) + " bytes");
    if (!cancelSent && cancelledResults >= CancelAfter) {
      cancelSent = true;
      auto cancel = makeEvent(EventTypeCancel, 0, MySourceId);
      cancel.requestId = id;
      submit(&cancel);
      auto query = makeEvent(EventTypeCancel, EventFlagQuery, MySourceId);
      query.requestId = id;
      log(25, "search " + std::to_string(id) + " cancelled after " + std::to_string(cancelledResults) +
                  " results (cancelled: " + (submit(&query) == 1 ? "yes" : "no") + ")");
    }
  }
  return 0;  // results are not retained: each is released when we return
}
