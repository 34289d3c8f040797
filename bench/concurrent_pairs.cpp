#include "bench/concurrent_pairs.hpp"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

#include "bench/server.hpp"
#include "bench/sockets.hpp"

namespace tessaro::bench {

namespace {

using namespace std::chrono_literals;

// `pairs` connections open at once, each doing `rounds` round trips of 256 bytes; all stay open
// until every one has finished (or the time is up), then all close.
Concurrent concurrent_pairs(const Path& path, int pairs, int rounds, std::chrono::seconds limit) {
    struct Conn {
        Fd fd;
        bool connected = false;
        std::size_t to_send_offset = 0;
        std::vector<std::uint8_t> out;
        std::size_t got = 0;
        int rounds_done = 0;
        bool finished = false;
        bool failed = false;
    };
    Concurrent result;
    Fd ep(epoll_create1(EPOLL_CLOEXEC));
    std::vector<Conn> conns(static_cast<std::size_t>(pairs));
    const auto header = encode({'E', 0, 0});
    auto request_of = [](int round) {
        return std::vector<std::uint8_t>(256, static_cast<std::uint8_t>(round + 1));
    };
    int open_count = 0;
    for (int i = 0; i < pairs; ++i) {
        Conn& c = conns[static_cast<std::size_t>(i)];
        c.fd = Fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!c.fd) {
            c.failed = true;
            continue;
        }
        set_nodelay(c.fd.get());
        sockaddr_in sa = to_sockaddr(path.target);
        if (connect(c.fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 &&
            errno != EINPROGRESS) {
            c.failed = true;
            continue;
        }
        c.out.assign(header.begin(), header.end());
        auto first = request_of(0);
        c.out.insert(c.out.end(), first.begin(), first.end());
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.u32 = static_cast<std::uint32_t>(i);
        epoll_ctl(ep.get(), EPOLL_CTL_ADD, c.fd.get(), &ev);
        ++open_count;
    }
    const auto start = Clock::now();
    const auto deadline = start + limit;
    int active = open_count;
    std::array<epoll_event, 256> events{};
    std::array<std::uint8_t, 512> buf{};
    auto fail = [&](Conn& c) {
        c.failed = true;
        epoll_ctl(ep.get(), EPOLL_CTL_DEL, c.fd.get(), nullptr);
        --active;
    };
    auto flush = [&](Conn& c, std::uint32_t index) {
        while (c.to_send_offset < c.out.size()) {
            ssize_t w = send(c.fd.get(), c.out.data() + c.to_send_offset,
                             c.out.size() - c.to_send_offset, MSG_NOSIGNAL);
            if (w < 0) {
                if (errno == EAGAIN) {
                    epoll_event ev{};
                    ev.events = EPOLLIN | EPOLLOUT;
                    ev.data.u32 = index;
                    epoll_ctl(ep.get(), EPOLL_CTL_MOD, c.fd.get(), &ev);
                    return;
                }
                fail(c);
                return;
            }
            c.to_send_offset += static_cast<std::size_t>(w);
        }
        c.out.clear();
        c.to_send_offset = 0;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = index;
        epoll_ctl(ep.get(), EPOLL_CTL_MOD, c.fd.get(), &ev);
    };
    while (active > 0 && Clock::now() < deadline) {
        int n = epoll_wait(ep.get(), events.data(), static_cast<int>(events.size()), 100);
        for (int e = 0; e < n; ++e) {
            const std::uint32_t index = events[static_cast<std::size_t>(e)].data.u32;
            Conn& c = conns[index];
            if (c.failed || c.finished) {
                continue;
            }
            const auto flags = events[static_cast<std::size_t>(e)].events;
            if (!c.connected && (flags & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(c.fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
                if (err != 0) {
                    fail(c);
                    continue;
                }
                c.connected = true;
            }
            if ((flags & EPOLLOUT) && !c.out.empty()) {
                flush(c, index);
                if (c.failed) {
                    continue;
                }
            }
            if (flags & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
                ssize_t r = recv(c.fd.get(), buf.data(), 256 - c.got, 0);
                if (r <= 0) {
                    if (r < 0 && errno == EAGAIN) {
                        continue;
                    }
                    fail(c);
                    continue;
                }
                const auto expected = static_cast<std::uint8_t>(c.rounds_done + 1);
                if (std::any_of(buf.begin(), buf.begin() + r,
                                [&](std::uint8_t b) { return b != expected; })) {
                    fail(c);
                    continue;
                }
                c.got += static_cast<std::size_t>(r);
                if (c.got == 256) {
                    c.got = 0;
                    if (++c.rounds_done == rounds) {
                        c.finished = true;
                        epoll_ctl(ep.get(), EPOLL_CTL_DEL, c.fd.get(), nullptr);
                        --active;
                        continue;
                    }
                    c.out = request_of(c.rounds_done);
                    flush(c, index);
                }
            }
        }
    }
    const double elapsed = seconds_since(start);
    int finished = 0;
    for (const Conn& c : conns) {
        finished += c.finished ? 1 : 0;
    }
    result.failures = pairs - finished;
    result.round_trips_per_second = static_cast<double>(finished) * rounds / elapsed;
    return result;
}

}  // namespace

ConcurrentRuns measure_concurrent_pairs(bool quick, const bool (&available)[PATHS]) {
    ConcurrentRuns many;
    for (int p = 0; p < PATHS; ++p) {
        if (available[p]) {
            many[p] = concurrent_pairs(BENCH_PATHS[p], CONCURRENT_PAIRS, quick ? 10 : 50, 60s);
        }
    }
    return many;
}

void print_concurrent_pairs(const ConcurrentRuns& many, const bool (&available)[PATHS]) {
    ratio_row("1000 pairs: round trips/s",
              per_path([&](int p) { return many[p].round_trips_per_second; }), available, 0);
    row("1000 pairs: failed pairs", count_cells(available, [&](int p) { return many[p].failures; }),
        {});
}

std::vector<Goal> concurrent_pairs_goals(const ConcurrentRuns& many) {
    return {
        {"0 failures at 1000 pairs", many[R].failures == 0 && many[D].failures == 0},
    };
}

}  // namespace tessaro::bench
