// Memory of idle pairs: each relay process's RSS growth over 1000 pairs that have made one round
// trip each and are left open, on a fresh process per path so that what an earlier workload left
// in its heap neither hides nor adds to the growth. Not the direct path, which has no process.
#pragma once

#include <array>
#include <optional>
#include <vector>

#include "bench/namespaces.hpp"
#include "bench/paths.hpp"
#include "bench/relay_processes.hpp"
#include "bench/table.hpp"

namespace tessaro::bench {

constexpr int IDLE_PAIRS = 1000;

struct IdlePairs {
    bool ok = false;
    int opened = 0;
    double kib_per_pair = 0;
};

using IdleRuns = std::array<IdlePairs, PATHS>;

// The processes whose paths are measured; each is stopped, and restarted for its measurement.
struct RelaysUnderTest {
    RelayProcess& relay;
    RelayProcess& minimal;
    HaproxyProcess& haproxy;
};

// nullopt when the relay did not restart or the client's namespace could not be entered; the
// minimal relay and haproxy are left out (and stderr says why) when they do not restart.
std::optional<IdleRuns> measure_idle_pairs(const RelaysUnderTest& processes, const Names& names,
                                           const bool (&available)[PATHS]);

void print_idle_pairs(const IdleRuns& idle);

std::vector<Goal> idle_pairs_goals(const IdleRuns& idle);

}  // namespace tessaro::bench
