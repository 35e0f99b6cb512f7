// The configuration model: loading product.xml and core.xml at start-up,
// publishing the configuration document (queued for the plugins and written
// to core.xml), applying modules deltas from plugins, and the memory-state
// document.
//
// Threads: loadConfig, publishConfig and configDeltaHook run on the main
// thread (start-up and the dispatch loop); publishMemoryState on the main
// thread at start-up and on the io thread afterwards. logLevels is written
// here on the main thread only and read by every thread through the logger.
#include "config/config_model.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#include "config/file_replace.h"
#include "config/xml_tree.h"
#include "core/dvr_core.h"
#include "log/core_log.h"
#include "plugins/inventory.h"

namespace ko::core {

namespace {

constexpr int32_t CoreId = static_cast<int32_t>(CoreSourceId);

// Every byte of a configuration delta must lie in this window: a declaration
// and the Kora start tag (6 bytes) come first. The window starts after the
// shortest declaration, "<?xml?>" (7 bytes), which deltas written before the
// version was printed still carry. "<Modules" must start within the first
// 32 bytes: after `<?xml version="1.0"?>` (21 bytes) and `<Kora>` it starts
// at 27, or at 30 with a line break and a tab between the tags.
constexpr std::size_t DeltaWindowStart = 13;
constexpr std::size_t DeltaWindowSize = 100;
constexpr std::size_t ModulesTagWindow = 40;
constexpr std::size_t MinDeltaLength = 22;
constexpr std::string_view DeltaMark = "Delta=\"1\"";
constexpr std::string_view ModulesTag = "<Modules";

bool isFalseText(std::string_view value) noexcept {
  if (value == "0") return true;
  constexpr std::string_view False = "false";
  if (value.size() != False.size()) return false;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (lower != False[i]) return false;
  }
  return true;
}

std::string_view lastPathComponent(std::string_view path) noexcept {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::optional<int32_t> attributeNumber(const XmlNode& node, std::string_view name) noexcept {
  const XmlAttribute* attribute = firstAttribute(node, name);
  if (attribute == nullptr) return std::nullopt;
  return parseDecimal32(valueOf(*attribute));
}

// A fresh document that begins with `<?xml version="1.0"?>`: XML parsers
// such as expat and libxml2 refuse a declaration without the version.
std::unique_ptr<XmlDocument> newDocument() {
  // Documents carry their first pool block inline (tens of KiB); they live
  // on the heap so the io thread's stack is not spent on them.
  auto document = std::make_unique<XmlDocument>();
  XmlNode* declaration = document->allocate_node(rapidxml::node_declaration);
  appendAttribute(*document, *declaration, "version", "1.0");
  document->append_node(declaration);
  return document;
}

}  // namespace

std::optional<int32_t> parseDecimal32(std::string_view text) noexcept {
  bool negative = false;
  std::size_t i = 0;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  const std::size_t firstDigit = i;
  int64_t value = 0;
  constexpr int64_t Limit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > Limit) return std::nullopt;
  }
  if (i == firstDigit) return std::nullopt;
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) return std::nullopt;
  return static_cast<int32_t>(value);
}

bool applyModuleLevels(const XmlNode& document, std::array<std::atomic<int32_t>, 256>& logLevels) {
  const XmlNode* kora = firstChildElement(document, "Kora");
  const XmlNode* modules = kora != nullptr ? firstChildElement(*kora, "Modules") : nullptr;
  const XmlNode* module = modules != nullptr ? firstChildElement(*modules, "Module") : nullptr;
  bool changed = false;
  for (; module != nullptr; module = nextSiblingElement(*module, "Module")) {
    for (const XmlNode* plugin = firstChildElement(*module, "Plugin"); plugin != nullptr;
         plugin = nextSiblingElement(*plugin, "Plugin")) {
      const auto id = attributeNumber(*plugin, "ID");
      if (!id) continue;
      uint8_t index = 0;
      if (*id != CoreId) {
        index = static_cast<uint8_t>((static_cast<uint32_t>(*id) >> 16) & 0xffu);
        // Identifiers 0 and 1 never name a plugin here; the entries of failed
        // plugins (IDs 1, 2, ...) land on them.
        if (index <= 1) continue;
      }
      const auto level = attributeNumber(*plugin, "LogLevel");
      if (!level) continue;
      auto& entry = logLevels[index];
      // The unlimited value is compared, so 500 against a stored 100 counts
      // as a change.
      if (*level == entry.load(std::memory_order_relaxed)) continue;
      entry.store(std::clamp(*level, -1, 100), std::memory_order_relaxed);
      changed = true;
    }
  }
  return changed;
}

bool looksLikeModulesDelta(const char* payload, std::size_t length) noexcept {
  if (payload == nullptr || length < MinDeltaLength) return false;
  const std::string_view window(payload + DeltaWindowStart, std::min(length - DeltaWindowStart, DeltaWindowSize));
  if (window.find(DeltaMark) == std::string_view::npos) return false;
  const std::string_view head(payload, std::min(length, ModulesTagWindow));
  return head.find(ModulesTag) != std::string_view::npos;
}

void DvrCore::loadConfig() {
  try {
    const std::string text = readXmlFile(ProductXmlPath);
    const ParsedXml parsed(text);
    const XmlNode* root = firstChildElement(parsed.document());
    const XmlNode* product = root != nullptr ? firstChildElement(*root, "Product") : nullptr;
    if (product != nullptr) {
      auto textOf = [&](std::string_view name) {
        const XmlAttribute* attribute = firstAttribute(*product, name);
        return attribute != nullptr ? std::string(valueOf(*attribute)) : std::string();
      };
      productFamily = textOf("Family");
      productVersion = textOf("Version");
    }
  } catch (const std::exception&) {
    // product.xml is optional; without it the built-in identity stays.
  }

  std::string text;
  std::unique_ptr<ParsedXml> parsed;
  std::string syncFailure;
  try {
    text = readXmlFile(coreXmlPath, &syncFailure);
    parsed = std::make_unique<ParsedXml>(text);
  } catch (const std::exception& e) {
    coreLog(75, "{}\nConfig defaulted", e.what());
    return;
  }
  // The promoted file is read all the same; only its durability is in doubt.
  if (!syncFailure.empty()) coreLog(75, "{}", syncFailure);
  const XmlDocument& document = parsed->document();
  const XmlNode* kora = firstChildElement(document, "Kora");
  if (const XmlNode* memory = kora != nullptr ? firstChildElement(*kora, "Memory") : nullptr) {
    const XmlAttribute* throttling = firstAttribute(*memory, "Throttling");
    throttlingEnabled = throttling == nullptr || !isFalseText(valueOf(*throttling));
  }
  (void)applyModuleLevels(document, logLevels);
}

void DvrCore::configDeltaHook(const EventParms& record) {
  if (stopRequested.load()) return;
  if (static_cast<uint32_t>(record.source) == CoreSourceId) return;
  if (record.type != EventTypeConfig) return;
  if ((record.flags & EventFlagXml) == 0) return;
  const auto* payload = static_cast<const char*>(record.data);
  if (!looksLikeModulesDelta(payload, record.length)) return;

  bool changed = false;
  try {
    // The payload block is shared with every plugin that receives this
    // record; the parser works on its own copy.
    const ParsedXml parsed(std::string_view(payload, record.length));
    changed = applyModuleLevels(parsed.document(), logLevels);
  } catch (const std::exception&) {
    return;  // a malformed delta changes nothing
  }
  if (changed) publishConfig();
}

void DvrCore::publishConfig() {
  auto document = newDocument();
  XmlDocument& pool = *document;

  XmlNode* kora = appendElement(pool, *document, "Kora");
  XmlNode* memory = appendElement(pool, *kora, "Memory");
  appendNumber(pool, *memory, "ID", CoreId);
  appendAttribute(pool, *memory, "Throttling", throttlingEnabled ? "1" : "0");

  XmlNode* modules = appendElement(pool, *kora, "Modules");
  XmlNode* core = addModuleElement(pool, *modules, CoreId, "Core", productVersion);
  addPluginElement(pool, *core, CoreId, lastPathComponent(corePath), 0, 0, 0,
                   logLevels[0].load(std::memory_order_relaxed));
  const InventoryTotals totals = addLoadedPlugins(pool, *core, plugins, logLevels);
  // The io thread may learn the parent's identity at any moment; the pair is
  // read once, consistently.
  const auto [parentFile, parentRelease] = parentIdentity();
  if (!parentRelease.empty()) {
    XmlNode* library = appendElement(pool, *core, "Library");
    appendAttribute(pool, *library, "Name", "norvad");
    appendAttribute(pool, *library, "Filename", parentFile);
    appendAttribute(pool, *library, "Version", parentRelease);
  }
  addFailedPlugins(pool, *modules, *core, failedPlugins);
  appendNumber(pool, *modules, "TotalLoadTimeMs", totals.loadMs);
  appendNumber(pool, *modules, "TotalOpenTimeMs", totals.openMs);

  XmlNode* product = appendElement(pool, *kora, "Product");
  appendAttribute(pool, *product, "Family", productFamily);
  appendAttribute(pool, *product, "Version", productVersion);

  const std::string queued = renderXml(*document, measureXml(*document, XmlPrintNoIndent, 0));
  if (queued.size() <= std::numeric_limits<uint32_t>::max()) {
    const auto record = makeEvent(EventTypeConfig, EventClassLive | EventFlagXml, CoreSourceId, queued.data(),
                                  static_cast<uint32_t>(queued.size()));
    (void)queueEvent(record);
  }

  // The file carries the same document without the product identity.
  kora->remove_node(product);
  std::string fileText;
  fileText.reserve(measureXml(*document, 0, 0));
  printXml(fileText, *document, 0, 0);

  std::string failure;
  {
    // Writers of core.xml are serialised by the queue lock; submitters wait
    // for one synchronous write meanwhile. Nothing here logs or calls a
    // plugin, as both would need the lock again.
    std::lock_guard lock(queueLock);
    try {
      writeXmlFile(coreXmlPath, fileText.data(), fileText.size());
    } catch (const std::exception& e) {
      failure = e.what();
    }
  }
  if (!failure.empty()) coreLog(75, "{}", failure);
}

void DvrCore::publishMemoryState() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  auto document = newDocument();
  XmlDocument& pool = *document;
  XmlNode* kora = appendElement(pool, *document, "Kora");
  XmlNode* memory = appendElement(pool, *kora, "Memory");
  appendNumber(pool, *memory, "ID", CoreId);
  appendAttribute(pool, *memory, "Throttling", throttled.load() ? "1" : "0");
  appendNumber(pool, *memory, "Time", std::chrono::duration_cast<std::chrono::seconds>(now).count());
  appendNumber(pool, *memory, "mseTime", std::chrono::duration_cast<std::chrono::milliseconds>(now).count());

  const std::string text = renderXml(*document, measureXml(*document, XmlPrintNoIndent, 0));
  const auto record = makeEvent(EventTypeAlarm, EventClassLive | EventFlagXml, CoreSourceId, text.data(),
                                static_cast<uint32_t>(text.size()));
  (void)queueEvent(record);
}

}  // namespace ko::core
