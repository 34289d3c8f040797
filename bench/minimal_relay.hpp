// The least a TCP relay can do, as a yardstick for the relay benchmark: one thread, edge-triggered
// epoll, no locks, and two fixed buffers per pair of connections that are reused by later pairs,
// so that moving a chunk allocates nothing. Its sockets are set up as tessaro's relay sets up its
// own: the listener bound to the PC side's link, disabled delayed sending and keep-alive copied
// into every accepted socket, and each outbound socket bound to the device side's link, from the
// device adapter's address with the port chosen at connect.
//
// A side is not read while the bytes it sent are still unsent to the other side beyond `bound`
// (the buffer's size), so memory stays bounded by the pairs open. An end of stream is passed on
// as a shutdown of the other side's sending once its bytes have all gone; a pair closes when both
// directions have ended, or at the first error on either side.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "common/error.hpp"
#include "common/ipv4.hpp"

namespace tessaro::bench {

struct MinimalRelaySetup {
    std::string listen_adapter;  // the PC side's link
    SocketAddrV4 listen_address;
    std::string device_adapter;  // the device side's link
    Ipv4Addr device_address;     // the source of every outbound connection
    SocketAddrV4 remote_address;
    std::chrono::seconds keepalive_idle{25};
    std::chrono::seconds keepalive_interval{2};
    std::size_t bound = 256 * 1024;  // a power of two
};

struct MinimalRelayCounts {
    std::uint64_t pairs = 0;   // accepted connections
    std::uint64_t failed = 0;  // pairs closed by an error, including failed connects
};

// Relays until `stop_fd` (a signalfd, say) becomes readable; `ready` is called once the listener
// is open. Fails when the listener cannot be set up.
Result<MinimalRelayCounts> run_minimal_relay(const MinimalRelaySetup& setup, int stop_fd,
                                             const std::function<void()>& ready);

}  // namespace tessaro::bench
