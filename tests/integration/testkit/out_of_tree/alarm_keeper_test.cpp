// The alarm keeper's test as its author writes it, with no test framework:
// start the core with the plugin, send four alarms, search, expect the three
// it keeps newest first, ask it for its count as the parent, stop, expect
// exit 0 and nothing held.
#include <iostream>
#include <string>

#include "ko/testkit/core.hpp"

// The kit's header is C++17 and its package does not raise the standard.
static_assert(__cplusplus == 201703L, "built as C++17");

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
  if (ok) return;
  std::cerr << "FAILED: " << what << "\n";
  ++failures;
}

}  // namespace

int main() {
  using namespace ko::testkit;
  try {
    Core core(ALARM_KEEPER);
    for (int i = 1; i <= 4; ++i) check(core.inject(alarm("<Alarm N=\"" + std::to_string(i) + "\"/>")) == 0, "inject");

    const auto results = core.search(ko::core::EventTypeAlarm, "<Search Type=\"alarm\" Newest=\"3\"/>", 3);
    check(results.size() == 3, "three results, got " + std::to_string(results.size()));
    for (size_t i = 0; i < results.size(); ++i) {
      const std::string expected = "<Alarm N=\"" + std::to_string(4 - i) + "\"/>";
      check(results[i].payload == expected, "result " + std::to_string(i) + ": " + results[i].payload);
    }

    core.sendPacket(0x300, "count?", 5);
    const auto reply = core.waitForPacket([](const Packet& p) { return p.command == 0x301; });
    check(reply && reply->payload == "alarms:4" && reply->word3 == 5, "count reply");

    const ExitReport& report = core.stop();
    check(report.clean(), "clean exit:\n" + report.problems());
  } catch (const Error& error) {
    std::cerr << error.what() << "\n";
    return 1;
  }
  return failures == 0 ? 0 : 1;
}
