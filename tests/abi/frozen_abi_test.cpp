// A plugin compiled against the frozen first release of the interface
// headers still loads, is described, receives records field for field and
// submits records the core reads correctly.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "core/dvr_core.h"
#include "events/ref_block.h"
#include "plugins/plugin.h"
#include "support/core_test_support.h"

extern "C" int32_t submitEventCallback(ko::core::EventParms* record) noexcept;

namespace ko::core {
namespace {

struct FrozenProbe {
  uint32_t loadParmsSize, loadParmsVersion, infoSize, infoVersion;
  uint32_t events, lastLength;
  uint64_t lastType, lastFlags, lastBodyParam;
  uint8_t firstMediaFlags;
  void* firstContext;
  uint32_t closed;
};

class FrozenAbi : public ::testing::Test {
 protected:
  void SetUp() override {
    coreInstance = &core;
    core.logLevels[0].store(100);  // keep the core's own lines out of the queue
  }
  void TearDown() override { coreInstance = nullptr; }

  ko::test::TempDir dir;
  DvrCore core{(dir.path() / "bin" / "dvrcore").string()};
};

TEST_F(FrozenAbi, PluginBuiltAgainstFirstReleaseStillWorks) {
  auto plugin = LoadPlugin(KO_FROZEN_PLUGIN, submitEventCallback, nullptr, 0);
  ASSERT_TRUE(plugin->loaded()) << plugin->errorText;
  plugin->Open();
  ASSERT_EQ(plugin->openCode, 0);
  auto probeOf = reinterpret_cast<FrozenProbe* (*)()>(plugin->handle.symbol("frozenProbe"));
  ASSERT_NE(probeOf, nullptr);
  const FrozenProbe& probe = *probeOf();
  EXPECT_EQ(probe.loadParmsSize, 40u);
  EXPECT_EQ(probe.loadParmsVersion, 4u);
  EXPECT_EQ(probe.infoSize, 112u);
  EXPECT_EQ(probe.infoVersion, 3u);
  EXPECT_EQ(plugin->sourceIndexOf(), 0x55);
  core.plugins.push_back(plugin);

  const std::string xml = "<Alarm Kind=\"door\"/>";
  int marker = 0;
  auto alarm = makeEvent(EventTypeAlarm, EventClassLive | EventFlagXml, 0x00120000, xml.data(),
                         static_cast<uint32_t>(xml.size()));
  alarm.body.bodyParam = 41;
  alarm.body.mediaFlags = 0x5a;
  alarm.body.context = &marker;
  std::thread loop([&] { core.dispatchLoop(); });
  ASSERT_EQ(core.submitEvent(alarm), 0);
  // The plugin's answer is an alarm too, and it wants alarms from anyone:
  // two deliveries in all.
  const bool both = ko::test::waitUntil([&] { return __atomic_load_n(&probe.events, __ATOMIC_ACQUIRE) == 2; });
  core.requestStop();
  loop.join();
  ASSERT_TRUE(both);

  // The first record arrived field for field, body included.
  EXPECT_EQ(probe.firstMediaFlags, 0x5a);
  EXPECT_EQ(probe.firstContext, &marker);
  EXPECT_EQ(probe.lastType, EventTypeAlarm);
  EXPECT_EQ(probe.lastLength, xml.size());
  EXPECT_EQ(probe.lastBodyParam, 42u);
  EXPECT_EQ(probe.lastFlags, EventClassLive | EventFlagXml);
  EXPECT_EQ(refBlockCount.load(), 0);

  plugin->Retire(Plugin::Retired::Closed);
  EXPECT_EQ(probe.closed, 1u);
  plugin->Retire(Plugin::Retired::Unloaded);
  core.plugins.clear();
}

}  // namespace
}  // namespace ko::core
