// A real DvrCore in a fresh temporary working directory, reachable through
// coreInstance, with console output off. Records the core queues are taken
// off the queue with their payload text, and their references released.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/dvr_core.h"
#include "support/core_test_support.h"
#include "temp_dir.h"

extern "C" int32_t submitEventCallback(ko::core::EventParms* record) noexcept;

namespace ko::core::testing {

struct QueuedRecord {
  uint64_t type = 0;
  uint64_t flags = 0;
  uint64_t source = 0;
  uint64_t bodyParam = 0;
  std::string text;
};

class CoreFixture : public ::testing::Test {
 protected:
  CoreFixture() : core_(newCore()) {}
  ~CoreFixture() override {
    (void)takeQueued();
    core_.reset();
    coreInstance = nullptr;
  }

  static std::unique_ptr<DvrCore> newCore() {
    auto core = std::make_unique<DvrCore>("/opt/kora/bin/dvrcore");
    core->consoleQuiet = true;
    coreInstance = core.get();
    return core;
  }

  std::vector<QueuedRecord> takeQueued() {
    std::vector<QueuedRecord> taken;
    for (auto& [r, text] : ::ko::test::takeQueue(*core_)) {
      taken.push_back({r.type, r.flags, r.source, r.body.bodyParam, std::move(text)});
    }
    return taken;
  }

  std::vector<std::string> takeTexts(uint32_t type) {
    std::vector<std::string> texts;
    for (auto& r : takeQueued()) {
      if (r.type == type) texts.push_back(std::move(r.text));
    }
    return texts;
  }

  TempWorkDir dir_;
  std::unique_ptr<DvrCore> core_;
};

}  // namespace ko::core::testing
