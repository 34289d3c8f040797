// Memory under a stalled receiver: the peak growth of the relay's RSS while one receiver does
// not read, the server ('H') or the client ('R'), once with 64 MiB and once with 16 times that
// (4 times with --quick) sent towards it. Each case on a fresh relay process, so that
// what an earlier run left in its heap neither hides nor adds to the growth. The relay only.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "bench/namespaces.hpp"
#include "bench/relay_processes.hpp"
#include "bench/table.hpp"

namespace tessaro::bench {

// Peak relay RSS (kB) while the receiving side does not read for its hold time.
struct Stall {
    bool ok = false;
    long idle_kb = 0;  // the fresh relay process before the connection
    long peak_kb = 0;
    long growth_kb() const { return peak_kb - idle_kb; }
};

struct Stalls {
    std::uint64_t small = 64ull << 20;
    std::uint64_t large = 0;  // 16 times `small`, 4 times with --quick
    Stall small_h, large_h, small_r, large_r;
};

// `relay` is stopped, and restarted for each case; nullopt when it did not restart or the
// client's namespace could not be entered.
std::optional<Stalls> measure_stalls(RelayProcess& relay, const Names& names, bool quick);

void print_stalls(const Stalls& stalls);

std::vector<Goal> stall_goals(const Stalls& stalls);

}  // namespace tessaro::bench
