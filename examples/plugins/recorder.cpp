// Recorder.so — keeps the last few seconds of live video and answers searches.
//
// What it shows:
//  * Retaining payloads: "OnEvent" returns 1 for a frame it keeps. The payload
//    then stays valid after the call, until the plugin gives its reference
//    back with exactly one decref record (type decref, data = the payload
//    pointer it was given, source = its own source id). The record itself is
//    only valid during the call, so the plugin copies what it needs of it.
//  * Serving searches: because it exports "OnSearch", the core calls it on a
//    thread of its own for every search request, whatever was searched for
//    (the search bit in the video word only documents the intent). So it
//    first checks the request's type and answers only searches for video,
//    the one type it stores; for any other it answers nothing. Results are
//    stored records (class stored, requestId of the request)
//    submitted from that same thread; they reach only the requester. A result
//    with a payload waits in the submission until the previous one has been
//    released by everyone, so the plugin must not hold locks that its own
//    "OnEvent" needs while it submits. Result 1 means the search was
//    cancelled (or the core is stopping): stop sending.
//  * The query: the examples agree on <Search Type="video" Newest="N"/>, the
//    newest N records, newest first; N missing or 0 asks for all that is
//    held. The core never reads it. A query this plugin cannot read is left
//    unanswered, as a search for a type it does not store.
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ko/core/event.hpp"

namespace {

using namespace ko::core;
using Clock = std::chrono::steady_clock;

constexpr uint64_t MySourceId = koSourceId(0x20, 0);  // identifier 0x20
constexpr auto KeepFor = std::chrono::seconds(3);

SubmitEventFn submit = nullptr;

struct HeldFrame {
  void* payload;  // the core's reference block, ours until released
  uint32_t length;
  Clock::time_point received;
};

std::mutex heldLock;
std::deque<HeldFrame> held;  // guarded by heldLock, oldest first
unsigned long retained = 0, released = 0;  // guarded by heldLock

void log(int32_t level, const std::string& text) {
  auto record = makeLogEvent(MySourceId, level, text);
  submit(&record);
}

void release(void* payload) {
  auto decref = makeDecrefEvent(MySourceId, payload);
  submit(&decref);
}

// Releases the frames older than `cutoff`; called with heldLock held. A
// decref never waits, so submitting it under our own lock is safe.
void releaseOlderThan(Clock::time_point cutoff) {
  while (!held.empty() && held.front().received < cutoff) {
    release(held.front().payload);
    held.pop_front();
    ++released;
  }
}

// The Newest of a <Search .../> query: 0 when it is missing, nothing when the
// query is no Search element or its Newest is no whole number.
std::optional<size_t> newestAskedFor(const void* data, uint32_t length) {
  std::string_view query(static_cast<const char*>(data), data != nullptr ? length : 0);
  if (query.substr(0, 5) == "<?xml") {
    const auto end = query.find("?>");
    if (end == std::string_view::npos) return std::nullopt;
    query.remove_prefix(end + 2);
  }
  while (!query.empty() && (query.front() == ' ' || query.front() == '\n' || query.front() == '\r' ||
                            query.front() == '\t')) {
    query.remove_prefix(1);
  }
  if (query.substr(0, 8) != "<Search " && query.substr(0, 9) != "<Search/>") return std::nullopt;
  query = query.substr(0, query.find('>'));
  const auto at = query.find(" Newest=");
  if (at == std::string_view::npos) return 0;
  auto value = query.substr(at + 8);
  if (value.empty() || (value.front() != '"' && value.front() != '\'')) return std::nullopt;
  const char quote = value.front();
  value.remove_prefix(1);
  const auto close = value.find(quote);
  if (close == 0 || close == std::string_view::npos || close > 9) return std::nullopt;
  size_t newest = 0;
  for (const char c : value.substr(0, close)) {
    if (c < '0' || c > '9') return std::nullopt;
    newest = newest * 10 + static_cast<size_t>(c - '0');
  }
  return newest;
}

}  // namespace

KO_PLUGIN_EXPORT int32_t Load(LoadParms* parms, PluginInfo* info) {
  submit = parms->submitEvent;
  info->sourceId = MySourceId;
  info->videoWord = WantBit | SearchBit;  // live video in, video searches served
  return 0;
}

KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) {}
KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) {}

KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {
  // Every retained payload goes back before the plugin closes, so the core
  // ends with no reference blocks held.
  std::lock_guard lock(heldLock);
  releaseOlderThan(Clock::time_point::max());
  log(25, "recorder closed: retained " + std::to_string(retained) + " frames, released " +
              std::to_string(released));
}

KO_PLUGIN_EXPORT int OnEvent(EventParms* record) {
  if (baseType(record->type) != EventTypeVideo || !isLive(*record) || record->data == nullptr) return 0;
  const auto now = Clock::now();
  std::lock_guard lock(heldLock);
  held.push_back({record->data, record->length, now});
  ++retained;
  releaseOlderThan(now - KeepFor);
  return 1;  // retained: the payload stays ours until our decref
}

KO_PLUGIN_EXPORT void OnSearch(EventParms* request) {
  const auto id = static_cast<uint32_t>(request->requestId);
  if (baseType(request->type) != EventTypeVideo) {
    log(0, "search " + std::to_string(id) + " is for " + std::string(eventTypeName(request->type)) +
               ", not video: not answered");
    return;
  }
  const auto newest = newestAskedFor(request->data, request->length);
  if (!newest) {
    log(0, "search " + std::to_string(id) + ": cannot read the query, not answered");
    return;
  }
  const size_t wanted = *newest == 0 ? SIZE_MAX : *newest;
  // Copy the newest frames while holding the lock, then send without it.
  std::vector<std::vector<unsigned char>> frames;
  {
    std::lock_guard lock(heldLock);
    for (auto it = held.rbegin(); it != held.rend() && frames.size() < wanted; ++it) {
      const auto* bytes = static_cast<const unsigned char*>(it->payload);
      frames.emplace_back(bytes, bytes + it->length);
    }
  }
  size_t sent = 0;
  for (auto& frame : frames) {
    auto result = makeEvent(EventTypeVideo, EventClassStored, MySourceId, frame.data(),
                            static_cast<uint32_t>(frame.size()));
    result.requestId = request->requestId;
    if (submit(&result) != 0) break;  // cancelled, or the core is stopping
    ++sent;
  }
  log(25, "search " + std::to_string(id) + ": sent " + std::to_string(sent) + " of " +
              std::to_string(frames.size()) + " stored frames");
}
