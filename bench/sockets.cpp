#include "bench/sockets.hpp"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>

namespace tessaro::bench {

sockaddr_in to_sockaddr(SocketAddrV4 address) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(address.port);
    sa.sin_addr.s_addr = htonl(address.ip.to_u32());
    return sa;
}

void set_timeouts(int fd) {
    timeval tv{IO_TIMEOUT_S, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void set_nodelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Fd connect_to(SocketAddrV4 addr) {
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return fd;
    }
    set_timeouts(fd.get());
    set_nodelay(fd.get());
    sockaddr_in sa = to_sockaddr(addr);
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        return Fd();
    }
    return fd;
}

bool write_all(int fd, const void* data, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) {
            if (w < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool read_all(int fd, void* data, std::size_t n) {
    auto* p = static_cast<std::uint8_t*>(data);
    while (n > 0) {
        ssize_t r = recv(fd, p, n, 0);
        if (r <= 0) {
            if (r < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

bool drain(int fd, std::uint64_t n, std::vector<std::uint8_t>& buffer) {
    while (n > 0) {
        ssize_t r = recv(fd, buffer.data(), std::min<std::uint64_t>(n, buffer.size()), 0);
        if (r <= 0) {
            if (r < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        n -= static_cast<std::uint64_t>(r);
    }
    return true;
}

bool send_bytes(int fd, std::uint64_t n, const std::vector<std::uint8_t>& buffer) {
    while (n > 0) {
        std::size_t chunk = std::min<std::uint64_t>(n, buffer.size());
        if (!write_all(fd, buffer.data(), chunk)) {
            return false;
        }
        n -= chunk;
    }
    return true;
}

}  // namespace tessaro::bench
