// 1000 pairs open at once, each doing round trips of 256 bytes from one thread on epoll: the
// round trips per second over all of them, and the pairs that failed. Once per path.
#pragma once

#include <array>
#include <vector>

#include "bench/paths.hpp"
#include "bench/table.hpp"

namespace tessaro::bench {

constexpr int CONCURRENT_PAIRS = 1000;

struct Concurrent {
    int failures = 0;
    double round_trips_per_second = 0;
};

using ConcurrentRuns = std::array<Concurrent, PATHS>;

ConcurrentRuns measure_concurrent_pairs(bool quick, const bool (&available)[PATHS]);

void print_concurrent_pairs(const ConcurrentRuns& many, const bool (&available)[PATHS]);

std::vector<Goal> concurrent_pairs_goals(const ConcurrentRuns& many);

}  // namespace tessaro::bench
