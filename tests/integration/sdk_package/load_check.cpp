// Loads and opens each plugin named on the command line through the core's
// own binding; exits non-zero when one fails.
#include <cstdio>

#include "core/dvr_core.h"
#include "plugins/plugin.h"

extern "C" int32_t submitEventCallback(ko::core::EventParms* record) noexcept;

int main(int argc, char** argv) {
  using namespace ko::core;
  DvrCore core("/nonexistent/dvrcore");
  coreInstance = &core;
  int failures = 0;
  for (int i = 1; i < argc; ++i) {
    auto plugin = LoadPlugin(argv[i], submitEventCallback, nullptr, 0);
    plugin->Open();
    const bool reachable = plugin->entry.OnEvent != nullptr || plugin->entry.OnIpcResult != nullptr;
    if (!plugin->loaded() || plugin->openCode != 0 || !reachable) {
      std::fprintf(stderr, "%s: load %d open %d %s\n", argv[i], plugin->loadCode, plugin->openCode,
                   plugin->errorText.c_str());
      ++failures;
    }
    plugin->Retire(Plugin::Retired::Closed);
    plugin->Retire(Plugin::Retired::Unloaded);
  }
  return failures == 0 ? 0 : 1;
}
