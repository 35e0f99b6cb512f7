// Loading "product.xml" and "core.xml", each with or without a pending file
// beside it, through the real file code in a private working directory.
//
// Input: a control byte whose bits 0..3 say which of core.xml,
// core.xml.pending, product.xml and product.xml.pending exist, then their
// contents in that order, separated by "|||"; with bit 4 two more texts, the
// parent's file name and version.
//
// Checks: after loading, the configuration is published: the queued
// document parses and its `Product` carries the identity that was read, and
// the written core.xml parses, leaves `Product` out and holds the throttling
// and core threshold that were read. A second core loads the written file to
// the same settings; publishing from it writes the very same text again.
#include <fcntl.h>

#include <algorithm>
#include <array>
#include <optional>
#include <utility>
#include <deque>
#include <vector>

#include "config/file_replace.h"
#include "config/xml_tree.h"
#include "fuzz/fuzz_support.h"

namespace {

using namespace ko::core;

constexpr std::array<const char*, 4> FileNames = {"core.xml", "core.xml.pending", "product.xml",
                                                  "product.xml.pending"};

struct Settings {
  std::string family;
  std::string version;
  bool throttling = true;
  int32_t coreLevel = -1;
  std::pair<std::string, std::string> parent;  // file name and version from the start-up packet
  bool operator==(const Settings&) const = default;
};

Settings settingsOf(const DvrCore& core) {
  return {core.productFamily, core.productVersion, core.throttlingEnabled, core.logLevels[0].load(),
          core.parentIdentity()};
}

void writeFile(const char* name, std::string_view text) {
  const int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  KO_FUZZ_CHECK(fd >= 0);
  KO_FUZZ_CHECK(write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
  close(fd);
}

std::string readFileText(const char* name) {
  try {
    return readWholeFile(name);
  } catch (...) {
    return {};
  }
}


// A core as the entry point makes it, loaded from the working directory,
// with the texts a start-up packet left.
std::unique_ptr<DvrCore> loadedCore(const std::pair<std::string, std::string>& parent) {
  auto core = ko::fuzz::quietCore("/usr/bin/dvrcore");
  core->logLevels[0] = -1;
  core->loadConfig();
  std::lock_guard lock(core->parentInfoLock);
  core->parentFilename = parent.first;
  core->parentVersion = parent.second;
  return core;
}

// A text of printable ASCII, tabs and line breaks reads back exactly; any
// other byte may be written as U+FFFD, so only its presence is checked.
bool readsBackAs(const std::optional<std::string>& read, const std::string& sent) {
  const bool plain = std::all_of(sent.begin(), sent.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte == '\t' || byte == '\n' || byte == '\r' || (byte >= 0x20 && byte <= 0x7f);
  });
  return plain ? read == sent : read.has_value();
}

std::optional<std::string> attributeText(const rapidxml::xml_node<char>* node, const char* name) {
  const auto* attribute = node != nullptr ? node->first_attribute(name) : nullptr;
  if (attribute == nullptr) return std::nullopt;
  return std::string(attribute->value(), attribute->value_size());
}

// Reads a document the core made back with the parser and compares it with
// the settings it was made from; `withProduct` for the published one.
void checkDocument(const std::string& text, const Settings& settings, bool withProduct) {
  std::unique_ptr<ParsedXml> parsed;
  try {
    parsed = std::make_unique<ParsedXml>(text);
  } catch (const std::exception& e) {
    ko::fuzz::fail(__FILE__, __LINE__, e.what());
  }
  const auto* kora = parsed->document().first_node("Kora");
  KO_FUZZ_CHECK(kora != nullptr);
  const auto* product = kora->first_node("Product");
  KO_FUZZ_CHECK((product != nullptr) == withProduct);
  if (withProduct) {
    KO_FUZZ_CHECK(readsBackAs(attributeText(product, "Family"), settings.family));
    KO_FUZZ_CHECK(readsBackAs(attributeText(product, "Version"), settings.version));
  }
  KO_FUZZ_CHECK(attributeText(kora->first_node("Memory"), "Throttling") == (settings.throttling ? "1" : "0"));
  const auto* modules = kora->first_node("Modules");
  const auto* module = modules != nullptr ? modules->first_node("Module") : nullptr;
  const auto* core = module != nullptr ? module->first_node("Plugin") : nullptr;
  KO_FUZZ_CHECK(attributeText(core, "LogLevel") == std::to_string(settings.coreLevel));
  // The parent's identity is listed once it has sent a version.
  const auto* library = module != nullptr ? module->first_node("Library") : nullptr;
  KO_FUZZ_CHECK((library != nullptr) == !settings.parent.second.empty());
  if (library != nullptr) {
    KO_FUZZ_CHECK(readsBackAs(attributeText(library, "Filename"), settings.parent.first));
    KO_FUZZ_CHECK(readsBackAs(attributeText(library, "Version"), settings.parent.second));
  }
}

std::string publish(DvrCore& core, const Settings& settings) {
  core.publishConfig();
  std::string published;
  {
    std::lock_guard lock(core.queueLock);
    for (const auto& record : core.eventQueue) {
      if (record.type == EventTypeConfig) published.assign(static_cast<const char*>(record.data), record.length);
    }
  }
  ko::fuzz::discardQueue(core);
  KO_FUZZ_CHECK(published.starts_with("<?xml version=\"1.0\"?><Kora>"));
  checkDocument(published, settings, true);
  std::string written = readFileText("core.xml");
  checkDocument(written, settings, false);
  return written;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static ko::fuzz::DirectoryRemover directory{ko::fuzz::privateDirectory("config")};
  if (chdir(directory.path.c_str()) != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ko::fuzz::Reader in(data, size);
  const auto present = in.take<uint8_t>();
  std::vector<std::string_view> texts;
  ko::fuzz::splitEach(in.rest(), "|||", [&](std::string_view text) { texts.push_back(text); });
  size_t next = 0;
  for (size_t i = 0; i < FileNames.size(); ++i) {
    unlink(FileNames[i]);
    if ((present & (1u << i)) == 0) continue;
    writeFile(FileNames[i], next < texts.size() ? texts[next] : std::string_view());
    ++next;
  }

  // Bit 4: the next two texts are the parent's file name and version, as a
  // start-up packet gives them (any bytes but NUL).
  std::pair<std::string, std::string> parent;
  if ((present & 0x10) != 0) {
    auto text = [&] { return next < texts.size() ? std::string(texts[next++]) : std::string(); };
    parent.first = text();
    parent.second = text();
    for (auto* t : {&parent.first, &parent.second}) std::replace(t->begin(), t->end(), '\0', ' ');
  }

  auto first = loadedCore(parent);
  const Settings loaded = settingsOf(*first);
  const std::string written = publish(*first, loaded);
  first.reset();
  // The core's own document always starts with the declaration it writes,
  // version included, whatever declaration the file it read carried.
  KO_FUZZ_CHECK(written.starts_with("<?xml version=\"1.0\"?>\n<Kora>\n"));

  auto second = loadedCore(parent);
  KO_FUZZ_CHECK(settingsOf(*second) == loaded);
  KO_FUZZ_CHECK(publish(*second, loaded) == written);
  coreInstance = nullptr;
  return 0;
}
