// Configuration deltas from a plugin (type 256, XML) applied to a loaded
// configuration through the dispatch-time hook, as the dispatch loop does.
//
// Input: the payload. It is handed over in a heap block of exactly its
// length, so reading past it is a sanitizer report. Each run starts from the
// same loaded thresholds. Besides the hook (which looks at a delta only when
// its marks sit in fixed windows), the payload is also parsed and applied
// directly, so the threshold reading is explored without the windows.
//
// Checks: every threshold stays within -1..100; a payload the hook does not
// take for a delta changes nothing; a delta that changed something is written
// to core.xml and reads back with the same core threshold.
#include <array>
#include <deque>

#include "config/config_model.h"
#include "config/file_replace.h"
#include "config/xml_tree.h"
#include "fuzz/fuzz_support.h"

namespace {

using namespace ko::core;

constexpr std::string_view LoadedConfig =
    "<?xml?>\n<Kora>\n\t<Memory ID=\"-2147483648\" Throttling=\"1\"/>\n"
    "\t<Modules TotalLoadTimeMs=\"0\" TotalOpenTimeMs=\"0\">\n"
    "\t\t<Module ID=\"-2147483648\" Name=\"Core\" Version=\"26.2.3.0\">\n"
    "\t\t\t<Plugin ID=\"-2147483648\" Filename=\"dvrcore\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"0\" "
    "LogLevel=\"40\"/>\n"
    "\t\t\t<Plugin ID=\"1179648\" Filename=\"a.so\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"0\" "
    "LogLevel=\"10\"/>\n"
    "\t\t\t<Plugin ID=\"1245184\" Filename=\"b.so\" LoadTimeMs=\"0\" OpenTimeMs=\"0\" OpenCode=\"0\" "
    "LogLevel=\"-1\"/>\n"
    "\t\t</Module>\n\t</Modules>\n</Kora>\n";

struct Harness {
  ko::fuzz::DirectoryRemover directory{ko::fuzz::privateDirectory("delta")};
  std::unique_ptr<DvrCore> core;
  std::array<int32_t, 256> loaded{};

  Harness() {
    if (chdir(directory.path.c_str()) != 0) std::abort();
    writeFileReplacing("core.xml", LoadedConfig.data(), LoadedConfig.size());
    core = ko::fuzz::quietCore("/usr/bin/dvrcore");
    core->loadConfig();
    KO_FUZZ_CHECK(core->logLevels[0] == 40 && core->logLevels[0x12] == 10);
    for (size_t i = 0; i < loaded.size(); ++i) loaded[i] = core->logLevels[i];
  }
};

Harness& harness() {
  static Harness* h = new Harness;
  return *h;
}


bool levelsInRange(const DvrCore& core) {
  for (const auto& level : core.logLevels) {
    if (level < -1 || level > 100) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)harness();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Harness& h = harness();
  DvrCore& core = *h.core;
  coreInstance = &core;
  for (size_t i = 0; i < h.loaded.size(); ++i) core.logLevels[i] = h.loaded[i];
  // A marker that the hook's republication must overwrite.
  unlink("core.xml");

  // Exactly the payload's bytes, as a payload block would hold them.
  std::unique_ptr<char[]> payload(size != 0 ? new char[size] : nullptr);
  if (size != 0) std::memcpy(payload.get(), data, size);
  const auto length = static_cast<uint32_t>(std::min<size_t>(size, UINT32_MAX));
  const auto record = makeEvent(EventTypeConfig, EventClassLive | EventFlagXml, 0x00120000u, payload.get(), length);
  core.configDeltaHook(record);
  ko::fuzz::discardQueue(core);
  KO_FUZZ_CHECK(levelsInRange(core));

  bool changed = false;
  for (size_t i = 0; i < h.loaded.size(); ++i) changed |= core.logLevels[i] != h.loaded[i];
  if (!looksLikeModulesDelta(payload.get(), length)) KO_FUZZ_CHECK(!changed);
  if (changed) {
    // Republished: the file holds the core's threshold as it is now.
    const int32_t coreLevel = core.logLevels[0];
    auto reader = ko::fuzz::quietCore("/usr/bin/dvrcore");
    reader->loadConfig();
    KO_FUZZ_CHECK(reader->logLevels[0] == coreLevel);
    reader.reset();
    coreInstance = &core;
  }

  // The same text applied without the windows.
  try {
    const ParsedXml parsed(std::string_view(payload.get(), size));
    (void)applyModuleLevels(parsed.document(), core.logLevels);
  } catch (const std::exception&) {
  }
  KO_FUZZ_CHECK(levelsInRange(core));
  return 0;
}
