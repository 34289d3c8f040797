#include "bench/server.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "bench/namespaces.hpp"

namespace tessaro::bench {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void serve(Fd conn) {
    set_timeouts(conn.get());
    set_nodelay(conn.get());
    std::array<std::uint8_t, HEADER_SIZE> raw{};
    if (!read_all(conn.get(), raw.data(), raw.size())) {
        return;
    }
    Header h{static_cast<char>(raw[0]), 0, 0};
    std::memcpy(&h.count, raw.data() + 1, 8);
    std::memcpy(&h.hold_ms, raw.data() + 9, 8);
    std::vector<std::uint8_t> buffer(256 * 1024, 0x5a);
    switch (h.mode) {
        case 'H':
            std::this_thread::sleep_for(std::chrono::milliseconds(h.hold_ms));
            [[fallthrough]];
        case 'S': {
            if (drain(conn.get(), h.count, buffer)) {
                std::uint8_t ack = 1;
                write_all(conn.get(), &ack, 1);
                // Wait for the client's close so that ours cannot overtake its last bytes.
                recv(conn.get(), buffer.data(), 1, 0);
            }
            break;
        }
        case 'R':
            if (send_bytes(conn.get(), h.count, buffer)) {
                recv(conn.get(), buffer.data(), 1, 0);
            }
            break;
        case 'E': {
            std::uint64_t left = h.count == 0 ? UINT64_MAX : h.count;
            while (left > 0) {
                ssize_t r = recv(conn.get(), buffer.data(),
                                 std::min<std::uint64_t>(left, buffer.size()), 0);
                if (r <= 0) {
                    break;
                }
                if (!write_all(conn.get(), buffer.data(), static_cast<std::size_t>(r))) {
                    break;
                }
                left -= static_cast<std::uint64_t>(r);
            }
            recv(conn.get(), buffer.data(), 1, 0);
            break;
        }
        default:
            break;
    }
}

}  // namespace

std::array<std::uint8_t, HEADER_SIZE> encode(const Header& h) {
    std::array<std::uint8_t, HEADER_SIZE> out{};
    out[0] = static_cast<std::uint8_t>(h.mode);
    std::memcpy(out.data() + 1, &h.count, 8);
    std::memcpy(out.data() + 9, &h.hold_ms, 8);
    return out;
}

Fd open_request(SocketAddrV4 target, const Header& h) {
    Fd fd = connect_to(target);
    if (!fd) {
        return fd;
    }
    const auto header = encode(h);
    if (!write_all(fd.get(), header.data(), header.size())) {
        return Fd();
    }
    return fd;
}

Fd echo_once(SocketAddrV4 target, const std::array<std::uint8_t, HEADER_SIZE + 256>& request) {
    Fd fd = connect_to(target);
    std::array<std::uint8_t, 256> answer{};
    if (!fd || !write_all(fd.get(), request.data(), request.size()) ||
        !read_all(fd.get(), answer.data(), answer.size())) {
        return Fd();
    }
    return fd;
}

bool Server::start(const std::string& ns) {
    std::atomic<int> state{0};
    thread_ = std::thread([this, ns, &state] {
        if (!enter_namespace(ns)) {
            state = -1;
            return;
        }
        Fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int one = 1;
        setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa = to_sockaddr({SERVER_IP, SERVER_PORT});
        if (bind(listener.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            listen(listener.get(), 4096) != 0) {
            state = -1;
            return;
        }
        state = 1;
        while (!stop_) {
            pollfd p{listener.get(), POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) {
                continue;
            }
            int fd = accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            ++live_;
            std::thread([this, fd] {
                serve(Fd(fd));
                --live_;
            }).detach();
        }
    });
    while (state == 0) {
        std::this_thread::sleep_for(1ms);
    }
    return state == 1;
}

Server::~Server() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    // Connection threads end when their clients have gone (or after the I/O timeout).
    const auto deadline = Clock::now() + std::chrono::seconds(IO_TIMEOUT_S + 5);
    while (live_ > 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
}

}  // namespace tessaro::bench
