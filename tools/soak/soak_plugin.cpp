// The soak's plugin load, one source built once per role (KO_SOAK_ROLE) and
// identifier (KO_SOAK_ID). Nothing moves until the parent sends "go" with a
// rate multiple, so the core can be measured idle first; "quiet" stops the
// load and gives back every retained payload.
//   camera    - live video at 25 frames a second times the rate, frames of
//               2..10 KiB; with KO_SOAK_EXTRAS also audio, alarms, bursts of
//               log records, configuration deltas, crypto round trips and
//               numbered packets to the parent (numbered only when accepted,
//               so the parent sees a gapless sequence). On command: a log
//               flood, a burst of log lines, 1 MiB records from a thread of
//               its own, or a stay in "OnIpcResult".
//   recorder  - retains live video for 3 seconds and answers video searches;
//               "stall" holds the next "OnEvent" for some seconds, "hog"
//               retains every frame until the memory throttle refuses live
//               video (or "release" comes), then gives them all back; it
//               counts the 1 MiB records and may hold its "OnSearch" calls.
//   requester - identifier 0: a video search every 3 seconds over the rate,
//               every other one cancelled after 2 results; on command a
//               burst of searches.
// Each writes "soak-<id>.txt" in the working directory at "Unload", and
// answers "counts" with the same figures: what it had accepted (cameras) or
// received (recorder), for the soak's verdict.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ko/core/event.hpp"
#include "soak_protocol.h"

namespace {

using namespace ko::soak;

using namespace ko::core;
using Clock = std::chrono::steady_clock;

#define KO_SOAK_CAMERA 1
#define KO_SOAK_RECORDER 2
#define KO_SOAK_REQUESTER 3

constexpr uint64_t MySourceId = koSourceId(KO_SOAK_ID, 1);
constexpr size_t StatusPacketSize = 4096;
constexpr uint64_t CryptoEncipher = 2;

SubmitEventFn submit = nullptr;

std::mutex stateLock;
std::condition_variable stateChanged;
double rate = 0;  // guarded by stateLock; 0 = quiet
bool closed = false;
std::atomic<bool> closing{false};

[[maybe_unused]] int32_t log(int32_t level, const std::string& text) {
  auto record = makeLogEvent(MySourceId, level, text);
  return submit(&record);
}

// Word `index` of a command's payload, or `fallback` when it has none.
[[maybe_unused]] uint32_t word(const uint8_t* payload, uint64_t length, unsigned index, uint32_t fallback) {
  if (payload == nullptr || length < 4 * (uint64_t{index} + 1)) return fallback;
  uint32_t value = 0;
  std::memcpy(&value, payload + 4 * index, sizeof value);
  return value;
}

void sendToParent(uint32_t command, const std::string& text) {
  std::vector<uint8_t> packet(16 + text.size());
  koIpcWriteHeader(packet.data(), static_cast<uint32_t>(packet.size()), koIpcTarget(KO_SOAK_ID), command, 0);
  std::memcpy(packet.data() + 16, text.data(), text.size());
  auto record = makeEvent(EventTypeIpc, EventClassLive, MySourceId, packet.data(), static_cast<uint32_t>(packet.size()));
  submit(&record);
}

// Threads a command starts (a flood, a burst); each ends at its deadline or
// once the plugin closes, and "Close" joins them.
std::mutex jobsLock;
std::vector<std::thread> jobs;  // guarded by jobsLock

[[maybe_unused]] void startJob(std::function<void()> job) {
  std::lock_guard lock(jobsLock);
  jobs.emplace_back(std::move(job));
}

void joinJobs() {
  std::vector<std::thread> done;
  {
    std::lock_guard lock(jobsLock);
    done.swap(jobs);
  }
  for (auto& job : done) job.join();
}

[[maybe_unused]] Clock::time_point secondsFromNow(uint32_t seconds) { return Clock::now() + std::chrono::seconds(seconds); }

void writeReport(const std::string& text) {
  char name[32];
  std::snprintf(name, sizeof name, "soak-%02x.txt", KO_SOAK_ID);
  if (FILE* f = std::fopen(name, "w")) {
    std::fputs(text.c_str(), f);
    std::fclose(f);
  }
}

// Waits for the load to run; the rate, or 0 once closed.
double waitForLoad() {
  std::unique_lock lock(stateLock);
  stateChanged.wait(lock, [] { return rate > 0 || closed; });
  return closed ? 0 : rate;
}

// Sleeps until `due` unless the plugin closes or the load stops first.
bool sleepUntil(Clock::time_point due) {
  std::unique_lock lock(stateLock);
  return !stateChanged.wait_until(lock, due, [] { return closed || rate == 0; });
}

void onCommand(uint32_t command, const uint8_t* payload, uint64_t length);
std::string report();

#if KO_SOAK_ROLE == KO_SOAK_CAMERA
std::atomic<uint64_t> videoAccepted{0}, videoThrottled{0}, videoRefused{0};
std::atomic<uint64_t> ipcSent{0}, ipcRefused{0}, cryptoFailed{0};
std::atomic<uint64_t> bigAccepted{0}, bigRefused{0}, bigOther{0}, logAccepted{0}, logRefused{0};

uint32_t nextRandom(uint32_t& state) {
  state = state * 1664525u + 1013904223u;
  return state >> 8;
}

void sendVideo(uint32_t& seed, std::vector<uint8_t>& frame, uint64_t number) {
  const uint32_t size = 2048 + nextRandom(seed) % 8192;
  std::memcpy(frame.data(), &number, sizeof number);
  auto record = makeEvent(EventTypeVideo, EventClassLive, MySourceId, frame.data(), size);
  const int32_t result = submit(&record);
  (result == 0 ? videoAccepted : result == 5 ? videoThrottled : videoRefused).fetch_add(1);
}

std::atomic<uint32_t> deltas{0}, syslogProbes{0};

// Alternates a threshold nobody uses, so every delta changes one and the core
// rewrites its configuration file.
void sendDelta() {
  const std::string delta = "<?xml?><Kora><Modules Delta=\"1\"><Module><Plugin ID=\"8323072\" LogLevel=\"" +
                            std::to_string(25 + deltas.fetch_add(1) % 2) + "\"/></Module></Modules></Kora>";
  auto record = makeEvent(EventTypeConfig, EventClassLive | EventFlagXml, MySourceId, delta.data(),
                          static_cast<uint32_t>(delta.size()));
  submit(&record);
}

#ifdef KO_SOAK_EXTRAS
uint32_t statusSeq = 0;

void sendStatus() {
  std::vector<uint8_t> packet(StatusPacketSize, 's');
  koIpcWriteHeader(packet.data(), static_cast<uint32_t>(packet.size()), koIpcTarget(KO_SOAK_ID), StatusPacket, 0);
  std::memcpy(packet.data() + 16, &statusSeq, sizeof statusSeq);
  auto record = makeEvent(EventTypeIpc, EventClassLive, MySourceId, packet.data(), static_cast<uint32_t>(packet.size()));
  if (submit(&record) == 0) {
    ++statusSeq;
    ipcSent.fetch_add(1);
  } else {
    ipcRefused.fetch_add(1);
  }
}

void sendExtras(uint64_t tick, double ticksPerSecond, uint32_t& seed) {
  // ticksPerSecond: ticks in one second at real rates.
  auto every = [&](double seconds) {
    const auto period = static_cast<uint64_t>(seconds * ticksPerSecond);
    return tick % (period == 0 ? 1 : period) == 0;
  };
  if (every(1.0 / 50)) {
    uint8_t samples[320] = {};
    auto record = makeEvent(EventTypeAudio, EventClassLive, MySourceId, samples, sizeof samples);
    submit(&record);
  }
  if (every(1.0 / 10)) sendStatus();
  if (every(5)) {
    const std::string text = "<Alarm Input=\"1\" State=\"" + std::to_string(tick % 2) + "\"/>";
    auto record = makeEvent(EventTypeAlarm, EventClassLive | EventFlagXml, MySourceId, text.data(),
                            static_cast<uint32_t>(text.size()));
    submit(&record);
  }
  if (every(10)) {
    for (int i = 0; i < 20; ++i) log(25, "soak log burst " + std::to_string(tick) + "." + std::to_string(i));
  }
  if (every(30)) sendDelta();
  if (every(2)) {
    char text[64 + 32] = {};
    const int plain = std::snprintf(text, 64, "soak crypto %u", nextRandom(seed));
    auto record = makeEvent(EventTypeCrypto, CryptoEncipher, MySourceId, text, sizeof text);
    record.body.bodyParam = static_cast<uint64_t>(plain);
    if (submit(&record) != 0 || submit(&record) != 0 ||
        std::strncmp(text, "soak crypto ", 12) != 0) {
      cryptoFailed.fetch_add(1);
    }
  }
}
#endif

void run() {
  std::vector<uint8_t> frame(16384, 'v');
  uint32_t seed = KO_SOAK_ID;
  uint64_t number = 0;
  while (const double multiple = waitForLoad()) {
    // One tick per frame; the extras count in ticks too.
    const double ticksPerSecond = 25 * multiple;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / ticksPerSecond));
    auto due = Clock::now();
    for (uint64_t tick = 0;; ++tick) {
      sendVideo(seed, frame, number++);
#ifdef KO_SOAK_EXTRAS
      // Audio at 50 a second needs two records per video tick.
      // The extras' periods are in real seconds: at a higher rate they come
      // as many times more often.
      sendExtras(2 * tick, 2 * 25, seed);
      sendExtras(2 * tick + 1, 2 * 25, seed);
#endif
      due += period;
      // Behind after a stop (SIGSTOP, a stall): catch up, but not in a burst
      // of more than a second.
      if (Clock::now() - due > std::chrono::seconds(1)) due = Clock::now();
      if (!sleepUntil(due)) break;
    }
  }
}

void countLog(int32_t result) { (result == 0 ? logAccepted : logRefused).fetch_add(1); }

// As fast as one thread can: the log budget, not this loop, must bound it.
void flood(Clock::time_point until) {
  for (uint64_t n = 0; !closing.load() && Clock::now() < until; ++n) countLog(log(25, "soak flood " + std::to_string(n)));
}

// Payload records of 1 MiB that are not live media, so refusing them says 1.
void submitBig(Clock::time_point until, uint32_t perSecond) {
  std::vector<uint8_t> payload(BigRecordBytes, 'b');
  const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / std::max(1u, perSecond)));
  for (auto due = Clock::now(); !closing.load() && due < until; due += period) {
    auto record = makeEvent(EventTypeSerial, 0, MySourceId, payload.data(), BigRecordBytes);
    const int32_t result = submit(&record);
    (result == 0 ? bigAccepted : result == 1 ? bigRefused : bigOther).fetch_add(1);
    std::this_thread::sleep_until(due + period);
  }
}

void onCommand(uint32_t command, const uint8_t* payload, uint64_t length) {
  if (command == CommandDelta) sendDelta();
  // Level 100 goes to syslog as well as the console.
  if (command == CommandSyslog) log(100, "soak syslog probe " + std::to_string(syslogProbes.fetch_add(1)));
  if (command == CommandFlood) {
    const auto until = secondsFromNow(word(payload, length, 0, 10));
    startJob([until] { flood(until); });
  }
  if (command == CommandLogLines) {
    const uint32_t lines = word(payload, length, 0, 1000);
    for (uint32_t i = 0; i < lines; ++i) countLog(log(25, "soak console line " + std::to_string(i) + " of " + std::to_string(lines)));
  }
  if (command == CommandBig) {
    const auto until = secondsFromNow(word(payload, length, 0, 20));
    const uint32_t perSecond = word(payload, length, 1, 10);
    startJob([until, perSecond] { submitBig(until, perSecond); });
  }
  if (command == CommandHoldIpc) std::this_thread::sleep_for(std::chrono::seconds(word(payload, length, 0, 15)));
}

std::string report() {
  return "video-accepted=" + std::to_string(videoAccepted) + "\nvideo-throttled=" + std::to_string(videoThrottled) +
         "\nvideo-refused=" + std::to_string(videoRefused) + "\nipc-sent=" + std::to_string(ipcSent) +
         "\nipc-refused=" + std::to_string(ipcRefused) + "\ncrypto-failed=" + std::to_string(cryptoFailed) +
         "\nbig-accepted=" + std::to_string(bigAccepted) + "\nbig-refused=" + std::to_string(bigRefused) +
         "\nbig-other=" + std::to_string(bigOther) + "\nlog-accepted=" + std::to_string(logAccepted) +
         "\nlog-refused=" + std::to_string(logRefused) + "\n";
}
#endif

#if KO_SOAK_ROLE == KO_SOAK_RECORDER
constexpr auto KeepFor = std::chrono::seconds(3);
constexpr uint32_t DefaultStallSeconds = 12;

struct HeldFrame {
  void* payload;
  uint32_t length;
  Clock::time_point received;
};

std::mutex heldLock;
std::deque<HeldFrame> held;            // guarded by heldLock
std::vector<void*> hogged;             // guarded by heldLock
std::map<uint32_t, uint64_t> received; // live video per source identifier; dispatch thread
std::atomic<uint32_t> stallNext{0};  // seconds
std::atomic<bool> hogging{false};
std::atomic<uint64_t> hogRounds{0};
uint64_t bigReceived = 0;  // dispatch thread
std::atomic<uint64_t> bigReceivedSeen{0};
Clock::time_point searchHeldUntil{};  // guarded by stateLock
bool searchHoldOutlivesClose = false;  // guarded by stateLock: stuck for real
std::atomic<uint64_t> searchCalls{0}, searchesHeld{0};
std::atomic<int> searchesIn{0}, searchesPeak{0};

void release(void* payload) {
  auto decref = makeEvent(EventTypeDecref, 0, MySourceId, payload, 0);
  submit(&decref);
}

void releaseOlderThan(Clock::time_point cutoff) {
  while (!held.empty() && held.front().received < cutoff) {
    release(held.front().payload);
    held.pop_front();
  }
}

void releaseHogged() {
  for (void* payload : hogged) release(payload);
  hogged.clear();
}

// Gives back what is due and, while hogging, asks with a tiny live frame
// whether the throttle refuses video yet.
void run() {
  while (waitForLoad() > 0) {
    {
      std::lock_guard lock(heldLock);
      releaseOlderThan(Clock::now() - KeepFor);
    }
    if (hogging.load()) {
      uint8_t probe[16] = {};
      auto record = makeEvent(EventTypeVideo, EventClassLive, MySourceId, probe, sizeof probe);
      if (submit(&record) == 5) {
        std::lock_guard lock(heldLock);
        log(50, "soak hog: throttled with " + std::to_string(hogged.size()) + " frames held, releasing");
        releaseHogged();
        hogging.store(false);
      }
    }
    if (!sleepUntil(Clock::now() + std::chrono::milliseconds(100))) {
      std::lock_guard lock(stateLock);
      if (closed) break;
    }
  }
}

void onCommand(uint32_t command, const uint8_t* payload, uint64_t length) {
  if (command == CommandStall) stallNext.store(word(payload, length, 0, DefaultStallSeconds));
  if (command == CommandHog) {
    hogRounds.fetch_add(1);
    hogging.store(true);
  }
  if (command == CommandRelease) {
    std::lock_guard lock(heldLock);
    hogging.store(false);
    releaseHogged();
  }
  if (command == CommandHoldSearch) {
    std::lock_guard lock(stateLock);
    searchHeldUntil = secondsFromNow(word(payload, length, 0, 20));
    searchHoldOutlivesClose = word(payload, length, 1, 0) != 0;
  }
}

// The received map belongs to the dispatch thread; "counts" and "Unload"
// come on other threads, so they read a copy taken there.
std::mutex receivedLock;
std::map<uint32_t, uint64_t> receivedCopy;  // guarded by receivedLock

std::string report() {
  std::string text;
  {
    std::lock_guard lock(receivedLock);
    for (const auto& [id, count] : receivedCopy) {
      char line[64];
      std::snprintf(line, sizeof line, "received-%02x=%llu\n", id, static_cast<unsigned long long>(count));
      text += line;
    }
  }
  return text + "hog-rounds=" + std::to_string(hogRounds) + "\nbig-received=" + std::to_string(bigReceivedSeen) +
         "\nsearch-calls=" + std::to_string(searchCalls) + "\nsearches-held=" + std::to_string(searchesHeld) +
         "\nsearches-peak=" + std::to_string(searchesPeak) + "\n";
}
#endif

#if KO_SOAK_ROLE == KO_SOAK_REQUESTER
std::mutex searchLock;
std::map<uint32_t, unsigned> results;  // guarded by searchLock
uint32_t lastId = 0;                   // guarded by searchLock
std::atomic<uint64_t> searches{0}, searchesRefused{0}, cancels{0}, resultCount{0};

void requestSearch() {
  const std::string query = "<Search Type=\"video\" Newest=\"8\"/>";
  auto request = makeEvent(EventTypeVideo, EventFlagXml, MySourceId, query.data(), static_cast<uint32_t>(query.size()));
  {
    std::lock_guard lock(searchLock);
    lastId = lastId % 1000000 + 1;
    results.erase(lastId > 100 ? lastId - 100 : 0);
    results[lastId] = 0;
    request.requestId = lastId;
  }
  (submit(&request) == 0 ? searches : searchesRefused).fetch_add(1);
}

void run() {
  while (const double multiple = waitForLoad()) {
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(3 / multiple));
    for (auto due = Clock::now() + period;; due += period) {
      if (!sleepUntil(due)) break;
      requestSearch();
    }
  }
}

void onCommand(uint32_t command, const uint8_t* payload, uint64_t length) {
  if (command != CommandSearchBurst) return;
  const uint32_t count = word(payload, length, 0, 200);
  const uint32_t perSecond = std::max(1u, word(payload, length, 1, 20));
  startJob([count, perSecond] {
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / perSecond));
    auto due = Clock::now();
    for (uint32_t i = 0; i < count && !closing.load(); ++i, due += period) {
      requestSearch();
      std::this_thread::sleep_until(due + period);
    }
  });
}

std::string report() {
  return "searches=" + std::to_string(searches) + "\nsearches-refused=" + std::to_string(searchesRefused) +
         "\ncancels=" + std::to_string(cancels) + "\nresults=" + std::to_string(resultCount) + "\n";
}
#endif

}  // namespace

KO_PLUGIN_EXPORT int32_t Load(LoadParms* parms, PluginInfo* info) {
  submit = parms->submitEvent;
  info->sourceId = MySourceId;
  info->wantsWorkerThread = 1;
#if KO_SOAK_ROLE == KO_SOAK_RECORDER
  info->videoWord = WantBit | SearchBit;
  info->serialWord = WantBit;
#endif
  return 0;
}

KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) {}

KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {
  closing.store(true);
  {
    std::lock_guard lock(stateLock);
    closed = true;
    rate = 0;
  }
  stateChanged.notify_all();
  joinJobs();
#if KO_SOAK_ROLE == KO_SOAK_RECORDER
  std::lock_guard lock(heldLock);
  releaseOlderThan(Clock::time_point::max());
  releaseHogged();
#endif
}

KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) { writeReport(report()); }

KO_PLUGIN_EXPORT void IOCTL(IoctlParms* parms, IoctlResult*) {
  if (parms->code == IoctlWorkerThread) run();
}

KO_PLUGIN_EXPORT void OnIpcResult(const void* packet, uint64_t length) {
  IpcPacketHeader header;
  if (koIpcReadHeader(packet, length, &header) != 1) return;
  const auto* payload = static_cast<const uint8_t*>(packet) + 16;
  if (header.command == CommandGo && length >= 20) {
    uint32_t milli = 0;
    std::memcpy(&milli, payload, sizeof milli);
    {
      std::lock_guard lock(stateLock);
      rate = milli / 1000.0;
    }
    stateChanged.notify_all();
  } else if (header.command == CommandQuiet) {
    {
      std::lock_guard lock(stateLock);
      rate = 0;
    }
    stateChanged.notify_all();
#if KO_SOAK_ROLE == KO_SOAK_RECORDER
    std::lock_guard lock(heldLock);
    hogging.store(false);
    releaseOlderThan(Clock::time_point::max());
    releaseHogged();
#endif
  } else if (header.command == CommandCounts) {
    char id[16];
    std::snprintf(id, sizeof id, "id=%02x\n", KO_SOAK_ID);
    sendToParent(CountsPacket, id + report());
  } else {
    onCommand(header.command, payload, length - 16);
  }
}

KO_PLUGIN_EXPORT int OnEvent(EventParms* record) {
#if KO_SOAK_ROLE == KO_SOAK_RECORDER
  if (const uint32_t seconds = stallNext.exchange(0)) {
    log(50, "soak stall: holding OnEvent for " + std::to_string(seconds) + " s");
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
  }
  if (baseType(record->type) == EventTypeSerial) {
    bigReceivedSeen.store(++bigReceived);
    return 0;
  }
  if (baseType(record->type) != EventTypeVideo || (record->flags & EventClassLive) == 0 ||
      record->data == nullptr || record->length < 1024) {
    return 0;
  }
  {
    const uint32_t camera = (static_cast<uint32_t>(record->source) >> 16) & 0xffu;
    const uint64_t count = ++received[camera];
    std::lock_guard lock(receivedLock);
    receivedCopy[camera] = count;
  }
  std::lock_guard lock(heldLock);
  if (hogging.load()) {
    hogged.push_back(record->data);
    return 1;
  }
  const auto now = Clock::now();
  held.push_back({record->data, record->length, now});
  releaseOlderThan(now - KeepFor);
  return 1;
#elif KO_SOAK_ROLE == KO_SOAK_REQUESTER
  if ((record->flags & EventClassStored) == 0) return 0;
  const auto id = static_cast<uint32_t>(record->requestId);
  resultCount.fetch_add(1);
  std::lock_guard lock(searchLock);
  auto it = results.find(id);
  if (it == results.end()) return 0;
  if (++it->second == 2 && id % 2 == 0) {
    auto cancel = makeEvent(EventTypeCancel, 0, MySourceId);
    cancel.requestId = id;
    submit(&cancel);
    cancels.fetch_add(1);
  }
  return 0;
#else
  (void)record;
  return 0;
#endif
}

#if KO_SOAK_ROLE == KO_SOAK_RECORDER
KO_PLUGIN_EXPORT void OnSearch(EventParms* request) {
  if (baseType(request->type) != EventTypeVideo) return;
  searchCalls.fetch_add(1);
  const int in = searchesIn.fetch_add(1) + 1;
  for (int peak = searchesPeak.load(); in > peak && !searchesPeak.compare_exchange_weak(peak, in);) {
  }
  {
    std::unique_lock lock(stateLock);
    if (const auto until = searchHeldUntil; Clock::now() < until) {
      searchesHeld.fetch_add(1);
      stateChanged.wait_until(lock, until, [] { return closed && !searchHoldOutlivesClose; });
    }
  }
  searchesIn.fetch_sub(1);
  std::vector<std::vector<unsigned char>> frames;
  {
    std::lock_guard lock(heldLock);
    for (auto it = held.rbegin(); it != held.rend() && frames.size() < 8; ++it) {
      const auto* bytes = static_cast<const unsigned char*>(it->payload);
      frames.emplace_back(bytes, bytes + it->length);
    }
  }
  for (auto& frame : frames) {
    auto result = makeEvent(EventTypeVideo, EventClassStored, MySourceId, frame.data(),
                            static_cast<uint32_t>(frame.size()));
    result.requestId = request->requestId;
    if (submit(&result) != 0) break;
  }
}
#endif
