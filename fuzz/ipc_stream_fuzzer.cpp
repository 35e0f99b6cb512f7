// The byte stream from the parent daemon, through the real receive parser.
//
// The input is a run of receive records: a control byte (bit 0: the socket
// reports the record as cut short; bit 1: the receive fails, as when the
// parent goes away), a 16-bit length, then that many bytes. Each record is
// placed behind the buffered bytes and completed exactly as a socket receive
// would be, on the core's I/O service. Two probe plugins sit behind the
// parser, identifier 0x05 through "OnIpcResult" and 0x07 through "IOCTL".
//
// With bit 2 of the control byte the record is instead sent to the parent
// over a socketpair (bits 3..5: how many times its bytes are repeated).
//
// Checks: a model of the framing written here reads the same bytes; every
// plugin packet it finds reaches its plugin, in order, with the same length,
// header and checksum, and nothing else does; the bytes left buffered, the
// start-up texts, the quiet console and the stop request match the model.
// Each delivered packet lies inside the bytes received so far or in the
// aligned scratch buffer.
#include <dlfcn.h>
#include <sys/socket.h>

#include <boost/asio/post.hpp>
#include <cerrno>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "core/core_io.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/plugins/ipc_probe.h"
#include "ipc/ipc_packet.h"
#include "plugins/plugin.h"

extern "C" int32_t submitEventCallback(ko::core::EventParms* record) noexcept;

namespace {

using namespace ko::core;
using ko::fuzz::IpcProbe;

struct Harness {
  std::unique_ptr<DvrCore> core = ko::fuzz::quietCore();
  IpcProbe* direct = attach(KO_FUZZ_IPC_PLUGIN);
  IpcProbe* viaIoctl = attach(KO_FUZZ_IPC_IOCTL_PLUGIN);

  IpcProbe* attach(const char* path) {
    auto plugin = LoadPlugin(path, submitEventCallback, nullptr, 0);
    if (!plugin->loaded()) ko::fuzz::fail(__FILE__, __LINE__, plugin->errorText.c_str());
    plugin->Open();
    {
      std::unique_lock lock(core->pluginsLock);
      core->plugins.push_back(plugin);
    }
    // The same mapping the core holds, so the same probe.
    void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    KO_FUZZ_CHECK(handle != nullptr);
    auto probe = reinterpret_cast<IpcProbe* (*)()>(dlsym(handle, "fuzzIpcProbe"));
    KO_FUZZ_CHECK(probe != nullptr);
    return probe();
  }
};

Harness& harness() {
  static Harness* h = new Harness;  // lives for the whole run
  return *h;
}

// The stream as the framing rules read it, kept beside the core: a packet is
// a 16-byte header whose first word is the whole length (16..65536, anything
// else throws away what is buffered), command 7 carries NUL-separated texts,
// command 8 asks to stop, any other goes to the plugin named by bits 20..27
// of the second word. A record the socket cut short loses its incomplete
// tail.
struct Model {
  struct Packet {
    uint32_t length;
    uint32_t target;
    uint32_t command;
    uint32_t checksum;  // as the probe computes it
  };
  std::string pending;
  std::vector<Packet> delivered[2];  // identifiers 0x05 and 0x07
  std::string filename;
  std::string version;
  bool quiet = false;
  bool stop = false;

  static uint32_t word(std::string_view bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 4; i-- > 0;) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    return value;
  }

  void startup(std::string_view payload) {
    std::vector<std::string_view> texts;
    while (!payload.empty()) {
      const size_t nul = payload.find('\0');
      texts.push_back(payload.substr(0, nul));
      payload.remove_prefix(nul == std::string_view::npos ? payload.size() : nul + 1);
    }
    if (!texts.empty()) filename = texts[0];
    if (texts.size() >= 2) version = texts[1];
    if (texts.size() >= 3 && texts[2] == "Background:true") quiet = true;
  }

  void receive(std::string_view bytes, bool truncated) {
    pending.append(bytes);
    size_t at = 0;
    while (pending.size() - at >= 16) {
      const uint32_t length = word(pending, at);
      if (length < 16 || length > 65536) {
        at = pending.size();
        break;
      }
      if (length > pending.size() - at) break;
      const std::string_view packet = std::string_view(pending).substr(at, length);
      const uint32_t target = word(packet, 4);
      const uint32_t command = word(packet, 8);
      if (command == 7) {
        startup(packet.substr(16));
      } else if (command == 8) {
        stop = true;
      } else if (const uint8_t id = static_cast<uint8_t>(target >> 20); id == 0x05 || id == 0x07) {
        uint32_t checksum = 0;
        for (const char c : packet) checksum = checksum * 31 + static_cast<uint8_t>(c);
        delivered[id == 0x05 ? 0 : 1].push_back({length, target, command, checksum});
      }
      at += length;
    }
    if (truncated) at = pending.size();
    pending.erase(0, at);
  }
};

void checkDeliveries(IpcProbe& probe, const uint8_t* begin, const uint8_t* end, const uint8_t* scratch,
                     std::vector<Model::Packet>& expected) {
  KO_FUZZ_CHECK(probe.overflow == 0);
  KO_FUZZ_CHECK(probe.count == expected.size());
  for (size_t i = 0; i < probe.count; ++i) {
    const auto& seen = probe.seen[i];
    const auto* packet = static_cast<const uint8_t*>(seen.packet);
    // A packet is handed over in place, or copied to the aligned scratch
    // buffer when its offset is not a multiple of 8.
    KO_FUZZ_CHECK(reinterpret_cast<uintptr_t>(packet) % 8 == 0);
    if (packet == scratch) {
      KO_FUZZ_CHECK(seen.length <= IpcBufferSize);
    } else {
      KO_FUZZ_CHECK(packet >= begin && packet <= end);
      KO_FUZZ_CHECK(seen.length <= static_cast<size_t>(end - packet));
    }
    // The buffer has been compacted since: the header as the plugin saw it.
    const auto& want = expected[i];
    KO_FUZZ_CHECK(seen.length == want.length && seen.headerLength == want.length);
    KO_FUZZ_CHECK(seen.target == want.target && seen.command == want.command);
    KO_FUZZ_CHECK(seen.checksum == want.checksum);
  }
  probe.count = 0;
  expected.clear();
}

// Sends `payload` to the parent over a fresh socketpair, as a plugin's IPC
// record would, and reads the parent's end: the same bytes must arrive, in
// records of at most 65536 bytes each (an empty record is refused). The
// channel is closed again before the next receive record.
void sendToParent(DvrCore& core, const std::string& payload) {
  int fds[2];
  KO_FUZZ_CHECK(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) == 0);
  boost::system::error_code ec;
  core.io->ipcSocket.assign(boost::asio::generic::seq_packet_protocol(AF_UNIX, 0), fds[0], ec);
  KO_FUZZ_CHECK(!ec);
  core.ipcChannelOpen = true;

  EventParms record{};
  record.data = payload.empty() ? nullptr : const_cast<char*>(payload.data());
  record.length = static_cast<uint32_t>(payload.size());
  KO_FUZZ_CHECK(core.sendIpcPacket(record) == (payload.empty() ? 1 : 0));

  std::string arrived;
  std::vector<char> buffer(IpcMaxPacket + 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  auto pump = [&] {
    KO_FUZZ_CHECK(std::chrono::steady_clock::now() < deadline);
    core.io->context.restart();
    core.io->context.poll();
  };
  while (arrived.size() < payload.size()) {
    pump();
    const ssize_t got = recv(fds[1], buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (got < 0) {
      KO_FUZZ_CHECK(errno == EAGAIN || errno == EWOULDBLOCK);
      continue;
    }
    KO_FUZZ_CHECK(static_cast<size_t>(got) == std::min(payload.size() - arrived.size(), IpcMaxPacket));
    arrived.append(buffer.data(), static_cast<size_t>(got));
  }
  while (!core.ipcOutQueue.empty() || core.io->ipcWriting) pump();
  KO_FUZZ_CHECK(arrived == payload);
  KO_FUZZ_CHECK(recv(fds[1], buffer.data(), buffer.size(), MSG_DONTWAIT) < 0);

  core.ipcChannelOpen = false;
  core.io->ipcSocket.close(ec);
  close(fds[1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Harness& h = harness();
  DvrCore& core = *h.core;
  coreInstance = &core;
  core.ipcFill = 0;
  core.stopRequested = false;
  core.consoleQuiet = false;
  Model model;

  ko::fuzz::Reader in(data, size);
  while (!in.empty()) {
    const auto control = in.take<uint8_t>();
    const auto wanted = in.take<uint16_t>();
    const std::string_view bytes = in.bytes(wanted);
    if ((control & 4) != 0) {
      // Not received but sent: the bytes repeated 1..8 times, so that the
      // chunked send runs too.
      std::string payload;
      for (size_t i = 0; i <= ((control >> 3) & 7u); ++i) payload.append(bytes);
      sendToParent(core, payload);
      continue;
    }
    const size_t fillBefore = core.ipcFill;
    KO_FUZZ_CHECK(fillBefore <= IpcBufferSize);
    // The socket cuts a record at the free space and says so.
    const size_t room = IpcBufferSize - fillBefore;
    const size_t received = (control & 2) != 0 ? 0 : std::min(bytes.size(), room);
    const bool truncated = (control & 1) != 0 || bytes.size() > room;
    boost::asio::post(core.io->context, [&] {
      if (received != 0) std::memcpy(core.ipcBuffer.data() + fillBefore, bytes.data(), received);
      core.io->ipcReceiveFlags = truncated ? MSG_TRUNC : 0;
      core.onIpcReceive({}, received);
    });
    core.io->context.restart();
    core.io->context.run();
    if (received == 0) {
      model.stop = true;  // the channel is gone
    } else {
      model.receive(bytes.substr(0, received), truncated);
    }

    const uint8_t* begin = core.ipcBuffer.data();
    const uint8_t* end = begin + fillBefore + received;
    checkDeliveries(*h.direct, begin, end, core.ipcAligned.data(), model.delivered[0]);
    checkDeliveries(*h.viaIoctl, begin, end, core.ipcAligned.data(), model.delivered[1]);
    KO_FUZZ_CHECK(core.ipcFill == model.pending.size());
    KO_FUZZ_CHECK(std::memcmp(core.ipcBuffer.data(), model.pending.data(), model.pending.size()) == 0);
    KO_FUZZ_CHECK(core.stopRequested == model.stop);
    if (received == 0) break;
  }
  KO_FUZZ_CHECK(core.consoleQuiet == model.quiet);
  KO_FUZZ_CHECK(core.parentIdentity() == std::make_pair(model.filename, model.version));
  ko::fuzz::discardQueue(core);
  // The texts a start-up packet left are given back within the run, so the
  // fuzzer's leak check sees as many frees as allocations.
  std::lock_guard lock(core.parentInfoLock);
  std::string().swap(core.parentFilename);
  std::string().swap(core.parentVersion);
  return 0;
}
