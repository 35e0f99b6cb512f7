// The core's Boost.Asio objects, kept out of dvr_core.h so that only the code
// that drives the I/O service pays for the Asio headers. All of it is touched
// only on the io thread once that thread runs (the socket is adopted on the
// main thread before it starts).
#pragma once

#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <optional>

namespace ko::core {

struct CoreIo {
  boost::asio::io_context context;
  boost::asio::generic::seq_packet_protocol::socket ipcSocket{context};
  std::optional<boost::asio::signal_set> signals;
  // True while a send is in flight; io thread only.
  bool ipcWriting = false;
  // Flags of the last record received (MSG_TRUNC when it was cut short).
  boost::asio::socket_base::message_flags ipcReceiveFlags = 0;
};

}  // namespace ko::core
