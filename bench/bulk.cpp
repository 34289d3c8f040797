#include "bench/bulk.hpp"

#include <atomic>
#include <thread>

#include "bench/relay_processes.hpp"
#include "bench/server.hpp"
#include "bench/sockets.hpp"

namespace tessaro::bench {

namespace {

// Seconds that `bytes` took in one direction, client to server ('S') or server to client ('R');
// 0 on failure.
double bulk_one_way(const Path& path, char mode, std::uint64_t bytes) {
    std::vector<std::uint8_t> buffer(1 << 20, 0xa5);
    const auto start = Clock::now();
    Fd fd = open_request(path.target, {mode, bytes, 0});
    if (!fd) {
        return 0;
    }
    if (mode == 'S') {
        std::uint8_t ack = 0;
        if (!send_bytes(fd.get(), bytes, buffer) || !read_all(fd.get(), &ack, 1)) {
            return 0;
        }
    } else if (!drain(fd.get(), bytes, buffer)) {
        return 0;
    }
    return seconds_since(start);
}

// Seconds that `bytes` took in each direction at once (through the echo server); 0 on failure.
double bulk_both_ways(const Path& path, std::uint64_t bytes) {
    const auto start = Clock::now();
    Fd fd = open_request(path.target, {'E', bytes, 0});
    if (!fd) {
        return 0;
    }
    std::atomic<bool> sent{false};
    std::thread writer([&] {
        std::vector<std::uint8_t> buffer(1 << 20, 0x3c);
        sent = send_bytes(fd.get(), bytes, buffer);
    });
    std::vector<std::uint8_t> buffer(1 << 20);
    const bool received = drain(fd.get(), bytes, buffer);
    writer.join();
    if (!sent || !received) {
        return 0;
    }
    return seconds_since(start);
}

// One direction's bytes and time summed over the rounds; a failed round fails the path, which
// then runs no more rounds of it.
struct Throughput {
    std::uint64_t bytes = 0;
    double seconds = 0;
    bool failed = false;

    void add(std::uint64_t b, double s) {
        failed = failed || s <= 0;
        bytes += b;
        seconds += s;
    }
    double mib_per_second() const {
        return failed || seconds <= 0 ? 0 : static_cast<double>(bytes) / MIB / seconds;
    }
};

}  // namespace

Bulk measure_bulk(std::uint64_t bytes, const pid_t (&relay_pids)[PATHS],
                  const bool (&available)[PATHS]) {
    Throughput up_runs[PATHS], down_runs[PATHS], both_runs[PATHS];
    double cpu[PATHS] = {};
    in_rounds(BULK_ROUNDS, available, [&](int p, int r) {
        const Path& path = BENCH_PATHS[p];
        const std::uint64_t share = share_of(bytes, BULK_ROUNDS, r);
        const double cpu_before = relay_pids[p] > 0 ? cpu_seconds(relay_pids[p]) : 0;
        if (!up_runs[p].failed) {
            up_runs[p].add(share, bulk_one_way(path, 'S', share));
        }
        if (!down_runs[p].failed) {
            down_runs[p].add(share, bulk_one_way(path, 'R', share));
        }
        if (!both_runs[p].failed) {
            both_runs[p].add(share, bulk_both_ways(path, share));
        }
        if (relay_pids[p] > 0) {
            cpu[p] += cpu_seconds(relay_pids[p]) - cpu_before;
        }
    });
    Bulk bulk;
    for (int p = 0; p < PATHS; ++p) {
        bulk.up[p] = up_runs[p].mib_per_second();
        bulk.down[p] = down_runs[p].mib_per_second();
        bulk.both[p] = both_runs[p].mib_per_second();
        // One way twice and both ways once: four times the bytes through the relay.
        const double gib = 4.0 * static_cast<double>(bytes) / (1024.0 * MIB);
        bulk.cpu_per_gib[p] = relay_pids[p] > 0 ? cpu[p] / gib : 0;
    }
    return bulk;
}

void print_bulk(const Bulk& bulk, const bool (&available)[PATHS]) {
    ratio_row("bulk client->server (MiB/s)", bulk.up, available, 0);
    ratio_row("bulk server->client (MiB/s)", bulk.down, available, 0);
    ratio_row("bulk both ways (MiB/s each way)", bulk.both, available, 0);
    const bool relay_processes[PATHS] = {false, available[H], true, true};
    ratio_row("CPU seconds per GiB relayed (bulk)", bulk.cpu_per_gib, relay_processes, 2);
}

std::vector<Goal> bulk_goals(const Bulk& bulk, bool with_haproxy) {
    const auto& [up, down, both, cpu_per_gib] = bulk;
    // Bulk at least `share` of path p's, in each direction and both ways.
    const auto bulk_at_least = [&](double share, int p) {
        return up[R] >= share * up[p] && down[R] >= share * down[p] && both[R] >= share * both[p] &&
               up[R] > 0 && down[R] > 0 && both[R] > 0;
    };
    const auto cpu_at_most = [&](double share, int p) {
        return cpu_per_gib[R] > 0 && cpu_per_gib[p] > 0 && cpu_per_gib[R] <= share * cpu_per_gib[p];
    };
    return {
        {"bulk up, down and both ways >= 1.4x haproxy", bulk_at_least(1.4, H), with_haproxy},
        {"bulk up, down and both ways >= 0.8x the minimal relay", bulk_at_least(0.8, M)},
        {"CPU per GiB <= 0.75x haproxy", cpu_at_most(0.75, H), with_haproxy},
        {"CPU per GiB <= 1.25x the minimal relay", cpu_at_most(1.25, M)},
    };
}

}  // namespace tessaro::bench
