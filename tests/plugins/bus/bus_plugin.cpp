// A configurable bus test plugin. The build picks which entry points exist
// (BUS_NO_UNLOAD, BUS_NO_CLOSE, BUS_NO_ONEVENT, BUS_WITH_IOCTL, BUS_WITH_WRITE,
// BUS_WITH_ONSEARCH, BUS_WITH_READ) and the default self-description
// (BUS_SOURCE_ID, BUS_ACCEPTS_WRITE, BUS_ASYNC_READER, BUS_SEARCH_WORDS); the
// test may change the rest through the probe before the core loads it.
// Everything the core hands over is recorded in the probe.
#include <pthread.h>

#include <cstring>
#include <thread>

#include "plugins/bus/bus_probe.h"

#ifndef BUS_SOURCE_ID
#define BUS_SOURCE_ID 0x00110000u
#endif
#ifndef BUS_ACCEPTS_WRITE
#define BUS_ACCEPTS_WRITE 1
#endif
#ifndef BUS_ASYNC_READER
#define BUS_ASYNC_READER 0
#endif
#ifndef BUS_SEARCH_WORDS
#define BUS_SEARCH_WORDS 0
#endif

#define BUS_EXPORT KO_PLUGIN_EXPORT

namespace {

using namespace busprobe;

Probe& probe() {
  // Lives in the library and goes with it when the core closes it.
  static Probe instance;
  static const bool configured = [] {
    instance.defaults = makeRecord<PluginInfo>();
    instance.defaults.sourceId = BUS_SOURCE_ID;
    const uint64_t word = WantBit | ((BUS_SEARCH_WORDS) != 0 ? SearchBit : 0);
    auto& d = instance.defaults;
    d.videoWord = d.audioWord = d.alarmWord = d.ptzWord = word;
    d.serialWord = d.logWord = d.posWord = d.analyticWord = word;
    d.acceptsWrite = BUS_ACCEPTS_WRITE;
    d.wantsAsyncReader = BUS_ASYNC_READER;
    instance.reset();
    return true;
  }();
  (void)configured;
  return instance;
}

void notePayload(Delivery& d, const void* data, uint32_t length) {
  if (data != nullptr && length != 0) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    d.payload.assign(bytes, bytes + length);
  }
}

// Records one delivery and answers whether the plugin keeps the payload.
uint32_t noteDelivery(Delivery&& d, void* data, uint32_t length, uint8_t seed, uint32_t type) {
  Probe& p = probe();
  p.delivered.fetch_add(1, std::memory_order_relaxed);
  if (p.onDelivery != nullptr) {
    const uint64_t source = d.path == Path::OnEvent ? d.record.source : d.path == Path::Write ? d.write.source : 0;
    return p.onDelivery(p.onDeliveryContext, d.path, source, type, data, length);
  }
  uint32_t answer = 0;
  bool echo = false;
  uint32_t slow = 0;
  {
    std::lock_guard guard(p.lock);
    slow = p.slowType != 0 && baseType(type) == p.slowType ? p.slowMicros : 0;
    if (p.checkBytes && data != nullptr && !hasPattern(data, length, seed)) ++p.badRecords;
    answer = p.retainAnswer;
    // OnEvent answers in its low 8 bits only; the other paths in the whole word.
    const bool kept = d.path == Path::OnEvent ? (answer & 0xffu) != 0 : answer != 0;
    if (kept && data != nullptr) p.retained.push_back(data);
    echo = p.echoType != 0 && baseType(type) == p.echoType;
    if (p.keepDeliveries) {
      notePayload(d, data, length);
      p.deliveries.push_back(std::move(d));
    }
  }
  if (p.releaseInCall != Probe::ReleaseInCall::No && data != nullptr) {
    auto release = [&p, data] {
      auto decref = makeEvent(EventTypeDecref, 0, p.info.sourceId, data, 0);
      p.submit(&decref);
    };
    if (p.releaseInCall == Probe::ReleaseInCall::SameThread) {
      release();
    } else {
      std::thread(release).join();
    }
  }
  // A handler that really takes its time, as a slow plugin would.
  if (slow != 0) std::this_thread::sleep_for(std::chrono::microseconds(slow));
  if (echo) {
    // Submitting from inside the event entry must not deadlock the loop.
    auto alarm = makeEvent(EventTypeAlarm, EventClassLive, p.info.sourceId);
    const int32_t result = p.submit(&alarm);
    std::lock_guard guard(p.lock);
    p.submitResults.push_back(result);
  }
  p.changed.notify_all();
  return answer;
}

int32_t submitNoted(EventParms& record) {
  Probe& p = probe();
  const int32_t result = p.submit(&record);
  std::lock_guard guard(p.lock);
  p.submitResults.push_back(result);
  p.lastResultReturnedAt = p.sequence.fetch_add(1) + 1;
  p.changed.notify_all();
  return result;
}

// Answers one search request from the calling thread as configured.
[[maybe_unused]] void answerSearch(uint64_t requestId) {
  Probe& p = probe();
  {
    std::lock_guard guard(p.lock);
    ++p.searchesEntered;
  }
  p.changed.notify_all();
  if (p.cancelBeforeResults) {
    auto cancel = makeEvent(EventTypeCancel, 0, p.info.sourceId);
    cancel.requestId = requestId;
    p.submit(&cancel);
  }
  std::vector<uint8_t> payload(p.resultLength);
  for (int i = 0; i < p.searchResults; ++i) {
    fillPattern(payload.data(), p.resultLength, static_cast<uint8_t>(i));
    auto result = makeEvent(EventTypeAlarm, EventClassStored, p.info.sourceId,
                            payload.empty() ? nullptr : payload.data(), p.resultLength);
    result.requestId = requestId;
    result.body.typeSpecificB[0] = static_cast<uint8_t>(i);
    if (p.resultFromOtherThread) {
      std::thread other([&] { submitNoted(result); });
      other.join();
    } else {
      submitNoted(result);
    }
  }
  {
    std::lock_guard guard(p.lock);
    ++p.searchesLeft;
  }
  p.changed.notify_all();
}

}  // namespace

BUS_EXPORT Probe* busProbe() { return &probe(); }

BUS_EXPORT int32_t Load(LoadParms* in, PluginInfo* out) {
  Probe& p = probe();
  std::lock_guard guard(p.lock);
  ++p.loads;
  if (in->size != 40 || in->version != 4 || in->zero != 0 || in->reservedPointer != nullptr ||
      in->reservedCount != 0 || out->size != 112 || out->version != 3 || out->sourceId != 0) {
    ++p.badRecords;
  }
  p.submit = in->submitEvent;
  const uint32_t size = out->size, version = out->version;
  *out = p.info;
  out->size = size;
  out->version = version;
  return p.loadCode;
}

#ifndef BUS_NO_UNLOAD
BUS_EXPORT void Unload(UnloadParms* in, UnloadResult* out) {
  Probe& p = probe();
  std::lock_guard guard(p.lock);
  ++p.unloads;
  if (in->size != 8 || out->size != 12 || out->zero != 0) ++p.badRecords;
}
#endif

BUS_EXPORT void Open(OpenParms* in, OpenResult* out) {
  Probe& p = probe();
  std::lock_guard guard(p.lock);
  ++p.opens;
  if (in->size != 24 || in->version != 1 || out->size != 16 || out->version != 1) ++p.badRecords;
}

#ifndef BUS_NO_CLOSE
BUS_EXPORT void Close(CloseParms* in, CloseResult* out) {
  Probe& p = probe();
  std::lock_guard guard(p.lock);
  ++p.closes;
  if (in->size != 12 || out->size != 12) ++p.badRecords;
}
#endif

#ifndef BUS_NO_ONEVENT
BUS_EXPORT int OnEvent(EventParms* record) {
  if (probe().countOnly) {
    probe().delivered.fetch_add(1, std::memory_order_release);
    return 0;
  }
  Delivery d{};
  d.path = Path::OnEvent;
  d.record = *record;
  const auto answer = static_cast<int>(noteDelivery(std::move(d), record->data, record->length,
                                                    record->body.typeSpecificB[0],
                                                    static_cast<uint32_t>(record->type)));
  if (probe().scribble) {
    // Reuses the record as a plugin building its next submission would.
    static uint8_t own[8];
    record->type = EventTypeVideo;
    record->source = 0x00ee0000u;
    record->requestId = 0x00ee0001u;
    record->data = own;
    record->length = sizeof own;
  }
  return answer;
}
#endif

#ifdef BUS_WITH_IOCTL
BUS_EXPORT void IOCTL(IoctlParms* in, IoctlResult* out) {
  if (in->code != IoctlConfigEvent) return;
  {
    Probe& p = probe();
    std::lock_guard guard(p.lock);
    if (in->size != 40 || out->size != 28 || out->code != IoctlConfigEvent || out->answer != 0) ++p.badRecords;
  }
  Delivery d{};
  d.path = Path::Ioctl;
  d.ioctl = *in;
  out->answer = noteDelivery(std::move(d), in->data, in->dataLength, 0, EventTypeConfig);
}
#endif

#ifdef BUS_WITH_WRITE
BUS_EXPORT void Write(WriteParms* in, WriteResult* out, void* context) {
  {
    // The record must arrive re-laid exactly: header, zeros, and the body
    // with its own context word equal to the third argument.
    Probe& p = probe();
    std::lock_guard guard(p.lock);
    if (in->size != 232 || in->version != 1 || in->zero1 != 0 || in->zero2 != 0 || in->body.size != 168 ||
        in->body.version != 1 || in->body.context != context || out->size != 32 || out->version != 1 ||
        out->answer != 0) {
      ++p.badRecords;
    }
  }
  Delivery d{};
  d.path = Path::Write;
  d.write = *in;
  d.context = context;
  out->answer = noteDelivery(std::move(d), in->data, in->length, in->body.typeSpecificB[0],
                             static_cast<uint32_t>(in->type));
}
#endif

#ifdef BUS_WITH_ONSEARCH
// What a plain search may keep on its stack: a page of text and some.
constexpr size_t SearchLocalsBytes = 64 * 1024;

BUS_EXPORT void OnSearch(EventParms* request) {
  size_t stack = 0;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    (void)pthread_attr_getstacksize(&attr, &stack);
    (void)pthread_attr_destroy(&attr);
  }
  volatile char locals[SearchLocalsBytes];
  for (size_t i = 0; i < SearchLocalsBytes; i += 512) locals[i] = static_cast<char>(i);
  {
    Probe& p = probe();
    std::lock_guard guard(p.lock);
    (void)locals[SearchLocalsBytes - 512];
    p.searchStackBytes = stack;
    Delivery d{};
    d.path = Path::Search;
    d.record = *request;
    notePayload(d, request->data, request->length);
    p.deliveries.push_back(std::move(d));
  }
  answerSearch(request->requestId);
}
#endif

#ifdef BUS_WITH_READ
BUS_EXPORT void Read(ReadParms* in, void* second) {
  // The reader thread's call (no request) has nothing to wait for.
  if (in->requestId == 0 && in->data == nullptr) return;
  {
    Probe& p = probe();
    std::lock_guard guard(p.lock);
    if (second != nullptr || in->size != 40 || in->one != 1) ++p.badRecords;
    Delivery d{};
    d.path = Path::Read;
    d.read = *in;
    notePayload(d, in->data, in->dataLength);
    p.deliveries.push_back(std::move(d));
  }
  answerSearch(in->requestId);
}
#endif
