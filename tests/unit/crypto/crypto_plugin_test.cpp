// A real plugin has its buffers enciphered and deciphered by the real core
// through submitEventCallback, from several threads at once.
#include <gtest/gtest.h>

#include <latch>
#include <thread>
#include <vector>

#include "core/dvr_core.h"
#include "plugins/plugin.h"

extern "C" int32_t submitEventCallback(ko::core::EventParms* record) noexcept;

namespace ko::core {
namespace {

using RoundTripsFn = int32_t (*)(uint32_t seed, uint32_t rounds);

class CryptoServiceConcurrency : public ::testing::Test {
 protected:
  void SetUp() override { coreInstance = &core; }
  void TearDown() override { coreInstance = nullptr; }
  DvrCore core{"/nonexistent/dvrcore"};
};

TEST_F(CryptoServiceConcurrency, PluginThreadsRoundTripAtOnce) {
  // The digest-keyed path, set before any request as the service expects.
  core.deviceKey = "KO-CAM-concurrency";
  auto plugin = LoadPlugin(KO_CRYPTO_CLIENT_PLUGIN, submitEventCallback, nullptr, 0);
  ASSERT_EQ(plugin->loadCode, 0) << plugin->errorText;
  auto roundTrips = reinterpret_cast<RoundTripsFn>(plugin->handle.symbol("CryptoRoundTrips"));
  ASSERT_NE(roundTrips, nullptr);

  constexpr int Threads = 6;
  std::vector<int32_t> results(Threads, -99);
  std::latch start(Threads);
  std::vector<std::thread> threads;
  for (int t = 0; t < Threads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      results[static_cast<size_t>(t)] = roundTrips(static_cast<uint32_t>(1000 + t), 150);
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < Threads; ++t) EXPECT_EQ(results[static_cast<size_t>(t)], 0) << "thread " << t;
  plugin->Retire(Plugin::Retired::Unloaded);
}

}  // namespace
}  // namespace ko::core
