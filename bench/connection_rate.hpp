// Connection rate: connect, one round trip of 256 bytes, close, from 4 workers at once. 8 rounds;
// a path's rate is its connections over its own time summed over the rounds, and each path has
// at most 20 s over all of them.
#pragma once

#include <array>
#include <vector>

#include "bench/paths.hpp"
#include "bench/table.hpp"

namespace tessaro::bench {

constexpr int RATE_WORKERS = 4;
constexpr int RATE_ROUNDS = 8;

// The connections of each worker, over all the rounds.
constexpr int rate_per_worker(bool quick) {
    return quick ? 1000 : 2500;
}

// Connections, failures and the time they took, summed over the rounds.
struct Rate {
    int connections = 0;
    int failures = 0;
    double seconds = 0;

    double per_second() const { return seconds > 0 ? connections / seconds : 0; }
    Rate& operator+=(const Rate& o) {
        connections += o.connections;
        failures += o.failures;
        seconds += o.seconds;
        return *this;
    }
};

using Rates = std::array<Rate, PATHS>;

Rates measure_connection_rate(int per_worker, const bool (&available)[PATHS]);

void print_connection_rate(const Rates& rate, const bool (&available)[PATHS]);

std::vector<Goal> connection_rate_goals(const Rates& rate, bool with_haproxy);

}  // namespace tessaro::bench
