// The kit's probe: a plugin that submits what the test injects and reports
// every record the core delivers to it, over a socket of its own to the test
// process. Bound as the logging plugin, it also receives the log records
// written while the core stops. It never keeps a record, so it holds no
// references at exit.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ko/core/event.hpp"
#include "testkit/probe_protocol.h"

namespace {

using namespace ko::core;
namespace wire = ko::testkit::wire;

SubmitEventFn submit = nullptr;
int channel = -1;
int closing = -1;  // eventfd: Close wakes the control thread
uint32_t mySource = 0;
std::thread control;
// Marks of the injected records not seen back yet. A plugin may resubmit a
// copy of an injected record, mark and all; only the first sighting is the
// injected record itself.
std::mutex pendingLock;
std::set<uint32_t> pending;

// One datagram; a failed send loses a report, which the kit notices as a
// missing answer, so it is not retried.
void sendMessage(wire::Kind kind, uint32_t sequence, int32_t value, const EventParms* record = nullptr) {
  wire::Header header{kind, sequence, value, 0};
  iovec pieces[3] = {{&header, sizeof header}, {nullptr, 0}, {nullptr, 0}};
  size_t count = 1;
  if (record != nullptr) {
    pieces[1] = {const_cast<EventParms*>(record), sizeof *record};
    const size_t length = record->data == nullptr ? 0 : std::min<size_t>(record->length, wire::MaxPayload);
    pieces[2] = {record->data, length};
    count = 3;
  }
  msghdr message{};
  message.msg_iov = pieces;
  message.msg_iovlen = count;
  while (::sendmsg(channel, &message, MSG_NOSIGNAL) < 0 && errno == EINTR) {
  }
}

bool isMarker(const EventParms& record, uint32_t& sequence) {
  if (baseType(record.type) != EventTypeWatchdog || originKey(record.source) != originKey(mySource) ||
      record.data == nullptr || record.length != sizeof wire::MarkerText + 4 ||
      std::memcmp(record.data, wire::MarkerText, sizeof wire::MarkerText) != 0) {
    return false;
  }
  std::memcpy(&sequence, static_cast<const char*>(record.data) + sizeof wire::MarkerText, 4);
  return true;
}

// Runs the test's requests until Close, or until the kit goes away.
void serve() {
  std::vector<char> buffer(wire::MaxMessage);
  for (;;) {
    pollfd watched[2] = {{channel, POLLIN, 0}, {closing, POLLIN, 0}};
    if (::poll(watched, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (watched[1].revents != 0) return;
    const ssize_t got = ::recv(channel, buffer.data(), buffer.size(), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < static_cast<ssize_t>(sizeof(wire::Header))) return;
    wire::Header header;
    std::memcpy(&header, buffer.data(), sizeof header);
    if (header.kind == wire::Kind::Sync) {
      char marker[sizeof wire::MarkerText + 4];
      std::memcpy(marker, wire::MarkerText, sizeof wire::MarkerText);
      std::memcpy(marker + sizeof wire::MarkerText, &header.sequence, 4);
      auto record = makeEvent(EventTypeWatchdog, EventClassLive, mySource, marker, sizeof marker);
      const int result = submit(&record);
      // A marker the core refused never comes back: answer now.
      if (result != 0) sendMessage(wire::Kind::Synced, header.sequence, result);
    } else if (header.kind == wire::Kind::Submit && got >= static_cast<ssize_t>(sizeof header + sizeof(EventParms))) {
      EventParms record;
      std::memcpy(&record, buffer.data() + sizeof header, sizeof record);
      const size_t length = static_cast<size_t>(got) - sizeof header - sizeof record;
      record.data = length == 0 ? nullptr : buffer.data() + sizeof header + sizeof record;
      record.length = static_cast<uint32_t>(length);
      {
        std::lock_guard lock(pendingLock);
        pending.insert(record.reserved);
      }
      sendMessage(wire::Kind::Submitted, header.sequence, submit(&record));
    }
  }
}

}  // namespace

KO_PLUGIN_EXPORT int32_t Load(LoadParms* parms, PluginInfo* info) {
  const char* fd = std::getenv(wire::ProbeFdVariable);
  const char* id = std::getenv(wire::ProbeIdVariable);
  if (fd == nullptr || id == nullptr) return 1;  // not started by the kit
  channel = std::atoi(fd);
  submit = parms->submitEvent;
  mySource = koSourceId(static_cast<uint8_t>(std::strtoul(id, nullptr, 16)), 0x6b74);
  info->sourceId = mySource;
  for (uint64_t* word : {&info->videoWord, &info->audioWord, &info->alarmWord, &info->ptzWord, &info->serialWord,
                         &info->logWord, &info->posWord, &info->analyticWord}) {
    *word = WantBit;
  }
  return 0;
}

KO_PLUGIN_EXPORT void Unload(UnloadParms*, UnloadResult*) {
  if (channel >= 0) ::close(channel);
  channel = -1;
}

KO_PLUGIN_EXPORT void Open(OpenParms*, OpenResult*) {
  closing = ::eventfd(0, EFD_CLOEXEC);
  if (closing >= 0) control = std::thread(serve);
}

KO_PLUGIN_EXPORT void Close(CloseParms*, CloseResult*) {
  const uint64_t one = 1;
  if (closing >= 0 && ::write(closing, &one, sizeof one) != sizeof one) std::abort();
  if (control.joinable()) control.join();
  if (closing >= 0) ::close(closing);
  closing = -1;
}

KO_PLUGIN_EXPORT int OnEvent(EventParms* record) {
  uint32_t sequence = 0;
  if (isMarker(*record, sequence)) {
    sendMessage(wire::Kind::Synced, sequence, 0);
    return 0;
  }
  if ((record->reserved & wire::InjectedMask) == wire::InjectedMark) {
    std::lock_guard lock(pendingLock);
    if (pending.erase(record->reserved) != 0) return 0;
  }
  sendMessage(wire::Kind::Delivered, 0, 0, record);
  return 0;
}
