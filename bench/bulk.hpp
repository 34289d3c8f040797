// Bulk: throughput one way each way and both ways at once, and the CPU time a relay process
// spends per GiB relayed. 4 rounds of a quarter of the bytes each; a path's MiB/s is its bytes
// over its time summed over the rounds, its CPU per GiB the CPU its process spent in its own
// turns over the bytes relayed.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <vector>

#include "bench/paths.hpp"
#include "bench/table.hpp"

namespace tessaro::bench {

constexpr int BULK_ROUNDS = 4;

// The bytes of each bulk run (each direction, and both ways), over all its rounds.
constexpr std::uint64_t bulk_bytes(bool quick) {
    return quick ? (256ull << 20) : (1ull << 30);
}

// Per path; 0 for a path not measured or failed.
struct Bulk {
    std::array<double, PATHS> up{}, down{}, both{};  // MiB/s
    std::array<double, PATHS> cpu_per_gib{};         // seconds, for a path with a relay process
};

// `relay_pids`: the process that relays each path, 0 for none.
Bulk measure_bulk(std::uint64_t bytes, const pid_t (&relay_pids)[PATHS],
                  const bool (&available)[PATHS]);

void print_bulk(const Bulk& bulk, const bool (&available)[PATHS]);

std::vector<Goal> bulk_goals(const Bulk& bulk, bool with_haproxy);

}  // namespace tessaro::bench
