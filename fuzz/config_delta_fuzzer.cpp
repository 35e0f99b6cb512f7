// Configuration deltas from a plugin (type 256, XML) applied to a loaded
// configuration through the dispatch-time hook, as the dispatch loop does.
//
// Input: the payload. It is handed over in a heap block of exactly its
// length, so reading past it is a sanitizer report. Each run starts from the
// same loaded thresholds. Besides the hook (which looks at a delta only when
// its marks sit in fixed windows), the payload is also parsed and applied
// directly, so the threshold reading is explored without the windows.
//
// Checks: the thresholds after the hook, and after the direct application,
// are exactly those a model written here gives: a delta only when its marks
// lie in the windows, each `Plugin ID` changing the one entry it names (the
// core's ID entry 0, identifier bytes 0 and 1 nothing), values limited to
// -1..100, later entries winning. A delta that changed something is written
// to core.xml and reads back with the same core threshold.
#include <algorithm>
#include <array>
#include <optional>
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
  const std::filesystem::path& directory = ko::fuzz::runDirectory("delta");
  std::unique_ptr<DvrCore> core;
  std::array<int32_t, 256> loaded{};

  Harness() {
    if (chdir(directory.c_str()) != 0) std::abort();
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


using Levels = std::array<int32_t, 256>;

// The marks of a modules delta: the text is 22 bytes at least, "Delta=\"1\""
// lies wholly within bytes 13..112 and "<Modules" within the first 40, which
// hold it after either declaration, "<?xml?>" or `<?xml version="1.0"?>`.
bool modelIsDelta(std::string_view payload) {
  auto within = [&](std::string_view mark, size_t from, size_t to) {
    for (size_t at = from; at + mark.size() <= std::min(to, payload.size()); ++at) {
      if (payload.compare(at, mark.size(), mark) == 0) return true;
    }
    return false;
  };
  return payload.size() >= 22 && within("Delta=\"1\"", 13, 113) && within("<Modules", 0, 40);
}

// "-" then decimal digits, the rest ignored; nothing outside 32 bits.
std::optional<int64_t> modelNumber(const rapidxml::xml_node<char>& node, const char* name) {
  const auto* attribute = node.first_attribute(name);
  if (attribute == nullptr) return std::nullopt;
  const std::string_view text(attribute->value(), attribute->value_size());
  size_t i = text.starts_with('-') ? 1 : 0;
  const size_t digits = i;
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > (int64_t{1} << 31)) return std::nullopt;
  }
  if (i == digits) return std::nullopt;
  if (text.starts_with('-')) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return value;
}

// Kora/Modules/Module/Plugin in document order, each naming one entry.
void modelApply(const rapidxml::xml_node<char>& document, Levels& levels) {
  const auto* kora = document.first_node("Kora");
  const auto* modules = kora != nullptr ? kora->first_node("Modules") : nullptr;
  if (modules == nullptr) return;
  for (auto* module = modules->first_node("Module"); module != nullptr; module = module->next_sibling("Module")) {
    for (auto* plugin = module->first_node("Plugin"); plugin != nullptr; plugin = plugin->next_sibling("Plugin")) {
      const auto id = modelNumber(*plugin, "ID");
      const auto level = modelNumber(*plugin, "LogLevel");
      if (!id || !level) continue;
      // The core's ID names entry 0; otherwise bits 16..23 of the ID do,
      // where 0 and 1 name no plugin (65536 is ignored).
      const size_t index = *id == INT32_MIN ? 0 : (static_cast<uint32_t>(*id) >> 16) & 0xff;
      if (*id != INT32_MIN && index <= 1) continue;
      levels[index] = static_cast<int32_t>(std::clamp<int64_t>(*level, -1, 100));
    }
  }
}

void modelApply(std::string_view payload, Levels& levels) {
  try {
    const ParsedXml parsed(payload);
    modelApply(parsed.document(), levels);
  } catch (const std::exception&) {
  }
}

bool levelsAre(const DvrCore& core, const Levels& expected) {
  for (size_t i = 0; i < expected.size(); ++i) {
    if (core.logLevels[i] != expected[i]) return false;
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

  const std::string_view text(payload.get(), size);
  Levels expected = h.loaded;
  if (modelIsDelta(text)) modelApply(text, expected);
  KO_FUZZ_CHECK(levelsAre(core, expected));
  if (expected != h.loaded) {
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
    const ParsedXml parsed(text);
    (void)applyModuleLevels(parsed.document(), core.logLevels);
  } catch (const std::exception&) {
  }
  modelApply(text, expected);
  KO_FUZZ_CHECK(levelsAre(core, expected));
  return 0;
}
