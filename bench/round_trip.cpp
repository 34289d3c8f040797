#include "bench/round_trip.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include "bench/server.hpp"
#include "bench/sockets.hpp"

namespace tessaro::bench {

namespace {

// Round-trip times (us) of one path and variant, pooled over the rounds; a failed round fails
// the path, which then runs no more rounds of it.
struct Samples {
    std::vector<double> us;
    bool failed = false;

    Latency latency() {
        Latency result;
        if (failed || us.empty()) {
            return result;
        }
        std::sort(us.begin(), us.end());
        result.p50_us = us[us.size() / 2];
        result.p99_us = us[us.size() * 99 / 100];
        result.ok = true;
        return result;
    }
};

// Round trips of 256 bytes on one fresh connection, the first `warmup` of them not counted;
// `split` writes each request as 2 then 254 bytes. Adds `count` samples; false on failure.
bool round_trips(const Path& path, int warmup, int count, bool split, Samples& samples) {
    Fd fd = open_request(path.target, {'E', 0, 0});
    if (!fd) {
        return false;
    }
    std::array<std::uint8_t, 256> request{};
    std::array<std::uint8_t, 256> answer{};
    samples.us.reserve(samples.us.size() + static_cast<std::size_t>(count));
    for (int i = 0; i < warmup + count; ++i) {
        request.fill(static_cast<std::uint8_t>(i));
        const auto start = Clock::now();
        bool ok = split ? write_all(fd.get(), request.data(), 2) &&
                              write_all(fd.get(), request.data() + 2, 254)
                        : write_all(fd.get(), request.data(), 256);
        if (!ok || !read_all(fd.get(), answer.data(), answer.size()) || answer != request) {
            return false;
        }
        if (i >= warmup) {
            samples.us.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    return true;
}

}  // namespace

RoundTrips measure_round_trips(int count, const bool (&available)[PATHS]) {
    Samples plain_runs[PATHS], split_runs[PATHS];
    in_rounds(LATENCY_ROUNDS, available, [&](int p, int r) {
        const int share = share_of(count, LATENCY_ROUNDS, r);
        for (const bool split_writes : {false, true}) {
            Samples& runs = (split_writes ? split_runs : plain_runs)[p];
            if (!runs.failed) {
                runs.failed =
                    !round_trips(BENCH_PATHS[p], LATENCY_WARMUP, share, split_writes, runs);
            }
        }
    });
    RoundTrips latency;
    for (int p = 0; p < PATHS; ++p) {
        latency.plain[p] = plain_runs[p].latency();
        latency.split[p] = split_runs[p].latency();
    }
    return latency;
}

void print_round_trips(const RoundTrips& latency, const bool (&available)[PATHS]) {
    const auto& [plain, split] = latency;
    ratio_row("round trip 256 B p50 (us)", per_path([&](int p) { return plain[p].p50_us; }),
              available);
    ratio_row("round trip 256 B p99 (us)", per_path([&](int p) { return plain[p].p99_us; }),
              available);
    ratio_row("round trip 2+254 B p50 (us)", per_path([&](int p) { return split[p].p50_us; }),
              available);
    ratio_row("round trip 2+254 B p99 (us)", per_path([&](int p) { return split[p].p99_us; }),
              available);
}

std::vector<Goal> round_trip_goals(const RoundTrips& latency, const bool (&available)[PATHS]) {
    const auto& [plain, split] = latency;
    bool lat_ok = true;
    for (int p = 0; p < PATHS; ++p) {
        lat_ok = lat_ok && (!available[p] || (plain[p].ok && split[p].ok));
    }
    return {
        {"round trip p50 <= 0.95x haproxy", lat_ok && plain[R].p50_us <= 0.95 * plain[H].p50_us,
         available[H]},
        // A request in two writes costs one more small segment on any path; what must not
        // happen is a delayed-acknowledgement stall (tens of ms) or a penalty beyond the direct
        // path's.
        {"split-write p50 <= 1.25x plain, or its extra cost <= 1.5x the direct path's; p99 < 5 ms",
         lat_ok && split[R].p99_us < 5000 &&
             (split[R].p50_us <= 1.25 * plain[R].p50_us ||
              split[R].p50_us - plain[R].p50_us <=
                  1.5 * std::max(0.0, split[D].p50_us - plain[D].p50_us))},
    };
}

}  // namespace tessaro::bench
