// Plugins that keep the core rewriting core.xml for the power-cut test. The
// driver and its partner each own a threshold, which together count a
// sequence number (partner's 0 to 99 for hundreds, driver's for units; -1
// counts as 0). On each configuration document of the core the driver
// appends the number it shows and the monotonic time as one line to the file
// named by KO_POWER_CUT_ACKS (on another file system than the core's), then
// submits a delta that sets the next number. The core queues a document only
// from the dispatch loop, which delivers it after the write of core.xml has
// returned, so a number in that file is one whose rewrite had completed by
// that time, and the next rewrite starts only after it. The partner
// (DRIVER 0) does nothing but hold its threshold.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "ko/core/event.hpp"

namespace {

using namespace ko::core;

constexpr uint64_t Self = SOURCE_ID;
constexpr std::string_view DriverEntry = "<Plugin ID=\"1310720\"";
constexpr std::string_view PartnerEntry = "<Plugin ID=\"1376256\"";
constexpr std::string_view LevelAttribute = "LogLevel=\"";
constexpr int Levels = 100;
constexpr int Sequence = Levels * Levels;

SubmitEventFn submit = nullptr;
int acks = -1;
char delta[200];

// The threshold in one plugin's entry of a core document (-1 counts as 0),
// or -1 when the entry is missing.
int levelOf(std::string_view document, std::string_view entry) {
  const auto at = document.find(entry);
  if (at == std::string_view::npos) return -1;
  const auto level = document.find(LevelAttribute, at);
  if (level == std::string_view::npos) return -1;
  const int value = std::atoi(document.data() + level + LevelAttribute.size());
  return value < 0 ? 0 : value;
}

}  // namespace

KO_PLUGIN_EXPORT int32_t Load(LoadParms* parms, PluginInfo* info) {
  submit = parms->submitEvent;
  info->sourceId = Self;
  info->alarmWord = WantBit;
  if (!DRIVER) return 0;
  if (const char* path = std::getenv("KO_POWER_CUT_ACKS")) {
    acks = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  }
  return acks >= 0 ? 0 : 1;
}
KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) {
  if (acks >= 0) ::close(acks);
}
KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) {}
KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {}

KO_PLUGIN_EXPORT int OnEvent(EventParms* record) {
  if (!DRIVER || baseType(record->type) != EventTypeConfig ||
      static_cast<uint32_t>(record->source) != CoreSourceId) {
    return 0;
  }
  const std::string_view document(static_cast<const char*>(record->data), record->length);
  const int low = levelOf(document, DriverEntry);
  const int high = levelOf(document, PartnerEntry);
  if (low < 0 || high < 0) return 0;
  const int number = high * Levels + low;
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  char line[48];
  const int n = std::snprintf(line, sizeof line, "%d %lld\n", number,
                              static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
  if (::write(acks, line, static_cast<size_t>(n)) != n) return 0;
  const int next = (number + 1) % Sequence;
  const int length = std::snprintf(delta, sizeof delta,
                                   "<?xml version=\"1.0\"?><Kora><Modules Delta=\"1\"><Module>"
                                   "<Plugin ID=\"1310720\" LogLevel=\"%d\"/><Plugin ID=\"1376256\" LogLevel=\"%d\"/>"
                                   "</Module></Modules></Kora>",
                                   next % Levels, next / Levels);
  auto out = makeEvent(EventTypeConfig, EventClassLive | EventFlagXml, Self, delta, static_cast<uint32_t>(length));
  submit(&out);
  return 0;
}
