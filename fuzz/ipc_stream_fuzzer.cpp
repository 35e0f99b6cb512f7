// The byte stream from the parent daemon, through the real receive parser.
//
// The input is a run of receive records: a control byte (bit 0: the socket
// reports the record as cut short; bit 1: the receive fails, as when the
// parent goes away), a 16-bit length, then that many bytes. Each record is
// placed behind the buffered bytes and completed exactly as a socket receive
// would be, on the core's I/O service. Two probe plugins sit behind the
// parser, identifier 0x05 through "OnIpcResult" and 0x07 through "IOCTL".
//
// Checks: every delivered packet lies inside the bytes received so far, has
// the length its own header states (16..65536), and goes to the plugin it is
// addressed to; the fill count never exceeds the buffer.
#include <dlfcn.h>
#include <sys/socket.h>

#include <boost/asio/post.hpp>

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

void checkDeliveries(IpcProbe& probe, const uint8_t* begin, const uint8_t* end, const uint8_t* scratch, uint8_t id) {
  KO_FUZZ_CHECK(probe.overflow == 0);
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
    KO_FUZZ_CHECK(seen.length >= IpcHeaderSize && seen.length <= IpcMaxPacket);
    KO_FUZZ_CHECK(seen.headerLength == seen.length);
    // The buffer has been compacted since: the header as the plugin saw it.
    KO_FUZZ_CHECK(ipcTargetId(seen.target) == id);
    KO_FUZZ_CHECK(seen.command != IpcCommandStartup && seen.command != IpcCommandStop);
  }
  probe.count = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Harness& h = harness();
  DvrCore& core = *h.core;
  coreInstance = &core;
  core.ipcFill = 0;
  core.stopRequested = false;

  ko::fuzz::Reader in(data, size);
  while (!in.empty()) {
    const auto control = in.take<uint8_t>();
    const auto wanted = in.take<uint16_t>();
    const std::string_view bytes = in.bytes(wanted);
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

    const uint8_t* begin = core.ipcBuffer.data();
    const uint8_t* end = begin + fillBefore + received;
    checkDeliveries(*h.direct, begin, end, core.ipcAligned.data(), 0x05);
    checkDeliveries(*h.viaIoctl, begin, end, core.ipcAligned.data(), 0x07);
    KO_FUZZ_CHECK(core.ipcFill <= IpcBufferSize);
    KO_FUZZ_CHECK(core.ipcFill <= fillBefore + received);
    if (received == 0) break;  // the channel is gone
  }
  ko::fuzz::discardQueue(core);
  // The texts a start-up packet left are given back within the run, so the
  // fuzzer's leak check sees as many frees as allocations.
  std::lock_guard lock(core.parentInfoLock);
  std::string().swap(core.parentFilename);
  std::string().swap(core.parentVersion);
  return 0;
}
