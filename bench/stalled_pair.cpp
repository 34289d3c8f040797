#include "bench/stalled_pair.hpp"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <string>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "bench/server.hpp"
#include "bench/sockets.hpp"
#include "proxy/tcp_proxy.hpp"

namespace tessaro::bench {

namespace {

constexpr int HOLD_MS = 2000;

// 'H' the server does not read what the client sends, 'R' the client does not read what the
// server sends, for `hold_ms`.
Stall stalled(const Path& path, const RelayProcess& relay, char mode, std::uint64_t bytes,
              int hold_ms) {
    Stall result;
    Fd fd = open_request(path.target, {mode, bytes, static_cast<std::uint64_t>(hold_ms)});
    if (!fd) {
        return result;
    }
    std::vector<std::uint8_t> buffer(1 << 20, 0x77);
    if (mode == 'H') {
        std::uint8_t ack = 0;
        result.ok = send_bytes(fd.get(), bytes, buffer) && read_all(fd.get(), &ack, 1);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms));
        result.ok = drain(fd.get(), bytes, buffer);
    }
    result.peak_kb = relay.status_kb("VmHWM:");
    return result;
}

}  // namespace

std::optional<Stalls> measure_stalls(RelayProcess& relay, const Names& names, bool quick) {
    Stalls stalls;
    stalls.large = quick ? (256ull << 20) : (1ull << 30);
    auto measure = [&](Stall& result, char mode, std::uint64_t bytes) {
        if (!relay.start(names.tag)) {
            fmt::print(stderr, "relay did not restart\n");
            return false;
        }
        const long idle = relay.status_kb("VmRSS:");
        const bool ran = in_namespace(names.ns_client, [&] {
            result = stalled(BENCH_PATHS[R], relay, mode, bytes, HOLD_MS);
        });
        result.idle_kb = idle;
        relay.stop();
        return ran;
    };
    if (!measure(stalls.small_h, 'H', stalls.small) ||
        !measure(stalls.large_h, 'H', stalls.large) ||
        !measure(stalls.small_r, 'R', stalls.small) ||
        !measure(stalls.large_r, 'R', stalls.large)) {
        return std::nullopt;
    }
    return stalls;
}

void print_stalls(const Stalls& stalls) {
    const std::pair<const char*, const Stall*> cases[] = {
        {"server not reading", &stalls.small_h},
        {"server not reading", &stalls.large_h},
        {"client not reading", &stalls.small_r},
        {"client not reading", &stalls.large_r},
    };
    row("relay RSS idle (KiB)", {"-", "-", "-", std::to_string(stalls.small_h.idle_kb)}, {});
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        row(fmt::format("peak RSS growth, {}, {} MiB (KiB)", cases[i].first,
                        (i % 2 == 0 ? stalls.small : stalls.large) >> 20),
            {"-", "-", "-",
             cases[i].second->ok ? std::to_string(cases[i].second->growth_kb()) : "failed"},
            {});
    }
}

std::vector<Goal> stall_goals(const Stalls& stalls) {
    const auto& [small, large, small_h, large_h, small_r, large_r] = stalls;
    const bool ok = small_h.ok && large_h.ok && small_r.ok && large_r.ok;
    const long most_growth = std::max(
        {small_h.growth_kb(), large_h.growth_kb(), small_r.growth_kb(), large_r.growth_kb()});
    // One stalled pair may hold a full queue plus what is in flight: a few bounds' worth.
    const long budget_kb =
        static_cast<long>((TCP_PROXY_PENDING_BOUND + 2 * TCP_PROXY_QUEUE_BOUND + 4 * 65536) / 1024);
    // Sixteen times the bytes may not cost more than a fraction of the same budget: what
    // varies between runs is the heap's layout, not the bytes held.
    return {
        {fmt::format("stalled peak RSS growth <= {} KiB, and 16x the bytes adds < {} KiB",
                     budget_kb, budget_kb / 2),
         ok && most_growth <= budget_kb &&
             large_h.growth_kb() - small_h.growth_kb() < budget_kb / 2 &&
             large_r.growth_kb() - small_r.growth_kb() < budget_kb / 2},
    };
}

}  // namespace tessaro::bench
