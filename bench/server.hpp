// The source/sink server at the far end of every path, in the server namespace, one thread per
// connection.
//
// Each connection starts with a 17-byte request header: one mode letter, the byte count and a
// hold time in milliseconds (both 64-bit, little endian as on this machine).
//   'S' sink:   reads `count` bytes, then answers one byte.
//   'R' source: writes `count` bytes.
//   'E' echo:   writes back everything it reads (`count` 0: until the client closes).
//   'H' hold:   does not read for the hold time, then behaves as 'S'.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "bench/sockets.hpp"
#include "common/ipv4.hpp"

namespace tessaro::bench {

struct Header {
    char mode;
    std::uint64_t count;
    std::uint64_t hold_ms;
};
constexpr std::size_t HEADER_SIZE = 17;

std::array<std::uint8_t, HEADER_SIZE> encode(const Header& h);

// A connection to `target` that has sent the request header `h`; empty when either fails.
Fd open_request(SocketAddrV4 target, const Header& h);

// One round trip of an echo request on a fresh connection to `target`: `request` (its header
// and 256 bytes) out, 256 bytes back. The connection stays open; empty on failure.
Fd echo_once(SocketAddrV4 target, const std::array<std::uint8_t, HEADER_SIZE + 256>& request);

class Server {
  public:
    // Listens in the namespace `ns`; false when it cannot.
    bool start(const std::string& ns);

    ~Server();

  private:
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> live_{0};
};

}  // namespace tessaro::bench
