#include "bench/minimal_relay.hpp"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <memory>
#include <utility>
#include <vector>

#include "bench/sockets.hpp"
#include "common/os/system_error.hpp"

namespace tessaro::bench {

namespace {

Error errno_error(const char* operation) {
    const int code = errno;
    return Error(std::string("minimal relay: ") + operation + ": " +
                 os::system_error_text(static_cast<std::uint32_t>(code)));
}

bool set_int(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value) == 0;
}

bool set_keepalive(int fd, const MinimalRelaySetup& setup) {
    return set_int(fd, SOL_SOCKET, SO_KEEPALIVE, 1) &&
           set_int(fd, IPPROTO_TCP, TCP_KEEPIDLE, static_cast<int>(setup.keepalive_idle.count())) &&
           set_int(fd, IPPROTO_TCP, TCP_KEEPINTVL,
                   static_cast<int>(setup.keepalive_interval.count()));
}

bool bind_to_device(int fd, const std::string& link) {
    return setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, link.c_str(),
                      static_cast<socklen_t>(link.size() + 1)) == 0;
}

bool would_block() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

constexpr std::uint64_t STOP_KEY = ~std::uint64_t{0};
constexpr std::uint64_t LISTENER_KEY = STOP_KEY - 1;
constexpr int CLIENT = 0;
constexpr int DEVICE = 1;

class Relay {
  public:
    Relay(const MinimalRelaySetup& setup, int stop_fd)
        : setup_(setup), mask_(setup.bound - 1), stop_fd_(stop_fd) {}

    Result<MinimalRelayCounts> run(const std::function<void()>& ready) {
        if (auto r = open(); !r) {
            return fail(std::move(r.error()));
        }
        ready();
        std::array<epoll_event, 256> events{};
        for (bool stop = false; !stop;) {
            const int n =
                epoll_wait(epoll_.get(), events.data(), static_cast<int>(events.size()), -1);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return fail(errno_error("epoll_wait"));
            }
            for (int i = 0; i < n; ++i) {
                const epoll_event& event = events[static_cast<std::size_t>(i)];
                if (event.data.u64 == STOP_KEY) {
                    stop = true;
                } else if (event.data.u64 == LISTENER_KEY) {
                    accept_all();
                } else {
                    on_event(event.data.u64, event.events);
                }
            }
            // A pair closed in this batch may still have events further on in it: its slot is
            // taken again only after the batch.
            free_.insert(free_.end(), released_.begin(), released_.end());
            released_.clear();
        }
        return counts_;
    }

  private:
    struct Side {
        Fd fd;
        bool readable = false;  // an arrival reported and not yet read to a short read
        bool writable = false;  // false from a full send buffer until the next report of room
        bool hangup = false;    // its end or an error reported: read on past short reads
        bool ended = false;     // its end of stream read
        bool shut = false;      // its sending shut down after the other side's end
    };
    // The bytes read from one side and not yet sent to the other, in a ring of `bound` bytes:
    // `head` counts the bytes read, `tail` those sent.
    struct Flow {
        std::unique_ptr<std::uint8_t[]> ring;
        std::uint64_t head = 0;
        std::uint64_t tail = 0;
    };
    struct Pair {
        std::uint32_t index = 0;
        bool open = false;
        bool connecting = false;  // the device side's connect still under way
        std::array<Side, 2> sides;
        std::array<Flow, 2> flows;  // flows[s]: the bytes from sides[s]
    };
    enum class Step { Idle, Moved, Failed };

    VoidResult open() {
        epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
        if (!epoll_) {
            return fail(errno_error("epoll_create1"));
        }
        listener_.reset(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!listener_) {
            return fail(errno_error("socket"));
        }
        const int fd = listener_.get();
        // Accepted sockets take disabled delayed sending, keep-alive and the link from here.
        const sockaddr_in at = to_sockaddr(setup_.listen_address);
        if (!set_int(fd, SOL_SOCKET, SO_REUSEADDR, 1) ||
            !bind_to_device(fd, setup_.listen_adapter) ||
            !set_int(fd, IPPROTO_TCP, TCP_NODELAY, 1) || !set_keepalive(fd, setup_)) {
            return fail(errno_error("listener options"));
        }
        if (bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
            listen(fd, SOMAXCONN) != 0) {
            return fail(errno_error("listen"));
        }
        if (!watch(fd, LISTENER_KEY, EPOLLIN | EPOLLET) || !watch(stop_fd_, STOP_KEY, EPOLLIN)) {
            return fail(errno_error("epoll_ctl"));
        }
        return {};
    }

    bool watch(int fd, std::uint64_t key, std::uint32_t events) {
        epoll_event event{};
        event.events = events;
        event.data.u64 = key;
        return epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) == 0;
    }

    void accept_all() {
        for (;;) {
            const int fd = accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED) {
                    continue;
                }
                return;  // drained (or out of descriptors: the next arrival tries again)
            }
            open_pair(Fd(fd));
        }
    }

    // A socket towards the remote address, its connect under way; empty on failure.
    Fd connect_device(bool& connecting) {
        Fd device(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!device) {
            return device;
        }
        const int fd = device.get();
        const sockaddr_in from = to_sockaddr({setup_.device_address, 0});
        const sockaddr_in to = to_sockaddr(setup_.remote_address);
        if (!set_int(fd, IPPROTO_TCP, TCP_NODELAY, 1) ||
            !bind_to_device(fd, setup_.device_adapter) || !set_keepalive(fd, setup_)) {
            return {};
        }
        // The port is chosen at connect, free towards this peer only, not at the bind.
        (void)set_int(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) {
            return {};
        }
        if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
            connecting = false;
        } else if (errno == EINPROGRESS) {
            connecting = true;
        } else {
            return {};
        }
        return device;
    }

    void open_pair(Fd client) {
        ++counts_.pairs;
        bool connecting = false;
        Fd device = connect_device(connecting);
        if (!device) {
            ++counts_.failed;
            return;
        }
        Pair& pair = take_pair();
        pair.open = true;
        pair.connecting = connecting;
        pair.sides = {};
        pair.sides[CLIENT].fd = std::move(client);
        pair.sides[CLIENT].writable = true;
        pair.sides[DEVICE].fd = std::move(device);
        pair.sides[DEVICE].writable = !connecting;
        for (Flow& flow : pair.flows) {
            flow.head = flow.tail = 0;
        }
        constexpr std::uint32_t EVENTS = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
        for (int s : {CLIENT, DEVICE}) {
            if (!watch(pair.sides[static_cast<std::size_t>(s)].fd.get(),
                       std::uint64_t{pair.index} << 1 | static_cast<std::uint64_t>(s), EVENTS)) {
                close_pair(pair, true);
                return;
            }
        }
    }

    Pair& take_pair() {
        if (!free_.empty()) {
            const std::uint32_t index = free_.back();
            free_.pop_back();
            return *pairs_[index];
        }
        auto pair = std::make_unique<Pair>();
        pair->index = static_cast<std::uint32_t>(pairs_.size());
        for (Flow& flow : pair->flows) {
            flow.ring = std::make_unique_for_overwrite<std::uint8_t[]>(setup_.bound);
        }
        pairs_.push_back(std::move(pair));
        return *pairs_.back();
    }

    void close_pair(Pair& pair, bool failed) {
        for (Side& side : pair.sides) {
            side.fd.reset();  // closing takes it out of the epoll set
        }
        pair.open = false;
        counts_.failed += failed ? 1 : 0;
        released_.push_back(pair.index);
    }

    void on_event(std::uint64_t key, std::uint32_t events) {
        Pair& pair = *pairs_[static_cast<std::size_t>(key >> 1)];
        if (!pair.open) {
            return;
        }
        const int s = static_cast<int>(key & 1);
        Side& side = pair.sides[static_cast<std::size_t>(s)];
        if (s == DEVICE && pair.connecting) {
            if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) {
                return;
            }
            int error = 0;
            socklen_t length = sizeof error;
            if (getsockopt(side.fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
                error != 0) {
                close_pair(pair, true);
                return;
            }
            pair.connecting = false;
        }
        if ((events & EPOLLERR) != 0) {
            close_pair(pair, true);
            return;
        }
        if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) != 0) {
            side.readable = true;
        }
        if ((events & (EPOLLRDHUP | EPOLLHUP)) != 0) {
            side.hangup = true;
        }
        if ((events & (EPOLLOUT | EPOLLHUP)) != 0) {
            side.writable = true;
        }
        pump(pair);
    }

    // Moves bytes both ways until neither can move more without a new report.
    void pump(Pair& pair) {
        for (;;) {
            const Step up = move(pair, CLIENT);
            const Step down = up == Step::Failed ? Step::Failed : move(pair, DEVICE);
            if (down == Step::Failed) {
                close_pair(pair, true);
                return;
            }
            if (pair.sides[CLIENT].shut && pair.sides[DEVICE].shut) {
                close_pair(pair, false);
                return;
            }
            if (up == Step::Idle && down == Step::Idle) {
                return;
            }
        }
    }

    // One send of what `from` sent that is still unsent, one read of `from` into the room left,
    // and the end passed on once all has gone.
    Step move(Pair& pair, int from) {
        Side& src = pair.sides[static_cast<std::size_t>(from)];
        Side& dst = pair.sides[static_cast<std::size_t>(1 - from)];
        Flow& flow = pair.flows[static_cast<std::size_t>(from)];
        // Neither read from nor sent to a device side whose connect is still under way.
        const bool src_open = from == CLIENT || !pair.connecting;
        const bool dst_open = from == DEVICE || !pair.connecting;
        const std::uint64_t size = setup_.bound;
        Step step = Step::Idle;

        if (flow.head != flow.tail && dst.writable && dst_open) {
            const std::uint64_t unsent = flow.head - flow.tail;
            const std::uint64_t at = flow.tail & mask_;
            const std::uint64_t first = std::min(unsent, size - at);
            std::array<iovec, 2> parts{
                {{flow.ring.get() + at, first}, {flow.ring.get(), unsent - first}}};
            msghdr message{};
            message.msg_iov = parts.data();
            message.msg_iovlen = unsent > first ? 2 : 1;
            const ssize_t sent = sendmsg(dst.fd.get(), &message, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent < 0) {
                if (would_block()) {
                    dst.writable = false;
                } else if (errno == EINTR) {
                    step = Step::Moved;  // tried again
                } else {
                    return Step::Failed;
                }
            } else {
                flow.tail += static_cast<std::uint64_t>(sent);
                if (flow.tail == flow.head) {
                    flow.head = flow.tail = 0;  // the next read starts at the front, in one piece
                } else {
                    dst.writable = false;  // a short send: its buffer is full
                }
                step = Step::Moved;
            }
        }

        const std::uint64_t room = size - (flow.head - flow.tail);
        if (src.readable && !src.ended && src_open && room > 0) {
            const std::uint64_t at = flow.head & mask_;
            const std::uint64_t first = std::min(room, size - at);
            std::array<iovec, 2> parts{
                {{flow.ring.get() + at, first}, {flow.ring.get(), room - first}}};
            msghdr message{};
            message.msg_iov = parts.data();
            message.msg_iovlen = room > first ? 2 : 1;
            const ssize_t got = recvmsg(src.fd.get(), &message, MSG_DONTWAIT);
            if (got > 0) {
                flow.head += static_cast<std::uint64_t>(got);
                // A short read emptied the socket; the next arrival is reported anew. After its
                // end was reported, read on until the end itself is read.
                if (static_cast<std::uint64_t>(got) < room && !src.hangup) {
                    src.readable = false;
                }
                step = Step::Moved;
            } else if (got == 0) {
                src.ended = true;
                src.readable = false;
                step = Step::Moved;
            } else if (would_block()) {
                src.readable = false;
            } else if (errno == EINTR) {
                step = Step::Moved;
            } else {
                return Step::Failed;
            }
        }

        if (src.ended && flow.head == flow.tail && !dst.shut && dst_open) {
            if (shutdown(dst.fd.get(), SHUT_WR) != 0) {
                return Step::Failed;
            }
            dst.shut = true;
            step = Step::Moved;
        }
        return step;
    }

    const MinimalRelaySetup& setup_;
    const std::uint64_t mask_;
    const int stop_fd_;
    Fd epoll_;
    Fd listener_;
    std::vector<std::unique_ptr<Pair>> pairs_;
    std::vector<std::uint32_t> free_;
    std::vector<std::uint32_t> released_;
    MinimalRelayCounts counts_;
};

}  // namespace

Result<MinimalRelayCounts> run_minimal_relay(const MinimalRelaySetup& setup, int stop_fd,
                                             const std::function<void()>& ready) {
    if (setup.bound == 0 || (setup.bound & (setup.bound - 1)) != 0) {
        return fail("minimal relay: the bound must be a power of two");
    }
    return Relay(setup, stop_fd).run(ready);
}

}  // namespace tessaro::bench
