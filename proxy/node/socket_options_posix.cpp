// Linux socket options through setsockopt; the broadcast lookup through getifaddrs.
#include "proxy/node/socket_options.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <ifaddrs.h>
#include <malloc.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <linux/sockios.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include "common/os/system_error.hpp"

namespace tessaro::node::os {

namespace {

int fd_of(NativeSocket socket) {
    return static_cast<int>(socket);
}

VoidResult set_int_option(NativeSocket socket, int level, int name, int value) {
    if (setsockopt(fd_of(socket), level, name, &value, sizeof value) != 0) {
        int code = errno;
        return fail(tessaro::os::system_error_text(static_cast<std::uint32_t>(code)));
    }
    return {};
}

// getifaddrs' list, released with its owner.
struct IfAddrs {
    ifaddrs* list = nullptr;
    IfAddrs() = default;
    IfAddrs(const IfAddrs&) = delete;
    IfAddrs& operator=(const IfAddrs&) = delete;
    ~IfAddrs() {
        if (list != nullptr) {
            freeifaddrs(list);
        }
    }
};

Ipv4Addr from_sockaddr(const sockaddr* address) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    return Ipv4Addr::from_u32(ntohl(in->sin_addr.s_addr));
}

}  // namespace

VoidResult bind_to_device(NativeSocket socket, const std::string& device) {
    if (device.empty()) {
        return {};
    }
    // A link's name never holds a colon; one there starts an address label.
    const std::string link = device.substr(0, device.find(':'));
    if (setsockopt(fd_of(socket), SOL_SOCKET, SO_BINDTODEVICE, link.c_str(),
                   static_cast<socklen_t>(link.size() + 1)) != 0) {
        int code = errno;
        return fail(tessaro::os::system_error_text(static_cast<std::uint32_t>(code)));
    }
    return {};
}

VoidResult set_keepalive(NativeSocket socket, const KeepAlive& keepalive) {
    if (auto r = set_int_option(socket, SOL_SOCKET, SO_KEEPALIVE, 1); !r) {
        return r;
    }
    if (auto r = set_int_option(socket, IPPROTO_TCP, TCP_KEEPIDLE,
                                static_cast<int>(keepalive.idle.count()));
        !r) {
        return r;
    }
    return set_int_option(socket, IPPROTO_TCP, TCP_KEEPINTVL,
                          static_cast<int>(keepalive.interval.count()));
}

bool streams_io_directly() {
    return true;
}

bool waits_for_readiness() {
    return true;
}

std::size_t unsent_bytes(NativeSocket socket) {
    int unsent = 0;
    // SIOCOUTQ: bytes written and not yet acknowledged by the peer.
    if (ioctl(fd_of(socket), SIOCOUTQ, &unsent) != 0 || unsent < 0) {
        return 0;
    }
    return static_cast<std::size_t>(unsent);
}

bool release_before_close() {
    return true;
}

void close_socket(NativeSocket socket) {
    close(fd_of(socket));
}

bool listener_reuses_address() {
    return true;
}

bool choose_port_at_connect(NativeSocket socket) {
    int on = 1;
    // Failure (a kernel before 4.2) leaves the port to the bind, as before.
    return setsockopt(fd_of(socket), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on) == 0;
}

bool accepted_inherit_options() {
    return true;
}

void ignore_udp_connection_reset(NativeSocket) {}

std::optional<BroadcastBinding> broadcast_binding_for(Ipv4Addr address) {
    IfAddrs addrs;
    if (getifaddrs(&addrs.list) != 0) {
        return std::nullopt;
    }
    for (const ifaddrs* entry = addrs.list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        if (from_sockaddr(entry->ifa_addr) != address) {
            continue;
        }
        if ((entry->ifa_flags & IFF_BROADCAST) == 0 || entry->ifa_broadaddr == nullptr ||
            entry->ifa_broadaddr->sa_family != AF_INET) {
            return std::nullopt;
        }
        Ipv4Addr broadcast = from_sockaddr(entry->ifa_broadaddr);
        // A /32 or /31 address may report itself as its broadcast: nothing extra to receive.
        if (broadcast == address || broadcast.to_u32() == 0) {
            return std::nullopt;
        }
        return BroadcastBinding{entry->ifa_name, broadcast};
    }
    return std::nullopt;
}

void tune_allocator() {
#if defined(__GLIBC__)
    // Free memory at the heap's top is returned only beyond 32 MiB, so that chunks freed and
    // allocated again in turn do not trim and regrow the heap each time. Fixing the mmap
    // threshold also stops glibc from raising it after each large free; allocations of 1 MiB and
    // more still get their own mapping and go back to the system when freed.
    mallopt(M_TRIM_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
#endif
}

void raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) {
        return;
    }
    limit.rlim_cur = limit.rlim_max;
    // Best effort: an unlimited hard limit may still be refused; the old limit then stays.
    setrlimit(RLIMIT_NOFILE, &limit);
}

namespace {

class EpollCloseWatch final : public CloseWatch {
  public:
    EpollCloseWatch(asio::io_context& io, int epoll, Callback on_closed)
        : descriptor_(io, epoll), on_closed_(std::move(on_closed)) {
        wait();
    }
    ~EpollCloseWatch() override {
        asio::error_code ignored;
        descriptor_.close(ignored);
    }

    void watch(NativeSocket socket, std::uint64_t key) override {
        // Edge-triggered, and without EPOLLIN: one report per end, none per arriving chunk, and
        // a stream stays in the set for its life (closing it takes it out), so that pausing and
        // resuming costs no system call.
        epoll_event event{};
        event.events = EPOLLRDHUP | EPOLLET;
        event.data.u64 = key;
        epoll_ctl(epoll(), EPOLL_CTL_ADD, fd_of(socket), &event);
    }

    // The set keeps the stream until it is closed, and reports a reset after the FIN too.
    void watch_reset(NativeSocket, std::uint64_t) override {}

  private:
    int epoll() { return descriptor_.native_handle(); }

    void wait() {
        descriptor_.async_wait(asio::posix::stream_descriptor::wait_read,
                               [this](asio::error_code ec) {
                                   if (ec) {
                                       return;
                                   }
                                   collect();
                                   wait();
                               });
    }

    void collect() {
        std::array<epoll_event, 64> events{};
        int n = epoll_wait(epoll(), events.data(), static_cast<int>(events.size()), 0);
        for (int i = 0; i < n; ++i) {
            const epoll_event& event = events[static_cast<std::size_t>(i)];
            // A hang-up with the peer's FIN is also what a stream shows once it has shut down its
            // own sending after that FIN: an ordered end of both directions, no break. A reset
            // leaves an error.
            const bool broken =
                (event.events & EPOLLERR) != 0 ||
                ((event.events & EPOLLHUP) != 0 && (event.events & EPOLLRDHUP) == 0);
            on_closed_(event.data.u64, broken);
        }
    }

    asio::posix::stream_descriptor descriptor_;
    Callback on_closed_;
};

}  // namespace

std::unique_ptr<CloseWatch> CloseWatch::create(asio::io_context& io, Callback on_closed) {
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) {
        return nullptr;
    }
    return std::make_unique<EpollCloseWatch>(io, epoll, std::move(on_closed));
}

void set_current_thread_name(const char* name) {
    // Linux allows 15 characters plus the terminator; longer names are refused, not cut.
    char buffer[16] = {};
    for (std::size_t i = 0; i + 1 < sizeof buffer && name[i] != '\0'; ++i) {
        buffer[i] = name[i];
    }
    pthread_setname_np(pthread_self(), buffer);
}

}  // namespace tessaro::node::os
