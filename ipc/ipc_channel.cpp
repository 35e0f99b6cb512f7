// The channel to the parent daemon: receiving and parsing framed packets in
// place, start-up information, the stop command, routing of plugin packets,
// and the ordered outbound queue.
//
// Threads: everything that touches the socket, ipcBuffer/ipcFill and
// ipcOutQueue runs on the io thread. sendIpcPacket runs on any submitting
// thread and touches only ipcChannelOpen (acquire load; the io thread clears
// it before closing the socket), the send queue's byte total under
// ipcSendLock, and a job posted to the io thread. Whether a
// plugin may take a packet at the moment (not while its "Close" runs, not
// once it is being unloaded) is its own gate's decision, plugin by plugin.
#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <algorithm>
#include <cassert>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "core/core_io.h"
#include "core/dvr_core.h"
#include "ipc/ipc_packet.h"
#include "log/core_log.h"
#include "monitor/counters.h"
#include "plugins/plugin.h"

namespace ko::core {

namespace asio = boost::asio;

namespace {

bool onIoThread(DvrCore& core) { return core.io->context.get_executor().running_in_this_thread(); }

// Command 7: NUL-separated texts; see the start-up packet's layout.
void applyStartupInfo(DvrCore& core, const uint8_t* payload, size_t size) {
  std::vector<std::string_view> texts;
  size_t at = 0;
  while (at < size) {
    const auto* nul = static_cast<const uint8_t*>(std::memchr(payload + at, 0, size - at));
    const size_t end = nul != nullptr ? static_cast<size_t>(nul - payload) : size;
    texts.emplace_back(reinterpret_cast<const char*>(payload + at), end - at);
    at = nul != nullptr ? end + 1 : end;
  }
  if (texts.empty()) return;
  {
    std::lock_guard lock(core.parentInfoLock);
    core.parentFilename = texts[0];
    if (texts.size() >= 2) core.parentVersion = texts[1];
  }
  if (texts.size() >= 3 && texts[2] == IpcBackgroundText) core.consoleQuiet.store(true);
}

// Hands one plugin packet to the first plugin with the target identifier;
// the core's own source id never matches. The packet goes over at an address
// aligned to 8 at least, so a plugin may read its header words through a
// struct: one that follows an odd-length packet in the buffer is copied first.
void routePluginPacket(DvrCore& core, const uint8_t* packet, uint32_t length, uint32_t target) {
  const uint8_t id = ipcTargetId(target);
  for (const auto& plugin : core.pluginSnapshot()) {
    if (plugin->isCore() || plugin->sourceIndexOf() != id) continue;
    if (reinterpret_cast<uintptr_t>(packet) % IpcPacketAlignment != 0) {
      std::memcpy(core.ipcAligned.data(), packet, length);
      packet = core.ipcAligned.data();
    }
    if (plugin->DeliverIpcPacket(length, packet)) {
      counters.ipcPackets.fetch_add(1, std::memory_order_relaxed);
      counters.ipcBytes.fetch_add(length, std::memory_order_relaxed);
    } else {
      // Closing or being unloaded: the packet is lost, but not silently.
      counters.ipcDropped.fetch_add(1, std::memory_order_relaxed);
    }
    return;
  }
  // A plugin taken out of the list before closing (the logging plugin among
  // them, which lives on until the core goes) takes no more packets: they
  // are lost, but counted.
  if (const auto logging = core.loggingPlugin(); logging && !logging->isCore() && logging->sourceIndexOf() == id) {
    counters.ipcDropped.fetch_add(1, std::memory_order_relaxed);
  }
}

void handlePacket(DvrCore& core, const uint8_t* packet, const IpcHeader& header) {
  switch (header.command) {
    case IpcCommandStartup:
      applyStartupInfo(core, packet + IpcHeaderSize, header.length - IpcHeaderSize);
      break;
    case IpcCommandStop:
      core.requestStop();
      break;
    default:
      routePluginPacket(core, packet, header.length, header.target);
      break;
  }
}

// Takes `length` bytes off the send queue's total once their packet has left
// (or failed to); io thread. The hysteresis of half the bound keeps a parent
// that reads slowly from flipping the state, and its log lines, per packet.
void releaseIpcBytes(DvrCore& core, size_t length) {
  int64_t refused = 0;
  {
    std::lock_guard lock(core.ipcSendLock);
    core.ipcPendingBytes -= length;
    if (core.ipcPendingBytes == 0) core.ipcSent.notify_all();
    if (!core.ipcRefusing || core.ipcPendingBytes >= IpcSendQueueLimit / 2) return;
    core.ipcRefusing = false;
    refused = std::exchange(core.ipcRefusedRun, 0);
  }
  coreLog(50, "ipc send queue accepting packets again, {} refused", refused);
}

// Writes the front of ipcOutQueue from `offset`, one record of at most
// IpcMaxPacket bytes at a time; io thread.
void sendIpcChunk(DvrCore& core, size_t offset) {
  CoreIo& io = *core.io;
  if (core.ipcOutQueue.empty() || !io.ipcSocket.is_open()) {
    io.ipcWriting = false;
    return;
  }
  io.ipcWriting = true;
  const auto& [bytes, length] = core.ipcOutQueue.front();
  const size_t chunk = std::min(length - offset, IpcMaxPacket);
  io.ipcSocket.async_send(asio::buffer(bytes.get() + offset, chunk), 0,
                          [&core, offset, chunk](const boost::system::error_code& error, size_t) {
                            const size_t next = offset + chunk;
                            // A failed send drops the packet; the next one goes.
                            if (!error && next < core.ipcOutQueue.front().second) {
                              sendIpcChunk(core, next);
                              return;
                            }
                            const size_t sent = core.ipcOutQueue.front().second;
                            core.ipcOutQueue.pop_front();
                            releaseIpcBytes(core, sent);
                            sendIpcChunk(core, 0);
                          });
}

}  // namespace

void DvrCore::startIpcReceive() {
  if (!onIoThread(*this)) {
    // Run calls this while the io thread already runs; the socket is the io
    // thread's alone from then on.
    asio::post(io->context, [this] { startIpcReceive(); });
    return;
  }
  if (!io->ipcSocket.is_open()) return;
  io->ipcSocket.async_receive(asio::buffer(ipcBuffer.data() + ipcFill, IpcBufferSize - ipcFill),
                              io->ipcReceiveFlags,
                              [this](const boost::system::error_code& error, size_t bytes) {
                                onIpcReceive(error, bytes);
                              });
}

void DvrCore::onIpcReceive(const boost::system::error_code& error, size_t bytes) {
  assert(onIoThread(*this));
  if (error || bytes == 0) {
    coreLog(100, "norvad ipc pipe disconnected");
    // Submitters stop handing over packets before the socket goes.
    ipcChannelOpen.store(false, std::memory_order_release);
    // Packets still waiting will never leave; the stop no longer waits for
    // them.
    { std::lock_guard lock(ipcSendLock); }
    ipcSent.notify_all();
    boost::system::error_code ignored;
    io->ipcSocket.close(ignored);
    requestStop();
    return;
  }
  const bool truncated = (io->ipcReceiveFlags & MSG_TRUNC) != 0;
  ipcFill += bytes;

  size_t offset = 0;
  while (ipcFill - offset >= IpcHeaderSize) {
    const uint8_t* packet = ipcBuffer.data() + offset;
    const IpcHeader header = readIpcHeader(packet);
    // The bounds come first: a length the buffer can never hold would
    // otherwise wait for ever, and one below the header would never advance.
    if (header.length > IpcMaxPacket || header.length < IpcHeaderSize) {
      coreLog(50, "bad ipc packet length");
      offset = ipcFill;
      break;
    }
    if (header.length > ipcFill - offset) break;
    handlePacket(*this, packet, header);
    offset += header.length;
  }
  if (truncated && offset < ipcFill) {
    // The rest of the record was cut off by the socket: the incomplete packet
    // at the end can never be completed, and waiting for it would misread
    // the next record.
    coreLog(50, "ipc record truncated, {} bytes discarded", ipcFill - offset);
    offset = ipcFill;
  }
  if (offset != 0) {
    std::memmove(ipcBuffer.data(), ipcBuffer.data() + offset, ipcFill - offset);
    ipcFill -= offset;
  }
  startIpcReceive();
}

int32_t DvrCore::sendIpcPacket(const EventParms& record) {
  if (!ipcChannelOpen.load(std::memory_order_acquire)) return 1;
  // A record of length 0 would read as end of stream at the parent.
  if (record.length == 0 || record.data == nullptr) return 1;
  const size_t length = record.length;
  bool refused = false;
  bool refusingBegins = false;
  {
    // The bytes count from here, not from the io thread's queue: a busy io
    // thread would otherwise let posted jobs pile up unbounded. A packet
    // larger than the bound goes when nothing waits, so none is refused for
    // ever.
    std::lock_guard lock(ipcSendLock);
    // The io thread is about to stop: a packet taken over now would never
    // leave.
    if (ipcSendsEnded) return 1;
    if (ipcRefusing || (ipcPendingBytes != 0 && ipcPendingBytes + length > IpcSendQueueLimit)) {
      refused = true;
      refusingBegins = !std::exchange(ipcRefusing, true);
      ++ipcRefusedRun;
    } else {
      ipcPendingBytes += length;
    }
  }
  if (refused) {
    counters.ipcRefused.fetch_add(1, std::memory_order_relaxed);
    if (refusingBegins) coreLog(50, "ipc send queue full, refusing packets");
    return 1;
  }
  try {
    auto bytes = std::make_unique_for_overwrite<uint8_t[]>(length);
    std::memcpy(bytes.get(), record.data, length);
    asio::post(io->context, [this, bytes = std::move(bytes), length]() mutable {
      ipcOutQueue.emplace_back(std::move(bytes), length);
      if (!io->ipcWriting) sendIpcChunk(*this, 0);
    });
  } catch (...) {
    // Out of memory: nothing was taken over, so its bytes never leave.
    std::lock_guard lock(ipcSendLock);
    ipcPendingBytes -= length;
    throw;
  }
  counters.ipcRequests.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

bool DvrCore::endIpcSends(std::chrono::steady_clock::time_point deadline) {
  size_t unsent = 0;
  {
    std::unique_lock lock(ipcSendLock);
    ipcSendsEnded = true;
    if (ipcSent.wait_until(lock, deadline, [this] { return ipcPendingBytes == 0 || !ipcOpen(); })) return true;
    unsent = ipcPendingBytes;
  }
  coreLog(50, "{:L} bytes of packets to the parent not sent at the stop: the parent is not reading", unsent);
  return false;
}

void DvrCore::reportDroppedPackets() {
  if (const int64_t dropped = counters.ipcDropped.load(std::memory_order_relaxed); dropped != 0) {
    coreLog(50, "{:L} IPC packet(s) from the parent dropped: their plugin was closing or gone", dropped);
  }
}

std::pair<std::string, std::string> DvrCore::parentIdentity() const {
  std::lock_guard lock(parentInfoLock);
  return {parentFilename, parentVersion};
}

}  // namespace ko::core
