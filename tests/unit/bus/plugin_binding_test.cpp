// Binding a real plugin library: load and open outcomes, the interest test
// and the three delivery paths.
#include <cstring>

#include "bus_fixture.h"

namespace ko::core::bustest {
namespace {

using busprobe::Path;

bool libraryMapped(const std::string& name) {
  void* handle = dlopen(pluginPath(name).c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

using PluginLoad = BusTest;

TEST_F(PluginLoad, MissingFileReportsLoaderText) {
  auto plugin = LoadPlugin(dir + "/absent/Nothing.so", submitEventCallback, nullptr, 0);
  EXPECT_EQ(plugin->loadCode, 79);
  EXPECT_NE(plugin->errorText.find("Nothing.so"), std::string::npos) << plugin->errorText;
  EXPECT_FALSE(plugin->loaded());
  EXPECT_EQ(plugin->fileName, "Nothing.so");
  EXPECT_EQ(plugin->displayName(), "Nothing");
}

TEST_F(PluginLoad, MissingUnloadClosesLibraryWithoutCallingLoad) {
  {
    auto plugin = load("bus_no_unload");
    EXPECT_EQ(plugin->loadCode, -101);
    EXPECT_EQ(plugin->errorText, "missing Load()/Unload()");
    EXPECT_FALSE(plugin->loaded());
    EXPECT_FALSE(libraryMapped("bus_no_unload"));
  }
  Probe* p = probe("bus_no_unload");
  auto plugin = load("bus_no_unload");
  EXPECT_EQ(plugin->loadCode, -101);
  EXPECT_EQ(p->loads, 0);
}

TEST_F(PluginLoad, FailedLoadKeepsCodeAndNeverUnloads) {
  Probe* p = probe("bus_b");
  p->loadCode = 5;
  {
    auto plugin = load("bus_b");
    EXPECT_EQ(plugin->loadCode, 5);
    EXPECT_EQ(plugin->errorText, "load code 5");
    EXPECT_FALSE(plugin->loaded());
    plugin->Open();
    EXPECT_EQ(plugin->openCode, -102);
  }
  EXPECT_EQ(p->loads, 1);
  EXPECT_EQ(p->unloads, 0);
  EXPECT_EQ(p->opens, 0);
}

TEST_F(PluginLoad, LoadRecordsCarryHeadersAndTheCallback) {
  Probe* p = probe("bus_b");
  {
    auto plugin = load("bus_b");
    ASSERT_EQ(plugin->loadCode, 0);
    EXPECT_EQ(p->submit, &submitEventCallback);
    EXPECT_EQ(plugin->info.sourceId, 0x00120000u);
    EXPECT_EQ(plugin->info.size, 112u);
    EXPECT_EQ(plugin->sourceIndexOf(), 0x12);
    EXPECT_GE(plugin->loadTime, 0);
  }
  EXPECT_EQ(p->badRecords, 0);
  EXPECT_EQ(p->unloads, 1);
}

TEST_F(PluginLoad, SecondOpenDoesNotCallOpenAgain) {
  Probe* p = probe("bus_b");
  auto plugin = load("bus_b");
  plugin->Open();
  plugin->Open();
  EXPECT_EQ(p->opens, 1);
  EXPECT_EQ(plugin->openCode, 0);
  plugin->Retire(Plugin::Retired::Closed);
  EXPECT_EQ(p->closes, 1);
  EXPECT_EQ(plugin->entry.OnEvent, nullptr);
  plugin->Retire(Plugin::Retired::Unloaded);
  EXPECT_EQ(p->unloads, 1);
  EXPECT_FALSE(plugin->loaded());
  EXPECT_EQ(p->badRecords, 0);
}

TEST_F(PluginLoad, MissingCloseFailsOpenWithoutCallingOpen) {
  Probe* p = probe("bus_no_close");
  {
    auto plugin = load("bus_no_close");
    ASSERT_EQ(plugin->loadCode, 0);
    plugin->Open();
    EXPECT_EQ(plugin->openCode, -102);
    EXPECT_EQ(plugin->errorText, "missing Open()/Close()");
    EXPECT_EQ(plugin->entry.OnEvent, nullptr);
  }
  EXPECT_EQ(p->opens, 0);
  EXPECT_EQ(p->unloads, 1);
}

// --- the interest test -------------------------------------------------------

class WantsEventTest : public BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    plugin = load("bus_b");
    ASSERT_TRUE(plugin->loaded());
    setWords(0);
  }
  void setWords(uint64_t w) {
    auto& i = plugin->info;
    i.videoWord = i.audioWord = i.alarmWord = i.ptzWord = i.serialWord = w;
    i.logWord = i.posWord = i.analyticWord = w;
  }
  bool wants(uint64_t type, uint64_t source, uint64_t flags = EventClassLive) {
    auto record = makeEvent(static_cast<uint32_t>(type), flags, source);
    record.type = type;
    return plugin->WantsEvent(record);
  }
  static constexpr uint32_t Mine = 0x00120003u;   // same origin as the plugin (0x12)
  static constexpr uint32_t Other = 0x00340000u;
  std::shared_ptr<Plugin> plugin;
};

TEST_F(WantsEventTest, StoredRecordsFollowOnlyTheRequestOrigin) {
  setWords(WantBit);
  auto record = makeEvent(EventTypeVideo, EventClassStored, Other);
  record.requestId = 0xffffffff00120099ull;  // upper half ignored
  EXPECT_TRUE(plugin->WantsEvent(record));
  record.requestId = 0x00340001;
  EXPECT_FALSE(plugin->WantsEvent(record));
  setWords(0);
  record.type = 128;  // no type, no want word: the origin alone decides
  record.requestId = 0x00120000;
  EXPECT_TRUE(plugin->WantsEvent(record));
  plugin->info.sourceId = CoreSourceId;
  record.requestId = CoreSourceId;
  EXPECT_TRUE(plugin->WantsEvent(record));
  record.requestId = 0x00000005;  // plugin identifier 0 is not the core's origin
  EXPECT_FALSE(plugin->WantsEvent(record));
}

TEST_F(WantsEventTest, OwnPlainMediaComesBackOnlyAsOutput) {
  setWords(WantBit);
  for (uint32_t type : {EventTypeVideo, EventTypeAudio}) {
    auto record = makeEvent(type, EventClassLive, Mine);
    EXPECT_FALSE(plugin->WantsEvent(record)) << type;
    record.body.mediaFlags = MediaFlagOutput;
    EXPECT_TRUE(plugin->WantsEvent(record)) << type;
    plugin->info.videoWord = plugin->info.audioWord = 0;
    EXPECT_TRUE(plugin->WantsEvent(record)) << "output bit decides, not the want word";
    record.type = type | EventTypeModifier;  // modified media from itself: the want word decides
    EXPECT_FALSE(plugin->WantsEvent(record));
    plugin->info.videoWord = plugin->info.audioWord = WantBit;
    EXPECT_TRUE(plugin->WantsEvent(record));
  }
}

TEST_F(WantsEventTest, ModifiedMediaSkipsPluginWithIdentifierZero) {
  setWords(WantBit);
  plugin->info.sourceId = 0x00000005;
  EXPECT_FALSE(wants(EventTypeVideo | EventTypeModifier, Other));
  EXPECT_FALSE(wants(EventTypeAudio | EventTypeModifier, Other));
  EXPECT_TRUE(wants(EventTypeVideo, Other));
  plugin->info.sourceId = CoreSourceId;
  EXPECT_TRUE(wants(EventTypeVideo | EventTypeModifier, Other));
}

TEST_F(WantsEventTest, EachTypeReadsItsOwnWord) {
  struct Row {
    uint32_t type;
    uint64_t PluginInfo::*word;
  };
  const Row rows[] = {{EventTypeVideo, &PluginInfo::videoWord},   {EventTypeAudio, &PluginInfo::audioWord},
                      {EventTypeAlarm, &PluginInfo::alarmWord},   {EventTypePtz, &PluginInfo::ptzWord},
                      {EventTypeSerial, &PluginInfo::serialWord}, {EventTypeLog, &PluginInfo::logWord},
                      {EventTypePos, &PluginInfo::posWord},       {EventTypeAnalytic, &PluginInfo::analyticWord}};
  for (const auto& row : rows) {
    setWords(WantBit);
    plugin->info.*row.word = SearchBit | (uint64_t{WantBit} << 32);  // bit 25 of the low half only
    EXPECT_FALSE(wants(row.type, Other)) << row.type;
    setWords(0);
    plugin->info.*row.word = WantBit;
    EXPECT_TRUE(wants(row.type, Other)) << row.type;
  }
}

TEST_F(WantsEventTest, OriginRulesForWatchdogLogConfigAndAnalytics) {
  setWords(WantBit);
  EXPECT_TRUE(wants(EventTypeWatchdog, Mine));
  EXPECT_FALSE(wants(EventTypeWatchdog, Other));
  EXPECT_FALSE(wants(EventTypeLog, Mine));
  EXPECT_TRUE(wants(EventTypeLog, Other));

  setWords(0);
  EXPECT_TRUE(wants(EventTypeConfig, Other));
  EXPECT_TRUE(wants(EventTypeConfig, CoreSourceId));
  auto config = makeEvent(EventTypeConfig, EventClassLive, Mine);
  EXPECT_FALSE(plugin->WantsEvent(config));
  config.body.bodyParam = 1;
  EXPECT_TRUE(plugin->WantsEvent(config));

  plugin->info.analyticWord = WantBit;
  auto analytic = makeEvent(EventTypeAnalytic, EventClassLive, Mine);
  EXPECT_FALSE(plugin->WantsEvent(analytic));
  analytic.body.bodyParam = 1;
  EXPECT_TRUE(plugin->WantsEvent(analytic));
  plugin->info.analyticWord = 0;
  EXPECT_FALSE(plugin->WantsEvent(analytic)) << "a plugin without analytics interest gets none back";
}

TEST_F(WantsEventTest, UnknownTypesGoNowhere) {
  setWords(~uint64_t{0});
  for (uint64_t type : {0ull, 3ull, 128ull, 0x2000ull, 0x200ull, 0x4000ull}) {
    EXPECT_FALSE(wants(type, Other)) << type;
    EXPECT_FALSE(wants(type, Mine)) << type;
  }
}

// --- delivery paths ------------------------------------------------------------

using PluginDelivery = BusTest;

TEST_F(PluginDelivery, OnEventReceivesQueuedCopySharingOnePayload) {
  Probe* a = probe("bus_a");
  Probe* b = probe("bus_b");
  a->checkBytes = b->checkBytes = true;
  attach("bus_a");
  attach("bus_b");
  std::vector<uint8_t> payload(100);
  busprobe::fillPattern(payload.data(), 100, 9);
  auto record = makeEvent(EventTypeAlarm, EventClassLive | EventFlagXml, 0x00400001u, payload.data(), 100);
  record.body.typeSpecificB[0] = 9;
  record.body.bodyParam = 77;
  ASSERT_EQ(submit(record), 0);
  std::fill(payload.begin(), payload.end(), 0);  // the submitter's copy is its own again
  drain();

  ASSERT_EQ(a->deliveries.size(), 1u);
  ASSERT_EQ(b->deliveries.size(), 1u);
  const auto& seen = a->deliveries[0].record;
  EXPECT_EQ(seen.data, b->deliveries[0].record.data);
  EXPECT_NE(seen.data, payload.data());
  EXPECT_EQ(std::memcmp(&seen.body, &record.body, sizeof record.body), 0);
  EXPECT_EQ(seen.source, record.source);
  EXPECT_EQ(seen.flags, record.flags);
  EXPECT_EQ(seen.length, 100u);
  EXPECT_EQ(a->badRecords + b->badRecords, 0);
  EXPECT_EQ(blocksDelta(), 0);
}

// The first plugin reuses the record it was given; the next one still gets
// the original, keeps it and gives it back.
TEST_F(PluginDelivery, PluginOverwritingItsRecordChangesNothingForTheNext) {
  Probe* a = probe("bus_a");
  Probe* b = probe("bus_b");
  a->scribble = true;
  b->retainAnswer = 1;
  attach("bus_a");
  attach("bus_b");
  const char text[] = "original";
  ASSERT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u, text, sizeof text)), 0);
  drain();
  ASSERT_EQ(a->deliveries.size(), 1u);
  ASSERT_EQ(b->deliveries.size(), 1u);
  const auto& seen = b->deliveries[0].record;
  EXPECT_EQ(seen.type, EventTypeAlarm);
  EXPECT_EQ(seen.source, 0x00400000u);
  EXPECT_EQ(seen.requestId, 0u);
  EXPECT_EQ(seen.length, sizeof text);
  EXPECT_EQ(seen.data, a->deliveries[0].record.data);
  EXPECT_EQ(b->releaseRetained(), 1u);
  EXPECT_EQ(blocksDelta(), 0);
  EXPECT_EQ(heldDelta(0x12), 0);
}

TEST_F(PluginDelivery, IoctlCarriesOnlyConfigurationRecords) {
  Probe* p = probe("bus_ioctl_only");
  p->retainAnswer = 1;
  auto plugin = attach("bus_ioctl_only");
  const char xml[] = "<config/>";
  ASSERT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u, xml, sizeof xml)), 0);
  ASSERT_EQ(submit(makeEvent(EventTypeConfig, EventClassLive | EventFlagXml, 0x00400000u, xml, sizeof xml)), 0);
  drain();

  ASSERT_EQ(p->deliveries.size(), 1u);
  const auto& d = p->deliveries[0];
  EXPECT_EQ(d.path, Path::Ioctl);
  EXPECT_EQ(d.ioctl.code, IoctlConfigEvent);
  EXPECT_EQ(d.ioctl.dataLength, sizeof xml);
  EXPECT_EQ(std::string(d.payload.begin(), d.payload.end() - 1), "<config/>");
  EXPECT_EQ(p->badRecords, 0);
  // The answer word retains the record for the plugin.
  EXPECT_EQ(heldDelta(0x15), 1);
  EXPECT_EQ(blocksDelta(), 1);
  p->releaseRetained();
  EXPECT_EQ(heldDelta(0x15), 0);
  EXPECT_EQ(blocksDelta(), 0);
}

TEST_F(PluginDelivery, WriteSeesTheRecordReLaidWithContext) {
  Probe* p = probe("bus_write");
  p->checkBytes = true;
  attach("bus_write");
  std::vector<uint8_t> payload(64);
  busprobe::fillPattern(payload.data(), 64, 3);
  auto record = makeEvent(EventTypePos, EventClassLive | EventFlagText, 0x00400002u, payload.data(), 64);
  for (size_t i = 0; i < sizeof record.body.typeSpecificB; ++i) record.body.typeSpecificB[i] = static_cast<uint8_t>(i * 7);
  record.body.typeSpecificB[0] = 3;
  record.body.mediaFlags = 0x5a;
  record.body.context = reinterpret_cast<void*>(0x1234abcdull);
  ASSERT_EQ(submit(record), 0);
  ASSERT_EQ(submit(makeEvent(EventTypeConfig, EventClassLive, 0x00400000u)), 0);
  drain();

  ASSERT_EQ(p->deliveries.size(), 2u);
  const auto& w = p->deliveries[0];
  ASSERT_EQ(w.path, Path::Write);
  EXPECT_EQ(w.write.size, 232u);
  EXPECT_EQ(w.write.length, 64u);
  EXPECT_EQ(w.write.source, record.source);
  EXPECT_EQ(w.write.requestId, 0u);
  EXPECT_EQ(w.write.type, record.type);
  EXPECT_EQ(w.write.flags, record.flags);
  EXPECT_EQ(std::memcmp(&w.write.body, &record.body, sizeof record.body), 0);
  EXPECT_EQ(w.context, record.body.context);
  EXPECT_EQ(w.payload, payload);
  // A configuration record takes the IOCTL path even when Write is there.
  EXPECT_EQ(p->deliveries[1].path, Path::Ioctl);
  EXPECT_EQ(p->badRecords, 0);
}

TEST_F(PluginDelivery, WriteWithoutAcceptsWriteReceivesNothing) {
  Probe* p = probe("bus_write_refused");
  attach("bus_write_refused");
  queueWarmUp();
  ASSERT_EQ(submit(makeEvent(EventTypeAlarm, EventClassLive, 0x00400000u)), 0);
  drain();
  EXPECT_EQ(counters.eventsDispatched.load(), 1) << "counted since the warm-up's report";
  EXPECT_TRUE(p->deliveries.empty());
}

}  // namespace
}  // namespace ko::core::bustest
