// A simulated device for tests that runs inside a peer namespace: it answers discovery requests
// of its kind with whatever announcement the test sets (or stays silent), and echoes on its TCP
// ports. Its datagrams are composed by the test from the wire format, not by the proxy's encoder.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "netns_fixture.hpp"

namespace tessaro::nettest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes field(std::uint8_t tag, Bytes value) {
    Bytes out{tag, static_cast<std::uint8_t>(value.size())};
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

inline Bytes frame(std::uint8_t tag, std::initializer_list<Bytes> fields) {
    Bytes body;
    for (const Bytes& f : fields) {
        body.insert(body.end(), f.begin(), f.end());
    }
    Bytes out{tag, static_cast<std::uint8_t>(body.size())};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

inline Bytes text_bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes port_bytes(std::uint16_t port) {
    return {static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port & 0xFF)};
}

// A card terminal's announcement.
inline Bytes terminal_announcement(const std::string& name, std::array<std::uint8_t, 4> ip,
                                   std::array<std::uint8_t, 6> mac, std::uint16_t port) {
    return frame(0xA1, {field(0x80, {0x01, 0x14}), field(0x81, {ip[0], ip[1], ip[2], ip[3]}),
                        field(0x83, {mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]}),
                        field(0x84, text_bytes(name)), field(0x82, port_bytes(port)),
                        field(0xA3, {0x8A, 0x01, 0x01})});
}

// A PIN pad's announcement.
inline Bytes pinpad_announcement(const std::string& name, std::array<std::uint8_t, 4> ip,
                                 std::array<std::uint8_t, 6> mac, std::uint16_t port) {
    return frame(0xE1, {field(0x80, {0x01, 0x00}), field(0x81, {ip[0], ip[1], ip[2], ip[3]}),
                        field(0x83, {mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]}),
                        field(0x84, text_bytes(name)), field(0x82, port_bytes(port)),
                        field(0x85, {0x00, 0x01}), field(0x86, text_bytes("SICCT-Lite"))});
}

inline int open_socket(int type, const char* ip, std::uint16_t port) {
    int fd = ::socket(AF_INET, type, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        (type == SOCK_STREAM && ::listen(fd, 64) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Connects to ip:port, sends `text` and reads back as many bytes (through an echoing device).
inline std::string round_trip(const char* ip, std::uint16_t port, const std::string& text) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    std::string got;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        pollfd p{fd, POLLIN, 0};
        while (got.size() < text.size() && ::poll(&p, 1, 3000) == 1) {
            char buf[256];
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                break;
            }
            got.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    return got;
}

class DevicePeer {
  public:
    // Starts the device's thread inside `peer`'s namespace: discovery on `discovery_port`
    // (request tag `request_tag`), echo servers on `ip` at `tcp_ports`.
    DevicePeer(PeerNamespace& peer, std::uint8_t request_tag, std::uint16_t discovery_port,
               std::string ip, std::vector<std::uint16_t> tcp_ports)
        : request_tag_(request_tag) {
        peer.run([&] {
            udp_ = open_socket(SOCK_DGRAM, "0.0.0.0", discovery_port);
            for (std::uint16_t p : tcp_ports) {
                listeners_.push_back(open_socket(SOCK_STREAM, ip.c_str(), p));
            }
            // A thread inherits the namespace of the thread that starts it.
            thread_ = std::thread([this] { loop(); });
            return 0;
        });
    }
    ~DevicePeer() {
        stop_ = true;
        thread_.join();
        for (int fd : listeners_) {
            ::close(fd);
        }
        for (auto& [fd, buf] : connections_) {
            ::close(fd);
        }
        ::close(udp_);
    }

    bool ok() const {
        return udp_ >= 0 &&
               std::all_of(listeners_.begin(), listeners_.end(), [](int fd) { return fd >= 0; });
    }

    // What the device answers from now on; none: it stays silent.
    void set_answer(std::optional<Bytes> answer) {
        std::lock_guard lock(mutex_);
        answer_ = std::move(answer);
    }
    int requests() const { return requests_; }
    int accepted() const { return accepted_; }

  private:
    void loop() {
        while (!stop_) {
            std::vector<pollfd> fds{{udp_, POLLIN, 0}};
            for (int fd : listeners_) {
                fds.push_back({fd, POLLIN, 0});
            }
            for (auto& [fd, buf] : connections_) {
                fds.push_back({fd, static_cast<short>(POLLIN | (buf.empty() ? 0 : POLLOUT)), 0});
            }
            if (::poll(fds.data(), fds.size(), 50) <= 0) {
                continue;
            }
            if (fds[0].revents & POLLIN) {
                on_datagram();
            }
            for (std::size_t i = 1; i <= listeners_.size(); ++i) {
                if (fds[i].revents & POLLIN) {
                    int c = ::accept(fds[i].fd, nullptr, nullptr);
                    if (c >= 0) {
                        connections_[c];
                        ++accepted_;
                    }
                }
            }
            for (std::size_t i = 1 + listeners_.size(); i < fds.size(); ++i) {
                echo(fds[i]);
            }
        }
    }

    void on_datagram() {
        Bytes buf(2048);
        ssize_t n = ::recv(udp_, buf.data(), buf.size(), 0);
        // A request of our kind names its reply address in fields 0x81 and 0x82 at fixed places
        // when it comes from the proxy (A0/E0 0E 80 02 .. .. 81 04 a b c d 82 02 p p).
        if (n != 16 || buf[0] != request_tag_ || buf[6] != 0x81 || buf[12] != 0x82) {
            return;
        }
        ++requests_;
        std::optional<Bytes> answer;
        {
            std::lock_guard lock(mutex_);
            answer = answer_;
        }
        if (!answer) {
            return;
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        std::memcpy(&to.sin_addr, &buf[8], 4);
        std::memcpy(&to.sin_port, &buf[14], 2);
        ::sendto(udp_, answer->data(), answer->size(), 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to);
    }

    void echo(const pollfd& p) {
        auto it = connections_.find(p.fd);
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            std::uint8_t chunk[65536];
            ssize_t n = ::recv(p.fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN)) {
                ::close(p.fd);
                connections_.erase(it);
                return;
            }
            if (n > 0) {
                it->second.insert(it->second.end(), chunk, chunk + n);
            }
        }
        if (!it->second.empty()) {
            ssize_t n =
                ::send(p.fd, it->second.data(), it->second.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                it->second.erase(it->second.begin(), it->second.begin() + n);
            }
        }
    }

    std::uint8_t request_tag_;
    int udp_ = -1;
    std::vector<int> listeners_;
    std::map<int, Bytes> connections_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::atomic<int> accepted_{0};
    std::mutex mutex_;
    std::optional<Bytes> answer_;
};

}  // namespace tessaro::nettest
