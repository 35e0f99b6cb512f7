// LogPI.so — the logging plugin.
//
// The core binds "plugins/LogPI.so" before anything else and hands it every
// log record that passes the per-source thresholds. This example stores them
// in "LogPI.log" in the core's working directory and rotates the file to
// "LogPI.log.1" when it grows past a size limit.
//
// Two things make a logging plugin different from the others:
//  * Records arrive through "OnEvent" on the dispatch thread while the core
//    runs, but after a stop request the core hands each record over directly
//    on whatever thread submitted it (a worker thread, the io thread, the main
//    thread during shutdown). "OnEvent" must therefore be thread-safe; here a
//    mutex guards the file.
//  * Identifier 0x08 keeps the plugin alive through shutdown: the core takes
//    plugins with that identifier out of the close order, so the logging
//    plugin is closed last, when the core object itself goes away, and still
//    stores the shutdown messages of the others.
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

#include "ko/core/event.hpp"

namespace {

using namespace ko::core;

constexpr uint64_t MySourceId = koSourceId(0x08, 0);  // identifier 0x08
constexpr long RotateAtBytes = 512 * 1024;
constexpr const char* LogFile = "LogPI.log";
constexpr const char* RotatedFile = "LogPI.log.1";

std::mutex fileLock;
std::FILE* file = nullptr;  // guarded by fileLock

void openFile() {
  file = std::fopen(LogFile, "a");
}

void rotateIfNeeded() {
  if (file == nullptr || std::ftell(file) < RotateAtBytes) return;
  std::fclose(file);
  std::rename(LogFile, RotatedFile);
  openFile();
}

// "core" for the core, else "PI" and the two hex digits of the identifier.
std::string sourceTag(const EventParms& record) {
  if (koIsCoreRecord(&record)) return "core";
  char tag[8];
  std::snprintf(tag, sizeof tag, "PI%02x", koSourceIdentifier(record.source));
  return tag;
}

void store(const EventParms& record) {
  std::string_view text = payloadText(record);
  while (!text.empty() && (text.back() == '\0' || text.back() == '\n' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  if (text.empty()) return;

  std::timespec now{};
  std::timespec_get(&now, TIME_UTC);
  std::tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &utc);

  std::lock_guard lock(fileLock);
  if (file == nullptr) return;
  std::fprintf(file, "%s.%03ld %s %3d %.*s\n", stamp, now.tv_nsec / 1000000, sourceTag(record).c_str(),
               static_cast<int32_t>(static_cast<uint32_t>(record.body.bodyParam)), static_cast<int>(text.size()),
               text.data());
  std::fflush(file);
  rotateIfNeeded();
}

}  // namespace

KO_PLUGIN_EXPORT int32_t Load(LoadParms*, PluginInfo* info) {
  info->sourceId = MySourceId;
  info->logWord = WantBit;  // every log record the thresholds let through
  return 0;
}

KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) {}

KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) {
  std::lock_guard lock(fileLock);
  openFile();
}

KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {
  std::lock_guard lock(fileLock);
  if (file != nullptr) std::fclose(file);
  file = nullptr;
}

// Returns 0: the record is not retained, its text is copied into the file
// before the call returns.
KO_PLUGIN_EXPORT int OnEvent(EventParms* record) {
  if (baseType(record->type) == EventTypeLog) store(*record);
  return 0;
}
