// The bench's plain sockets: blocking, with a timeout on every call so that a relay that stops
// answering ends a measurement instead of hanging the bench, and without delayed sending, as
// the clients a relay serves would have it. Also the descriptor owner the minimal relay uses.
#pragma once

#include <netinet/in.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/ipv4.hpp"
#include "common/os/unique_handle.hpp"

namespace tessaro::bench {

struct FdTraits {
    using handle_type = int;
    static int invalid() { return -1; }
    static void close(int fd) { ::close(fd); }
};
using Fd = os::UniqueHandle<FdTraits>;

constexpr int IO_TIMEOUT_S = 30;  // every blocking socket call gives up after this

// The system's form of an address.
sockaddr_in to_sockaddr(SocketAddrV4 address);

void set_timeouts(int fd);
void set_nodelay(int fd);

// A blocking connection with the timeouts and without delayed sending; empty when it fails.
Fd connect_to(SocketAddrV4 addr);

// False when the connection fails or ends first.
bool write_all(int fd, const void* data, std::size_t n);
bool read_all(int fd, void* data, std::size_t n);

// Reads and drops n bytes, through `buffer`.
bool drain(int fd, std::uint64_t n, std::vector<std::uint8_t>& buffer);

// Sends n bytes, `buffer` again and again.
bool send_bytes(int fd, std::uint64_t n, const std::vector<std::uint8_t>& buffer);

}  // namespace tessaro::bench
