// A plugin that keeps the core rewriting core.xml for the power-cut test.
// Each configuration document of the core carries this plugin's threshold;
// the plugin appends that value as one line to the file named by
// KO_POWER_CUT_ACKS (on another file system than the core's) and answers
// with a delta that sets the next value, 0 to 99 in turn. The core queues a
// document only from the dispatch loop, which delivers it after the write of
// core.xml has returned, so a value in the file of acknowledgements is one
// whose rewrite completed, and at most one rewrite is ever in flight.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "ko/core/event.hpp"

namespace {

using namespace ko::core;

constexpr uint64_t Self = 0x00140000;
constexpr std::string_view OwnEntry = "<Plugin ID=\"1310720\"";
constexpr std::string_view LevelAttribute = "LogLevel=\"";
constexpr int Levels = 100;

SubmitEventFn submit = nullptr;
int acks = -1;
char delta[160];

// The threshold in this plugin's entry of a core document, or nothing.
bool ownLevel(std::string_view document, int& level) {
  const auto entry = document.find(OwnEntry);
  if (entry == std::string_view::npos) return false;
  const auto at = document.find(LevelAttribute, entry);
  if (at == std::string_view::npos) return false;
  level = std::atoi(document.data() + at + LevelAttribute.size());
  return true;
}

}  // namespace

KO_PLUGIN_EXPORT int32_t Load(LoadParms* parms, PluginInfo* info) {
  submit = parms->submitEvent;
  info->sourceId = Self;
  info->alarmWord = WantBit;
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
  if (baseType(record->type) != EventTypeConfig || static_cast<uint32_t>(record->source) != CoreSourceId) return 0;
  int level = 0;
  if (!ownLevel(std::string_view(static_cast<const char*>(record->data), record->length), level)) return 0;
  char line[16];
  const int n = std::snprintf(line, sizeof line, "%d\n", level);
  if (::write(acks, line, static_cast<size_t>(n)) != n) return 0;
  const int next = level < 0 ? 0 : (level + 1) % Levels;
  const int length = std::snprintf(delta, sizeof delta,
                                   "<?xml version=\"1.0\"?><Kora><Modules Delta=\"1\"><Module>"
                                   "<Plugin ID=\"1310720\" LogLevel=\"%d\"/></Module></Modules></Kora>",
                                   next);
  auto out = makeEvent(EventTypeConfig, EventClassLive | EventFlagXml, Self, delta, static_cast<uint32_t>(length));
  submit(&out);
  return 0;
}
