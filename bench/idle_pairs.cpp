#include "bench/idle_pairs.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

#include <fmt/format.h>

#include "bench/server.hpp"
#include "bench/sockets.hpp"

namespace tessaro::bench {

namespace {

using namespace std::chrono_literals;

constexpr auto IDLE_LIMIT = 60s;  // for opening the pairs, per path

// The growth of a relay process's RSS per pair while `pairs` connections are open, each of them
// idle after one round trip of 256 bytes. One pair is opened and closed first, so that what the
// first pair of a process sets up once is not counted.
IdlePairs idle_pairs(const Path& path, pid_t relay_pid, int pairs, std::chrono::seconds limit) {
    IdlePairs result;
    const auto header = encode({'E', 0, 0});
    std::array<std::uint8_t, HEADER_SIZE + 256> request{};
    std::copy(header.begin(), header.end(), request.begin());
    std::fill(request.begin() + HEADER_SIZE, request.end(), 0x42);
    if (!echo_once(path.target, request)) {
        return result;
    }
    // What the relay does after a close (the shutdowns, releasing the pair) is over by then.
    std::this_thread::sleep_for(300ms);
    const long before_kb = process_status_kb(relay_pid, "VmRSS:");
    std::vector<Fd> open;
    open.reserve(static_cast<std::size_t>(pairs));
    const auto deadline = Clock::now() + limit;
    while (static_cast<int>(open.size()) < pairs && Clock::now() < deadline) {
        Fd fd = echo_once(path.target, request);
        if (!fd) {
            break;
        }
        open.push_back(std::move(fd));
    }
    result.opened = static_cast<int>(open.size());
    // The last answers' writes and any work the relay does after them are over by then.
    std::this_thread::sleep_for(500ms);
    const long after_kb = process_status_kb(relay_pid, "VmRSS:");
    result.ok = result.opened == pairs && before_kb > 0 && after_kb > 0;
    result.kib_per_pair = static_cast<double>(after_kb - before_kb) / pairs;
    return result;
}

}  // namespace

std::optional<IdleRuns> measure_idle_pairs(const RelaysUnderTest& processes, const Names& names,
                                           const bool (&available)[PATHS]) {
    IdleRuns idle;
    const auto measure = [&](int p, pid_t pid) {
        return in_namespace(names.ns_client, [&] {
            idle[p] = idle_pairs(BENCH_PATHS[p], pid, IDLE_PAIRS, IDLE_LIMIT);
        });
    };
    RelayProcess& relay = processes.relay;
    RelayProcess& minimal = processes.minimal;
    HaproxyProcess& haproxy = processes.haproxy;
    if (!relay.start(names.tag)) {
        fmt::print(stderr, "relay did not restart\n");
        return std::nullopt;
    }
    const bool ran = measure(R, relay.pid());
    relay.stop();
    if (!ran) {
        return std::nullopt;
    }
    if (minimal.start(names.tag)) {
        measure(M, minimal.pid());
    } else {
        fmt::print(stderr, "minimal relay did not restart\n");
    }
    minimal.stop();
    if (available[H]) {
        if (haproxy.start(names)) {
            measure(H, haproxy.pid());
        } else {
            fmt::print(stderr, "haproxy did not restart\n");
        }
        haproxy.stop();
    }
    return idle;
}

void print_idle_pairs(const IdleRuns& idle) {
    const bool measured[PATHS] = {false, idle[H].ok, idle[M].ok, idle[R].ok};
    ratio_row(fmt::format("idle memory per pair after one round trip, {} pairs (KiB)", IDLE_PAIRS),
              per_path([&](int p) { return idle[p].kib_per_pair; }), measured);
    if (!idle[R].ok) {
        fmt::print(stderr, "idle pairs: the relay took {} of {} pairs\n", idle[R].opened,
                   IDLE_PAIRS);
    }
}

std::vector<Goal> idle_pairs_goals(const IdleRuns& idle) {
    return {
        {fmt::format("idle memory per pair after one round trip <= 8 KiB ({} pairs)", IDLE_PAIRS),
         idle[R].ok && idle[R].kib_per_pair <= 8},
    };
}

}  // namespace tessaro::bench
