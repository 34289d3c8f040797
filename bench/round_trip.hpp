// Round trips of 256 bytes, written at once and as 2 then 254 bytes: p50 and p99. 10 rounds,
// each on a fresh connection per path and variant with 200 round trips of warm-up that are not
// counted; p50 and p99 come from the samples of all rounds pooled.
#pragma once

#include <vector>

#include "bench/paths.hpp"
#include "bench/table.hpp"

namespace tessaro::bench {

constexpr int LATENCY_ROUNDS = 10;
constexpr int LATENCY_WARMUP = 200;  // per connection, not counted

// The round trips of each variant, over all its rounds.
constexpr int round_trip_count(bool quick) {
    return quick ? 5000 : 20000;
}

struct Latency {
    double p50_us = 0;
    double p99_us = 0;
    bool ok = false;
};

struct RoundTrips {
    Latency plain[PATHS];  // each request in one write
    Latency split[PATHS];  // each request as 2 then 254 bytes
};

RoundTrips measure_round_trips(int count, const bool (&available)[PATHS]);

void print_round_trips(const RoundTrips& latency, const bool (&available)[PATHS]);

std::vector<Goal> round_trip_goals(const RoundTrips& latency, const bool (&available)[PATHS]);

}  // namespace tessaro::bench
