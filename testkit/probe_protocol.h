// The messages between the kit (in the test process) and its probe plugin
// (inside the core), one per datagram on their own socketpair: a header, then
// for records the 224-byte record (its data pointer meaningless) and the
// payload.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ko::testkit::wire {

// The environment that tells the probe its descriptor and identifier.
inline constexpr const char* ProbeFdVariable = "KO_TESTKIT_PROBE_FD";
inline constexpr const char* ProbeIdVariable = "KO_TESTKIT_PROBE_ID";

enum class Kind : uint32_t {
  Submit = 1,     // kit -> probe: submit the record; answered by Submitted
  Submitted = 2,  // probe -> kit: `value` is the core's answer
  Sync = 3,       // kit -> probe: send a marker through the queue
  Synced = 4,     // probe -> kit: the marker of `sequence` came back
  Delivered = 5,  // probe -> kit: a record the core delivered
};

struct Header {
  Kind kind;
  uint32_t sequence;
  int32_t value;
  uint32_t reserved;
};
static_assert(sizeof(Header) == 16);

// The largest payload one message carries; a datagram must fit the socket's
// default send buffer (208 KiB on Linux).
inline constexpr size_t MaxPayload = 128 * 1024;
inline constexpr size_t MaxMessage = sizeof(Header) + 224 + MaxPayload;

// Injected records carry this mark and a 24-bit count in the field the core
// never reads, so that the probe can leave them out of what it reports.
inline constexpr uint32_t InjectedMask = 0xff000000;
inline constexpr uint32_t InjectedMark = 0x6b000000;

// The marker's payload: this text, then the 4-byte sequence.
inline constexpr char MarkerText[8] = {'k', 'o', 't', 'k', 'S', 'y', 'n', 'c'};

}  // namespace ko::testkit::wire
