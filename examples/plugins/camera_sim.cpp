// CameraSim.so — a camera simulator.
//
// Produces live video (25 frames a second, a few KiB each) and audio records,
// and an alarm now and then, from a worker thread the core lends it.
//
// What it shows:
//  * Asking for a worker thread (PluginInfo.wantsWorkerThread) and running
//    the production loop inside "IOCTL" code 1. The core starts that call
//    after all plugins are loaded, before they are opened, and joins the
//    thread when it unloads the plugin; the call must return once "Close" has
//    been called, or shutdown waits for ever.
//  * Submitting records: the payload stays ours; the core copies it during
//    the call, so one buffer can be reused for every frame.
//  * Result 5 from submission means the core is short of memory and refuses
//    live audio and video for now; a camera simply drops those frames.
//
// Its alarms are live alarm records with the XML flag whose payload is one
// element, no XML declaration, no terminating zero:
//    <Alarm Camera="1" Kind="motion" Frame="125"/>
// (Frame counts video frames since the camera started.)
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "ko/core/event.hpp"

namespace {

using namespace ko::core;
using Clock = std::chrono::steady_clock;

constexpr uint64_t MySourceId = koSourceId(0x10, 1);  // identifier 0x10, channel 1
constexpr auto FramePeriod = std::chrono::milliseconds(40);
constexpr size_t FrameBytes = 6 * 1024;
constexpr size_t AudioBytes = 640;  // 40 ms of 8 kHz 16-bit mono
constexpr unsigned AlarmEveryFrames = 125;  // every 5 seconds

SubmitEventFn submit = nullptr;

std::mutex stateLock;
std::condition_variable stateChanged;
bool opened = false;  // guarded by stateLock
bool closed = false;  // guarded by stateLock

void log(int32_t level, const std::string& text) {
  auto record = makeLogEvent(MySourceId, level, text);
  submit(&record);
}

// Waits until `deadline` or until the plugin is closed; false once closed.
bool sleepUntil(Clock::time_point deadline) {
  std::unique_lock lock(stateLock);
  return !stateChanged.wait_until(lock, deadline, [] { return closed; });
}

void produce() {
  {
    // Records submitted before "Open" would reach plugins that are not open
    // yet; wait for ours.
    std::unique_lock lock(stateLock);
    stateChanged.wait(lock, [] { return opened || closed; });
    if (closed) return;
  }
  std::vector<unsigned char> frame(FrameBytes);
  std::vector<unsigned char> audio(AudioBytes);
  unsigned frames = 0, refused = 0, alarms = 0;
  auto next = Clock::now();
  while (sleepUntil(next)) {
    next += FramePeriod;
    ++frames;
    // A recognisable frame: its number in the first bytes, a pattern after.
    std::memcpy(frame.data(), &frames, sizeof frames);
    std::memset(frame.data() + sizeof frames, static_cast<int>(frames & 0xff), frame.size() - sizeof frames);
    auto video = makeEvent(EventTypeVideo, EventClassLive, MySourceId, frame.data(),
                           static_cast<uint32_t>(frame.size()));
    if (submit(&video) == 5) ++refused;

    auto sound = makeEvent(EventTypeAudio, EventClassLive, MySourceId, audio.data(),
                           static_cast<uint32_t>(audio.size()));
    if (submit(&sound) == 5) ++refused;

    if (frames % AlarmEveryFrames == 0) {
      ++alarms;
      const std::string xml = "<Alarm Camera=\"1\" Kind=\"motion\" Frame=\"" + std::to_string(frames) + "\"/>";
      auto alarm = makeEvent(EventTypeAlarm, EventClassLive | EventFlagXml, MySourceId, xml.data(),
                             static_cast<uint32_t>(xml.size()));
      submit(&alarm);
      log(25, "motion alarm at frame " + std::to_string(frames));
    }
  }
  log(25, "camera stopped after " + std::to_string(frames) + " frames, " + std::to_string(alarms) +
              " alarms, " + std::to_string(refused) + " records refused by the memory throttle");
}

}  // namespace

KO_PLUGIN_EXPORT int32_t Load(LoadParms* parms, PluginInfo* info) {
  submit = parms->submitEvent;
  info->sourceId = MySourceId;
  info->wantsWorkerThread = 1;
  return 0;
}

KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) {}

KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) {
  std::lock_guard lock(stateLock);
  opened = true;
  stateChanged.notify_all();
}

KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {
  std::lock_guard lock(stateLock);
  closed = true;
  stateChanged.notify_all();
}

// Code 1 is the worker thread's whole life; other codes are not used here.
KO_PLUGIN_EXPORT void IOCTL(IoctlParms* parms, IoctlResult*) {
  if (parms->code == IoctlWorkerThread) produce();
}
