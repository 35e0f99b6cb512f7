// Loading "product.xml" and "core.xml", each with or without a pending file
// beside it, through the real file code in a private working directory.
//
// Input: a control byte whose bits 0..3 say which of core.xml,
// core.xml.pending, product.xml and product.xml.pending exist, then their
// contents in that order, separated by "|||".
//
// Checks: after loading, the configuration is published (core.xml written)
// and a second core loads the written file to the same settings; publishing
// from that second core writes the very same text again.
#include <fcntl.h>

#include <array>
#include <deque>
#include <vector>

#include "config/file_replace.h"
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
  bool operator==(const Settings&) const = default;
};

Settings settingsOf(const DvrCore& core) {
  return {core.productFamily, core.productVersion, core.throttlingEnabled, core.logLevels[0].load()};
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


// A core as the entry point makes it, loaded from the working directory.
std::unique_ptr<DvrCore> loadedCore() {
  auto core = ko::fuzz::quietCore("/usr/bin/dvrcore");
  core->logLevels[0] = -1;
  core->loadConfig();
  return core;
}

std::string publish(DvrCore& core) {
  core.publishConfig();
  ko::fuzz::discardQueue(core);
  return readFileText("core.xml");
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

  auto first = loadedCore();
  const Settings loaded = settingsOf(*first);
  const std::string written = publish(*first);
  first.reset();
  // The core's own document always starts with the declaration it writes.
  KO_FUZZ_CHECK(written.starts_with("<?xml"));

  auto second = loadedCore();
  KO_FUZZ_CHECK(settingsOf(*second) == loaded);
  KO_FUZZ_CHECK(publish(*second) == written);
  coreInstance = nullptr;
  return 0;
}
